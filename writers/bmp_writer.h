// Uncompressed 24-bit BMP files: from Pixels, or from a picture held as its
// file's bytes (BgrImage), which goes out as it is.
#ifndef ORVANDEL_WRITERS_BMP_WRITER_H
#define ORVANDEL_WRITERS_BMP_WRITER_H

#include "io/output_file.h"
#include "picture/bmp_layout.h"
#include "picture/image.h"

namespace orvandel {

// Stores the Image as an uncompressed 24-bit BMP, whole or not at all: on
// failure no file at `path` has been created or changed.
WriteResult write_bmp24(const char* path, const Image* image);
// Stores a picture held as its file as it is, with write_bmp24's guarantees.
WriteResult write_bmp24_image(const char* path, const BgrImage* image);

}  // namespace orvandel

#endif
