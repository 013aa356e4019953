// Format detection by the first bytes of a file, and the one entry through
// which the driver obtains an Image.
#ifndef ORVANDEL_FORMATS_LOAD_IMAGE_H
#define ORVANDEL_FORMATS_LOAD_IMAGE_H

#include "formats/image.h"

using ImageFormat = int;
constexpr ImageFormat FORMAT_BMP = 1;
constexpr ImageFormat FORMAT_PCX = 2;
constexpr ImageFormat FORMAT_GIF = 4;
constexpr ImageFormat FORMAT_TGA = 8;
constexpr ImageFormat FORMAT_UNKNOWN = -1;

// Classifies three leading bytes; a byte the file does not have is -1 and
// matches nothing.
ImageFormat classify_format(int b0, int b1, int b2);

// Reads the first three bytes of the file; FORMAT_UNKNOWN if it cannot be opened.
ImageFormat detect_format(const char* path);

// A heap-allocated Image of the file, or null when no loader of its format takes it.
Image* load_image(const char* path);

#endif
