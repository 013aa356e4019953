// PNG files through libspng: 8-bit RGB, or RGBA for atlases with alpha.
#ifndef ORVANDEL_WRITERS_PNG_WRITER_H
#define ORVANDEL_WRITERS_PNG_WRITER_H

#include <string>

#include "io/output_file.h"
#include "picture/image.h"

namespace orvandel {

// zlib's level, 0 (stored) to 9. Stored is the default: on one core even
// level 1 costs several times the whole BMP run on a large atlas, stored
// about twice (docs/performance.md has the figures). Compressed levels filter each row
// against the one above, which costs little and shrinks textures the most.
constexpr int PNG_DEFAULT_LEVEL = 0;

struct PngSettings {
    int compression_level = PNG_DEFAULT_LEVEL;
};

// Stores the Image, its top bytes as alpha when `alpha` is set, whole or not
// at all. The failure, if any.
WriteResult write_png(const std::string& path, const Image& image, bool alpha, const PngSettings& settings = PngSettings());

}  // namespace orvandel

#endif
