#ifndef ORVANDEL_READERS_BMP_H
#define ORVANDEL_READERS_BMP_H

#include <cstddef>
#include <cstdint>

#include "picture/bmp_layout.h"
#include "picture/image.h"
#include "readers/load_image.h"

namespace orvandel {

// Uncompressed 24-bit BMP files in memory. Other depths and compressions are
// declined as unsupported, so that the next BMP loader can be tried.
LoadResult load_bmp24(const uint8_t* bytes, size_t size, const LoadOptions& options);
// 8-bit palettized BMP files in memory, uncompressed or RLE8.
LoadResult load_bmp8(const uint8_t* bytes, size_t size, const LoadOptions& options);
// Where stream_bmp24 sends the file's bytes, in order, a piece at a time;
// `write` returns false to stop.
struct ByteSink {
    bool (*write)(void* context, const void* bytes, size_t count);
    void* context;
};
// The uncompressed 24-bit BMP file of the Image, in pieces of at most 256 KiB
// whatever the picture's width. False when the Image cannot be stored so
// (empty, or a file over 4 GiB) or the sink stops.
bool stream_bmp24(const Image* image, ByteSink sink);
// Stores the Image as an uncompressed 24-bit BMP: 1 when the file is complete,
// 0 on failure, in which case no file at `path` has been created or changed.
int write_bmp24(const char* path, const Image* image);

// Stores such a picture as it is, with write_bmp24's guarantees: 1 when the
// file is complete, 0 when no file at `path` has been created or changed.
int write_bmp24_image(const char* path, const BgrImage* image);

}  // namespace orvandel

#endif
