// BMP files: uncompressed 24-bit ones from Pixels, or from a picture held as
// its file's bytes (BgrImage), which goes out as it is; 32-bit ones with an
// alpha channel for RGBA atlases.
#ifndef ORVANDEL_WRITERS_BMP_WRITER_H
#define ORVANDEL_WRITERS_BMP_WRITER_H

#include <string>

#include "io/buffered_output.h"
#include "io/output_file.h"
#include "picture/bmp_layout.h"
#include "picture/image.h"

namespace orvandel {

// Stores the Image as an uncompressed 24-bit BMP, whole or not at all: on
// failure no file at `path` has been created or changed.
WriteResult write_bmp24(const char* path, const Image* image);
// Stores a picture held as its file as it is, with write_bmp24's guarantees.
WriteResult write_bmp24_image(const char* path, const BgrImage* image);
// The same into an output already opened with open_buffered, which it finishes.
WriteResult write_bmp24_image(BufferedOutput* out, const BgrImage* image);

// Stores the Image, its top bytes as alpha, bottom row first as BMP files
// are read; whole or not at all. The failure, also when the file would
// exceed the format's 4 GiB.
WriteResult write_bmp32(const std::string& path, const Image& image);

}  // namespace orvandel

#endif
