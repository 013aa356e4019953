// Both halvings in one pass against the two passes one after the other: the
// same bits for every filter, edge, mode and size, from 8-bit pixels and
// from working values, on one thread and on several.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "builders/resample.h"

using namespace orvandel;

namespace {

TEST(HalveBoth, GivesTheBitsOfTheTwoPasses) {
    const PassMode plain{false, 0.0f, false}, clamped{false, 0.0f, true}, weighted{true, 0.0f, true},
        normal{false, -1.0f, true};
    const struct {
        FilterKind filter;
        EdgeMode edge;
        PassMode mode;
    } cases[] = {{FilterKind::box, EdgeMode::clamp, plain},        {FilterKind::box, EdgeMode::clamp, weighted},
                 {FilterKind::kaiser, EdgeMode::clamp, clamped},   {FilterKind::kaiser, EdgeMode::mirror, weighted},
                 {FilterKind::kaiser, EdgeMode::wrap, normal}};
    const struct {
        int32_t width, height;
    } sizes[] = {{4, 4}, {5, 3}, {2, 9}, {33, 17}, {130, 9}, {6, 257}, {300, 300}};
    uint32_t state = 7;
    const auto next = [&] { return (state = state * 1103515245u + 12345u) >> 8; };
    for (const auto& c : cases)
        for (const auto& size : sizes)
            for (const bool from_pixels : {false, true})
                for (const int threads : {1, 2}) {
                    const int32_t w = size.width, h = size.height;
                    std::vector<Pixel> pixels(size_t(w) * size_t(h));
                    std::vector<Linear> values(pixels.size());
                    for (size_t k = 0; k < pixels.size(); ++k) {
                        pixels[k] = next();
                        for (float& v : values[k].v) v = float(next() & 0xFFFF) / 65535.0f;
                    }
                    BlockView block;
                    if (from_pixels)
                        block.pixels = pixels.data();
                    else
                        block.values = values.data();
                    block.stride = w;
                    block.width = w;
                    block.height = h;
                    const Coding coding = make_coding(ValueKind::srgb, c.mode.alpha_weighted);
                    const Taps across = make_taps(c.filter, c.edge, w), down = make_taps(c.filter, c.edge, h);
                    std::vector<Linear> halved(size_t(across.out_size) * size_t(h));
                    std::vector<Linear> two(size_t(across.out_size) * size_t(down.out_size)), one(two.size());
                    ASSERT_TRUE(halve_rows(block, coding, across, c.mode, threads, halved.data()));
                    BlockView middle;
                    middle.values = halved.data();
                    middle.stride = middle.width = across.out_size;
                    middle.height = h;
                    ASSERT_TRUE(halve_columns(middle, coding, down, c.mode, threads, two.data()));
                    ASSERT_TRUE(halve_both(block, coding, across, down, c.mode, threads, one.data()));
                    EXPECT_EQ(std::memcmp(one.data(), two.data(), sizeof(Linear) * two.size()), 0)
                        << "filter " << int(c.filter) << ", edge " << int(c.edge) << ", " << w << " x " << h
                        << (from_pixels ? " pixels" : " values") << ", threads " << threads;
                }
}

}  // namespace
