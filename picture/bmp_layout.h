// BMP headers, both ways: the fields of a file's two headers decoded in one
// place for every reader, and the headers the writers make, of uncompressed
// 24-bit files (the form the classic atlas is built and written in, with a
// picture held as the file's own bytes, BgrImage) and of 32-bit files with an
// alpha channel.
#ifndef ORVANDEL_PICTURE_BMP_LAYOUT_H
#define ORVANDEL_PICTURE_BMP_LAYOUT_H

#include <cstddef>
#include <cstdint>

#include "picture/image.h"

namespace orvandel {

constexpr size_t BMP_FILE_HEADER_BYTES = 14;
constexpr size_t BMP_INFO_HEADER_BYTES = 40;
constexpr size_t BMP24_HEADERS_BYTES = BMP_FILE_HEADER_BYTES + BMP_INFO_HEADER_BYTES;
constexpr size_t BMP_V4_HEADER_BYTES = 108;
constexpr size_t BMP32_HEADERS_BYTES = BMP_FILE_HEADER_BYTES + BMP_V4_HEADER_BYTES;
constexpr uint16_t BMP_SIGNATURE = 0x4D42;  // "BM"

// Both headers' fields as a file stores them. The info header's length says
// its form: 12 bytes is the OS/2 1.x one (16-bit unsigned sizes, no
// compression field); every other length has the 40-byte layout's fields for
// as far as it reaches. A field the info header does not reach, or the file
// does not hold, is 0.
struct BmpHeaderFields {
    uint16_t signature;
    uint32_t file_size;
    uint32_t data_offset;
    uint32_t info_size;  // the info header's length field
    uint64_t info_held;  // of its info_size bytes, those the file holds
    int32_t width;
    int32_t height;      // negative: rows stored top-down
    uint16_t planes;
    uint16_t bits_per_pixel;
    uint32_t compression;
    uint32_t image_size;
    int32_t x_pixels_per_metre;
    int32_t y_pixels_per_metre;
    uint32_t colours_used;
    uint32_t colours_important;
    uint32_t masks[4];   // red, green, blue, alpha: in the info header from 52 (alpha 56) bytes on
};
// Decodes what the file's first `size` bytes hold of both headers. Checks
// nothing: each reader declines what it does not read, in its own words.
BmpHeaderFields read_bmp_header_fields(const uint8_t* bytes, size_t size);

// Bytes of one stored 24-bit row: 3 x width brought up to a multiple of 4.
int64_t bmp24_row_stride(int64_t width);
// Length of the 24-bit BMP file of a width x height picture.
int64_t bmp24_file_size(int64_t width, int64_t height);
// Every field of both headers of a width x height 24-bit file, into
// BMP24_HEADERS_BYTES bytes; the caller has checked that the file fits 4 GiB.
void fill_bmp24_headers(uint8_t* headers, int32_t width, int32_t height);

// Length of the bottom-up 32-bit file of a width x height picture, or -1 when
// the product does not fit.
int64_t bmp32_file_size(int64_t width, int64_t height);
// Both headers of that file, into BMP32_HEADERS_BYTES bytes: a 108-byte
// BITMAPV4 info header whose bit-field masks name the alpha byte (B, G, R, A
// in each pixel's bytes, sRGB), which the common readers take as
// transparency. The caller has checked that the file fits 4 GiB.
void fill_bmp32_headers(uint8_t* headers, int32_t width, int32_t height);

// A black width x height picture held as its 24-bit BMP file, headers filled
// in; null when the file would exceed 4 GiB or the memory is not there.
BgrImagePtr new_bmp24_image(int32_t width, int32_t height);
// The black canvas of the rip (2w x 2h) or mip (2w x h) atlas of a w x h
// picture, held as its file; null as for new_bmp24_image, or when a size
// does not fit 32 bits.
BgrImagePtr new_bmp24_atlas(int32_t width, int32_t height, bool rip);

}  // namespace orvandel

#endif
