// KTX2 files read back field by field: the header and index, the level
// index's offsets, lengths and alignment, the data format descriptor against
// the Khronos Data Format Specification's layout built here byte by byte, the
// key/value data, and Zstandard levels inflated again.
#include <gtest/gtest.h>
#include <zstd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "builders/modern.h"
#include "test_util.h"
#include "writers/ktx2.h"

using namespace orvandel;

namespace {

uint32_t le32_at(const std::vector<uint8_t>& bytes, size_t at) { return read_le32(bytes.data() + at); }
uint64_t le64_at(const std::vector<uint8_t>& bytes, size_t at) {
    return le32_at(bytes, at) | uint64_t(le32_at(bytes, at + 4)) << 32;
}

MipChain pattern_chain(int32_t width, int32_t height, bool alpha) {
    std::vector<Pixel> pixels;
    for (uint32_t k = 0; k < uint32_t(width * height); ++k)
        pixels.push_back((k * 2246822519u) | (alpha ? 0 : 0xFF000000u));
    Image source{pixels.data(), width, height};
    return build_mip_chain(source, alpha, FilterOptions{});
}

// A basic descriptor block's header words, as the Data Format Specification
// lays them out.
test::Bytes descriptor(unsigned samples, unsigned model, unsigned transfer, unsigned block_w, unsigned block_h,
                       unsigned bytes_plane0) {
    test::Bytes b;
    const unsigned block_size = 24 + 16 * samples;
    b.le32(4 + block_size).le32(0).le16(2).le16(block_size);
    b.u8(model).u8(1 /* BT709 */).u8(transfer).u8(0 /* straight alpha */);
    b.u8(block_w - 1).u8(block_h - 1).u8(0).u8(0);
    b.u8(bytes_plane0).fill(7, 0);
    return b;
}
void sample(test::Bytes* b, unsigned bit_offset, unsigned bits, unsigned channel, uint32_t upper) {
    b->le16(bit_offset).u8(bits - 1).u8(channel).le32(0).le32(0).le32(upper);
}

TEST(Ktx2, DataFormatDescriptorsAreTheSpecifications) {
    test::Bytes rgba8_srgb = descriptor(4, 1, 2, 1, 1, 4);
    for (unsigned c = 0; c < 3; ++c) sample(&rgba8_srgb, 8 * c, 8, c, 255);
    sample(&rgba8_srgb, 24, 8, 15 | 0x10, 255);  // alpha is linear in an sRGB format
    test::Bytes bc7_srgb = descriptor(1, 134, 2, 4, 4, 16);
    sample(&bc7_srgb, 0, 128, 0, 0xFFFFFFFFu);
    test::Bytes bc5 = descriptor(2, 132, 1, 4, 4, 16);
    sample(&bc5, 0, 64, 0, 0xFFFFFFFFu);
    sample(&bc5, 64, 64, 1, 0xFFFFFFFFu);
    test::Bytes astc6 = descriptor(1, 162, 1, 6, 6, 16);
    sample(&astc6, 0, 128, 0, 0xFFFFFFFFu);
    test::Bytes bc1_alpha = descriptor(1, 128, 2, 4, 4, 8);
    sample(&bc1_alpha, 0, 64, 1, 0xFFFFFFFFu);  // punch-through alpha
    test::Bytes bc3_srgb = descriptor(2, 130, 2, 4, 4, 16);
    sample(&bc3_srgb, 0, 64, 15 | 0x10, 0xFFFFFFFFu);
    sample(&bc3_srgb, 64, 64, 0, 0xFFFFFFFFu);
    const struct {
        BlockFormat format;
        bool srgb, alpha;
        uint32_t vk_format;
        std::vector<uint8_t> dfd;
    } cases[] = {
        {BlockFormat::none, true, true, 43, rgba8_srgb.data},
        {BlockFormat::bc7, true, false, 146, bc7_srgb.data},
        {BlockFormat::bc5, false, false, 141, bc5.data},
        {BlockFormat::astc6x6, false, true, 165, astc6.data},
        {BlockFormat::bc1, true, true, 134, bc1_alpha.data},
        {BlockFormat::bc3, true, true, 138, bc3_srgb.data},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ktx2_vk_format(c.format, c.srgb, c.alpha), c.vk_format);
        EXPECT_EQ(ktx2_data_format_descriptor(c.format, c.srgb, c.alpha), c.dfd) << c.vk_format;
        // And the file carries them where its index says.
        const GpuTexture texture = test::gpu_texture(pattern_chain(5, 3, c.alpha), c.format, c.srgb);
        const std::string path = test::scratch_path("dfd.ktx2");
        ASSERT_TRUE(write_ktx2(path, texture, Ktx2Settings{}));
        const std::vector<uint8_t> bytes = test::read_file(path);
        EXPECT_EQ(le32_at(bytes, 12), c.vk_format);
        const uint32_t offset = le32_at(bytes, 48), length = le32_at(bytes, 52);
        ASSERT_LE(size_t(offset) + length, bytes.size());
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + offset, bytes.begin() + offset + length), c.dfd);
    }
}

