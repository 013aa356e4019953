// Padded and aligned atlases: the geometry's promises for many sizes, the
// padding texels byte by byte for each edge mode, and every block against
// the same block built without padding.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "builders/atlas_layout.h"
#include "builders/modern.h"
#include "sampler/ripmap.h"
#include "test_util.h"

using namespace orvandel;

namespace {

TEST(AtlasLayout, CellsStayInsideDisjointAndAligned) {
    for (AtlasLayout layout : {AtlasLayout::rip, AtlasLayout::mip})
        for (int32_t w : {1, 2, 3, 7, 64, 100})
            for (int32_t h : {1, 5, 16, 33})
                for (int padding : {0, 1, 3, 64})
                    for (int alignment : {1, 4, 6, 8}) {
                        const AtlasGeometry g = atlas_geometry(w, h, layout, padding, alignment);
                        SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + " padding " +
                                     std::to_string(padding) + " alignment " + std::to_string(alignment));
                        ASSERT_GT(g.width, 0);
                        ASSERT_EQ(g.blocks.size(), layout == AtlasLayout::rip
                                                       ? size_t(g.levels_across) * size_t(g.levels_down)
                                                       : size_t(g.levels_across));
                        EXPECT_EQ(g.width % alignment, 0);
                        std::vector<Cell> cells;
                        for (size_t k = 0; k < g.blocks.size(); ++k) {
                            const AtlasBlock& b = g.blocks[k];
                            const Cell c = block_cell(g, k);
                            EXPECT_EQ(b.x % alignment, 0);
                            EXPECT_EQ(b.y % alignment, 0);
                            EXPECT_EQ(c.width % alignment, 0);
                            // The padded rectangle inside the cell, the cell inside the atlas.
                            EXPECT_LE(c.x, b.x - padding);
                            EXPECT_LE(c.y, b.y - padding);
                            EXPECT_GE(c.x + c.width, b.x + b.width + padding);
                            EXPECT_GE(c.y + c.height, b.y + b.height + padding);
                            EXPECT_GE(c.x, 0);
                            EXPECT_GE(c.y, 0);
                            EXPECT_LE(c.x + c.width, g.width);
                            EXPECT_LE(c.y + c.height, g.height);
                            for (const Cell& o : cells)
                                EXPECT_FALSE(c.x < o.x + o.width && o.x < c.x + c.width && c.y < o.y + o.height &&
                                             o.y < c.y + c.height)
                                    << "block " << k << " overlaps another";
                            cells.push_back(c);
                        }
                    }
    EXPECT_EQ(atlas_geometry(0, 4, AtlasLayout::rip, 0, 1).width, 0);
    EXPECT_EQ(atlas_geometry(4, 4, AtlasLayout::rip, 65, 1).width, 0);
    EXPECT_EQ(atlas_geometry(4, 4, AtlasLayout::rip, -1, 1).width, 0);
    EXPECT_EQ(atlas_geometry(4, 4, AtlasLayout::rip, 0, 0).width, 0);
    EXPECT_EQ(atlas_geometry(INT32_MAX / 2, 1, AtlasLayout::rip, 64, 8).width, 0);
}

// A 3 x 1 source of texels a, b, c through a 1-row mip strip, padding 2: the
// row of block 0 with its padding, as each edge mode makes it.
TEST(AtlasLayout, PaddingHoldsTheEdgeModesTexels) {
    const Pixel a = 0x0000FF, b = 0x00FF00, c = 0xFF0000;
    const struct {
        EdgeMode edge;
        std::vector<Pixel> row;
    } cases[] = {
        {EdgeMode::clamp, {a, a, a, b, c, c, c}},
        {EdgeMode::wrap, {b, c, a, b, c, a, b}},
        {EdgeMode::mirror, {b, a, a, b, c, c, b}},
    };
    const test::ImagePtr source = test::make_image(3, 1, {a, b, c});
    for (const auto& t : cases) {
        FilterOptions options;
        options.layout = AtlasLayout::mip;
        options.edge = t.edge;
        options.padding = 2;
        const Atlas atlas = build_atlas(*source, false, options);
        ASSERT_TRUE(atlas.image);
        const AtlasBlock& block = atlas.blocks[0];
        ASSERT_EQ(block.width, 3);
        // Rows above and below repeat the block's one row as the edge mode does.
        for (int32_t y = block.y - 2; y <= block.y + 2; ++y)
            for (int32_t k = 0; k < 7; ++k)
                EXPECT_EQ(atlas.image->pixels[y * atlas.image->width + block.x - 2 + k], t.row[size_t(k)])
                    << "edge " << int(t.edge) << " row " << y << " texel " << k;
    }
}

