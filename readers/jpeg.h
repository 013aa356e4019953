#ifndef ORVANDEL_READERS_JPEG_H
#define ORVANDEL_READERS_JPEG_H

#include <cstddef>
#include <cstdint>

#include "readers/load_image.h"

namespace orvandel {

// A JPEG file held in memory (libjpeg-turbo's TurboJPEG API).
LoadResult load_jpeg(const uint8_t* bytes, size_t size, const LoadOptions& options);

}  // namespace orvandel

#endif
