// GIF stream reader: not yet written; every file is declined.
#include "formats/gif.h"

Image* load_gif(const char*) { return nullptr; }
