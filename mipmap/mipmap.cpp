// Atlas builders: not yet written; the canvas keeps the source block alone.
#include "mipmap/mipmap.h"

void build_bidirectional_mipmap(Image*) {}
void build_ordinary_mipmap(Image*) {}
