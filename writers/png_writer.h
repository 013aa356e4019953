// PNG files: 8-bit RGB, or RGBA for atlases with alpha; 16-bit ones for
// pictures of more than 8 bits a channel. By default the rows
// are deflated in pieces on every thread the run allows, joined into the one
// zlib stream a PNG holds; a chosen zlib level goes through libspng.
#ifndef ORVANDEL_WRITERS_PNG_WRITER_H
#define ORVANDEL_WRITERS_PNG_WRITER_H

#include <cstdint>
#include <string>

#include "io/output_file.h"
#include "picture/float_image.h"
#include "picture/image.h"

namespace orvandel {

// No level asked for: the rows in pieces of about a MiB, each filtered and
// deflated on its own (runs and literals under each block's own Huffman
// codes, writers/deflate.h: on textures within a few percent of zlib's
// level 6, smaller on grainy ones, at many times the speed), a block that
// coding does not shrink stored as it is.
constexpr int PNG_DEFAULT_LEVEL = -1;

struct PngSettings {
    // -1: the default above; 0 (stored) to 9: zlib's level, each row
    // filtered against the one above (none at 0), through libspng.
    int compression_level = PNG_DEFAULT_LEVEL;
    // Threads the default may deflate on (at least 1).
    int threads = 1;
};

// Stores the Image, its top bytes as alpha when `alpha` is set, whole or not
// at all. The failure, if any.
WriteResult write_png(const std::string& path, const Image& image, bool alpha, const PngSettings& settings = PngSettings());
// The same for an opaque picture held as its BMP file's bytes.
WriteResult write_png(const std::string& path, const BgrImage& image, const PngSettings& settings = PngSettings());

// The same for a 16-bit raster: 16-bit RGB or RGBA samples (alpha when `alpha`).
WriteResult write_png16(const std::string& path, const WideImage& image, bool alpha,
                        const PngSettings& settings = PngSettings());

}  // namespace orvandel

#endif
