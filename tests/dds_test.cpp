// DDS files read back field by field, as Microsoft's DDS documentation lays
// out DDS_HEADER, DDS_PIXELFORMAT and DDS_HEADER_DXT10, in both headers.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "builders/modern.h"
#include "test_util.h"
#include "writers/dds.h"

using namespace orvandel;

namespace {

uint32_t le32_at(const std::vector<uint8_t>& bytes, size_t at) { return read_le32(bytes.data() + at); }
uint32_t four_cc(const char* code) { return read_le32(reinterpret_cast<const uint8_t*>(code)); }

constexpr uint32_t CAPS = 0x1, HEIGHT = 0x2, WIDTH = 0x4, PITCH = 0x8, PIXELFORMAT = 0x1000, MIPMAPCOUNT = 0x20000,
                   LINEARSIZE = 0x80000;

MipChain pattern_chain(int32_t width, int32_t height, bool alpha) {
    std::vector<Pixel> pixels;
    for (uint32_t k = 0; k < uint32_t(width * height); ++k)
        pixels.push_back((k * 2654435761u) | (alpha ? 0 : 0xFF000000u));
    Image source{pixels.data(), width, height};
    return build_mip_chain(source, alpha, FilterOptions{});
}

// The header's fields that do not depend on the pixel format, and the levels
// after it, largest first, as the texture holds them (`swap`: red and blue
// exchanged, as A8R8G8B8 stores them).
void expect_frame(const std::vector<uint8_t>& bytes, const GpuTexture& texture, size_t data_at, bool swap,
                  const std::string& label) {
    const GpuLevel& top = texture.levels[0];
    const bool blocks = texture.format != BlockFormat::none, chain = texture.levels.size() > 1;
    ASSERT_GE(bytes.size(), data_at) << label;
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 4), "DDS ") << label;
    EXPECT_EQ(le32_at(bytes, 4), 124u) << label;
    EXPECT_EQ(le32_at(bytes, 8), CAPS | HEIGHT | WIDTH | PIXELFORMAT | (chain ? MIPMAPCOUNT : 0) |
                                     (blocks ? LINEARSIZE : PITCH)) << label;
    EXPECT_EQ(le32_at(bytes, 12), uint32_t(top.height)) << label;
    EXPECT_EQ(le32_at(bytes, 16), uint32_t(top.width)) << label;
    // Pitch: bytes of one row; linear size: the top level's blocks.
    const uint32_t blocks_across = uint32_t(top.width + 3) / 4, blocks_down = uint32_t(top.height + 3) / 4;
    const uint32_t block_bytes = uint32_t(block_format_info(texture.format).block_bytes);
    EXPECT_EQ(le32_at(bytes, 20), blocks ? blocks_across * blocks_down * block_bytes : 4 * uint32_t(top.width))
        << label;
    EXPECT_EQ(le32_at(bytes, 24), 0u) << label;  // depth
    EXPECT_EQ(le32_at(bytes, 28), uint32_t(texture.levels.size())) << label;
    for (size_t at = 32; at < 76; at += 4) EXPECT_EQ(le32_at(bytes, at), 0u) << label << " reserved at " << at;
    EXPECT_EQ(le32_at(bytes, 76), 32u) << label;
    EXPECT_EQ(le32_at(bytes, 108), 0x1000u | (chain ? 0x400000u | 0x8u : 0u)) << label;
    for (size_t at = 112; at < 128; at += 4) EXPECT_EQ(le32_at(bytes, at), 0u) << label;
    size_t at = data_at;
    for (const GpuLevel& level : texture.levels) {
        ASSERT_LE(at + level.bytes.size(), bytes.size()) << label;
        std::vector<uint8_t> expected = level.bytes;
        if (swap)
            for (size_t k = 0; k < expected.size(); k += 4) std::swap(expected[k], expected[k + 2]);
        ASSERT_TRUE(std::equal(expected.begin(), expected.end(), bytes.begin() + long(at))) << label;
        at += level.bytes.size();
    }
    EXPECT_EQ(at, bytes.size()) << label;
}

