#ifndef ORVANDEL_READERS_BMP_H
#define ORVANDEL_READERS_BMP_H

#include <cstddef>
#include <cstdint>

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

// A black width x height picture held as its 24-bit BMP file, headers filled
// in; null when the file would exceed 4 GiB or the memory is not there.
BgrImagePtr new_bmp24_image(int32_t width, int32_t height);
// The black canvas of the bi-directional (2w x 2h) or ordinary (2w x h)
// atlas of a w x h picture, held as its file; null as for new_bmp24_image,
// or when a size does not fit 32 bits.
BgrImagePtr new_bmp24_atlas(int32_t width, int32_t height, bool bidirectional);
// Stores such a picture as it is, with write_bmp24's guarantees: 1 when the
// file is complete, 0 when no file at `path` has been created or changed.
int write_bmp24_image(const char* path, const BgrImage* image);

// Bytes of one stored 24-bit row: 3 x width brought up to a multiple of 4.
int64_t bmp24_row_stride(int64_t width);
// Length of the 24-bit BMP file write_bmp24 makes of a width x height Image.
int64_t bmp24_file_size(int64_t width, int64_t height);

}  // namespace orvandel

#endif
