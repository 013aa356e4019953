#ifndef ORVANDEL_FORMATS_GIF_H
#define ORVANDEL_FORMATS_GIF_H

#include "formats/image.h"

namespace orvandel {

// Every frame of a GIF file, stacked top to bottom into one Image.
Image* load_gif(const char* path);

}  // namespace orvandel

#endif
