// The decoded raster shared by every loader, the atlas builders and the BMP writer,
// plus the few helpers each format unit needs to size and fill one safely.
#ifndef ORVANDEL_PICTURE_IMAGE_H
#define ORVANDEL_PICTURE_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <memory>

#include "picture/isa.h"
#include "picture/memory.h"

namespace orvandel {

// One colour as blue << 16 | green << 8 | red. The top byte is 0, except for
// Pixels of files with alpha (32-bit TGA, BMP with an alpha mask, PNG with an
// alpha channel or tRNS), which keep it there, 255 opaque.
using Pixel = uint32_t;

struct Image {
    Pixel* pixels;   // width x height Pixels from allocate_zeroed, row-major, top row first, no gaps
    int32_t width;
    int32_t height;
};

// Largest source any loader accepts: 16384 x 16384 Pixels. Bigger pictures
// could not become an atlas that fits a BMP file anyway, and the cap keeps a
// hostile header from asking for tens of gigabytes.
constexpr int64_t MAX_IMAGE_PIXELS = int64_t(1) << 28;

// a * b * c as a byte count, or false when a factor is not positive or the
// product exceeds `limit`. Every size product goes through here, so an
// overflow is refused exactly like a failed allocation.
bool checked_byte_count(int64_t a, int64_t b, int64_t c, size_t* out,
                        int64_t limit = INT64_MAX / 2);

// A picture held as the bytes of its uncompressed 24-bit BMP file: the
// headers, then blue, green, red bytes a pixel, the bottom row first, each
// row padded with zeros to a multiple of 4 bytes. The atlas is built in this
// form, so the file is written from it as it is, with no conversion.
struct BgrImage {
    uint8_t* file;       // file_bytes bytes from allocate_zeroed: the headers, then the rows
    size_t file_bytes;
    uint8_t* rows;       // the bottom row's first byte
    int64_t stride;      // bytes of one stored row
    int32_t width;
    int32_t height;
};
// Pixel (x, y), y counted from the top, as three bytes blue, green, red.
inline uint8_t* bgr_at(const BgrImage* image, int64_t x, int64_t y) {
    return image->rows + (image->height - 1 - y) * image->stride + 3 * x;
}
struct BgrImageDeleter {
    void operator()(BgrImage* image) const {
        if (image) release_zeroed(image->file);
        delete image;
    }
};
using BgrImagePtr = std::unique_ptr<BgrImage, BgrImageDeleter>;

// A new Image of width x height black Pixels, or null for a zero or negative
// size, a picture over MAX_IMAGE_PIXELS, or a failed allocation.
Image* new_image(int32_t width, int32_t height);
// The same with a limit of its own (the atlas canvas is four times a source).
Image* new_image_within(int32_t width, int32_t height, int64_t max_pixels);

// Releases an Image made by new_image (null is fine).
void free_image(Image* image);

// The owning handle every loader returns: the Image and its pixels go
// together on every path.
struct ImageDeleter {
    void operator()(Image* image) const { free_image(image); }
};
using ImagePtr = std::unique_ptr<Image, ImageDeleter>;

// Little-endian fields, as every format here stores them.
inline uint16_t read_le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t read_le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void write_le16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void write_le32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// A colour stored as blue, green, red bytes (BMP, TGA) as a Pixel.
inline Pixel pixel_from_bgr(const uint8_t* bgr) {
    return static_cast<Pixel>(bgr[0]) << 16 | static_cast<Pixel>(bgr[1]) << 8 | bgr[2];
}
// The row conversions below run on the level in use unless told otherwise
// (tests run every level); every level gives the same bytes.
// `count` colours stored as blue, green, red bytes as Pixels.
void pixels_from_bgr(const uint8_t* bgr, Pixel* out, int32_t count, Isa isa = active_isa());
// `count` Pixels as blue, green, red bytes; the top byte is dropped.
void bgr_from_pixels(const Pixel* in, uint8_t* out, int32_t count, Isa isa = active_isa());
// `count` Pixels as blue, green, red, alpha bytes: the top byte as alpha, or
// 255 for every pixel when `alpha` is false.
inline void bgra_from_pixels(const Pixel* in, uint8_t* out, int32_t count, bool alpha) {
    const Pixel opaque = alpha ? 0 : 0xFF000000u;
    for (int32_t x = 0; x < count; ++x, out += 4) {
        const Pixel p = in[x] | opaque;
        write_le32(out, (p & 0xFF00FF00u) | (p & 0xFFu) << 16 | (p >> 16 & 0xFFu));
    }
}
// A colour stored as red, green, blue bytes (PCX and GIF palettes) as a Pixel.
inline Pixel pixel_from_rgb(const uint8_t* rgb) {
    return static_cast<Pixel>(rgb[2]) << 16 | static_cast<Pixel>(rgb[1]) << 8 | rgb[0];
}
// `count` colours stored as red, green, blue bytes (PNG rows) as Pixels.
void pixels_from_rgb(const uint8_t* rgb, Pixel* out, int32_t count, Isa isa = active_isa());
// The same colours as blue, green, red bytes (the atlas file's).
void bgr_from_rgb(const uint8_t* rgb, uint8_t* bgr, int32_t count, Isa isa = active_isa());

}  // namespace orvandel

#endif
