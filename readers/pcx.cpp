// PCX files.
// Reads: true-colour files of three 8-bit planes (red, green, blue) per scan
// line, and 8-bit palettized files whose 256-colour block (a marker byte 12
// and 768 red, green, blue bytes) ends the file. Only the first plane of an
// 8-bit file is read, one index byte per pixel, whatever the header says of
// its depth.
// Declines: headers cut short, inverted windows, pictures over
// MAX_IMAGE_PIXELS, scan lines that hold fewer bytes than the width and lines
// of 32768 bytes or more (the decoder counts in 16 bits); 24-bit files with
// other than three 8-bit planes; 8-bit files of a version other than 5 or
// without the palette block.
// Damaged data: the end of the file ends the line decoder with a short line.
// The 24-bit loader then declines the file; the 8-bit loader warns, reads the
// missing bytes as index 0 and goes on. An 8-bit file it will decline (no
// palette block, another version) is declined before any picture memory is
// taken, its lines still decoded for the same warnings.
#include "readers/pcx.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace orvandel {

namespace {

constexpr size_t HEADER_BYTES = 128;
constexpr uint8_t PCX_MANUFACTURER = 10;
constexpr uint8_t PALETTE_VERSION = 5;
constexpr uint8_t PALETTE_MARKER = 12;
constexpr size_t PALETTE_BLOCK_BYTES = 1 + 256 * 3;
constexpr int32_t MAX_LINE_LENGTH = 32767;  // the decoder's count is 16-bit
// Two encoded bytes store at most 63 bytes, so n bytes of data never decode
// to more than 32 n.
constexpr int64_t MAX_EXPANSION = 32;

// What both loaders take from a header once it has been checked.
struct PcxLayout {
    int32_t width;
    int32_t height;
    int16_t line_length;  // all planes of one scan line
};

// The window's size and the line length, or the decline for an inverted
// window, an empty or over-long line, or a picture over the cap. Each loader
// checks itself that the part of the line it reads holds a whole row.
LoadResult pcx_layout(const PcxHeader& h, const LoadOptions& options, PcxLayout* out) {
    if (h.x_max < h.x_min || h.y_max < h.y_min) return decline(LoadError::damaged, "PCX: inverted window");
    const int32_t width = int32_t(h.x_max) - h.x_min + 1;
    const int32_t height = int32_t(h.y_max) - h.y_min + 1;
    const int32_t line_length = int32_t(h.bytes_per_line) * h.planes;
    if (!within_pixel_limit(width, height, options)) return picture_too_large("PCX", options);
    if (line_length <= 0) return decline(LoadError::damaged, "PCX: scan lines of 0 bytes");
    if (line_length > MAX_LINE_LENGTH)
        return decline(LoadError::unsupported, "PCX: scan lines of 32768 bytes or more are not read");
    out->width = width;
    out->height = height;
    out->line_length = static_cast<int16_t>(line_length);
    return LoadResult();
}

LoadResult short_lines() { return decline(LoadError::damaged, "PCX: scan lines shorter than the width"); }
LoadResult data_cut_short() { return decline(LoadError::damaged, "PCX: image data cut short"); }

LoadResult header_cut_short() { return decline(LoadError::damaged, "PCX: header cut short"); }

}  // namespace

int read_pcx_header(PcxHeader* header, ByteReader* in) {
    const uint8_t* bytes = take_bytes(in, HEADER_BYTES);
    if (!bytes) return 0;
    header->manufacturer = bytes[0];
    header->version = bytes[1];
    header->encoding = bytes[2];
    header->bits_per_pixel = bytes[3];
    header->x_min = read_le16(bytes + 4);
    header->y_min = read_le16(bytes + 6);
    header->x_max = read_le16(bytes + 8);
    header->y_max = read_le16(bytes + 10);
    header->h_dpi = read_le16(bytes + 12);
    header->v_dpi = read_le16(bytes + 14);
    std::memcpy(header->header_palette, bytes + 16, sizeof header->header_palette);
    header->reserved = bytes[64];
    header->planes = bytes[65];
    header->bytes_per_line = read_le16(bytes + 66);
    header->palette_info = read_le16(bytes + 68);
    header->h_screen_size = read_le16(bytes + 70);
    header->v_screen_size = read_le16(bytes + 72);
    std::memcpy(header->filler, bytes + 74, sizeof header->filler);
    return 1;
}

// A byte of 192 or more starts a repeat run of its low six bits, the next byte
// being the value; any other byte stands for itself. A run read when the line
// is already full (or that the line cannot hold) waits in `state` for the next
// line.
int16_t decode_pcx_line(PcxRunState* state, uint8_t* line, int16_t length, ByteReader* in) {
    // The cursor and the pending run in locals: the line's byte stores could
    // otherwise alias them, and this is the inner loop of every load.
    const uint8_t* p = in->data + in->pos;
    const uint8_t* const end = in->data + in->size;
    int count = state->count;
    uint8_t value = state->value;
    int i = 0;
    for (;;) {
        if (count > 0 && i < length) {
            const int n = std::min<int>(count, length - i);
            std::memset(line + i, value, static_cast<size_t>(n));
            i += n;
            count -= n;
        }
        if (count > 0 || p == end) break;
        const uint8_t b = *p++;
        if ((b & 0xC0) != 0xC0) {
            if (i < length) {
                line[i++] = b;
                continue;
            }
            count = 1;
            value = b;
            break;
        }
        if (p == end) break;
        count = b & 0x3F;
        value = *p++;
        if (i >= length) break;
    }
    in->pos = static_cast<size_t>(p - in->data);
    state->count = static_cast<uint8_t>(count);
    state->value = value;
    return static_cast<int16_t>(i);
}

