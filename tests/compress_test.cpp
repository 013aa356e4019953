// Whole levels to blocks: the block order and the padding of partial blocks
// against a layout built here from the block encoders, the channels each
// format reads, the same bytes on any number of threads, and ASTC's quality
// through libastcenc's own decoder.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "encoders/bc1_5.h"
#include "encoders/bc7.h"
#include "encoders/compress.h"
#include "test_util.h"

using namespace orvandel;

namespace {

const BlockFormat ALL[] = {BlockFormat::none, BlockFormat::bc1,     BlockFormat::bc3,     BlockFormat::bc4,
                           BlockFormat::bc5,  BlockFormat::bc7,     BlockFormat::astc4x4, BlockFormat::astc5x5,
                           BlockFormat::astc6x6, BlockFormat::astc8x8};

std::vector<Pixel> noise(int32_t width, int32_t height, bool alpha) {
    std::vector<Pixel> pixels(size_t(width) * size_t(height));
    for (size_t k = 0; k < pixels.size(); ++k) pixels[k] = Pixel(k * 2654435761u ^ k >> 3) | (alpha ? 0 : 0xFF000000u);
    return pixels;
}

GpuLevel encode(const Image& image, BlockFormat format, bool alpha, int threads, bool srgb = false,
                bool normal = false) {
    CompressOptions options;
    options.format = format;
    options.settings.alpha = alpha;
    options.settings.normal_map = normal;
    options.settings.quality = CompressQuality::fast;
    options.srgb = srgb;
    options.threads = threads;
    Compressor compressor;
    const char* problem = nullptr;
    GpuLevel level;
    EXPECT_TRUE(make_compressor(options, &compressor, &problem)) << problem;
    EXPECT_EQ(compress_level(&compressor, image, &level), nullptr);
    return level;
}

// The picture grown to whole blocks by repeating its last column and row.
test::ImagePtr padded(const Image& image, int32_t block) {
    const int32_t width = (image.width + block - 1) / block * block, height = (image.height + block - 1) / block * block;
    std::vector<Pixel> pixels;
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x)
            pixels.push_back(image.pixels[int64_t(std::min(y, image.height - 1)) * image.width + std::min(x, image.width - 1)]);
    return test::make_image(width, height, pixels);
}

TEST(Compress, PartialBlocksRepeatTheEdgeAndThreadsDoNotChangeTheBytes) {
    for (const BlockFormat format : ALL)
        for (const auto& [width, height] : {std::pair{1, 1}, std::pair{3, 5}, std::pair{37, 29}, std::pair{67, 13}}) {
            const std::string label = std::to_string(int(format)) + " " + std::to_string(width) + "x" +
                                      std::to_string(height);
            const std::vector<Pixel> pixels = noise(width, height, true);
            const test::ImagePtr image = test::make_image(width, height, pixels);
            const GpuLevel one = encode(*image, format, true, 1);
            size_t bytes = 0;
            ASSERT_TRUE(level_byte_count(format, width, height, &bytes));
            ASSERT_EQ(one.bytes.size(), bytes) << label;
            EXPECT_EQ(encode(*image, format, true, 4).bytes, one.bytes) << label;
            const test::ImagePtr whole = padded(*image, block_format_info(format).block_width);
            if (format != BlockFormat::none) {
                EXPECT_EQ(encode(*whole, format, true, 3).bytes, one.bytes) << label;
            }
        }
}

// Block (1, 1) of an 8 x 8 level, from the channels each format reads.
TEST(Compress, BlocksInRowOrderFromTheChannelsEachFormatReads) {
    const std::vector<Pixel> pixels = noise(8, 8, true);
    const test::ImagePtr image = test::make_image(8, 8, pixels);
    Pixel texels[16];
    uint8_t red[16], green[16];
    for (int i = 0; i < 16; ++i) {
        texels[i] = pixels[size_t((4 + i / 4) * 8 + 4 + i % 4)] | 0xFF000000u;  // opaque: alpha not kept
        red[i] = uint8_t(texels[i]);
        green[i] = uint8_t(texels[i] >> 8);
    }
    BlockSettings settings;
    settings.quality = CompressQuality::fast;
    uint8_t bc1[8], bc3[16], bc4[8], bc5[16], bc7[16];
    encode_bc1_block(texels, settings, bc1);
    encode_bc3_block(texels, settings, bc3);
    encode_bc4_block(red, settings.quality, bc4);
    encode_bc5_block(red, green, settings.quality, bc5);
    encode_bc7_block(texels, settings, bc7);
    const std::pair<BlockFormat, const uint8_t*> cases[] = {
        {BlockFormat::bc1, bc1}, {BlockFormat::bc3, bc3}, {BlockFormat::bc4, bc4}, {BlockFormat::bc5, bc5}, {BlockFormat::bc7, bc7}};
    for (const auto& [format, expected] : cases) {
        const GpuLevel level = encode(*image, format, false, 2);
        const size_t block_bytes = size_t(block_format_info(format).block_bytes);
        EXPECT_TRUE(std::equal(expected, expected + block_bytes, level.bytes.begin() + long(3 * block_bytes))) << int(format);
    }
    // Uncompressed: red, green, blue, alpha bytes; alpha 255 unless kept.
    const GpuLevel rgba = encode(*image, BlockFormat::none, false, 2);
    for (size_t k = 0; k < pixels.size(); ++k) ASSERT_EQ(read_le32(rgba.bytes.data() + 4 * k), pixels[k] | 0xFF000000u) << k;
}

