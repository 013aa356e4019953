#ifndef ORVANDEL_FORMATS_TGA_H
#define ORVANDEL_FORMATS_TGA_H

#include "formats/image.h"

namespace orvandel {

// Colour-mapped, true-colour and grey-scale TGA, plain or run-length encoded.
Image* load_tga(const char* path);

}  // namespace orvandel

#endif
