// The GPU options of the modern command line: parsing and usage errors as a
// table, the formats the tool picks for each combination, odd sizes through
// the real binary, and the rip atlas's block alignment.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "builders/modern.h"
#include "cli/options.h"
#include "test_util.h"
#include "writers/png_writer.h"

using namespace orvandel;

namespace {

TEST(GpuCommandLine, ParsesTheGpuOptionsAndRefusesBadCombinations) {
    using Check = std::function<bool(const CliOptions&)>;
    struct Case {
        std::vector<std::string> args;
        CliAction action;
        std::string error;
        Check check;
    };
    const Check any = [](const CliOptions&) { return true; };
    const Case cases[] = {
        {{"-f", "ktx2", "-c", "bc7", "--quality", "best", "--zstd", "22", "a.png"}, CliAction::run, "",
         [](const CliOptions& o) {
             return o.format == OutputFormat::ktx2 && o.compress == BlockFormat::bc7 &&
                    o.quality == CompressQuality::best && o.zstd_level == 22 && o.outputs[0] == "a_mip.ktx2";
         }},
        {{"-fdds", "-cbc1", "--dds-legacy", "-l", "mip", "a"}, CliAction::run, "",
         [](const CliOptions& o) { return o.compress == BlockFormat::bc1 && o.dds_legacy; }},
        {{"--comp=astc8x8", "--format=ktx2", "a"}, CliAction::run, "",
         [](const CliOptions& o) { return o.compress == BlockFormat::astc8x8 && o.quality == CompressQuality::normal; }},
        {{"-f", "png", "--quality", "fast", "a"}, CliAction::run, "", any},  // nothing to compress: no harm
        {{"-c", "bc1", "a"}, CliAction::usage_error, "--compress bc1 needs --format dds or ktx2", any},
        {{"-f", "png", "-c", "bc5", "a"}, CliAction::usage_error, "--compress bc5 needs --format dds or ktx2", any},
        {{"-f", "dds", "-c", "astc4x4", "a"}, CliAction::usage_error,
         "--compress astc4x4 needs --format ktx2: DDS has no ASTC formats", any},
        {{"-f", "dds", "--zstd", "3", "a"}, CliAction::usage_error, "--zstd needs --format ktx2", any},
        {{"--dds-legacy", "-f", "ktx2", "a"}, CliAction::usage_error, "--dds-legacy needs --format dds", any},
        {{"-f", "dds", "--dds-legacy", "-c", "bc7", "a"}, CliAction::usage_error,
         "--dds-legacy cannot hold bc7: the legacy DDS header has no BC7 format", any},
        {{"-f", "ktx2", "--filter", "classic", "a"}, CliAction::usage_error,
         "--format ktx2 does not take --filter classic", any},
        {{"-f", "ktx2", "--zstd", "0", "a"}, CliAction::usage_error,
         "invalid value '0' for --zstd (a whole number from 1 to 22)", any},
        {{"-c", "bc2", "a"}, CliAction::usage_error,
         "invalid value 'bc2' for --compress (none, bc1, bc3, bc4, bc5, bc7, astc4x4, astc5x5, astc6x6 or astc8x8)",
         any},
        {{"--quality", "slow", "a"}, CliAction::usage_error,
         "invalid value 'slow' for --quality (fast, normal or best)", any},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const std::string& a : c.args) line += a + " ";
        const CliParse parse = parse_command_line(c.args, 2);
        EXPECT_EQ(parse.action, c.action) << line << parse.error;
        EXPECT_EQ(parse.error, c.error) << line;
        if (parse.action == CliAction::run) {
            EXPECT_TRUE(c.check(parse.options)) << line;
        }
    }
}

std::string write_png_texture(const std::string& name, int32_t width, int32_t height, bool alpha) {
    std::vector<Pixel> pixels;
    for (int32_t i = 0; i < width * height; ++i)
        pixels.push_back((Pixel(0x30507u * uint32_t(i + 3)) & 0xFFFFFF) | (alpha ? Pixel(i % 7) << 5 : 0xFF000000u) << 24);
    const test::ImagePtr image = test::make_image(width, height, pixels);
    const std::string path = test::scratch_path(name);
    EXPECT_TRUE(write_png(path, *image, alpha));
    return path;
}

struct Ktx2Fields {
    uint32_t vk_format = 0, width = 0, height = 0, levels = 0, supercompression = 0;
};
Ktx2Fields ktx2_fields(const std::string& path) {
    const std::vector<uint8_t> bytes = test::read_file(path);
    Ktx2Fields f;
    if (bytes.size() < 80) return f;
    f.vk_format = read_le32(&bytes[12]);
    f.width = read_le32(&bytes[20]);
    f.height = read_le32(&bytes[24]);
    f.levels = read_le32(&bytes[40]);
    f.supercompression = read_le32(&bytes[44]);
    return f;
}

