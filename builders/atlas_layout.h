// Where the blocks of a rip or mip atlas go, as a pure function of the
// source's size and the layout options, and the step that moves packed
// blocks to those places and fills what surrounds them. Padding 0 with
// alignment 1 is the packed layout the builders have always made: the grid
// (or strip) of halvings, twice the source's width (and height).
// docs/atlas-layout.md gives the formulas.
#ifndef ORVANDEL_BUILDERS_ATLAS_LAYOUT_H
#define ORVANDEL_BUILDERS_ATLAS_LAYOUT_H

#include <cstdint>
#include <vector>

#include "builders/filter_options.h"
#include "picture/atlas.h"
#include "picture/float_image.h"
#include "picture/image.h"

namespace orvandel {

constexpr int MAX_PADDING = 64;
constexpr int MAX_ALIGNMENT = 64;

struct AtlasGeometry {
    int64_t width = 0, height = 0;  // 0 when the arguments are refused
    std::vector<AtlasBlock> blocks;  // ordered by down, then across
    int padding = 0, alignment = 1;
    int levels_across = 0, levels_down = 0;
};

// Sizes n, max(1, n / 2), ... down to 1: the halvings along one axis.
std::vector<int32_t> halvings(int32_t n);
// Where each of `sizes` starts when they are laid end to end from 0.
std::vector<int32_t> offsets(const std::vector<int32_t>& sizes);

// The modern builders' layout for a width x height source. Sizes of 0 or
// less, padding outside [0, MAX_PADDING] and alignment outside
// [1, MAX_ALIGNMENT] give width 0.
AtlasGeometry atlas_geometry(int32_t width, int32_t height, AtlasLayout layout, int padding, int alignment);

// The classic builders' blocks on their canvas (2w x 2h, or 2w x h): the
// rip grid is the packed modern one; the classic strip stops at the first
// level one of whose sizes would be 0.
AtlasGeometry classic_geometry(int32_t width, int32_t height, AtlasLayout layout);

// The cell that block `k` of `g` owns: its padded rectangle, grown to
// multiples of the alignment. Cells never overlap.
struct Cell {
    int64_t x, y, width, height;
};
Cell block_cell(const AtlasGeometry& g, size_t k);

// Moves blocks built at the places of `packed` (the same source and layout
// with padding 0, alignment 1) in `atlas` (already the size `placed` asks
// for) to their places in `placed`, then fills every cell's texels around
// its block as `edge` gives them. Nothing outside the cells changes.
void place_blocks(const AtlasGeometry& packed, const AtlasGeometry& placed, EdgeMode edge, Image* atlas);
// The same fill for blocks already at their places in a 16-bit atlas.
void fill_padding(const AtlasGeometry& placed, EdgeMode edge, WideImage* atlas);

// Copies the geometry's numbers into the atlas record.
void describe_atlas(const AtlasGeometry& g, Atlas* atlas);

}  // namespace orvandel

#endif