double psnr(const std::vector<double>& a, const std::vector<double>& b) {
    double sum = 0;
    for (size_t k = 0; k < a.size(); ++k) sum += (a[k] - b[k]) * (a[k] - b[k]);
    return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * double(a.size()) / sum);
}

// PSNR of the decoded channels `channels` (indices into red, green, blue,
// alpha) against the source's `source_channels`.
double astc_psnr(const Image& image, BlockFormat format, bool srgb, bool normal, std::vector<int> source_channels,
                 std::vector<int> channels) {
    const GpuLevel level = encode(image, format, !normal, 2, srgb, normal);
    const std::vector<uint8_t> rgba =
        decode_astc_level(format, srgb, level.bytes.data(), level.bytes.size(), image.width, image.height);
    EXPECT_EQ(rgba.size(), size_t(image.width) * size_t(image.height) * 4);
    std::vector<double> source, decoded;
    for (size_t k = 0; k < rgba.size() / 4; ++k)
        for (size_t c = 0; c < channels.size(); ++c) {
            source.push_back(double(image.pixels[k] >> (8 * source_channels[c]) & 0xFF));
            decoded.push_back(rgba[4 * k + size_t(channels[c])]);
        }
    return psnr(source, decoded);
}

TEST(Compress, AstcRoundTripThroughTheLibrarysDecoder) {
    // A smooth picture with a soft edge, and a normal map of a dome.
    const int32_t side = 64;
    std::vector<Pixel> smooth, normals;
    for (int32_t y = 0; y < side; ++y)
        for (int32_t x = 0; x < side; ++x) {
            const double r = 128 + 100 * std::sin(x / 9.0), g = 2.0 * y + x / 2.0, b = x + y > 70 ? 200 : 40;
            smooth.push_back(Pixel(r) | Pixel(g) << 8 | Pixel(b) << 16 | Pixel(255 - 2 * x) << 24);
            const double nx = (x - 31.5) / 40, ny = (y - 31.5) / 40;
            normals.push_back(Pixel(std::lround(127.5 + 127.5 * nx)) | Pixel(std::lround(127.5 + 127.5 * ny)) << 8 |
                              Pixel(std::lround(127.5 + 127.5 * std::sqrt(std::max(0.0, 1 - nx * nx - ny * ny)))) << 16);
        }
    const test::ImagePtr colour = test::make_image(side, side, smooth), normal = test::make_image(side, side, normals);
    const struct {
        const Image* image;
        BlockFormat format;
        bool srgb, normal;
        std::vector<int> source, decoded;
        double floor;
    } cases[] = {
        {colour.get(), BlockFormat::astc4x4, true, false, {0, 1, 2, 3}, {0, 1, 2, 3}, 45},
        {colour.get(), BlockFormat::astc8x8, false, false, {0, 1, 2}, {0, 1, 2}, 34},
        {normal.get(), BlockFormat::astc5x5, false, true, {0, 1}, {0, 3}, 38},  // X in red, Y in alpha
    };
    for (const auto& c : cases)
        EXPECT_GT(astc_psnr(*c.image, c.format, c.srgb, c.normal, c.source, c.decoded), c.floor) << int(c.format);

    const std::string photo = std::string(SHARED_TEXTURES_DIR) + "/photo-chelsea-256.png";
    if (!std::filesystem::exists(photo)) GTEST_SKIP() << "no " << photo;
    const test::ImagePtr picture(load_image_file(photo).image.release());
    ASSERT_TRUE(picture);
    EXPECT_GT(astc_psnr(*picture, BlockFormat::astc4x4, true, false, {0, 1, 2}, {0, 1, 2}), 42);
}

}  // namespace
