// The choices that shape a modern build: layout, filter, colour handling,
// edges, normal maps, alpha coverage, and the threads it may use.
#ifndef ORVANDEL_BUILDERS_FILTER_OPTIONS_H
#define ORVANDEL_BUILDERS_FILTER_OPTIONS_H

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
    // Rip and mip atlases: texels around every block, taken as `edge` says,
    // so bilinear sampling that far past a block's edge stays in it.
    int padding = 0;
    // Rip and mip atlases: every block starts on a multiple of this on both
    // axes (a compressed format's block size), the gaps filled from the
    // block's edges; 1 keeps the blocks packed.
    int alignment = 1;
    // Threads one build may use (at least 1).
    int threads = 1;
};

}  // namespace orvandel

#endif
