// What the builders hand the writers: an atlas, or the levels of a mip chain,
// each with whether its top bytes are alpha.
#ifndef ORVANDEL_PICTURE_ATLAS_H
#define ORVANDEL_PICTURE_ATLAS_H

#include <cstdint>
#include <vector>

#include "picture/image.h"

namespace orvandel {

// Where one block of an atlas lies: the source halved `across` times
// horizontally and `down` times vertically (a mip level: both its number),
// at (x, y) with its size, in atlas pixels, top-left origin, without padding.
struct AtlasBlock {
    int32_t across = 0, down = 0;
    int32_t x = 0, y = 0, width = 0, height = 0;
};

// An atlas or a level: Pixels as everywhere (red in the low byte); when
// `alpha` is set the top byte is alpha (255 opaque), otherwise it is 0.
struct Atlas {
    ImagePtr image;  // null when the memory could not be had
    bool alpha = false;
    // The blocks, ordered by down, then across; each is surrounded by
    // `padding` texels, and starts on a multiple of `alignment` on both axes.
    std::vector<AtlasBlock> blocks;
    int padding = 0;
    int alignment = 1;
    // Block columns and rows of the rip grid; a mip strip's levels, twice.
    int levels_across = 0, levels_down = 0;
};

// The levels of a mip chain, largest (the source) first, down to 1 x 1.
struct MipChain {
    std::vector<ImagePtr> levels;  // empty when the memory could not be had
    bool alpha = false;
};

}  // namespace orvandel

#endif
