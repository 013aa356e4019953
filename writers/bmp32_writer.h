// 32-bit BMP files with an alpha channel, for RGBA atlases: a BITMAPV4 info
// header whose bit-field masks name the alpha byte, which the common readers
// take as transparency.
#ifndef ORVANDEL_WRITERS_BMP32_WRITER_H
#define ORVANDEL_WRITERS_BMP32_WRITER_H

#include <cstdint>
#include <string>

#include "io/output_file.h"
#include "picture/image.h"

namespace orvandel {

// Length of the file write_bmp32 makes of a width x height Image, or -1 when
// the product does not fit.
int64_t bmp32_file_size(int64_t width, int64_t height);

// Stores the Image, its top bytes as alpha, bottom row first as BMP files
// are read; whole or not at all. The failure, also when the file would exceed
// the format's 4 GiB.
WriteResult write_bmp32(const std::string& path, const Image& image);

}  // namespace orvandel

#endif
