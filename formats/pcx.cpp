// PCX reader: not yet written; every file is declined.
#include "formats/pcx.h"

Image* load_pcx24(const char*) { return nullptr; }
Image* load_pcx8(const char*) { return nullptr; }
