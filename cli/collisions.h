// Outputs that would land on one file, and inputs that are another texture's
// output, found by asking the file system which file each name reaches:
// spellings differ ("a_mip.bmp", "/w/a_mip.bmp", a link to the directory)
// where the file is one.
#ifndef ORVANDEL_CLI_COLLISIONS_H
#define ORVANDEL_CLI_COLLISIONS_H

#include <string>

#include "cli/options.h"

namespace orvandel {

// The first collision among `options.inputs` and `options.outputs`: its
// message (without "orvandel: ") and a second line, a hint for a person;
// both empty when there is none.
struct Collision {
    std::string message;
    std::string hint;
};
Collision find_collision(const CliOptions& options);

}  // namespace orvandel

#endif