std::vector<Pixel> noise(int32_t w, int32_t h, bool alpha) {
    std::vector<Pixel> pixels;
    uint32_t state = 12345;
    for (int32_t k = 0; k < w * h; ++k) {
        state = state * 1103515245u + 12345u;
        pixels.push_back(alpha ? state : state >> 8);
    }
    return pixels;
}

// Every block of a padded, aligned atlas equals the packed atlas's block,
// and every texel of its cell outside it is the edge mode's texel; the mip
// strip's blocks are the mip chain's levels.
TEST(AtlasLayout, PaddedBlocksAreThePackedBlocksWithTheirEdges) {
    const test::ImagePtr source = test::make_image(13, 9, noise(13, 9, true));
    const std::vector<ImagePtr> levels = build_mip_chain(*source, true, FilterOptions{}).levels;
    for (AtlasLayout layout : {AtlasLayout::rip, AtlasLayout::mip})
        for (EdgeMode edge : {EdgeMode::clamp, EdgeMode::wrap, EdgeMode::mirror}) {
            FilterOptions options;
            options.layout = layout;
            options.edge = edge;
            options.filter = FilterKind::kaiser;
            options.coverage = 0.5;
            const Atlas packed = build_atlas(*source, true, options);
            options.padding = 3;
            options.alignment = 4;
            const Atlas padded = build_atlas(*source, true, options);
            ASSERT_TRUE(packed.image && padded.image);
            ASSERT_EQ(packed.blocks.size(), padded.blocks.size());
            const AtlasGeometry g = atlas_geometry(13, 9, layout, 3, 4);
            const auto at = [](const Atlas& atlas, int64_t x, int64_t y) {
                return atlas.image->pixels[y * atlas.image->width + x];
            };
            for (size_t k = 0; k < padded.blocks.size(); ++k) {
                const AtlasBlock& p = padded.blocks[k];
                const AtlasBlock& q = packed.blocks[k];
                const Cell cell = block_cell(g, k);
                const ripmap::Edge sampler_edge = static_cast<ripmap::Edge>(int(edge));
                for (int64_t y = cell.y; y < cell.y + cell.height; ++y)
                    for (int64_t x = cell.x; x < cell.x + cell.width; ++x) {
                        const int i = ripmap::rip_edge_index(int(x - p.x), p.width, sampler_edge);
                        const int j = ripmap::rip_edge_index(int(y - p.y), p.height, sampler_edge);
                        ASSERT_EQ(at(padded, x, y), at(packed, q.x + i, q.y + j))
                            << "block " << k << " at " << x << ", " << y;
                    }
            }
        }
    FilterOptions options;
    options.layout = AtlasLayout::mip;
    options.padding = 2;
    const Atlas strip = build_atlas(*source, true, options);
    ASSERT_EQ(strip.blocks.size(), levels.size());
    for (size_t k = 0; k < levels.size(); ++k)
        for (int32_t y = 0; y < levels[k]->height; ++y)
            for (int32_t x = 0; x < levels[k]->width; ++x)
                ASSERT_EQ(strip.image->pixels[(strip.blocks[k].y + y) * strip.image->width + strip.blocks[k].x + x],
                          levels[k]->pixels[y * levels[k]->width + x])
                    << "level " << k;
}

}  // namespace
