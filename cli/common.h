// What the two command lines share: exit statuses and output names.
#ifndef ORVANDEL_CLI_COMMON_H
#define ORVANDEL_CLI_COMMON_H

#include <string>

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

}  // namespace orvandel

#endif
