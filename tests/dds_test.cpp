#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "writers/dds.h"
#include "builders/modern.h"
#include "test_util.h"

using namespace orvandel;

namespace {

uint32_t le32_at(const std::vector<uint8_t>& bytes, size_t at) { return read_le32(bytes.data() + at); }

// A small reader of what write_dds promises: the fixed header fields, then
// each level's BGRA rows, largest first.
void expect_reads_back(const std::string& path, const MipChain& chain) {
    const std::vector<uint8_t> bytes = test::read_file(path);
    ASSERT_GE(bytes.size(), 128u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "DDS ");
    EXPECT_EQ(le32_at(bytes, 4), 124u);
    EXPECT_EQ(le32_at(bytes, 8), 0x1u | 0x2 | 0x4 | 0x8 | 0x1000 | 0x20000);
    EXPECT_EQ(le32_at(bytes, 12), uint32_t(chain.levels[0]->height));
    EXPECT_EQ(le32_at(bytes, 16), uint32_t(chain.levels[0]->width));
    EXPECT_EQ(le32_at(bytes, 20), uint32_t(4 * chain.levels[0]->width));
    EXPECT_EQ(le32_at(bytes, 28), uint32_t(chain.levels.size()));
    EXPECT_EQ(le32_at(bytes, 76), 32u);
    EXPECT_EQ(le32_at(bytes, 80), chain.alpha ? 0x41u : 0x40u);
    EXPECT_EQ(le32_at(bytes, 88), 32u);
    EXPECT_EQ(le32_at(bytes, 92), 0x00FF0000u);
    EXPECT_EQ(le32_at(bytes, 96), 0x0000FF00u);
    EXPECT_EQ(le32_at(bytes, 100), 0x000000FFu);
    EXPECT_EQ(le32_at(bytes, 104), 0xFF000000u);
    EXPECT_EQ(le32_at(bytes, 108), 0x1000u | 0x400000 | 0x8);
    size_t at = 128;
    int32_t w = chain.levels[0]->width, h = chain.levels[0]->height;
    for (const ImagePtr& level : chain.levels) {
        ASSERT_EQ(level->width, w);
        ASSERT_EQ(level->height, h);
        ASSERT_LE(at + size_t(4 * w * h), bytes.size());
        for (int32_t k = 0; k < w * h; ++k, at += 4) {
            const uint32_t argb = le32_at(bytes, at);
            const Pixel p = level->pixels[k];
            const uint32_t expected = (chain.alpha ? p >> 24 : 255u) << 24 | (p & 0xFF) << 16 | (p & 0xFF00) |
                                      ((p >> 16) & 0xFF);
            ASSERT_EQ(argb, expected) << "level " << w << "x" << h << " pixel " << k;
        }
        w = std::max(1, w / 2);
        h = std::max(1, h / 2);
    }
    EXPECT_EQ(at, bytes.size());
}

TEST(Dds, ChainReadsBackLevelByLevel) {
    // 13x6, 6x3, 3x1, 1x1; and a column whose first level spans several writes.
    const struct {
        int32_t width, height;
        size_t levels;
    } shapes[] = {{13, 6, 4}, {1, 600001, 20}};
    for (const auto& shape : shapes)
    for (const bool alpha : {false, true}) {
        std::vector<Pixel> pixels;
        for (uint32_t k = 0; k < uint32_t(shape.width * shape.height); ++k)
            pixels.push_back((k * 2654435761u) | (alpha ? 0 : 0xFF000000u));
        Image source{pixels.data(), shape.width, shape.height};
        const MipChain chain = build_mip_chain(source, image_has_alpha(source, true), FilterOptions{});
        ASSERT_EQ(chain.levels.size(), shape.levels);
        ASSERT_EQ(chain.alpha, alpha);
        const std::string path = test::scratch_path("chain.dds");
        ASSERT_TRUE(write_dds(path, chain));
        expect_reads_back(path, chain);
    }
}

TEST(Dds, RefusesWhatIsNotAWholeChain) {
    std::vector<Pixel> pixels(8 * 4, 0x123456);
    Image source{pixels.data(), 8, 4};
    MipChain chain = build_mip_chain(source, false, FilterOptions{});
    const std::string path = test::scratch_path("cut.dds");
    chain.levels.pop_back();  // no 1 x 1 level
    EXPECT_FALSE(write_dds(path, chain));
    EXPECT_FALSE(write_dds(path, MipChain{}));
    EXPECT_FALSE(test::file_exists(path));
}

}  // namespace
