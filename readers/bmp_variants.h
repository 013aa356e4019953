#ifndef ORVANDEL_READERS_BMP_VARIANTS_H
#define ORVANDEL_READERS_BMP_VARIANTS_H

#include <cstddef>
#include <cstdint>

#include "readers/load_image.h"

namespace orvandel {

// A BMP file held in memory, of any valid variant: the files the classic 24-
// and 8-bit readers decline come here (they go first, so what they load keeps
// its pixels).
LoadResult load_bmp_variant(const uint8_t* bytes, size_t size, const LoadOptions& options);

}  // namespace orvandel

#endif
