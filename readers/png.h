#ifndef ORVANDEL_READERS_PNG_H
#define ORVANDEL_READERS_PNG_H

#include <cstddef>
#include <cstdint>

#include "readers/load_image.h"

namespace orvandel {

// A PNG file held in memory (libspng).
LoadResult load_png(const uint8_t* bytes, size_t size, const LoadOptions& options);

}  // namespace orvandel

#endif
