// BMP files of every valid variant, from memory: what the classic readers
// (readers/bmp.cpp) decline.
// Reads: 1, 2, 4, 8, 16, 24 and 32 bits per pixel; uncompressed, RLE4, RLE8,
// BI_BITFIELDS and BI_ALPHABITFIELDS with any contiguous masks (channels
// widened to 8 bits by bit replication, an alpha mask kept as alpha); bottom-up
// and top-down rows (RLE included); OS/2 and Windows info headers of 12, 16,
// 40, 52, 56, 64, 108 and 124 bytes; palettes of any length (indices beyond
// the palette are black).
// Declines, with a reason: embedded JPEG or PNG data, OS/2 Huffman and RLE24
// data, 64 bits per pixel, masks that are not one run of bits, other header
// sizes, zero or negative widths, pictures over the size limit.
// Damaged data: headers, palettes and uncompressed pixel data cut short
// decline the file (only the last row's padding may be missing). RLE data
// follows the format: runs past the right edge are cut there, pixels the
// stream never reaches (deltas, early ends of line or of bitmap, data that ends
// early) stay black.
#include "readers/bmp_variants.h"

#include <algorithm>
#include <string>

#include "io/byte_reader.h"
#include "picture/bmp_layout.h"

namespace orvandel {

namespace {

constexpr uint32_t BI_RGB = 0, BI_RLE8 = 1, BI_RLE4 = 2, BI_BITFIELDS = 3, BI_JPEG = 4, BI_PNG = 5,
                   BI_ALPHABITFIELDS = 6;
constexpr uint32_t OS2_HEADER_BYTES = 64;  // the only size on which 3 and 4 mean OS/2 codings
constexpr uint32_t OS2_V1_HEADER_BYTES = 12;  // 16-bit sizes, 3-byte palette entries

// One channel of a bit-field pixel and the table that widens it to 8 bits.
struct Channel {
    uint32_t mask;
    int shift;
    int bits;
    uint8_t widen[256];  // for channels of up to 8 bits
};

// The header fields the decoders need, checked.
struct BmpLayout {
    int32_t width;
    int32_t height;
    bool top_down;
    int bits_per_pixel;
    uint32_t compression;
    uint32_t masks[4];  // red, green, blue, alpha; alpha 0 when there is none
    uint64_t palette_offset;
    uint32_t palette_bytes_per_entry;
    uint32_t palette_entries;  // used entries, at most 2^bits_per_pixel
    uint64_t data_offset;
};

std::string text(const char* what, uint64_t value, const char* rest) {
    return std::string("BMP: ") + what + std::to_string(value) + rest;
}

bool is_known_header_size(uint32_t size) {
    switch (size) {
        case 12: case 16: case 40: case 52: case 56: case 64: case 108: case 124:
            return true;
        default:
            return false;
    }
}

bool is_indexed(int bits_per_pixel) {
    return bits_per_pixel == 1 || bits_per_pixel == 2 || bits_per_pixel == 4 || bits_per_pixel == 8;
}

// A mask must be one run of bits inside the pixel; 0 means the channel is absent.
bool mask_is_usable(uint32_t mask, int bits_per_pixel) {
    if (bits_per_pixel < 32 && (mask >> bits_per_pixel) != 0) return false;
    const uint32_t low = mask & (~mask + 1);
    return ((mask + low) & mask) == 0;
}

// A decline's reason and kind; an empty reason means the step found nothing to decline.
struct Refusal {
    std::string reason;
    LoadError error = LoadError::damaged;
};
Refusal damaged(std::string reason) { return Refusal{std::move(reason), LoadError::damaged}; }
Refusal unsupported(std::string reason) { return Refusal{std::move(reason), LoadError::unsupported}; }

// Both headers, whole, with an info header of a length this reader knows.
Refusal read_headers(const uint8_t* bytes, size_t size, BmpHeaderFields* f) {
    if (size < BMP_FILE_HEADER_BYTES) return damaged("BMP: file header cut short");
    *f = read_bmp_header_fields(bytes, size);
    if (f->signature != BMP_SIGNATURE) return damaged("BMP: no BM signature");
    if (size < BMP_FILE_HEADER_BYTES + 4) return damaged("BMP: info header cut short");
    if (!is_known_header_size(f->info_size))
        return unsupported(text("info header of ", f->info_size, " bytes is not read"));
    if (f->info_held < f->info_size) return damaged("BMP: info header cut short");
    return Refusal();
}

// Depth and compression: a combination this reader decodes.
Refusal check_coding(const BmpHeaderFields& f) {
    const uint32_t c = f.compression;
    const int bpp = f.bits_per_pixel;
    if (f.info_size == OS2_HEADER_BYTES && c == 3) return unsupported("BMP: OS/2 Huffman-coded data is not read");
    if (f.info_size == OS2_HEADER_BYTES && c == 4) return unsupported("BMP: OS/2 RLE24 data is not read");
    if (c == BI_JPEG) return unsupported("BMP: embedded JPEG data is not read");
    if (c == BI_PNG) return unsupported("BMP: embedded PNG data is not read");
    if (c > BI_ALPHABITFIELDS) return unsupported(text("compression ", c, " is not read"));
    if (bpp == 64) return unsupported("BMP: 64 bits per pixel is not read");
    const bool fields = c == BI_BITFIELDS || c == BI_ALPHABITFIELDS;
    if ((c == BI_RGB && !is_indexed(bpp) && bpp != 16 && bpp != 24 && bpp != 32) || (c == BI_RLE8 && bpp != 8) ||
        (c == BI_RLE4 && bpp != 4) || (fields && bpp != 16 && bpp != 32))
        return damaged(text("", bpp, " bits per pixel with compression ") + std::to_string(c) + " is not read");
    return Refusal();
}

// The sizes: a positive width, a height either way up, within the limit.
Refusal check_size(const BmpHeaderFields& f, const LoadOptions& options, BmpLayout* layout) {
    const int64_t width = f.width;
    int64_t height = f.height;
    if (width <= 0) return damaged("BMP: width of " + std::to_string(width) + " pixels");
    if (height == 0) return damaged("BMP: height of 0 pixels");
    layout->top_down = height < 0;
    height = height < 0 ? -height : height;  // int64_t: INT32_MIN negates safely
    if (!within_pixel_limit(width, height, options) || height > INT32_MAX)
        return Refusal{"BMP: picture larger than the size limit", LoadError::too_large};
    layout->width = static_cast<int32_t>(width);
    layout->height = static_cast<int32_t>(height);
    return Refusal();
}

// The colour masks: in the info header from 52 bytes on (alpha from 56),
// otherwise right after it, where they move the palette and pixels on.
Refusal read_masks(const uint8_t* bytes, size_t size, const BmpHeaderFields& f, BmpLayout* layout,
                   uint64_t* after_header) {
    const uint32_t c = f.compression;
    const int bpp = f.bits_per_pixel;
    if (c == BI_BITFIELDS || c == BI_ALPHABITFIELDS) {
        const int needed = c == BI_ALPHABITFIELDS ? 4 : 3;
        const int in_header = f.info_size >= 56 ? 4 : f.info_size >= 52 ? 3 : 0;
        for (int i = 0; i < std::max(needed, in_header); ++i) {
            if (i < in_header) {
                layout->masks[i] = f.masks[i];
                continue;
            }
            if (*after_header + 4 > size) return damaged("BMP: colour masks cut short");
            layout->masks[i] = read_le32(bytes + *after_header);
            *after_header += 4;
        }
        for (uint32_t mask : layout->masks)
            if (!mask_is_usable(mask, bpp))
                return unsupported(text("colour mask ", mask, " is not one run of bits inside the pixel"));
    } else if (bpp == 16) {
        layout->masks[0] = 0x7C00, layout->masks[1] = 0x03E0, layout->masks[2] = 0x001F;
    } else if (bpp == 32) {
        layout->masks[0] = 0xFF0000, layout->masks[1] = 0xFF00, layout->masks[2] = 0xFF;
    }
    return Refusal();
}

// Where the pixels start, and the palette between the headers and them.
Refusal locate_palette_and_pixels(size_t size, const BmpHeaderFields& f, uint64_t after_header, BmpLayout* layout) {
    layout->data_offset = f.data_offset;
    if (layout->data_offset < after_header || layout->data_offset > size)
        return damaged(text("pixel data offset ", layout->data_offset, " lies inside the headers or past the end"));
    layout->palette_offset = after_header;
    if (!is_indexed(f.bits_per_pixel)) return Refusal();
    if (after_header + uint64_t(f.colours_used) * layout->palette_bytes_per_entry > size)
        return damaged(text("palette of ", f.colours_used, " colours runs past the end of the file"));
    // Without a count the palette is as long as the depth allows, or
    // shorter when the pixels start sooner (OS/2 files do that).
    const uint64_t depth_entries = uint64_t(1) << f.bits_per_pixel;
    const uint64_t declared = f.colours_used ? f.colours_used : depth_entries;
    const uint64_t room = (layout->data_offset - after_header) / layout->palette_bytes_per_entry;
    layout->palette_entries = static_cast<uint32_t>(std::min({declared, depth_entries, room}));
    return Refusal();
}

// Reads and checks the headers, the masks and where the palette and pixels
// lie, in that order: the first step that declines gives the reason.
Refusal read_layout(const uint8_t* bytes, size_t size, const LoadOptions& options, BmpLayout* out) {
    BmpHeaderFields f{};
    Refusal refusal = read_headers(bytes, size, &f);
    if (refusal.reason.empty()) refusal = check_coding(f);
    BmpLayout layout{};
    layout.bits_per_pixel = f.bits_per_pixel;
    layout.compression = f.compression;
    layout.palette_bytes_per_entry = f.info_size == OS2_V1_HEADER_BYTES ? 3 : 4;
    if (refusal.reason.empty()) refusal = check_size(f, options, &layout);
    uint64_t after_header = BMP_FILE_HEADER_BYTES + uint64_t(f.info_size);
    if (refusal.reason.empty()) refusal = read_masks(bytes, size, f, &layout, &after_header);
    if (refusal.reason.empty()) refusal = locate_palette_and_pixels(size, f, after_header, &layout);
    if (refusal.reason.empty()) *out = layout;
    return refusal;
}

void read_palette(const uint8_t* bytes, const BmpLayout& layout, Pixel palette[256]) {
    std::fill(palette, palette + 256, Pixel(0));
    const uint8_t* entry = bytes + layout.palette_offset;
    for (uint32_t i = 0; i < layout.palette_entries; ++i, entry += layout.palette_bytes_per_entry)
        palette[i] = pixel_from_bgr(entry);
}

// v of n bits (1 to 8) as 8 bits, its bits repeated down to the last one.
uint8_t replicate(uint32_t v, int n) {
    uint32_t out = 0;
    for (int pos = 8 - n;; pos -= n) {
        out |= pos >= 0 ? v << pos : v >> -pos;
        if (pos <= 0) break;
    }
    return static_cast<uint8_t>(out);
}

Channel make_channel(uint32_t mask) {
    Channel ch{};
    ch.mask = mask;
    if (!mask) return ch;
    while (!((mask >> ch.shift) & 1)) ++ch.shift;
    while (ch.shift + ch.bits < 32 && ((mask >> (ch.shift + ch.bits)) & 1)) ++ch.bits;
    if (ch.bits <= 8)
        for (uint32_t v = 0; v < (1u << ch.bits); ++v) ch.widen[v] = replicate(v, ch.bits);
    return ch;
}

inline uint32_t channel_value(const Channel& ch, uint32_t pixel) {
    const uint32_t v = (pixel & ch.mask) >> ch.shift;
    return ch.bits <= 8 ? ch.widen[v] : v >> (ch.bits - 8);
}

Pixel* row_of(Image* image, const BmpLayout& layout, int64_t stored_row) {
    const int64_t y = layout.top_down ? stored_row : layout.height - 1 - stored_row;
    return image->pixels + y * layout.width;
}

// Uncompressed rows: palette indices packed from the high bits, BGR bytes, or
// 16/32-bit little-endian words through the masks.
std::string decode_rows(const uint8_t* bytes, size_t size, const BmpLayout& layout, Image* image) {
    const int bpp = layout.bits_per_pixel;
    const int64_t stride = (int64_t(layout.width) * bpp + 31) / 32 * 4;
    size_t all_rows = 0;
    if (!checked_byte_count(stride, layout.height, 1, &all_rows)) return "BMP: pixel data too large";
    const uint64_t needed = uint64_t(all_rows) - uint64_t(stride) + uint64_t((int64_t(layout.width) * bpp + 7) / 8);
    if (layout.data_offset + needed > size) return "BMP: pixel data cut short";

    Pixel palette[256];
    if (bpp <= 8) read_palette(bytes, layout, palette);
    Channel channels[4];
    for (int i = 0; i < 4; ++i) channels[i] = make_channel(layout.masks[i]);
    const bool alpha = layout.masks[3] != 0;
    for (int64_t r = 0; r < layout.height; ++r) {
        const uint8_t* in = bytes + layout.data_offset + r * stride;
        Pixel* out = row_of(image, layout, r);
        if (bpp <= 8) {
            const int per_byte = 8 / bpp;
            const uint32_t low = (1u << bpp) - 1;
            for (int32_t x = 0; x < layout.width; ++x) {
                const int shift = 8 - bpp * (x % per_byte + 1);
                out[x] = palette[(in[x / per_byte] >> shift) & low];
            }
        } else if (bpp == 24) {
            pixels_from_bgr(in, out, layout.width);
        } else {
            const int step = bpp / 8;
            for (int32_t x = 0; x < layout.width; ++x, in += step) {
                const uint32_t v = step == 2 ? read_le16(in) : read_le32(in);
                out[x] = static_cast<Pixel>(channel_value(channels[0], v)) |
                         channel_value(channels[1], v) << 8 | channel_value(channels[2], v) << 16 |
                         (alpha ? channel_value(channels[3], v) << 24 : 0);
            }
        }
    }
    return std::string();
}

// RLE8 and RLE4. Every command reads at least two bytes and places at most
// 255 pixels (those past the right edge are dropped), so the work is bounded
// by the input.
void decode_rle(const uint8_t* bytes, size_t size, const BmpLayout& layout, Image* image) {
    Pixel palette[256];
    read_palette(bytes, layout, palette);
    const bool four = layout.compression == BI_RLE4;
    ByteReader in = make_reader(bytes, size);
    seek_to(&in, layout.data_offset);
    int64_t x = 0, r = 0;
    auto put = [&](int index) {
        if (x < layout.width && r < layout.height) row_of(image, layout, r)[x] = palette[index];
        ++x;
    };
    while (r < layout.height) {
        const int count = read_byte(&in);
        const int value = read_byte(&in);
        if (value < 0) break;  // the end of the data ends the picture
        if (count > 0) {
            for (int i = 0; i < count; ++i) put(four ? (i % 2 ? value & 15 : value >> 4) : value);
        } else if (value == 0) {
            x = 0, ++r;
        } else if (value == 1) {
            break;
        } else if (value == 2) {
            const int dx = read_byte(&in), dy = read_byte(&in);
            if (dy < 0) break;
            x += dx, r += dy;
        } else {
            const size_t data_bytes = four ? (value + 1) / 2 : value;
            const uint8_t* data = take_bytes(&in, data_bytes);
            if (!data) break;
            for (int i = 0; i < value; ++i) put(four ? (i % 2 ? data[i / 2] & 15 : data[i / 2] >> 4) : data[i]);
            skip_bytes(&in, data_bytes % 2);  // absolute runs end on a 16-bit boundary
        }
    }
}

}  // namespace

LoadResult load_bmp_variant(const uint8_t* bytes, size_t size, const LoadOptions& options) {
    BmpLayout layout{};
    const Refusal refusal = read_layout(bytes, size, options, &layout);
    if (!refusal.reason.empty()) return decline(refusal.error, refusal.reason);
    ImagePtr image(new_image_within(layout.width, layout.height, pixel_limit(options)));
    if (!image) return decline(LoadError::no_memory, "BMP: no memory for the picture");
    if (layout.compression == BI_RLE8 || layout.compression == BI_RLE4) {
        decode_rle(bytes, size, layout, image.get());
    } else {
        const std::string reason = decode_rows(bytes, size, layout, image.get());
        if (!reason.empty()) return decline(LoadError::damaged, reason);
    }
    LoadResult result;
    result.image = std::move(image);
    result.alpha = layout.masks[3] != 0;
    return result;
}

}  // namespace orvandel
