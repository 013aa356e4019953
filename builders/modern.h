// The modern atlas builders: linear-light, alpha-aware filtering with clean
// levels down to 1 x 1, for the modern command line. The classic filters stay
// in mipmap.h and are reached from here through FilterKind::classic.
#ifndef ORVANDEL_BUILDERS_MODERN_H
#define ORVANDEL_BUILDERS_MODERN_H

#include <vector>

#include "picture/image.h"

namespace orvandel {

enum class AtlasLayout { rip, mip };
enum class FilterKind { box, kaiser, classic };
enum class ColourSpace { srgb, linear };
enum class EdgeMode { clamp, wrap, mirror };

struct FilterOptions {
    AtlasLayout layout = AtlasLayout::rip;
    FilterKind filter = FilterKind::box;
    ColourSpace colour = ColourSpace::srgb;
    EdgeMode edge = EdgeMode::clamp;
    bool normal_map = false;
    // Alpha-coverage threshold in (0, 1); 0 leaves alpha as filtered.
    double coverage = 0;
    // Threads one build may use (at least 1).
    int threads = 1;
};

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

// True when some Pixel's top byte is below 255: only such a source gives an
// RGBA atlas. `source_alpha` says whether the top byte is alpha at all.
bool image_has_alpha(const Image& source, bool source_alpha);

// The atlas of `source` in options.layout. `alpha`: the source's top bytes
// are alpha and some are below 255 (image_has_alpha); the atlas is then RGBA.
Atlas build_atlas(const Image& source, bool alpha, const FilterOptions& options);

// The mip levels of `source` (options.layout is ignored; FilterKind::classic
// is not offered here).
MipChain build_mip_chain(const Image& source, bool alpha, const FilterOptions& options);

}  // namespace orvandel

#endif
