#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "builders/classic.h"
#include "builders/modern.h"
#include "builders/resample.h"
#include "level_model.h"

using namespace orvandel;

namespace {

using namespace model;

// The factor k / 1000 whose share of min(1, f a) >= T is closest to the
// source's, searched one k at a time; the alphas scaled by `nudge`.
double coverage_factor(const Block& b, double threshold, double source_share, double nudge = 1) {
    double best = 0, best_distance = 1e9;
    for (int k = 0; k <= 64000; ++k) {
        int hits = 0;
        for (const Px& q : b.p) hits += std::min(1.0, k / 1000.0 * q[3] * nudge) >= threshold;
        const double distance = std::fabs(double(hits) / double(b.p.size()) - source_share);
        if (distance < best_distance - 1e-12 ||
            (std::fabs(distance - best_distance) <= 1e-12 && std::abs(k - 1000) < std::abs(best * 1000 - 1000)))
            best = k / 1000.0, best_distance = distance;
    }
    return best;
}

// The model's atlas: the pixels, and per channel byte how far from them a
// result may lie: 1 where the exact value is at a half step, more where the
// alpha coverage factor is as near a tie.
struct ModelAtlas {
    std::vector<Pixel> pixels, slack;
};

void put(ModelAtlas* atlas, int atlas_width, int x0, int y0, const Block& b, const Case& c, double share) {
    // A product exactly at the threshold goes either way in floats, and may
    // move the factor: alphas nudged by far more than float rounding show
    // the factors the pipeline may choose.
    std::vector<double> factors;
    if (c.alpha && c.coverage > 0)
        for (const double nudge : {1.0, 1 - 1e-6, 1 + 1e-6})
            factors.push_back(coverage_factor(b, c.coverage, share, nudge));
    const double f = factors.empty() ? 1 : factors[0];
    for (int y = 0; y < b.h; ++y)
        for (int x = 0; x < b.w; ++x) {
            const Px& q = b.p[size_t(y * b.w + x)];
            Step steps[4] = {encode(q[0], c), encode(q[1], c), encode(q[2], c), nearest_step(std::min(1.0, f * q[3]))};
            int alpha_slack = steps[3].either;
            for (size_t k = 1; k < factors.size(); ++k) {
                const Step other = nearest_step(std::min(1.0, factors[k] * q[3]));
                alpha_slack = std::max(alpha_slack, std::abs(other.value - steps[3].value) + other.either);
            }
            Pixel v = 0, slack = 0;
            for (int ch = 0; ch < (c.alpha ? 4 : 3); ++ch) {
                v |= Pixel(steps[ch].value) << (8 * ch);
                slack |= Pixel(ch == 3 ? alpha_slack : steps[ch].either) << (8 * ch);
            }
            atlas->pixels[size_t((y0 + y) * atlas_width + x0 + x)] = v;
            atlas->slack[size_t((y0 + y) * atlas_width + x0 + x)] = slack;
        }
}

ModelAtlas model_atlas(const std::vector<Pixel>& source, const Case& c, AtlasLayout layout, int* width) {
    Block level{c.w, c.h, {}};
    int shared = 0;
    for (Pixel p : source) {
        level.p.push_back({decode(p & 255, c), decode((p >> 8) & 255, c), decode((p >> 16) & 255, c),
                           c.alpha ? (p >> 24) / 255.0 : 1});
        shared += (p >> 24) / 255.0 >= c.coverage;
    }
    const double share = double(shared) / double(source.size());
    ModelAtlas atlas;
    if (layout == AtlasLayout::rip) {
        *width = 2 * c.w;
        atlas.pixels.assign(size_t(4 * c.w * c.h), 0);
        atlas.slack = atlas.pixels;
        for (int j = 0, y = 0; j == 0 || level.h > 1; ++j) {
            if (j > 0) y += level.h, level = renormalised(halve(level, false, c), c);
            Block b = level;
            for (int i = 0, x = 0; i == 0 || b.w > 1; ++i) {
                if (i > 0) x += b.w, b = renormalised(halve(b, true, c), c);
                if (i + j > 0) put(&atlas, *width, x, y, b, c, share);
            }
        }
    } else {
        int levels = 1, total = c.w;
        for (int w = c.w, h = c.h; w > 1 || h > 1; w = std::max(1, w / 2), h = std::max(1, h / 2))
            ++levels, total += std::max(1, w / 2);
        *width = std::max(2 * c.w, total);
        atlas.pixels.assign(size_t(*width * c.h), 0);
        atlas.slack = atlas.pixels;
        for (int k = 1, x = c.w; k < levels; ++k) {
            level = renormalised(halve(halve(level, true, c), false, c), c);
            put(&atlas, *width, x, 0, level, c, share);
            x += level.w;
        }
    }
    for (int y = 0; y < c.h; ++y)
        for (int x = 0; x < c.w; ++x)
            atlas.pixels[size_t(y * *width + x)] = source[size_t(y * c.w + x)] & (c.alpha ? 0xFFFFFFFFu : 0xFFFFFFu);
    return atlas;
}

std::vector<Pixel> noise(int count, bool alpha, uint32_t state) {
    std::vector<Pixel> pixels;
    for (int k = 0; k < count; ++k) {
        state = state * 1664525u + 1013904223u;
        Pixel p = state >> 8;
        // A quarter of the alphas fully transparent, a quarter opaque.
        const Pixel a = (state >> 4) % 4 == 0 ? 0 : (state >> 4) % 4 == 1 ? 255 : (state >> 24);
        pixels.push_back(p | (alpha ? a : 255) << 24);
    }
    return pixels;
}

Image view(std::vector<Pixel>& pixels, int w, int h) { return Image{pixels.data(), w, h}; }

// Whether a channel of `got` lies further from the model's than its slack.
bool off_model(Pixel got, Pixel expected, Pixel slack) {
    for (int n = 0; n < 4; ++n) {
        const int gap = std::abs(int((got >> (8 * n)) & 255) - int((expected >> (8 * n)) & 255));
        if (gap > int((slack >> (8 * n)) & 255)) return true;
    }
    return false;
}

TEST(ModernAtlas, MatchesTheDefinitionsExactly) {
    const FilterKind box = FilterKind::box, kaiser = FilterKind::kaiser;
    const ColourSpace srgb = ColourSpace::srgb, linear = ColourSpace::linear;
    const EdgeMode clamp = EdgeMode::clamp, wrap = EdgeMode::wrap, mirror = EdgeMode::mirror;
    const Case cases[] = {
        {1, 1, box, srgb, clamp, false, false, 0},      {1, 6, box, srgb, clamp, false, false, 0},
        {7, 1, kaiser, srgb, clamp, false, false, 0},   {5, 3, box, linear, clamp, false, false, 0},
        {9, 7, kaiser, linear, clamp, false, false, 0}, {12, 5, kaiser, srgb, wrap, false, false, 0},
        {6, 11, kaiser, srgb, mirror, false, false, 0}, {3, 2, kaiser, srgb, mirror, false, false, 0},
        {11, 6, box, srgb, clamp, true, false, 0},      {10, 9, kaiser, linear, mirror, true, false, 0},
        {8, 5, box, srgb, clamp, false, true, 0},       {7, 4, kaiser, linear, wrap, true, true, 0},
        {9, 6, box, srgb, clamp, true, false, 0.5},     {6, 7, kaiser, srgb, clamp, true, false, 0.3},
        // Large enough to be split over threads.
        {300, 220, kaiser, srgb, mirror, true, false, 0},
        // Rows long enough to be halved in segments, and a column halved as a row.
        {32771, 1, kaiser, srgb, wrap, true, false, 0}, {32800, 2, kaiser, linear, mirror, true, false, 0},
        {1, 32771, box, srgb, clamp, false, false, 0},
    };
    for (const Case& c : cases)
        for (const AtlasLayout layout : {AtlasLayout::rip, AtlasLayout::mip}) {
            std::vector<Pixel> pixels = noise(c.w * c.h, c.alpha, uint32_t(c.w * 31 + c.h));
            FilterOptions options;
            options.layout = layout;
            options.filter = c.filter;
            options.colour = c.colour;
            options.edge = c.edge;
            options.normal_map = c.normal;
            options.coverage = c.coverage;
            options.threads = 2;
            const Image source = view(pixels, c.w, c.h);
            ASSERT_EQ(image_has_alpha(source, true), c.alpha);
            const Atlas atlas = build_atlas(source, c.alpha, options);
            int width = 0;
            const ModelAtlas expected = model_atlas(pixels, c, layout, &width);
            ASSERT_TRUE(atlas.image);
            ASSERT_EQ(atlas.alpha, c.alpha);
            ASSERT_EQ(atlas.image->width, width);
            ASSERT_EQ(size_t(atlas.image->width) * atlas.image->height, expected.pixels.size());
            size_t off = 0, first = 0;
            for (size_t k = expected.pixels.size(); k-- > 0;)
                if (off_model(atlas.image->pixels[k], expected.pixels[k], expected.slack[k])) ++off, first = k;
            EXPECT_EQ(off, 0u) << "first at " << first << ": " << std::hex << atlas.image->pixels[first] << " not "
                               << expected.pixels[first] << std::dec << ", " << c.w << "x" << c.h << " filter "
                               << int(c.filter) << " edge " << int(c.edge) << " layout " << int(layout);
        }
}

// Rows are encoded by a computed curve where the processor allows; they give
// encode_srgb's bytes, which round as the definition does but within a
// float's resolution of a half step.
TEST(ModernValues, SrgbRowsRoundAsTheDefinition) {
    const int steps = 1 << 20;
    std::vector<Linear> row(steps / 4);
    std::vector<Pixel> out(row.size());
    for (int k = 0; k < steps; ++k) row[size_t(k / 4)].v[k % 4] = float(k) / (steps - 1);
    Case srgb{};
    srgb.colour = ColourSpace::srgb;
    encode_row(row.data(), int32_t(row.size()), make_coding(ValueKind::srgb, false), out.data());
    int off_table = 0, far_from_half_wrong = 0;
    for (int k = 0; k < steps; ++k) {
        if (k % 4 == 3) continue;
        const float l = row[size_t(k / 4)].v[k % 4];
        const double y = to_srgb(l) * 255;
        const int got = int((out[size_t(k / 4)] >> (8 * (k % 4))) & 255);
        off_table += got != encode_srgb(l);
        far_from_half_wrong += got != encode(l, srgb).value && std::fabs(y - std::floor(y) - 0.5) > 1e-5;
    }
    EXPECT_EQ(off_table, 0);
    EXPECT_EQ(far_from_half_wrong, 0);
}

TEST(ModernAtlas, BlackWhiteCheckerAveragesInLight) {
    const int side = 8;
    std::vector<Pixel> pixels;
    for (int k = 0; k < side * side; ++k) pixels.push_back((k / side + k % side) % 2 ? 0xFFFFFF : 0);
    const Image source = view(pixels, side, side);
    const Atlas modern = build_atlas(source, false, FilterOptions{});
    FilterOptions classic_options;
    classic_options.filter = FilterKind::classic;
    const Atlas classic = build_atlas(source, false, classic_options);
    ASSERT_TRUE(modern.image && classic.image);
    // Block (1, 0) starts at column 8, block (0, 1) at row 8.
    for (const int at : {8, 8 * 2 * side})
        for (int n = 0; n < 3; ++n) {
            EXPECT_EQ((modern.image->pixels[at] >> (8 * n)) & 255, 188u);
            EXPECT_EQ((classic.image->pixels[at] >> (8 * n)) & 255, 127u);
        }
}

TEST(ModernAtlas, ClassicFilterIsTheClassicAtlas) {
    const int sizes[][2] = {{1, 1}, {5, 3}, {8, 4}, {3, 7}, {16, 1}};
    for (const auto& size : sizes)
        for (const AtlasLayout layout : {AtlasLayout::rip, AtlasLayout::mip})
            for (const bool alpha : {false, true}) {
                const int w = size[0], h = size[1], canvas_height = layout == AtlasLayout::rip ? 2 * h : h;
                std::vector<Pixel> pixels = noise(w * h, alpha, uint32_t(w + 7 * h));
                // The classic run's canvas, and the same for the alpha values.
                std::vector<Pixel> colour(size_t(2 * w * canvas_height)), alphas(colour.size());
                for (int y = 0; y < h; ++y)
                    for (int x = 0; x < w; ++x) {
                        colour[size_t(y * 2 * w + x)] = pixels[size_t(y * w + x)] & 0xFFFFFF;
                        alphas[size_t(y * 2 * w + x)] = pixels[size_t(y * w + x)] >> 24;
                    }
                for (std::vector<Pixel>* canvas : {&colour, &alphas}) {
                    Image image = view(*canvas, 2 * w, canvas_height);
                    layout == AtlasLayout::rip ? build_classic_rip(&image) : build_classic_mip(&image);
                }
                FilterOptions options;
                options.filter = FilterKind::classic;
                options.layout = layout;
                const Atlas atlas = build_atlas(view(pixels, w, h), alpha, options);
                ASSERT_TRUE(atlas.image);
                ASSERT_EQ(atlas.image->width, 2 * w);
                ASSERT_EQ(atlas.image->height, canvas_height);
                for (size_t k = 0; k < colour.size(); ++k)
                    ASSERT_EQ(atlas.image->pixels[k], colour[k] | (alpha ? (alphas[k] & 255) << 24 : 0))
                        << w << "x" << h << " pixel " << k;
            }
}

TEST(ModernAtlas, MipChainHoldsTheStripLevels) {
    std::vector<Pixel> pixels = noise(10 * 3, true, 5);
    FilterOptions options;
    options.layout = AtlasLayout::mip;
    options.filter = FilterKind::kaiser;
    const Atlas atlas = build_atlas(view(pixels, 10, 3), true, options);
    const MipChain chain = build_mip_chain(view(pixels, 10, 3), true, options);
    ASSERT_TRUE(atlas.image);
    ASSERT_EQ(chain.levels.size(), 4u);  // 10x3, 5x1, 2x1, 1x1
    int x = 0;
    for (const ImagePtr& level : chain.levels) {
        for (int r = 0; r < level->height; ++r)
            for (int c = 0; c < level->width; ++c)
                ASSERT_EQ(level->pixels[r * level->width + c], atlas.image->pixels[r * atlas.image->width + x + c]);
        x += level->width;
    }
}

// A one-pixel-wide picture is halved and encoded as a row is: its levels
// are those of the picture turned on its side, byte for byte. (Encoded as
// stored or as normals: sRGB rows of more than one pixel may take the
// computed curve.) Its atlases are checked against the definitions above.
TEST(ModernAtlas, OnePixelWideIsTheRowTurned) {
    const int n = 65536 + 3;
    struct Shape {
        FilterKind filter;
        EdgeMode edge;
        bool alpha, normal;
    } const shapes[] = {{FilterKind::box, EdgeMode::clamp, false, false},
                        {FilterKind::kaiser, EdgeMode::wrap, true, false},
                        {FilterKind::kaiser, EdgeMode::mirror, false, true}};
    for (const Shape& c : shapes) {
        std::vector<Pixel> pixels = noise(n, c.alpha, 11);
        FilterOptions options;
        options.filter = c.filter;
        options.edge = c.edge;
        options.colour = ColourSpace::linear;
        options.normal_map = c.normal;
        options.threads = 2;
        const MipChain tall = build_mip_chain(view(pixels, 1, n), c.alpha, options);
        const MipChain wide = build_mip_chain(view(pixels, n, 1), c.alpha, options);
        ASSERT_EQ(tall.levels.size(), wide.levels.size());
        const auto pixels_of = [](const Image& level) {
            return std::vector<Pixel>(level.pixels, level.pixels + int64_t(level.width) * level.height);
        };
        for (size_t k = 0; k < tall.levels.size(); ++k) {
            ASSERT_EQ(tall.levels[k]->height, wide.levels[k]->width);
            EXPECT_EQ(pixels_of(*tall.levels[k]), pixels_of(*wide.levels[k])) << "level " << k;
        }
    }
}

}  // namespace
