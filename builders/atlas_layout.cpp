// Atlas geometry: every block gets a cell of its own, made of the block, its
// padding and, with an alignment above 1, the texels that round the cell up
// to multiples of it; the block starts at round_up(padding, alignment) in its
// cell. Cells sit side by side (rip: in a grid of columns and rows sized by
// the block sizes along each axis; mip: in one row, top-aligned). The atlas
// is at least twice the source's width (and, for the rip grid, height), as
// the packed layout always was, rounded up to the alignment.
#include "builders/atlas_layout.h"

#include <algorithm>
#include <cstring>

#include "builders/resample.h"

namespace orvandel {

namespace {

int64_t round_up(int64_t n, int64_t step) { return (n + step - 1) / step * step; }

// Where the block starts in its cell, and the cell's size along one axis.
int64_t lead(const AtlasGeometry& g) { return round_up(g.padding, g.alignment); }
int64_t cell_size(const AtlasGeometry& g, int64_t block) { return lead(g) + round_up(block + g.padding, g.alignment); }

// Start of each cell along an axis, and the end of the last.
std::vector<int64_t> cell_starts(const AtlasGeometry& g, const std::vector<int32_t>& sizes) {
    std::vector<int64_t> at{0};
    for (int32_t size : sizes) at.push_back(at.back() + cell_size(g, size));
    return at;
}

bool fits(int64_t n) { return n > 0 && n <= INT32_MAX; }

}  // namespace

std::vector<int32_t> halvings(int32_t n) {
    std::vector<int32_t> sizes{n};
    while (sizes.back() > 1) sizes.push_back(sizes.back() / 2);
    return sizes;
}

std::vector<int32_t> offsets(const std::vector<int32_t>& sizes) {
    std::vector<int32_t> at{0};
    for (size_t k = 0; k + 1 < sizes.size(); ++k) at.push_back(at.back() + sizes[k]);
    return at;
}

AtlasGeometry atlas_geometry(int32_t width, int32_t height, AtlasLayout layout, int padding, int alignment) {
    AtlasGeometry g;
    if (width <= 0 || height <= 0 || padding < 0 || padding > MAX_PADDING || alignment < 1 ||
        alignment > MAX_ALIGNMENT)
        return g;
    g.padding = padding;
    g.alignment = alignment;
    const std::vector<int32_t> widths = halvings(width), heights = halvings(height);
    std::vector<int64_t> xs, ys;
    if (layout == AtlasLayout::rip) {
        xs = cell_starts(g, widths);
        ys = cell_starts(g, heights);
        g.levels_across = int(widths.size());
        g.levels_down = int(heights.size());
        for (size_t j = 0; j < heights.size(); ++j)
            for (size_t i = 0; i < widths.size(); ++i)
                g.blocks.push_back(AtlasBlock{int32_t(i), int32_t(j), int32_t(xs[i] + lead(g)),
                                              int32_t(ys[j] + lead(g)), widths[i], heights[j]});
        g.width = round_up(std::max<int64_t>(2 * int64_t(width), xs.back()), alignment);
        g.height = round_up(std::max<int64_t>(2 * int64_t(height), ys.back()), alignment);
    } else {
        const size_t levels = std::max(widths.size(), heights.size());
        std::vector<int32_t> level_widths;
        for (size_t k = 0; k < levels; ++k) level_widths.push_back(widths[std::min(k, widths.size() - 1)]);
        xs = cell_starts(g, level_widths);
        g.levels_across = g.levels_down = int(levels);
        for (size_t k = 0; k < levels; ++k)
            g.blocks.push_back(AtlasBlock{int32_t(k), int32_t(k), int32_t(xs[k] + lead(g)), int32_t(lead(g)),
                                          level_widths[k], heights[std::min(k, heights.size() - 1)]});
        g.width = round_up(std::max<int64_t>(2 * int64_t(width), xs.back()), alignment);
        g.height = cell_size(g, height);
    }
    // Offsets beyond 32 bits are refused here, before any block is used.
    if (!fits(g.width) || !fits(g.height)) return AtlasGeometry{};
    return g;
}

AtlasGeometry classic_geometry(int32_t width, int32_t height, AtlasLayout layout) {
    AtlasGeometry g = atlas_geometry(width, height, layout, 0, 1);
    if (g.width == 0 || layout == AtlasLayout::rip) return g;
    const size_t levels = std::min(halvings(width).size(), halvings(height).size());
    g.blocks.resize(levels);
    g.levels_across = g.levels_down = int(levels);
    g.height = height;
    return g;
}

Cell block_cell(const AtlasGeometry& g, size_t k) {
    const AtlasBlock& b = g.blocks[k];
    return Cell{b.x - lead(g), b.y - lead(g), cell_size(g, b.width), cell_size(g, b.height)};
}

namespace {

// A texel of a WideImage, moved as one.
struct HalfTexel {
    uint16_t v[4];
};

// Every cell's texels around its block, as `edge` gives them.
template <class Texel>
void fill_cells(const AtlasGeometry& placed, EdgeMode edge, Texel* texels, int64_t stride) {
    for (size_t k = 0; k < placed.blocks.size(); ++k) {
        const AtlasBlock& b = placed.blocks[k];
        const Cell cell = block_cell(placed, k);
        for (int64_t y = cell.y; y < cell.y + cell.height; ++y) {
            const bool block_row = y >= b.y && y < b.y + b.height;
            const Texel* source = texels + (b.y + edge_index(edge, int32_t(y - b.y), b.height)) * stride + b.x;
            Texel* row = texels + y * stride;
            for (int64_t x = cell.x; x < cell.x + cell.width; ++x) {
                if (block_row && x >= b.x && x < b.x + b.width) {
                    x = b.x + b.width - 1;
                    continue;
                }
                row[x] = source[edge_index(edge, int32_t(x - b.x), b.width)];
            }
        }
    }
}

}  // namespace

void place_blocks(const AtlasGeometry& packed, const AtlasGeometry& placed, EdgeMode edge, Image* atlas) {
    const auto at = [atlas](int64_t x, int64_t y) { return atlas->pixels + y * atlas->width + x; };
    // Every block moves right and down, never left or up: taken last to
    // first, and each bottom row first, no move overwrites a block (or a
    // row of its own) not yet moved.
    for (size_t k = placed.blocks.size(); k-- > 0;) {
        const AtlasBlock& from = packed.blocks[k];
        const AtlasBlock& to = placed.blocks[k];
        if (from.x == to.x && from.y == to.y) continue;
        for (int32_t r = to.height; r-- > 0;)
            std::memmove(at(to.x, to.y + r), at(from.x, from.y + r), size_t(to.width) * sizeof(Pixel));
    }
    fill_cells(placed, edge, atlas->pixels, atlas->width);
}

void fill_padding(const AtlasGeometry& placed, EdgeMode edge, WideImage* atlas) {
    static_assert(sizeof(HalfTexel) == 4 * sizeof(uint16_t), "a texel is its four samples");
    fill_cells(placed, edge, reinterpret_cast<HalfTexel*>(atlas->samples.get()), atlas->width);
}

void describe_atlas(const AtlasGeometry& g, Atlas* atlas) {
    atlas->blocks = g.blocks;
    atlas->padding = g.padding;
    atlas->alignment = g.alignment;
    atlas->levels_across = g.levels_across;
    atlas->levels_down = g.levels_down;
}

}  // namespace orvandel
