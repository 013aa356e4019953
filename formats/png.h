#ifndef ORVANDEL_FORMATS_PNG_H
#define ORVANDEL_FORMATS_PNG_H

#include <cstddef>
#include <cstdint>

#include "formats/load_image.h"

namespace orvandel {

// A PNG file held in memory (libspng).
LoadResult load_png(const uint8_t* bytes, size_t size, const LoadOptions& options);

}  // namespace orvandel

#endif
