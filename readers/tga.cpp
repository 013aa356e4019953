// TGA reader.
// Reads: colour-mapped (type 1), true-colour (2) and grey-scale (3) images and
// their run-length forms (9, 10, 11). Colour-mapped pixels are one index byte;
// true-colour pixels are 32-bit (alpha kept in the Pixel's top byte), 24-bit,
// or 16-bit 5-5-5 for every other depth (bit 15 ignored); grey pixels are one
// byte, or grey then alpha at depth 16. Colour maps of 15-, 16-, 24- and
// 32-bit entries land from colour_map_first up; entries past index 255 are
// read and dropped, indices no entry covers are black, and a grey image's
// map is read and then covered by the grey ramp. Rows may run bottom-up or
// top-down, pixels left to right or right to left. Run-length packets may
// cross the end of a row and go on at the start of the next one.
// Declines: other image types, a zero width or height, pictures over
// MAX_IMAGE_PIXELS, colour map entry sizes other than 15, 16, 24 and 32, and
// a header cut short.
// Damaged data: a file cut short after its header still loads. Decoding
// stops at the end of the file and every pixel not reached stays black;
// packets never write past the picture, whatever their headers say.
#include "readers/tga.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "io/byte_reader.h"

namespace orvandel {

namespace {

constexpr size_t HEADER_BYTES = 18;
constexpr int KIND_COLOUR_MAPPED = 1;
constexpr int KIND_TRUE_COLOUR = 2;
constexpr int KIND_GREY = 3;
constexpr uint8_t RUN_LENGTH_FLAG = 0x08;
constexpr uint8_t RIGHT_TO_LEFT_FLAG = 0x10;
constexpr uint8_t TOP_DOWN_FLAG = 0x20;
constexpr uint8_t ALPHA_BITS_MASK = 0x0F;
constexpr uint8_t RUN_PACKET_FLAG = 0x80;
constexpr int MAX_PACKET_VALUES = 128;

struct TgaHeader {
    uint8_t id_length;
    uint8_t colour_map_type;
    uint8_t image_type;
    uint16_t colour_map_first;
    uint16_t colour_map_length;
    uint8_t colour_map_entry_size;
    uint16_t x_origin;
    uint16_t y_origin;
    uint16_t width;
    uint16_t height;
    uint8_t pixel_depth;
    uint8_t descriptor;
};

// The ways a stored value (a pixel or a colour map entry) becomes a Pixel.
enum TgaValue {
    TGA_INDEX8,        // palette index
    TGA_GREY_ALPHA16,  // grey, then alpha
    TGA_BGR16,         // little-endian 5-5-5, blue in the low bits
    TGA_BGR24,
    TGA_BGRA32,
};

int value_bytes(TgaValue value) {
    switch (value) {
        case TGA_INDEX8: return 1;
        case TGA_GREY_ALPHA16: case TGA_BGR16: return 2;
        case TGA_BGR24: return 3;
        case TGA_BGRA32: return 4;
    }
    return 1;
}

int image_kind(const TgaHeader& h) { return h.image_type & 7; }

// Reads the header and checks everything the loader sizes or branches on,
// before anything is allocated for it.
LoadResult read_tga_header(ByteReader* in, const LoadOptions& options, TgaHeader* h) {
    const uint8_t* b = take_bytes(in, HEADER_BYTES);
    if (!b) return decline(LoadError::damaged, "TGA: header cut short");
    h->id_length = b[0];
    h->colour_map_type = b[1];
    h->image_type = b[2];
    h->colour_map_first = read_le16(b + 3);
    h->colour_map_length = read_le16(b + 5);
    h->colour_map_entry_size = b[7];
    h->x_origin = read_le16(b + 8);
    h->y_origin = read_le16(b + 10);
    h->width = read_le16(b + 12);
    h->height = read_le16(b + 14);
    h->pixel_depth = b[16];
    h->descriptor = b[17];

    const int kind = image_kind(*h);
    if (kind != KIND_COLOUR_MAPPED && kind != KIND_TRUE_COLOUR && kind != KIND_GREY)
        return decline(LoadError::unsupported, "TGA: image type " + std::to_string(h->image_type) + " is not read");
    if (h->width == 0 || h->height == 0) return decline(LoadError::damaged, "TGA: zero width or height");
    if (!within_pixel_limit(h->width, h->height, options)) return picture_too_large("TGA", options);
    if (h->colour_map_length > 0) {
        switch (h->colour_map_entry_size) {
            case 15: case 16: case 24: case 32: break;
            default:
                return decline(LoadError::unsupported, "TGA: colour map entries of " +
                                                           std::to_string(h->colour_map_entry_size) +
                                                           " bits are not read");
        }
    }
    return LoadResult();
}

// True when the Pixels' top byte is the file's alpha: 32-bit and grey+alpha
// pixels whose header counts alpha bits (the descriptor's low four bits),
// their fourth (second) byte kept there as stored, 255 for an opaque pixel.
// Writers that count no alpha bits leave that byte unused (often 0), so it is
// no transparency then, though it stays in the top byte as always. Other
// pixels, colour-map entries included, leave it 0; pixels a file cut short
// never reaches are 0 too, transparent black.
bool tga_has_alpha(const TgaHeader& h) {
    if ((h.descriptor & ALPHA_BITS_MASK) == 0) return false;
    switch (image_kind(h)) {
        case KIND_TRUE_COLOUR: return h.pixel_depth == 32;
        case KIND_GREY: return h.pixel_depth == 16;
        default: return false;
    }
}

TgaValue pixel_value(const TgaHeader& h) {
    switch (image_kind(h)) {
        case KIND_COLOUR_MAPPED:
            return TGA_INDEX8;
        case KIND_GREY:
            return h.pixel_depth == 16 ? TGA_GREY_ALPHA16 : TGA_INDEX8;
        default:
            if (h.pixel_depth == 32) return TGA_BGRA32;
            if (h.pixel_depth == 24) return TGA_BGR24;
            return TGA_BGR16;
    }
}

TgaValue colour_map_value(const TgaHeader& h) {
    if (h.colour_map_entry_size == 32) return TGA_BGRA32;
    if (h.colour_map_entry_size == 24) return TGA_BGR24;
    return TGA_BGR16;
}

Pixel pixel_from_bgr555(uint16_t v) {
    const Pixel blue = (v & 0x1F) << 3;
    const Pixel green = ((v >> 5) & 0x1F) << 3;
    const Pixel red = ((v >> 10) & 0x1F) << 3;
    return blue << 16 | green << 8 | red;
}

// `count` stored values of one kind as Pixels; `palette` serves TGA_INDEX8.
void convert_tga_values(const uint8_t* in, int32_t count, TgaValue value, const Pixel* palette,
                        Pixel* out) {
    switch (value) {
        case TGA_INDEX8:
            for (int32_t i = 0; i < count; ++i) out[i] = palette[in[i]];
            break;
        case TGA_GREY_ALPHA16:
            for (int32_t i = 0; i < count; ++i, in += 2)
                out[i] = static_cast<Pixel>(in[1]) << 24 | static_cast<Pixel>(in[0]) * 0x010101u;
            break;
        case TGA_BGR16:
            for (int32_t i = 0; i < count; ++i, in += 2) out[i] = pixel_from_bgr555(read_le16(in));
            break;
        case TGA_BGR24:
            pixels_from_bgr(in, out, count);
            break;
        case TGA_BGRA32:
            for (int32_t i = 0; i < count; ++i, in += 4)
                out[i] = static_cast<Pixel>(in[3]) << 24 | pixel_from_bgr(in);
            break;
    }
}

// Copies up to n bytes; fewer only at the end of the input, after which
// every further call copies none.
size_t read_tga_bytes(ByteReader* in, uint8_t* dst, size_t n) {
    const size_t take = std::min(n, bytes_left(*in));
    read_bytes(in, dst, take);
    return take;
}

// The colour map goes into the palette from colour_map_first up. 1 when the
// whole map was read, 0 when the file ended inside it (the entries read are kept).
int read_tga_colour_map(const TgaHeader& h, ByteReader* in, Pixel palette[256]) {
    if (h.colour_map_length == 0) return 1;
    const TgaValue entry = colour_map_value(h);
    size_t bytes = 0;
    if (!checked_byte_count(h.colour_map_length, value_bytes(entry), 1, &bytes)) return 0;
    std::vector<uint8_t> raw(bytes);
    const size_t got = read_tga_bytes(in, raw.data(), bytes);
    const int32_t entries = static_cast<int32_t>(got / value_bytes(entry));
    std::vector<Pixel> colours(static_cast<size_t>(entries));
    convert_tga_values(raw.data(), entries, entry, nullptr, colours.data());
    for (int32_t k = 0; k < entries && h.colour_map_first + k < 256; ++k)
        palette[h.colour_map_first + k] = colours[k] & 0x00FFFFFFu;
    return got == bytes;
}

// What is left of a run-length packet: packets may cross the end of a row,
// and the next row takes up where the last one stopped.
struct TgaPacket {
    int32_t remaining;  // values still to store
    bool run;
    Pixel colour;  // the repeated colour of a run packet
};

// Stores `count` Pixels from run-length packets. 1 when all were stored; 0
// when the file ended first, with *stored saying how many were.
int decode_tga_rle(Pixel* out, int32_t count, TgaValue value, const Pixel* palette, ByteReader* in,
                   TgaPacket* packet, int32_t* stored) {
    const int size = value_bytes(value);
    uint8_t raw[MAX_PACKET_VALUES * 4];
    int32_t done = 0;
    while (done < count) {
        if (packet->remaining == 0) {
            const int header = read_byte(in);
            if (header < 0) break;
            packet->run = (header & RUN_PACKET_FLAG) != 0;
            packet->remaining = (header & 0x7F) + 1;
            if (packet->run) {
                if (read_tga_bytes(in, raw, size) != size_t(size)) break;
                convert_tga_values(raw, 1, value, palette, &packet->colour);
            }
        }
        const int32_t n = std::min(packet->remaining, count - done);
        if (packet->run) {
            std::fill(out + done, out + done + n, packet->colour);
        } else {
            const size_t want = size_t(n) * size;
            const size_t got = read_tga_bytes(in, raw, want);
            const int32_t whole = static_cast<int32_t>(got / size);
            convert_tga_values(raw, whole, value, palette, out + done);
            if (got != want) {
                done += whole;
                break;
            }
        }
        packet->remaining -= n;
        done += n;
    }
    *stored = done;
    return done == count;
}

// Fills the picture row by row in file order; stops at the end of the file.
void decode_tga_pixels(const TgaHeader& h, ByteReader* in, const Pixel* palette, Image* image) {
    const TgaValue value = pixel_value(h);
    const int size = value_bytes(value);
    const bool run_length = (h.image_type & RUN_LENGTH_FLAG) != 0;
    const bool top_down = (h.descriptor & TOP_DOWN_FLAG) != 0;
    const bool right_to_left = (h.descriptor & RIGHT_TO_LEFT_FLAG) != 0;
    const int32_t width = h.width;
    const size_t row_bytes = size_t(width) * size;
    TgaPacket packet = {0, false, 0};
    for (int32_t i = 0; i < h.height; ++i) {
        const int32_t y = top_down ? i : h.height - 1 - i;
        Pixel* row = image->pixels + int64_t(y) * width;
        int32_t stored = 0;
        if (run_length) {
            decode_tga_rle(row, width, value, palette, in, &packet, &stored);
        } else {
            const size_t got = std::min(row_bytes, bytes_left(*in));
            stored = static_cast<int32_t>(got / size);
            convert_tga_values(take_bytes(in, got), stored, value, palette, row);
        }
        if (right_to_left) std::reverse(row, row + width);
        if (stored < width) return;
    }
}

}  // namespace

LoadResult load_tga(const uint8_t* bytes, size_t size, const LoadOptions& options) {
    ByteReader in = make_reader(bytes, size);
    TgaHeader h{};
    LoadResult checked = read_tga_header(&in, options, &h);
    if (checked.error != LoadError::none) return checked;
    LoadResult result;
    result.image.reset(new_image(h.width, h.height));
    if (!result.image) return no_memory_for("TGA");
    result.alpha = tga_has_alpha(h);

    // A file cut short keeps what it holds: every return below has a picture.
    if (!skip_bytes(&in, h.id_length)) return result;
    Pixel palette[256] = {};
    if (!read_tga_colour_map(h, &in, palette)) return result;
    if (image_kind(h) == KIND_GREY)
        for (Pixel i = 0; i < 256; ++i) palette[i] = i * 0x010101u;
    decode_tga_pixels(h, &in, palette, result.image.get());
    return result;
}

}  // namespace orvandel
