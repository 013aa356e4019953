// Radiance RGBE (.hdr, .pic) files, from memory.
#ifndef ORVANDEL_READERS_HDR_H
#define ORVANDEL_READERS_HDR_H

#include <cstddef>
#include <cstdint>

#include "readers/load_image.h"

namespace orvandel {

// The picture as a FloatImage in LoadResult::picture (linear-light floats).
LoadResult load_hdr(const uint8_t* bytes, size_t size, const LoadOptions& options);

}  // namespace orvandel

#endif