LoadResult load_pcx24(const uint8_t* bytes, size_t size, const LoadOptions& options) {
    ByteReader in = make_reader(bytes, size);
    PcxHeader h{};
    if (!read_pcx_header(&h, &in)) return header_cut_short();
    if (h.planes != 3 || h.bits_per_pixel != 8)
        return decline(LoadError::unsupported, "PCX: not three planes of 8 bits, as 24-bit files have");
    PcxLayout layout;
    LoadResult checked = pcx_layout(h, options, &layout);
    if (checked.error != LoadError::none) return checked;
    if (h.bytes_per_line < layout.width) return short_lines();
    // A short line declines the file, so data too short for the whole
    // picture is declined before anything is allocated for it.
    size_t decoded = 0;
    if (!checked_byte_count(layout.height, layout.line_length, 1, &decoded)) return data_cut_short();
    if (uint64_t(decoded) > uint64_t(bytes_left(in)) * MAX_EXPANSION) return data_cut_short();

    ImagePtr image(new_image(layout.width, layout.height));
    if (!image) return no_memory_for("PCX");
    std::vector<uint8_t> line(static_cast<size_t>(layout.line_length));
    const uint8_t* red = line.data();
    const uint8_t* green = red + h.bytes_per_line;
    const uint8_t* blue = green + h.bytes_per_line;
    PcxRunState state = {0, 0};
    for (int32_t y = 0; y < layout.height; ++y) {
        if (decode_pcx_line(&state, line.data(), layout.line_length, &in) != layout.line_length)
            return data_cut_short();
        Pixel* out = image->pixels + int64_t(y) * layout.width;
        for (int32_t x = 0; x < layout.width; ++x)
            out[x] = Pixel(blue[x]) << 16 | Pixel(green[x]) << 8 | red[x];
    }
    LoadResult result;
    result.image = std::move(image);
    return result;
}

LoadResult load_pcx8(const uint8_t* bytes, size_t size, const LoadOptions& options) {
    ByteReader in = make_reader(bytes, size);
    PcxHeader h{};
    if (!read_pcx_header(&h, &in)) return header_cut_short();
    if (h.manufacturer != PCX_MANUFACTURER) return decline(LoadError::unrecognised, "not a PCX file");
    PcxLayout layout;
    LoadResult checked = pcx_layout(h, options, &layout);
    if (checked.error != LoadError::none) return checked;
    if (layout.line_length < layout.width) return short_lines();
    const char* no_palette = "PCX: no 256-colour palette block at the end";
    if (bytes_left(in) < size_t(PALETTE_BLOCK_BYTES)) return decline(LoadError::damaged, no_palette);

    const uint8_t* block = bytes + size - PALETTE_BLOCK_BYTES;
    LoadResult verdict;
    if (h.version != PALETTE_VERSION)
        verdict = decline(LoadError::unsupported,
                          "PCX: 8-bit files of version " + std::to_string(h.version) + " are not read");
    else if (block[0] != PALETTE_MARKER)
        verdict = decline(LoadError::damaged, no_palette);
    // A file to decline gets no picture; its lines are decoded all the same
    // when someone listens for the warnings they give.
    const bool keep = verdict.error == LoadError::none;
    if (!keep && !options.warnings.warn) return verdict;

    // The picture's own Pixels hold the indices until every line is read.
    ImagePtr image(keep ? new_image(layout.width, layout.height) : nullptr);
    if (keep && !image) return no_memory_for("PCX");
    std::vector<uint8_t> line(static_cast<size_t>(layout.line_length));
    PcxRunState state = {0, 0};
    for (int32_t y = 0; y < layout.height; ++y) {
        const int16_t got = decode_pcx_line(&state, line.data(), layout.line_length, &in);
        if (got != layout.line_length) {
            char text[80];
            std::snprintf(text, sizeof text, "Error in decoded line length (was %d should be %d)\n", got,
                          layout.line_length);
            warn(options, text);
            std::fill(line.begin() + got, line.end(), 0);
        }
        if (!keep) continue;
        Pixel* out = image->pixels + int64_t(y) * layout.width;
        for (int32_t x = 0; x < layout.width; ++x) out[x] = line[x];
    }
    if (!keep) return verdict;

    const uint8_t* palette = block + 1;
    const size_t count = size_t(layout.width) * size_t(layout.height);
    for (size_t i = 0; i < count; ++i) image->pixels[i] = pixel_from_rgb(palette + 3 * image->pixels[i]);
    LoadResult result;
    result.image = std::move(image);
    return result;
}

}  // namespace orvandel
