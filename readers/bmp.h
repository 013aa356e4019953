#ifndef ORVANDEL_READERS_BMP_H
#define ORVANDEL_READERS_BMP_H

#include <cstddef>
#include <cstdint>

#include "picture/bmp_layout.h"
#include "picture/image.h"
#include "readers/load_image.h"

namespace orvandel {

// Uncompressed 24-bit BMP files in memory. Other depths and compressions are
// declined as unsupported, so that the next BMP loader can be tried.
LoadResult load_bmp24(const uint8_t* bytes, size_t size, const LoadOptions& options);
// 8-bit palettized BMP files in memory, uncompressed or RLE8.
LoadResult load_bmp8(const uint8_t* bytes, size_t size, const LoadOptions& options);

}  // namespace orvandel

#endif
