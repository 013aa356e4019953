#ifndef ORVANDEL_FORMATS_BMP_H
#define ORVANDEL_FORMATS_BMP_H

#include "formats/image.h"

namespace orvandel {

// Uncompressed 24-bit BMP files.
Image* load_bmp24(const char* path);
// 8-bit palettized BMP files, uncompressed or RLE8.
Image* load_bmp8(const char* path);
// Stores the Image as an uncompressed 24-bit BMP: 1 when the file is complete,
// 0 on failure, in which case no file at `path` has been created or changed.
int write_bmp24(const char* path, const Image* image);

// Bytes of one stored 24-bit row: 3 x width brought up to a multiple of 4.
int64_t bmp24_row_stride(int64_t width);
// Length of the 24-bit BMP file write_bmp24 makes of a width x height Image.
int64_t bmp24_file_size(int64_t width, int64_t height);

}  // namespace orvandel

#endif