// The tool's choice of format, sRGB or not, and of level count and size.
void expect_runs(const std::vector<std::string>& options, const std::string& input, const Ktx2Fields& expected,
                 const std::string& label) {
    std::vector<std::string> args = options;
    args.insert(args.end(), {"-q", "-o", test::scratch_dir(), input});
    ASSERT_EQ(test::run_tool(args).status, 0) << label;
    std::string output = input.substr(input.find_last_of('/') + 1);
    output = test::scratch_path(output.substr(0, output.find('.')) + "_mip.ktx2");
    const Ktx2Fields got = ktx2_fields(output);
    EXPECT_EQ(got.vk_format, expected.vk_format) << label;
    EXPECT_EQ(got.width, expected.width) << label;
    EXPECT_EQ(got.height, expected.height) << label;
    EXPECT_EQ(got.levels, expected.levels) << label;
    EXPECT_EQ(got.supercompression, expected.supercompression) << label;
}

// A side of the rip atlas (docs/atlas-layout.md, no padding): the cells of
// the halvings, each rounded up to the block size, or twice the source's
// side when that is more, rounded up to the block size.
uint32_t rip_side(uint32_t n, uint32_t block) {
    uint32_t sum = 0;
    for (uint32_t size = n;; size /= 2) {
        sum += (size + block - 1) / block * block;
        if (size == 1) break;
    }
    return (std::max(2 * n, sum) + block - 1) / block * block;
}