TEST(Dds, Dx10HeaderNamesEveryFormat) {
    const struct {
        BlockFormat format;
        bool srgb, alpha;
        uint32_t dxgi;
    } cases[] = {
        {BlockFormat::none, true, true, 29},  {BlockFormat::none, false, false, 28}, {BlockFormat::bc1, true, false, 72},
        {BlockFormat::bc1, false, true, 71},  {BlockFormat::bc3, true, true, 78},   {BlockFormat::bc3, false, true, 77},
        {BlockFormat::bc4, false, false, 80}, {BlockFormat::bc5, false, false, 83}, {BlockFormat::bc7, true, true, 99},
        {BlockFormat::bc7, false, false, 98},
    };
    // A chain from an odd size (13x6 ... 1x1) and a single 3x5 level.
    for (const auto& c : cases)
        for (const bool chain : {true, false}) {
            const std::string label = std::to_string(c.dxgi) + (chain ? " chain" : " single");
            MipChain levels = pattern_chain(chain ? 13 : 3, chain ? 6 : 5, c.alpha);
            if (!chain) levels.levels.resize(1);
            const GpuTexture texture = test::gpu_texture(levels, c.format, c.srgb);
            ASSERT_FALSE(texture.levels.empty()) << label;
            const std::string path = test::scratch_path("dx10.dds");
            ASSERT_TRUE(write_dds(path, texture, DdsSettings{})) << label;
            const std::vector<uint8_t> bytes = test::read_file(path);
            expect_frame(bytes, texture, 148, false, label);
            EXPECT_EQ(le32_at(bytes, 80), 0x4u) << label;  // DDPF_FOURCC
            EXPECT_EQ(le32_at(bytes, 84), four_cc("DX10")) << label;
            for (size_t at = 88; at < 108; at += 4) EXPECT_EQ(le32_at(bytes, at), 0u) << label;
            EXPECT_EQ(le32_at(bytes, 128), c.dxgi) << label;
            EXPECT_EQ(le32_at(bytes, 132), 3u) << label;  // TEXTURE2D
            EXPECT_EQ(le32_at(bytes, 136), 0u) << label;
            EXPECT_EQ(le32_at(bytes, 140), 1u) << label;  // arraySize
            EXPECT_EQ(le32_at(bytes, 144), c.alpha ? 1u : 3u) << label;  // straight or opaque alpha
        }
}

TEST(Dds, LegacyHeaderForOldReaders) {
    const struct {
        BlockFormat format;
        bool alpha;
        uint32_t flags;
        const char* four_cc;
        uint32_t alpha_mask;
    } cases[] = {
        {BlockFormat::none, true, 0x41, nullptr, 0xFF000000u},  // A8R8G8B8
        {BlockFormat::none, false, 0x40, nullptr, 0},           // X8R8G8B8: no alpha mask, no DDPF_ALPHAPIXELS
        {BlockFormat::bc1, true, 0x4, "DXT1", 0},
        {BlockFormat::bc3, true, 0x4, "DXT5", 0},
        {BlockFormat::bc4, false, 0x4, "ATI1", 0},
        {BlockFormat::bc5, false, 0x4, "ATI2", 0},
    };
    for (const auto& c : cases) {
        const std::string label = c.four_cc ? c.four_cc : c.alpha ? "A8R8G8B8" : "X8R8G8B8";
        const GpuTexture texture = test::gpu_texture(pattern_chain(7, 9, c.alpha), c.format);
        const std::string path = test::scratch_path("legacy.dds");
        DdsSettings legacy;
        legacy.legacy = true;
        ASSERT_TRUE(write_dds(path, texture, legacy)) << label;
        const std::vector<uint8_t> bytes = test::read_file(path);
        const bool rgb = c.format == BlockFormat::none;
        expect_frame(bytes, texture, 128, rgb, label);
        EXPECT_EQ(le32_at(bytes, 80), c.flags) << label;
        EXPECT_EQ(le32_at(bytes, 84), c.four_cc ? four_cc(c.four_cc) : 0u) << label;
        EXPECT_EQ(le32_at(bytes, 88), rgb ? 32u : 0u) << label;
        EXPECT_EQ(le32_at(bytes, 92), rgb ? 0x00FF0000u : 0u) << label;
        EXPECT_EQ(le32_at(bytes, 96), rgb ? 0x0000FF00u : 0u) << label;
        EXPECT_EQ(le32_at(bytes, 100), rgb ? 0x000000FFu : 0u) << label;
        EXPECT_EQ(le32_at(bytes, 104), c.alpha_mask) << label;
    }
}

TEST(Dds, DeclinesWhatItCannotHold) {
    const MipChain chain = pattern_chain(8, 4, true);
    DdsSettings legacy;
    legacy.legacy = true;
    GpuTexture cut = test::gpu_texture(chain), short_level = test::gpu_texture(chain);
    cut.levels.erase(cut.levels.begin() + 1);  // 8x4 then 2x1: not a halving
    short_level.levels.back().bytes.pop_back();
    const std::string path = test::scratch_path("declined.dds");
    for (const WriteResult& written :
         {write_dds(path, test::gpu_texture(chain, BlockFormat::bc7), legacy),
          write_dds(path, test::gpu_texture(chain, BlockFormat::astc4x4), DdsSettings{}),
          write_dds(path, cut, DdsSettings{}), write_dds(path, short_level, DdsSettings{}),
          write_dds(path, GpuTexture{}, DdsSettings{})}) {
        EXPECT_FALSE(written);
        EXPECT_NE(written.problem, nullptr);
    }
    EXPECT_FALSE(test::file_exists(path));
}

}  // namespace
