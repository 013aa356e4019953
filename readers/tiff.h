// TIFF files through libtiff, from memory.
#ifndef ORVANDEL_READERS_TIFF_H
#define ORVANDEL_READERS_TIFF_H

#include <cstddef>
#include <cstdint>

#include "readers/load_image.h"

namespace orvandel {

// The picture as a FloatImage in LoadResult::picture: integer samples scaled
// to [0, 1], 32-bit float samples as linear light.
LoadResult load_tiff(const uint8_t* bytes, size_t size, const LoadOptions& options);

}  // namespace orvandel

#endif