// The file's header, index, key/value data and levels, each level's stored
// bytes inflated where supercompressed.
void expect_reads_back(const std::vector<uint8_t>& bytes, const GpuTexture& texture, int zstd, const std::string& label) {
    static const uint8_t IDENTIFIER[12] = {0xAB, 'K', 'T', 'X', ' ', '2', '0', 0xBB, '\r', '\n', 0x1A, '\n'};
    ASSERT_GE(bytes.size(), 80u) << label;
    EXPECT_TRUE(std::equal(IDENTIFIER, IDENTIFIER + 12, bytes.begin())) << label;
    const size_t count = texture.levels.size();
    const uint32_t header[] = {ktx2_vk_format(texture.format, texture.srgb, texture.alpha), 1,
                               uint32_t(texture.levels[0].width), uint32_t(texture.levels[0].height), 0, 0, 1,
                               uint32_t(count), zstd ? 2u : 0u};
    for (size_t i = 0; i < 9; ++i) EXPECT_EQ(le32_at(bytes, 12 + 4 * i), header[i]) << label << " field " << i;
    const uint32_t dfd_offset = le32_at(bytes, 48), dfd_length = le32_at(bytes, 52);
    const uint32_t kvd_offset = le32_at(bytes, 56), kvd_length = le32_at(bytes, 60);
    EXPECT_EQ(dfd_offset, 80 + 24 * count) << label;
    EXPECT_EQ(kvd_offset, dfd_offset + dfd_length) << label;
    EXPECT_EQ(le64_at(bytes, 64), 0u) << label;  // no supercompression global data
    EXPECT_EQ(le64_at(bytes, 72), 0u) << label;

    test::Bytes kvd;
    kvd.le32(18).text("KTXorientation").u8(0).text("rd").u8(0).fill(2, 0);
    kvd.le32(uint32_t(sizeof "KTXwriter" + sizeof "orvandel")).text("KTXwriter").u8(0).text("orvandel").u8(0);
    kvd.fill((4 - kvd.data.size() % 4) % 4, 0);
    ASSERT_EQ(kvd_length, kvd.data.size()) << label;
    EXPECT_TRUE(std::equal(kvd.data.begin(), kvd.data.end(), bytes.begin() + kvd_offset)) << label;

    const size_t block = size_t(block_format_info(texture.format).block_bytes);
    const size_t alignment = zstd ? 1 : block == 8 ? 8 : block == 16 ? 16 : 4;  // lcm(block, 4)
    size_t expected_offset = kvd_offset + kvd_length;
    for (size_t k = count; k-- > 0;) {  // the smallest level first in the file
        const size_t at = 80 + 24 * k;
        const uint64_t offset = le64_at(bytes, at), length = le64_at(bytes, at + 8);
        expected_offset = (expected_offset + alignment - 1) / alignment * alignment;
        EXPECT_EQ(offset, expected_offset) << label << " level " << k;
        EXPECT_EQ(le64_at(bytes, at + 16), texture.levels[k].bytes.size()) << label << " level " << k;
        ASSERT_LE(offset + length, bytes.size()) << label;
        std::vector<uint8_t> level(bytes.begin() + long(offset), bytes.begin() + long(offset + length));
        if (zstd) {
            std::vector<uint8_t> inflated(texture.levels[k].bytes.size() + 1);
            const size_t n = ZSTD_decompress(inflated.data(), inflated.size(), level.data(), level.size());
            ASSERT_FALSE(ZSTD_isError(n)) << label << " level " << k;
            inflated.resize(n);
            level = inflated;
        }
        EXPECT_EQ(level, texture.levels[k].bytes) << label << " level " << k;
        expected_offset = offset + length;
    }
    EXPECT_EQ(expected_offset, bytes.size()) << label;
}

TEST(Ktx2, LevelsSmallestFirstAlignedAndInflatable) {
    const struct {
        BlockFormat format;
        int32_t width, height;
    } cases[] = {
        {BlockFormat::none, 13, 7}, {BlockFormat::bc1, 9, 5},      {BlockFormat::bc4, 1, 1},
        {BlockFormat::bc7, 3, 5},   {BlockFormat::astc5x5, 11, 6}, {BlockFormat::astc8x8, 17, 9},
    };
    for (const auto& c : cases)
        for (const int zstd : {0, 1, 19}) {
            const std::string label = std::to_string(int(c.format)) + " zstd " + std::to_string(zstd);
            const GpuTexture texture = test::gpu_texture(pattern_chain(c.width, c.height, true), c.format, true);
            ASSERT_FALSE(texture.levels.empty()) << label;
            const std::string path = test::scratch_path("levels.ktx2");
            Ktx2Settings settings;
            settings.zstd_level = zstd;
            ASSERT_TRUE(write_ktx2(path, texture, settings)) << label;
            expect_reads_back(test::read_file(path), texture, zstd, label);
        }
}

TEST(Ktx2, DeclinesLevelsThatDoNotHalveAndLevelsOutOfRange) {
    GpuTexture texture = test::gpu_texture(pattern_chain(8, 8, false), BlockFormat::bc1);
    const std::string path = test::scratch_path("declined.ktx2");
    Ktx2Settings settings;
    settings.zstd_level = 23;
    EXPECT_FALSE(write_ktx2(path, texture, settings));
    texture.levels.erase(texture.levels.begin());
    texture.levels.insert(texture.levels.begin(), texture.levels.back());  // 1x1 above 4x4
    EXPECT_FALSE(write_ktx2(path, texture, Ktx2Settings{}));
    EXPECT_FALSE(test::file_exists(path));
}

}  // namespace
