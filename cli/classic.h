#ifndef ORVANDEL_CLI_CLASSIC_H
#define ORVANDEL_CLI_CLASSIC_H

#include <string>

#include "picture/image.h"
#include "readers/load_image.h"

namespace orvandel {

// Process exit statuses.
constexpr int EXIT_ATLAS_WRITTEN = 0;
constexpr int EXIT_USAGE = 1;
constexpr int EXIT_INVALID_FORMAT = 2;
constexpr int EXIT_NO_MEMORY = 3;
constexpr int EXIT_WRITE_FAILED = 4;

// The part of the path after its last backslash, or the whole path.
std::string display_name(const std::string& path);

// The path with the file name's extension (from its last dot) replaced by
// "_mip.bmp". Only the file name, after the last '/' or '\', is looked at, so
// a dot in a directory name never moves the output to another directory.
std::string make_output_name(const std::string& path);

// The canvas for a source of w x h: 2w wide, 2h (bi-directional) or h high,
// black, with the source in its top-left corner. Null when its sizes do not
// fit 32 bits, when the atlas would not fit a BMP file, or when the memory is
// not there.
ImagePtr new_canvas(const Image* source, bool bidirectional);

// The same canvas held as the atlas's BMP file, as the run builds and writes
// it; null in the same cases.
BgrImagePtr new_file_canvas(const Image* source, bool bidirectional);

// The classic atlas of a loaded picture, built where its BMP file's bytes
// are: in the canvas the loader filled, or in a new one that takes the
// picture over (the picture is released either way). Null when the canvas
// memory cannot be had.
BgrImagePtr build_classic_file_atlas(LoadResult* loaded, bool bidirectional);

// The whole run: banner, load, atlas, write, the wait for a key. Returns the
// exit status.
int run_orvandel(int argc, char** argv);

}  // namespace orvandel

#endif
