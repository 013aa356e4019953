// Format detection by the first bytes of a file, and the one entry through
// which the driver obtains an Image.
#ifndef ORVANDEL_FORMATS_LOAD_IMAGE_H
#define ORVANDEL_FORMATS_LOAD_IMAGE_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "formats/image.h"

namespace orvandel {

using ImageFormat = int;
constexpr ImageFormat FORMAT_BMP = 1;
constexpr ImageFormat FORMAT_PCX = 2;
constexpr ImageFormat FORMAT_GIF = 4;
constexpr ImageFormat FORMAT_TGA = 8;
constexpr ImageFormat FORMAT_PNG = 16;   // 89 'P' 'N'; the reader checks all 8 signature bytes
constexpr ImageFormat FORMAT_JPEG = 32;  // FF D8 FF
constexpr ImageFormat FORMAT_UNKNOWN = -1;

// Classifies three leading bytes; a byte the file does not have is -1 and
// matches nothing.
ImageFormat classify_format(int b0, int b1, int b2);

// Reads the first three bytes of the file; FORMAT_UNKNOWN if it cannot be opened.
ImageFormat detect_format(const char* path);

// A heap-allocated Image of the file, or null when no loader of its format takes it.
Image* load_image(const char* path);

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
    ImagePtr image;                      // null on a decline
    LoadError error = LoadError::none;   // none exactly when image is set
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
};

// The picture in `size` bytes of a file held in memory, whatever its format.
LoadResult load_image_from_memory(const uint8_t* bytes, size_t size, const LoadOptions& options = LoadOptions());
// Reads a regular file once (FIFOs, devices and directories are refused)
// and decodes it from memory; the bytes are released before it returns.
LoadResult load_image_file(const std::string& path, const LoadOptions& options = LoadOptions());

}  // namespace orvandel

#endif
