#ifndef ORVANDEL_READERS_GIF_H
#define ORVANDEL_READERS_GIF_H

#include <cstddef>
#include <cstdint>

#include "picture/image.h"
#include "readers/load_image.h"

namespace orvandel {

// Every frame of a GIF file in memory, stacked top to bottom into one Image.
// With options.gif_transparency each frame's transparent index gets alpha 0,
// every other colour alpha 255, and the result says alpha.
LoadResult load_gif(const uint8_t* bytes, size_t size, const LoadOptions& options);

}  // namespace orvandel

#endif
