#ifndef ORVANDEL_FORMATS_PCX_H
#define ORVANDEL_FORMATS_PCX_H

#include "formats/image.h"

// True-colour PCX: three 8-bit planes per scan line.
Image* load_pcx24(const char* path);
// 8-bit palettized PCX with its 256-colour palette at the end of the file.
Image* load_pcx8(const char* path);

#endif
