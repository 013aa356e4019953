#ifndef ORVANDEL_READERS_TGA_H
#define ORVANDEL_READERS_TGA_H

#include <cstddef>
#include <cstdint>

#include "picture/image.h"
#include "readers/load_image.h"

namespace orvandel {

// Colour-mapped, true-colour and grey-scale TGA in memory, plain or
// run-length encoded.
LoadResult load_tga(const uint8_t* bytes, size_t size, const LoadOptions& options);

}  // namespace orvandel

#endif
