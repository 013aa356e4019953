// What the builders hand the writers: an atlas, or the levels of a mip chain,
// each with whether its top bytes are alpha.
#ifndef ORVANDEL_PICTURE_ATLAS_H
#define ORVANDEL_PICTURE_ATLAS_H

#include <vector>

#include "picture/image.h"

namespace orvandel {

// An atlas or a level: Pixels as everywhere (red in the low byte); when
// `alpha` is set the top byte is alpha (255 opaque), otherwise it is 0.
struct Atlas {
    ImagePtr image;  // null when the memory could not be had
    bool alpha = false;
};

// The levels of a mip chain, largest (the source) first, down to 1 x 1.
struct MipChain {
    std::vector<ImagePtr> levels;  // empty when the memory could not be had
    bool alpha = false;
};

}  // namespace orvandel

#endif
