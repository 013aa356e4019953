// Format detection by the first bytes of a file, and the one entry through
// which the driver obtains an Image: every loader decodes from memory and
// gives the picture or a decline with its reason.
#ifndef ORVANDEL_READERS_LOAD_IMAGE_H
#define ORVANDEL_READERS_LOAD_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "io/sha256.h"
#include "picture/float_image.h"
#include "picture/image.h"
#include "picture/row_destination.h"

namespace orvandel {

// The formats recognised by their first bytes; the values are never combined.
enum class ImageFormat { unknown, bmp, pcx, gif, tga, png, jpeg, exr, hdr, tiff };

// Classifies three leading bytes; a byte the file does not have is -1 and
// matches nothing.
ImageFormat classify_format(int b0, int b1, int b2);

// The format of a file whose first `size` bytes (or fewer) are at `bytes`.
ImageFormat detect_format(const uint8_t* bytes, size_t size);

// Why a load gave no picture. Every decline also carries a short text for a
// person, naming the format and the fact ("BMP: 16 bits per pixel is not read").
enum class LoadError {
    none,          // the picture is there
    unreadable,    // no regular file, or it could not be read
    unrecognised,  // no format's signature matched
    unsupported,   // a valid file of a kind this tool does not read
    damaged,       // the file breaks its format's rules or ends too soon
    too_large,     // the picture exceeds the size limit
    no_memory,     // the memory for the picture could not be had
};

struct LoadResult {
    ImagePtr image;                      // null on a decline, or when the picture is in the destination
    // Instead of `image`, with LoadOptions::high_precision: a picture of
    // more than 8 bits a channel (16-bit PNG, OpenEXR, Radiance, TIFF).
    FloatImagePtr picture;
    // The picture went to the rows LoadOptions::rows gave, not into `image`.
    bool in_destination = false;
    LoadError error = LoadError::none;   // none exactly when image, picture or in_destination is set
    std::string reason;                  // empty exactly when image is set
    // True when the top byte of every Pixel is the file's alpha (255 opaque);
    // false when the file has no alpha and the top byte is 0.
    bool alpha = false;
};

// A decline: no picture, the error and its reason.
LoadResult decline(LoadError error, std::string reason);

// Where a decoder's warnings go, at the moment they arise (the PCX
// line-length warning); a null function drops them.
struct WarningSink {
    void (*warn)(void* context, const char* text) = nullptr;
    void* context = nullptr;
};

struct LoadOptions {
    WarningSink warnings;
    // Pictures with more Pixels are declined (too_large) before any
    // allocation; never above MAX_IMAGE_PIXELS.
    int64_t max_pixels = MAX_IMAGE_PIXELS;
    // GIF: the transparent index gives alpha 0 (and LoadResult::alpha);
    // without it the index keeps its colour, as the classic atlas wants.
    bool gif_transparency = false;
    // Where set, a loader that can give an opaque picture as blue, green, red
    // rows (24-bit BMP, JPEG, 8-bit RGB PNG) decodes it there rather than
    // into an Image that would then be copied; every other loader, and one
    // the destination gives no rows, gives the Image as ever.
    RowDestination rows;
    // Where set, load_image_file puts the SHA-256 of the file's bytes there
    // (whether or not they decode).
    Sha256Digest* digest = nullptr;
    // Sources of more than 8 bits a channel come as a FloatImage (16-bit PNG
    // at full precision), and OpenEXR, Radiance and TIFF files are read at
    // all; without it they are unrecognised and 16-bit PNG keeps its high
    // byte, as the classic run has it.
    bool high_precision = false;
    // Threads a load may use: load_image_file reads a large file in pieces
    // on them, and the 24-bit BMP loader copies its rows on them. Any count
    // gives the same picture and the same declines.
    int threads = 1;
};

// The limit a loader applies: options.max_pixels, never above MAX_IMAGE_PIXELS.
int64_t pixel_limit(const LoadOptions& options);
// True when a width x height picture (both positive) is within pixel_limit.
bool within_pixel_limit(int64_t width, int64_t height, const LoadOptions& options);
// The too_large decline, its reason naming the format ("GIF") and the limit.
LoadResult picture_too_large(const char* format, const LoadOptions& options);
// The no_memory decline for a picture of the format.
LoadResult no_memory_for(const char* format);
// Hands a decoder's warning to the sink, if there is one.
void warn(const LoadOptions& options, const char* text);

// The picture in `size` bytes of a file held in memory, whatever its format.
LoadResult load_image_from_memory(const uint8_t* bytes, size_t size, const LoadOptions& options = LoadOptions());
// Takes a regular file into memory once (FIFOs, devices and directories are
// refused, and never opened) and decodes it from there with
// load_image_from_memory; the bytes are released before it returns.
LoadResult load_image_file(const std::string& path, const LoadOptions& options = LoadOptions());

}  // namespace orvandel

#endif