TEST(GpuRun, FormatsFollowColourAlphaAndLayoutAtOddSizes) {
    const std::string opaque = write_png_texture("opaque.png", 3, 5, false);
    const std::string clear = write_png_texture("clear.png", 1, 1, true);
    const std::string wide = write_png_texture("wide.png", 37, 2, false);
    const struct {
        std::vector<std::string> options;
        const std::string* input;
        Ktx2Fields expected;
    } cases[] = {
        {{"-l", "mip"}, &opaque, {43, 3, 5, 3, 0}},                                   // R8G8B8A8_SRGB
        {{"-l", "mip", "--colour", "linear"}, &opaque, {37, 3, 5, 3, 0}},             // R8G8B8A8_UNORM
        {{"-l", "mip", "-c", "bc1"}, &opaque, {132, 3, 5, 3, 0}},                     // BC1_RGB_SRGB
        {{"-l", "mip", "-c", "bc1"}, &clear, {134, 1, 1, 1, 0}},                      // BC1_RGBA_SRGB
        {{"-l", "mip", "-c", "bc1", "-a", "drop"}, &clear, {132, 1, 1, 1, 0}},
        {{"-l", "mip", "-c", "bc3", "--zstd", "3"}, &clear, {138, 1, 1, 1, 2}},
        {{"-l", "mip", "-c", "bc4"}, &opaque, {139, 3, 5, 3, 0}},
        {{"-l", "mip", "-c", "bc5", "--normal"}, &opaque, {141, 3, 5, 3, 0}},
        {{"-l", "mip", "-c", "bc7", "--normal"}, &wide, {145, 37, 2, 6, 0}},          // BC7_UNORM
        {{"-l", "mip", "-c", "astc6x6", "-j", "2"}, &wide, {166, 37, 2, 6, 0}},
        {{"-c", "bc7"}, &opaque, {146, rip_side(3, 4), rip_side(5, 4), 1, 0}},      // the rip atlas, one level
        {{"-c", "astc6x6", "--quality", "fast"}, &clear, {166, rip_side(1, 6), rip_side(1, 6), 1, 0}},
        {{}, &wide, {43, rip_side(37, 1), rip_side(2, 1), 1, 0}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> options = {"-f", "ktx2"};
        options.insert(options.end(), c.options.begin(), c.options.end());
        std::string label;
        for (const std::string& o : c.options) label += o + " ";
        expect_runs(options, *c.input, c.expected, label + *c.input);
    }
}

// 1000 x 872 to a BC7 chain in KTX2: every level there.
TEST(SlowGpuRun, LargeOddTextureToEveryLevel) {
    const std::string input = write_png_texture("large.png", 1000, 872, true);
    expect_runs({"-f", "ktx2", "-l", "mip", "-c", "bc7", "--zstd", "1"}, input, {146, 1000, 872, 10, 2}, "bc7");
}

// With a block format the rip atlas's blocks start on multiples of the block
// size, and the gaps repeat each block's edge: block (i, j), the source
// halved i times across and j times down, lies at the packed layout's
// offsets rounded up block by block, and holds what the packed atlas holds.
// Needs FilterOptions::alignment in the rip builder.
TEST(GpuRipAtlas, BlocksStartOnMultiplesOfTheBlockSize) {
    const int32_t width = 13, height = 10, block = 4;
    std::vector<Pixel> pixels;
    for (int32_t i = 0; i < width * height; ++i) pixels.push_back(Pixel(i * 2654435761u) | 0xFF000000u);
    const Image source{pixels.data(), width, height};
    FilterOptions packed_options, aligned_options;
    aligned_options.alignment = block;
    const Atlas packed = build_atlas(source, false, packed_options), aligned = build_atlas(source, false, aligned_options);
    ASSERT_TRUE(packed.image && aligned.image);
    auto layout = [](int32_t n, int32_t align, std::vector<int32_t>* sizes, std::vector<int32_t>* at) {
        for (int32_t size = n, offset = 0;; size /= 2) {
            sizes->push_back(size);
            at->push_back(offset);
            offset = (offset + size + align - 1) / align * align;
            if (size == 1) break;
        }
    };
    std::vector<int32_t> widths, heights, xs, ys, packed_xs, packed_ys, unused;
    layout(width, block, &widths, &xs);
    layout(height, block, &heights, &ys);
    layout(width, 1, &unused, &packed_xs);
    layout(height, 1, &unused, &packed_ys);
    const Image& a = *aligned.image;
    const Image& p = *packed.image;
    auto at = [](const Image& image, int32_t x, int32_t y) { return image.pixels[int64_t(y) * image.width + x]; };
    for (size_t i = 0; i < widths.size(); ++i)
        for (size_t j = 0; j < heights.size(); ++j) {
            // The block and its gap up to the next multiple of the block size.
            const int32_t right = (xs[i] + widths[i] + block - 1) / block * block;
            const int32_t bottom = (ys[j] + heights[j] + block - 1) / block * block;
            ASSERT_LE(right, a.width);
            ASSERT_LE(bottom, a.height);
            for (int32_t y = ys[j]; y < bottom; ++y)
                for (int32_t x = xs[i]; x < right; ++x) {
                    const int32_t bx = std::min(x - xs[i], widths[i] - 1), by = std::min(y - ys[j], heights[j] - 1);
                    ASSERT_EQ(at(a, x, y), at(p, packed_xs[i] + bx, packed_ys[j] + by))
                        << "block " << i << "," << j << " at " << x << "," << y;
                }
        }
}

// Padding with a block format, at every block size and edge mode on an odd
// source: each block's padded rectangle, grown out to the block grid, meets
// no other block's, and every texel of that grown rectangle outside the
// block is the edge mode's texel of the block.
TEST(GpuRipAtlas, PaddedBlocksKeepToTheirOwnCompressedBlocks) {
    const int32_t width = 23, height = 9;
    std::vector<Pixel> pixels;
    for (int32_t i = 0; i < width * height; ++i) pixels.push_back(Pixel(i * 2654435761u) | 0xFF000000u);
    const Image source{pixels.data(), width, height};
    auto edge_index = [](EdgeMode edge, int64_t i, int64_t n) {
        if (i >= 0 && i < n) return i;
        if (edge == EdgeMode::clamp) return i < 0 ? int64_t(0) : n - 1;
        const int64_t k = ((i % (2 * n)) + 2 * n) % (2 * n);
        return edge == EdgeMode::wrap ? k % n : k < n ? k : 2 * n - 1 - k;
    };
    const struct {
        int alignment, padding;
        EdgeMode edge;
    } cases[] = {{4, 2, EdgeMode::clamp}, {4, 5, EdgeMode::wrap}, {5, 3, EdgeMode::mirror},
                 {6, 1, EdgeMode::wrap}, {8, 8, EdgeMode::clamp}, {8, 2, EdgeMode::mirror}};
    for (const auto& c : cases) {
        FilterOptions options;
        options.alignment = c.alignment;
        options.padding = c.padding;
        options.edge = c.edge;
        const Atlas atlas = build_atlas(source, false, options);
        ASSERT_TRUE(atlas.image);
        const Image& a = *atlas.image;
        const int64_t n = c.alignment, p = c.padding;
        auto down = [n](int64_t v) { return v / n * n; };
        auto up = [n](int64_t v) { return (v + n - 1) / n * n; };
        for (size_t k = 0; k < atlas.blocks.size(); ++k) {
            const AtlasBlock& b = atlas.blocks[k];
            const int64_t x0 = down(b.x - p), y0 = down(b.y - p), x1 = up(b.x + b.width + p), y1 = up(b.y + b.height + p);
            ASSERT_TRUE(x0 >= 0 && y0 >= 0 && x1 <= a.width && y1 <= a.height) << "alignment " << n << " block " << k;
            for (size_t other = k + 1; other < atlas.blocks.size(); ++other) {
                const AtlasBlock& o = atlas.blocks[other];
                EXPECT_FALSE(down(o.x - p) < x1 && x0 < up(o.x + o.width + p) && down(o.y - p) < y1 &&
                             y0 < up(o.y + o.height + p))
                    << "alignment " << n << ": blocks " << k << " and " << other << " share a compressed block";
            }
            for (int64_t y = b.y - p; y < b.y + b.height + p; ++y)
                for (int64_t x = b.x - p; x < b.x + b.width + p; ++x) {
                    const int64_t sx = b.x + edge_index(c.edge, x - b.x, b.width);
                    const int64_t sy = b.y + edge_index(c.edge, y - b.y, b.height);
                    ASSERT_EQ(a.pixels[y * a.width + x], a.pixels[sy * a.width + sx])
                        << "alignment " << n << " padding " << p << " block " << k << " at " << x << "," << y;
                }
        }
    }
}

}  // namespace
