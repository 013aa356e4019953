#ifndef ORVANDEL_MIPMAP_MIPMAP_H
#define ORVANDEL_MIPMAP_MIPMAP_H

#include "formats/image.h"

// Fill a canvas (2W x 2H, or 2W x H for the ordinary strip, source in the
// top-left corner, zero elsewhere) with halved copies of the source, in place.
void build_bidirectional_mipmap(Image* canvas);
void build_ordinary_mipmap(Image* canvas);

#endif
