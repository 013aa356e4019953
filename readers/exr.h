// OpenEXR files, through the OpenEXR library, from memory.
#ifndef ORVANDEL_READERS_EXR_H
#define ORVANDEL_READERS_EXR_H

#include <cstddef>
#include <cstdint>

#include "readers/load_image.h"

namespace orvandel {

// The picture as a FloatImage in LoadResult::picture (linear-light floats).
LoadResult load_exr(const uint8_t* bytes, size_t size, const LoadOptions& options);

}  // namespace orvandel

#endif
