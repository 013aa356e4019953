// The layout of an uncompressed 24-bit BMP file, the form the classic atlas
// is built and written in: row strides, file sizes, the two headers, and a
// picture held as the file's own bytes (BgrImage).
#ifndef ORVANDEL_PICTURE_BMP_LAYOUT_H
#define ORVANDEL_PICTURE_BMP_LAYOUT_H

#include <cstddef>
#include <cstdint>

#include "picture/image.h"

namespace orvandel {

constexpr size_t BMP_FILE_HEADER_BYTES = 14;
constexpr size_t BMP_INFO_HEADER_BYTES = 40;
constexpr size_t BMP24_HEADERS_BYTES = BMP_FILE_HEADER_BYTES + BMP_INFO_HEADER_BYTES;

// Bytes of one stored 24-bit row: 3 x width brought up to a multiple of 4.
int64_t bmp24_row_stride(int64_t width);
// Length of the 24-bit BMP file of a width x height picture.
int64_t bmp24_file_size(int64_t width, int64_t height);
// Every field of both headers of a width x height 24-bit file, into
// BMP24_HEADERS_BYTES bytes; the caller has checked that the file fits 4 GiB.
void fill_bmp24_headers(uint8_t* headers, int32_t width, int32_t height);

// A black width x height picture held as its 24-bit BMP file, headers filled
// in; null when the file would exceed 4 GiB or the memory is not there.
BgrImagePtr new_bmp24_image(int32_t width, int32_t height);
// The black canvas of the rip (2w x 2h) or mip (2w x h) atlas of a w x h
// picture, held as its file; null as for new_bmp24_image, or when a size
// does not fit 32 bits.
BgrImagePtr new_bmp24_atlas(int32_t width, int32_t height, bool rip);

}  // namespace orvandel

#endif
