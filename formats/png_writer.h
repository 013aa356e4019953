// PNG files through libspng: 8-bit RGB, or RGBA for atlases with alpha.
#ifndef ORVANDEL_FORMATS_PNG_WRITER_H
#define ORVANDEL_FORMATS_PNG_WRITER_H

#include <string>

#include "formats/image.h"

namespace orvandel {

// How hard the encoder works. The default trades file size for time so that a
// PNG atlas costs at most a few times the BMP's wall time (see the README).
struct PngSettings {
    int compression_level = 2;  // zlib's 0 (stored) .. 9
    bool filter_rows = true;    // one cheap row filter (up); false: none
};

// Stores the Image, its top bytes as alpha when `alpha` is set, whole or not
// at all. False on failure.
bool write_png(const std::string& path, const Image& image, bool alpha, const PngSettings& settings = PngSettings());

}  // namespace orvandel

#endif
