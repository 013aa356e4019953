// Float and 16-bit pictures: the readers, the float levels against the 8-bit
// builders and against the double-precision model, the tiled OpenEXR files
// read back through the OpenEXR library, half-float DDS and KTX2 files read
// back byte by byte, and the command line's rules.
#include <gtest/gtest.h>

#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfOutputFile.h>
#include <ImfStandardAttributes.h>
#include <ImfTiledInputFile.h>
#include <half.h>
#include <zstd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "builders/atlas_layout.h"
#include "builders/float_levels.h"
#include "builders/modern.h"
#include "cli/batch.h"
#include "cli/common.h"
#include "level_model.h"
#include "readers/exr.h"
#include "readers/hdr.h"
#include "readers/load_image.h"
#include "readers/png.h"
#include "readers/tiff.h"
#include "test_util.h"
#include "writers/png_writer.h"

using namespace orvandel;

namespace {

// Values of every kind a float source has: light above 1, fully transparent
// pixels, alphas well away from the alpha-weighting threshold.
std::vector<Linear> float_noise(int count, uint32_t state) {
    std::vector<Linear> out;
    for (int k = 0; k < count; ++k) {
        Linear p;
        for (float& v : p.v) {
            state = state * 1664525u + 1013904223u;
            v = float(state >> 8) / float(1 << 24) * 4;
        }
        p.v[3] = k % 5 == 0 ? 0.0f : 0.1f + p.v[3] / 4 * 0.9f;
        out.push_back(p);
    }
    return out;
}

// A scanline float OpenEXR file of the pixels, colour premultiplied, its
// data window at `origin`.
void write_scanline_exr(const std::string& path, int w, int h, const std::vector<Linear>& pixels, bool alpha,
                        Imath::V2i origin = Imath::V2i(0, 0)) {
    const Imath::Box2i window(origin, origin + Imath::V2i(w - 1, h - 1));
    Imf::Header header(window, window);
    std::vector<Linear> stored = pixels;
    for (Linear& p : stored)
        for (int c = 0; c < 3 && alpha; ++c) p.v[c] *= p.v[3];
    Imf::FrameBuffer frame;
    for (int c = 0; c < (alpha ? 4 : 3); ++c) {
        const char* name = c == 0 ? "R" : c == 1 ? "G" : c == 2 ? "B" : "A";
        header.channels().insert(name, Imf::Channel(Imf::FLOAT));
        frame.insert(name, Imf::Slice::Make(Imf::FLOAT, &stored[0].v[c], window, sizeof(Linear), sizeof(Linear) * w));
    }
    Imf::OutputFile file(path.c_str(), header);
    file.setFrameBuffer(frame);
    file.writePixels(h);
}

int level_count(int n) { return int(std::floor(std::log2(double(n)))) + 1; }

// ---------------------------------------------------------------------------
// 8-bit sources through the float levels give the 8-bit builders' bytes:
// the same passes in the same order, placed in the same atlas.

TEST(FloatLevels, EightBitSourcesGiveTheEightBitAtlasesAndChains) {
    // The level model's case record: a source's size and the build's options.
    using Row = model::Case;
    const Row rows[] = {
        {13, 7, FilterKind::box, ColourSpace::srgb, EdgeMode::clamp, true, false, 0},
        {13, 7, FilterKind::kaiser, ColourSpace::srgb, EdgeMode::wrap, true, false, 0},
        {9, 16, FilterKind::kaiser, ColourSpace::linear, EdgeMode::mirror, false, false, 0},
        {8, 5, FilterKind::kaiser, ColourSpace::srgb, EdgeMode::clamp, false, true, 0},
        {12, 11, FilterKind::box, ColourSpace::srgb, EdgeMode::clamp, true, false, 0.5},
        {1, 9, FilterKind::kaiser, ColourSpace::srgb, EdgeMode::clamp, true, false, 0},
        {10, 1, FilterKind::box, ColourSpace::linear, EdgeMode::clamp, false, false, 0},
    };
    uint32_t state = 7;
    for (const Row& row : rows)
        for (AtlasLayout layout : {AtlasLayout::rip, AtlasLayout::mip}) {
            std::vector<Pixel> pixels;
            for (int k = 0; k < row.w * row.h; ++k) {
                state = state * 1664525u + 1013904223u;
                pixels.push_back(row.alpha ? state : state | 0xFF000000u);
            }
            const Image image{pixels.data(), row.w, row.h};
            FilterOptions options;
            options.layout = layout;
            options.filter = row.filter;
            options.colour = row.colour;
            options.edge = row.edge;
            options.normal_map = row.normal;
            options.coverage = row.coverage;
            const std::string label = std::to_string(row.w) + "x" + std::to_string(row.h) +
                                      (layout == AtlasLayout::rip ? " rip" : " mip");
            FloatImagePtr picture = float_from_pixels(image, row.alpha);
            ASSERT_TRUE(picture) << label;
            prepare_float_source(picture.get(), row.alpha, options);
            const Atlas expected = build_atlas(image, row.alpha, options);
            const Atlas got = build_float_atlas(*picture, row.alpha, options);
            ASSERT_TRUE(expected.image && got.image) << label;
            ASSERT_EQ(got.image->width, expected.image->width) << label;
            ASSERT_EQ(got.image->height, expected.image->height) << label;
            EXPECT_EQ(test::pixels_of(got.image.get()), test::pixels_of(expected.image.get())) << label;
            if (layout == AtlasLayout::rip) continue;
            const MipChain chain = build_mip_chain(image, row.alpha, options);
            const MipChain float_chain = build_float_mip_chain(*picture, row.alpha, options);
            ASSERT_EQ(float_chain.levels.size(), chain.levels.size()) << label;
            for (size_t k = 0; k < chain.levels.size(); ++k)
                EXPECT_EQ(test::pixels_of(float_chain.levels[k].get()), test::pixels_of(chain.levels[k].get()))
                    << label << " level " << k;
        }
}

// ---------------------------------------------------------------------------
// Tiled OpenEXR files, read back through the library, against the model.

struct ExrCase {
    int w, h;
    AtlasLayout layout;
    FilterKind filter;
    EdgeMode edge;
    ExrPixelType type;
    int tile;
    const char* wrapmodes;
};

model::Block model_source(const std::vector<Linear>& pixels, int w, int h) {
    model::Block b{w, h, {}};
    for (const Linear& p : pixels) b.p.push_back({p.v[0], p.v[1], p.v[2], p.v[3]});
    return b;
}

// Level (i, j) of the model: the source halved j times down, then i times
// across (rip-maps), or level i halved across then down, i times (mip-maps).
model::Block model_level(model::Block b, int i, int j, const ExrCase& c) {
    const model::Case mc{c.w, c.h, c.filter, ColourSpace::linear, c.edge, true, false, 0};
    const double high = std::numeric_limits<double>::infinity();
    if (c.layout == AtlasLayout::mip) {
        for (int k = 0; k < i; ++k) {
            if (b.w > 1) b = model::halve(b, true, mc, high);
            if (b.h > 1) b = model::halve(b, false, mc, high);
        }
        return b;
    }
    for (int k = 0; k < j; ++k) b = model::halve(b, false, mc, high);
    for (int k = 0; k < i; ++k) b = model::halve(b, true, mc, high);
    return b;
}

TEST(FloatExr, EveryLevelReadBackMatchesTheModel) {
    const ExrCase cases[] = {
        {11, 6, AtlasLayout::rip, FilterKind::box, EdgeMode::clamp, ExrPixelType::half, 64, "clamp"},
        {11, 6, AtlasLayout::rip, FilterKind::kaiser, EdgeMode::wrap, ExrPixelType::floating, 4, "periodic"},
        {7, 13, AtlasLayout::mip, FilterKind::kaiser, EdgeMode::mirror, ExrPixelType::half, 8, "mirror"},
        {16, 3, AtlasLayout::mip, FilterKind::box, EdgeMode::clamp, ExrPixelType::floating, 2, "clamp"},
    };
    for (const ExrCase& c : cases) {
        const std::string label = std::to_string(c.w) + "x" + std::to_string(c.h) + " " + c.wrapmodes;
        const std::vector<Linear> pixels = float_noise(c.w * c.h, uint32_t(c.w * 31 + c.h));
        const std::string input = test::scratch_path("source.exr"), output = test::scratch_path("out.exr");
        write_scanline_exr(input, c.w, c.h, pixels, true);
        CliOptions options;
        options.format = OutputFormat::exr;
        options.filter.layout = c.layout;
        options.filter.filter = c.filter;
        options.filter.edge = c.edge;
        options.exr_type = c.type;
        options.exr_tile = c.tile;
        const TextureResult result = process_texture(input, output, options, 2, WarningSink{});
        ASSERT_EQ(result.status, EXIT_ATLAS_WRITTEN) << label << ": " << result.reason;

        Imf::TiledInputFile file(output.c_str());
        const Imf::TileDescription& tiles = file.header().tileDescription();
        const bool rip = c.layout == AtlasLayout::rip;
        EXPECT_EQ(tiles.mode, rip ? Imf::RIPMAP_LEVELS : Imf::MIPMAP_LEVELS) << label;
        EXPECT_EQ(tiles.roundingMode, Imf::ROUND_DOWN) << label;
        EXPECT_EQ(int(tiles.xSize), c.tile) << label;
        EXPECT_EQ(int(tiles.ySize), c.tile) << label;
        ASSERT_TRUE(Imf::hasWrapmodes(file.header())) << label;
        EXPECT_EQ(Imf::wrapmodes(file.header()), c.wrapmodes) << label;
        const int nx = level_count(c.w), ny = level_count(c.h);
        ASSERT_EQ(file.numXLevels(), rip ? nx : std::max(nx, ny)) << label;
        ASSERT_EQ(file.numYLevels(), rip ? ny : std::max(nx, ny)) << label;
        const double tolerance = c.type == ExrPixelType::half ? 1.0 / 1024 : 1e-5;
        const model::Block source = model_source(pixels, c.w, c.h);
        for (int j = 0; j < file.numYLevels(); ++j)
            for (int i = 0; i < file.numXLevels(); ++i) {
                if (!rip && i != j) continue;
                const model::Block expected = model_level(source, i, j, c);
                const int w = file.levelWidth(i), h = file.levelHeight(j);
                ASSERT_EQ(w, expected.w) << label;
                ASSERT_EQ(h, expected.h) << label;
                std::vector<Linear> got(size_t(w * h));
                Imf::FrameBuffer frame;
                for (int ch = 0; ch < 4; ++ch)
                    frame.insert(std::string(1, "RGBA"[ch]),
                                 Imf::Slice(Imf::FLOAT, reinterpret_cast<char*>(&got[0].v[ch]), sizeof(Linear),
                                            sizeof(Linear) * size_t(w)));
                file.setFrameBuffer(frame);
                file.readTiles(0, file.numXTiles(i) - 1, 0, file.numYTiles(j) - 1, i, j);
                int off = 0;
                for (size_t k = 0; k < got.size(); ++k)
                    for (int ch = 0; ch < 4; ++ch) {
                        // The file holds colour premultiplied by alpha.
                        const double a = expected.p[k][3];
                        const double want = ch == 3 ? a : expected.p[k][size_t(ch)] * a;
                        off += std::fabs(got[k].v[ch] - want) > tolerance * std::max(1.0, std::fabs(want));
                    }
                EXPECT_EQ(off, 0) << label << " level (" << i << ", " << j << ")";
            }
    }
}

// ---------------------------------------------------------------------------
// Half floats: the one conversion against the OpenEXR library's, and the
// DDS and KTX2 files of float sources read back against the model.

TEST(HalfFloat, RoundsToNearestEvenAsTheLibraryDoesAndSaturates) {
    const struct {
        float value;
        uint16_t bits;
    } cases[] = {
        {0.0f, 0x0000},          {-0.0f, 0x8000},          {1.0f, 0x3C00},
        {1 + 0x1p-11f, 0x3C00},  {1 + 0x3p-11f, 0x3C02},   // ties go to the even mantissa
        {0x1p-24f, 0x0001},      {0x1p-25f, 0x0000},       {0x3p-25f, 0x0002},  // subnormal ties
        {65504.0f, 0x7BFF},      {65519.0f, 0x7BFF},       {65520.0f, 0x7BFF},  // no infinity
        {-1e30f, 0xFBFF},        {std::numeric_limits<float>::quiet_NaN(), 0x7BFF},
    };
    for (const auto& c : cases) EXPECT_EQ(half_bits(c.value), c.bits) << c.value;
    // Every exponent a half can reach, with mantissas of every rounding kind.
    uint32_t state = 7;
    std::vector<float> values;
    for (int k = 0; k < 200000; ++k) {
        state = state * 1664525u + 1013904223u;
        // Exponents up to 2^14: beyond 65504 the library gives infinity, this conversion 65504.
        const uint32_t bits = (state & 0x807FFFFFu) | uint32_t(100 + k % 42) << 23;
        float v;
        std::memcpy(&v, &bits, 4);
        ASSERT_EQ(half_bits(v), half(v).bits()) << v;
        values.push_back(v);
    }
    // The vector path gives the plain one's bits, the table's odd cases and a ragged tail included.
    for (const auto& c : cases) values.push_back(c.value);
    values.push_back(-std::numeric_limits<float>::infinity());
    std::vector<uint16_t> plain(values.size()), vector(values.size());
    half_row(values.data(), values.size(), plain.data(), Isa::scalar);
    half_row(values.data(), values.size(), vector.data(), Isa::avx512);
    EXPECT_EQ(plain, vector) << "on " << isa_name(runnable_isa(Isa::avx512));
}

uint32_t u32_at(const std::vector<uint8_t>& bytes, size_t at) { return read_le32(bytes.data() + at); }

// The level's texels (halves) against the model's, straight alpha; light above 1 kept.
void expect_half_level(const uint8_t* texels, const model::Block& want, int stride, const std::string& label) {
    int off = 0;
    for (int y = 0; y < want.h; ++y)
        for (int x = 0; x < want.w; ++x)
            for (int c = 0; c < 4; ++c) {
                half h;
                h.setBits(uint16_t(texels[8 * (y * stride + x) + 2 * c] | texels[8 * (y * stride + x) + 2 * c + 1] << 8));
                const double v = want.p[size_t(y * want.w + x)][size_t(c)];
                off += std::fabs(float(h) - v) > std::max(1.0, std::fabs(v)) / 1024;
            }
    EXPECT_EQ(off, 0) << label;
}

TEST(HalfFloat, DdsAndKtx2LevelsOfAFloatSourceReadBack) {
    const int w = 11, h = 6;
    std::vector<Linear> pixels = float_noise(w * h, 5);
    const std::string input = test::scratch_path("light.exr");
    write_scanline_exr(input, w, h, pixels, true);
    // The file holds colour premultiplied: where alpha is 0 it reads back 0.
    for (Linear& p : pixels)
        if (p.v[3] == 0) p.v[0] = p.v[1] = p.v[2] = 0;
    const model::Block source = model_source(pixels, w, h);
    const ExrCase mip{w, h, AtlasLayout::mip, FilterKind::box, EdgeMode::clamp, ExrPixelType::half, 0, ""};
    const ExrCase rip{w, h, AtlasLayout::rip, FilterKind::box, EdgeMode::clamp, ExrPixelType::half, 0, ""};
    const uint32_t DDSD_PITCH = 0x8, DDSD_MIPMAPCOUNT = 0x20000, DDPF_FOURCC = 0x4;

    for (const bool legacy : {false, true}) {
        const std::string label = legacy ? "legacy DDS" : "DX10 DDS";
        std::vector<std::string> args = {"-q", "-f", "dds", "-l", "mip", input};
        if (legacy) args.insert(args.begin(), "--dds-legacy");
        ASSERT_EQ(test::run_tool(args).status, 0) << label;
        const std::vector<uint8_t> dds = test::read_file(test::scratch_path("light_mip.dds"));
        ASSERT_GT(dds.size(), 148u);
        EXPECT_EQ(u32_at(dds, 8) & (DDSD_PITCH | DDSD_MIPMAPCOUNT), DDSD_PITCH | DDSD_MIPMAPCOUNT) << label;
        EXPECT_EQ(u32_at(dds, 20), uint32_t(8 * w)) << label << ": the pitch";
        EXPECT_EQ(u32_at(dds, 28), 4u) << label << ": levels down to 1 x 1";
        EXPECT_EQ(u32_at(dds, 80), DDPF_FOURCC) << label;
        EXPECT_EQ(u32_at(dds, 84), legacy ? 113u : read_le32(reinterpret_cast<const uint8_t*>("DX10"))) << label;
        // The DX10 header: R16G16B16A16_FLOAT, straight alpha.
        if (!legacy) {
            EXPECT_EQ(std::make_pair(u32_at(dds, 128), u32_at(dds, 144)), std::make_pair(10u, 1u));
        }
        size_t at = legacy ? 128 : 148;
        for (int k = 0; k < 4; ++k) {
            const model::Block want = model_level(source, k, k, mip);
            ASSERT_LE(at + size_t(8 * want.w * want.h), dds.size()) << label;
            expect_half_level(dds.data() + at, want, want.w, label + " level " + std::to_string(k));
            at += size_t(8 * want.w * want.h);
        }
        EXPECT_EQ(at, dds.size()) << label;
    }

    // KTX2: the rip atlas as one level, plain and under Zstandard.
    std::vector<uint8_t> plain_level;
    for (const int zstd : {0, 5}) {
        const std::string label = "KTX2 zstd " + std::to_string(zstd);
        std::vector<std::string> args = {"-q", "-f", "ktx2", input};
        if (zstd) args.insert(args.begin(), {"--zstd", std::to_string(zstd)});
        ASSERT_EQ(test::run_tool(args).status, 0) << label;
        const std::vector<uint8_t> ktx = test::read_file(test::scratch_path("light_mip.ktx2"));
        ASSERT_GT(ktx.size(), 104u);
        EXPECT_EQ(u32_at(ktx, 12), 97u) << "R16G16B16A16_SFLOAT";
        EXPECT_EQ(u32_at(ktx, 16), 2u) << "typeSize";
        EXPECT_EQ(u32_at(ktx, 20), uint32_t(2 * w));
        EXPECT_EQ(u32_at(ktx, 36), 1u) << "one level";
        EXPECT_EQ(u32_at(ktx, 44), zstd ? 2u : 0u);
        // The basic descriptor as the Khronos Data Format document's float example gives it, four samples.
        const uint32_t want_dfd[] = {92, 0, 2 | 88 << 16, 1 | 1 << 8 | 1 << 16, 0, 8, 0};
        const size_t dfd = u32_at(ktx, 48);
        ASSERT_EQ(u32_at(ktx, 52), 92u);
        for (size_t i = 0; i < 7; ++i) EXPECT_EQ(u32_at(ktx, dfd + 4 * i), want_dfd[i]) << "DFD word " << i;
        const uint32_t channels[] = {0, 1, 2, 15};
        for (uint32_t i = 0; i < 4; ++i) {
            const size_t sample = dfd + 28 + 16 * i;
            EXPECT_EQ(u32_at(ktx, sample), 16 * i | 15 << 16 | (channels[i] | 0xC0) << 24) << "sample " << i;
            EXPECT_EQ(u32_at(ktx, sample + 4), 0u);
            EXPECT_EQ(u32_at(ktx, sample + 8), 0xBF800000u) << "-1.0f";
            EXPECT_EQ(u32_at(ktx, sample + 12), 0x3F800000u) << "1.0f";
        }
        const size_t offset = u32_at(ktx, 80), length = u32_at(ktx, 88), raw = u32_at(ktx, 96);
        ASSERT_EQ(raw, size_t(2 * w) * size_t(2 * h) * 8) << label;
        ASSERT_LE(offset + length, ktx.size()) << label;
        std::vector<uint8_t> level(raw);
        if (zstd) {
            ASSERT_EQ(ZSTD_decompress(level.data(), raw, ktx.data() + offset, length), raw) << label;
            EXPECT_EQ(level, plain_level) << "Zstandard changes nothing";
            continue;
        }
        EXPECT_EQ(offset % 8, 0u) << "levels start on a texel";
        level.assign(ktx.begin() + long(offset), ktx.begin() + long(offset + length));
        plain_level = level;
        const AtlasGeometry g = atlas_geometry(w, h, AtlasLayout::rip, 0, 1);
        for (const AtlasBlock& b : g.blocks)
            expect_half_level(level.data() + 8 * (b.y * 2 * w + b.x), model_level(source, b.across, b.down, rip),
                              2 * w, label + " block " + std::to_string(b.across) + "," + std::to_string(b.down));
    }
}

// Which DDS format each kind of source gives: float sources keep their range
// uncompressed; integer ones, and the block formats, stay 8-bit.
TEST(HalfFloat, SourceKindsGiveTheirDdsFormats) {
    const std::string exr = test::scratch_path("kind.exr");
    write_scanline_exr(exr, 5, 3, float_noise(15, 9), false);
    const std::string data = TEST_DATA_DIR "/float/";
    const struct {
        std::string input;
        const char* compress;
        uint32_t dxgi;
    } cases[] = {
        {exr, "none", 10},
        {data + "rle.hdr", "none", 10},
        {data + "strips-float-rgba.tif", "none", 10},
        {data + "plain-16-rgba.png", "none", 29},  // R8G8B8A8_UNORM_SRGB
        {exr, "bc7", 99},                            // BC7_UNORM_SRGB
    };
    for (const auto& c : cases) {
        const std::string out = test::scratch_path("kinds");
        ASSERT_EQ(test::run_tool({"-q", "-f", "dds", "-c", c.compress, "-o", out, c.input}).status, 0) << c.input;
        std::string stem = c.input.substr(c.input.find_last_of('/') + 1);
        stem = stem.substr(0, stem.find_last_of('.'));
        const std::vector<uint8_t> dds = test::read_file(out + "/" + stem + "_mip.dds");
        ASSERT_GE(dds.size(), 148u) << c.input;
        EXPECT_EQ(u32_at(dds, 128), c.dxgi) << c.input << " -c " << c.compress;
    }
}

// ---------------------------------------------------------------------------
// Readers.

TEST(FloatReaders, OpenExrDataWindowPremultipliedAlphaAndNonFiniteValues) {
    std::vector<Linear> pixels = float_noise(5 * 3, 3);
    pixels[4].v[3] = 0.5f;
    pixels[4].v[0] = 3.0f;
    pixels[7].v[1] = std::numeric_limits<float>::quiet_NaN();
    const std::string path = test::scratch_path("window.exr");
    write_scanline_exr(path, 5, 3, pixels, true, Imath::V2i(-7, 40));
    LoadOptions options;
    int warnings = 0;
    options.warnings = WarningSink{[](void* count, const char*) { ++*static_cast<int*>(count); }, &warnings};
    const LoadResult loaded = test::load_result(load_exr, test::read_file(path), options);
    ASSERT_TRUE(loaded.picture) << loaded.reason;
    EXPECT_EQ(loaded.picture->width, 5);
    EXPECT_EQ(loaded.picture->height, 3);
    EXPECT_EQ(loaded.picture->kind, SampleKind::floating);
    EXPECT_EQ(warnings, 1);
    EXPECT_EQ(loaded.picture->pixels[7].v[1], 0.0f);
    // Colour divided by alpha again: what was written comes back.
    EXPECT_NEAR(loaded.picture->pixels[4].v[0], 3.0f, 1e-6);
    for (int k : {1, 2, 11})
        for (int c = 0; c < 4; ++c) EXPECT_NEAR(loaded.picture->pixels[k].v[c], pixels[size_t(k)].v[c], 1e-5) << k;
}

TEST(FloatReaders, RadianceScanlinesInEveryForm) {
    const auto header = [](const std::string& resolution) {
        return test::Bytes().text("#?RADIANCE\nFORMAT=32-bit_rle_rgbe\n\n" + resolution + "\n");
    };
    // Eight pixels (m, m, m, e): the newer run-length form codes each channel apart.
    test::Bytes newer = header("-Y 1 +X 8").raw({2, 2, 0, 8});
    for (int c = 0; c < 3; ++c) newer.raw({128 + 8, 64});
    newer.raw({4, 128, 129, 130, 0}).raw({128 + 4, 136});
    const test::Bytes flat = header("+Y 2 +X 1").raw({64, 32, 16, 129}).raw({128, 128, 128, 136});
    const test::Bytes old_runs = header("-Y 1 +X 4").raw({64, 64, 64, 137}).raw({1, 1, 1, 3});
    struct Row {
        const char* name;
        std::vector<uint8_t> bytes;
        int width, height, x, y;
        float red;
    };
    const Row rows[] = {
        {"newer form", newer.data, 8, 1, 0, 0, 64.0f / 256},
        {"newer form, zero exponent", newer.data, 8, 1, 3, 0, 0.0f},
        {"newer form, e 136", newer.data, 8, 1, 7, 0, 64.0f},
        {"bottom row first", flat.data, 1, 2, 0, 1, 64.0f / 128},
        {"bottom row first, top", flat.data, 1, 2, 0, 0, 128.0f},
        {"old runs", old_runs.data, 4, 1, 3, 0, 128.0f},
    };
    for (const Row& row : rows) {
        const LoadResult loaded = test::load_result(load_hdr, row.bytes);
        ASSERT_TRUE(loaded.picture) << row.name << ": " << loaded.reason;
        EXPECT_EQ(loaded.picture->width, row.width) << row.name;
        EXPECT_EQ(loaded.picture->height, row.height) << row.name;
        EXPECT_EQ(loaded.picture->pixels[row.y * row.width + row.x].v[0], row.red) << row.name;
    }
    const std::vector<std::pair<const char*, std::vector<uint8_t>>> declined = {
        {"XYZE", test::Bytes().text("#?RADIANCE\nFORMAT=32-bit_rle_xyze\n\n-Y 1 +X 1\n").raw({1, 1, 1, 1}).data},
        {"rotated", header("+X 1 -Y 1").raw({1, 1, 1, 1}).data},
        {"cut short", std::vector<uint8_t>(newer.data.begin(), newer.data.end() - 2)},
        {"run past the row", header("-Y 1 +X 2").raw({1, 2, 3, 130}).raw({1, 1, 1, 2}).data},
    };
    for (const auto& [name, bytes] : declined) {
        const LoadResult loaded = test::load_result(load_hdr, bytes);
        EXPECT_FALSE(loaded.picture) << name;
        EXPECT_FALSE(loaded.reason.empty()) << name;
    }
}

// An uncompressed little-endian TIFF of one strip: the tags, then the samples.
std::vector<uint8_t> tiff_file(int width, int height, int photometric, int bits, int format, int samples,
                               int extra, const test::Bytes& pixels) {
    struct Tag {
        unsigned id, type, value;
    };
    std::vector<Tag> tags = {{256, 3, unsigned(width)}, {257, 3, unsigned(height)}, {258, 3, unsigned(bits)},
                             {259, 3, 1}, {262, 3, unsigned(photometric)}, {273, 4, 0},
                             {277, 3, unsigned(samples)}, {278, 3, unsigned(height)},
                             {279, 4, unsigned(pixels.data.size())}, {284, 3, 1}};
    if (extra >= 0) tags.push_back({338, 3, unsigned(extra)});
    tags.push_back({339, 3, unsigned(format)});
    const unsigned ifd_size = 2 + 12 * unsigned(tags.size()) + 4;
    // bits a sample given once: every sample has the same size
    tags[5].value = 8 + ifd_size;
    test::Bytes b;
    b.text("II").le16(42).le32(8).le16(unsigned(tags.size()));
    for (const Tag& t : tags) {
        b.le16(t.id).le16(t.type).le32(1);
        if (t.type == 3) b.le16(t.value).le16(0);
        else b.le32(t.value);
    }
    b.le32(0).append(pixels.data);
    return b.data;
}

TEST(FloatReaders, TiffSamplesOfEveryKind) {
    float half_grey = 0.25f, bright = 5.5f;
    uint32_t grey_bits, bright_bits;
    std::memcpy(&grey_bits, &half_grey, 4);
    std::memcpy(&bright_bits, &bright, 4);
    struct Row {
        const char* name;
        std::vector<uint8_t> bytes;
        Linear expected;  // the second pixel
        SampleKind kind;
        bool alpha;
    };
    const Row rows[] = {
        {"16-bit RGBA, associated alpha",
         tiff_file(2, 1, 2, 16, 1, 4, 1, test::Bytes().fill(8, 0).le16(0x4000).le16(0x8000).le16(0).le16(0x8000)),
         Linear{{float(0x4000) / 0x8000, 1.0f, 0.0f, float(0x8000 / 65535.0)}}, SampleKind::integer, true},
        {"16-bit RGBA, unassociated alpha",
         tiff_file(2, 1, 2, 16, 1, 4, 2, test::Bytes().fill(8, 0).le16(65535).le16(0).le16(0).le16(0)),
         Linear{{1.0f, 0.0f, 0.0f, 0.0f}}, SampleKind::integer, true},
        {"8-bit grey, min is white", tiff_file(2, 1, 0, 8, 1, 1, -1, test::Bytes().raw({0, 51})),
         Linear{{0.8f, 0.8f, 0.8f, 1.0f}}, SampleKind::integer, false},
        {"float grey", tiff_file(2, 1, 1, 32, 3, 1, -1, test::Bytes().le32(grey_bits).le32(bright_bits)),
         Linear{{5.5f, 5.5f, 5.5f, 1.0f}}, SampleKind::floating, false},
    };
    for (const Row& row : rows) {
        const LoadResult loaded = test::load_result(load_tiff, row.bytes);
        ASSERT_TRUE(loaded.picture) << row.name << ": " << loaded.reason;
        EXPECT_EQ(loaded.picture->kind, row.kind) << row.name;
        EXPECT_EQ(loaded.alpha, row.alpha) << row.name;
        for (int c = 0; c < 4; ++c) EXPECT_NEAR(loaded.picture->pixels[1].v[c], row.expected.v[c], 1e-6) << row.name;
    }
    const LoadResult cmyk = test::load_result(load_tiff, tiff_file(1, 1, 5, 8, 1, 4, -1, test::Bytes().le32(0)));
    EXPECT_EQ(cmyk.error, LoadError::unsupported) << cmyk.reason;
    const LoadResult half = test::load_result(load_tiff, tiff_file(1, 1, 1, 16, 3, 1, -1, test::Bytes().le16(0)));
    EXPECT_EQ(half.error, LoadError::unsupported);
}

// A header attribute whose size field claims more than the file holds is
// declined before the library would allocate that size.
TEST(FloatReaders, OpenExrAttributeLargerThanTheFileIsDeclined) {
    const auto header = [](uint32_t length, bool multipart) {
        test::Bytes b;
        b.le32(20000630).le32(multipart ? 0x1002 : 2);
        b.text("comments").u8(0).text("string").u8(0).le32(length).text("hi");
        return b.u8(0).u8(0).data;
    };
    for (const bool multipart : {false, true}) {
        const std::vector<uint8_t> huge = header(0x48490d00, multipart);
        const LoadResult result = load_exr(huge.data(), huge.size(), LoadOptions());
        EXPECT_EQ(result.reason, "OpenEXR: attribute larger than the file") << multipart;
        // The same header with the size it really has gets past this check
        // (and is then declined by the library for lacking the rest).
        const std::vector<uint8_t> fitting = header(2, multipart);
        EXPECT_NE(load_exr(fitting.data(), fitting.size(), LoadOptions()).reason,
                  "OpenEXR: attribute larger than the file") << multipart;
    }
}

struct ExrAttribute {
    std::string name, type;
    std::vector<uint8_t> value;
};

std::vector<uint8_t> le32s(std::initializer_list<uint32_t> words) {
    test::Bytes b;
    for (const uint32_t w : words) b.le32(w);
    return b.data;
}

// A 256 x 256 single-part header of one half channel, tiled 64 x 64 as a
// mip-map unless `changes` say otherwise (an attribute of the same name is
// replaced, others are added), then `table` bytes of zeros for the chunk
// offsets: no pixel data.
std::vector<uint8_t> exr_header(const std::vector<ExrAttribute>& changes, size_t table) {
    std::vector<ExrAttribute> attributes = {
        {"channels", "chlist", test::Bytes().text("R").u8(0).append(le32s({1, 0, 1, 1})).u8(0).data},
        {"compression", "compression", {0}},
        {"dataWindow", "box2i", le32s({0, 0, 255, 255})},
        {"displayWindow", "box2i", le32s({0, 0, 255, 255})},
        {"lineOrder", "lineOrder", {0}},
        {"pixelAspectRatio", "float", le32s({0x3f800000})},
        {"screenWindowCenter", "v2f", le32s({0, 0})},
        {"screenWindowWidth", "float", le32s({0x3f800000})},
        {"tiles", "tiledesc", test::Bytes().le32(64).le32(64).u8(1).data},
    };
    for (const ExrAttribute& change : changes) {
        auto same = std::find_if(attributes.begin(), attributes.end(),
                                 [&](const ExrAttribute& a) { return a.name == change.name; });
        if (same != attributes.end()) *same = change;
        else attributes.push_back(change);
    }
    test::Bytes b;
    b.le32(20000630).le32(0x202);
    for (const ExrAttribute& a : attributes)
        b.text(a.name).u8(0).text(a.type).u8(0).le32(uint32_t(a.value.size())).append(a.value);
    return b.u8(0).fill(table, 0).data;
}

// Headers whose fields would lead the library to read one thing as another,
// or to size a table or a buffer beyond the file, are declined by the header
// walk with its reason, the fuzzer's findings among them (the library led
// astray, then allocating gigabytes); the chunk counts are the library's
// (hand-counted).
TEST(FloatReaders, OpenExrHeadersThatWouldMisleadTheLibraryAreDeclined) {
    const auto tiles = [](uint32_t x, uint32_t y, unsigned mode) {
        return ExrAttribute{"tiles", "tiledesc", test::Bytes().le32(x).le32(y).u8(mode).data};
    };
    const ExrAttribute no_tiles{"tiles", "string", {}};
    const std::string walk = "OpenEXR: ";
    const std::string many_chunks = walk + "more chunks than the file can hold";
    const auto found = [](const char* file) {
        return test::read_file(std::string(TEST_DATA_DIR) + "/crashes/" + file);
    };
    struct Row {
        const char* name;
        std::vector<uint8_t> bytes;
        std::string reason;  // "" where the walk lets the file through
        int64_t max_pixels = 0;
    };
    const Row rows[] = {
        {"box2i of 4 bytes", exr_header({{"dataWindow", "box2i", le32s({0})}}, 216),
         walk + "attribute of type box2i has the wrong size"},
        {"channel list without its end",
         exr_header({{"channels", "chlist", test::Bytes().text("R").u8(0).append(le32s({1, 0, 1, 1})).data}}, 216),
         walk + "channel list runs past its attribute"},
        {"channel list with a byte after its end",
         exr_header({{"channels", "chlist", test::Bytes().u8(0).u8(7).data}}, 216),
         walk + "channel list ends before its attribute"},
        {"string list with a string longer than it",
         exr_header({{"names", "stringvector", test::Bytes().le32(0x7fff0000).text("ab").data}}, 216),
         walk + "string list runs past its attribute"},
        {"preview of 30000 x 30000 in 4 bytes", exr_header({{"preview", "preview", le32s({30000, 30000, 0})}}, 216),
         walk + "preview has the wrong size"},
        {"level mode 3", exr_header({tiles(64, 64, 3)}, 216), walk + "unknown level mode"},
        {"negative chunk count", exr_header({{"chunkCount", "int", le32s({0xfffffffb})}}, 216),
         walk + "negative chunk count"},
        {"tiles of 0 x 64", exr_header({tiles(0, 64, 1)}, 216), walk + "tiles of no size"},
        {"tiles of 65536 x 65536", exr_header({tiles(65536, 65536, 1)}, 216),
         "OpenEXR: tiles larger than 4096 x 4096 are not read"},
        {"mip-map, 27 chunks", exr_header({}, 27 * 8), ""},
        {"mip-map, table short by one", exr_header({}, 26 * 8), many_chunks},
        {"rip-map, 169 chunks", exr_header({tiles(64, 64, 2)}, 169 * 8), ""},
        {"rip-map, table short by one", exr_header({tiles(64, 64, 2)}, 168 * 8), many_chunks},
        {"200 x 100 mip-map rounded up, 17 chunks",
         exr_header({tiles(64, 64, 0x11), {"dataWindow", "box2i", le32s({0, 0, 199, 99})}}, 17 * 8), ""},
        {"200 x 100 mip-map rounded up, short by one",
         exr_header({tiles(64, 64, 0x11), {"dataWindow", "box2i", le32s({0, 0, 199, 99})}}, 16 * 8), many_chunks},
        {"scanlines, ZIP, 16 chunks", exr_header({no_tiles, {"compression", "compression", {3}}}, 16 * 8), ""},
        {"scanlines, uncompressed, short by one", exr_header({no_tiles}, 255 * 8), many_chunks},
        {"1 x 4096 tiles across 256 pixels", exr_header({tiles(1, 4096, 0)}, 4096 * 8),
         "OpenEXR: picture larger than 65536 pixels", int64_t(1) << 16},
        {"found: box2i", found("exr-box-wrong-size.exr"), walk + "attribute of type box2i has the wrong size"},
        {"found: channel list", found("exr-channel-list-ends-early.exr"), walk + "channel list ends before its attribute"},
        {"found: channel list", found("exr-channel-list-runs-past.exr"), walk + "channel list runs past its attribute"},
        {"found: channel name", found("exr-channel-name-cut-short.exr"), walk + "channel name too long or cut short"},
        {"found: compression", found("exr-compression-wrong-size.exr"),
         walk + "attribute of type compression has the wrong size"},
        {"found: 8 x 9240584 tiles, no data window", found("exr-tall-tiles-no-data-window.exr"),
         "OpenEXR: tiles larger than 4096 x 4096 are not read"},
    };
    for (const Row& row : rows) {
        LoadOptions options;
        if (row.max_pixels > 0) options.max_pixels = row.max_pixels;
        const std::string reason = test::load_result(load_exr, row.bytes, options).reason;
        if (!row.reason.empty()) {
            EXPECT_EQ(reason, row.reason) << row.name;
        } else {
            // Let through, the library then finds the offsets wanting.
            EXPECT_EQ(reason.find(many_chunks), std::string::npos) << row.name;
            EXPECT_FALSE(reason.empty()) << row.name;
        }
    }
}

TEST(FloatReaders, AnUnknownFileNamesTheFormatsTheRunReads) {
    const uint8_t bytes[] = {'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'};
    LoadOptions options;
    EXPECT_EQ(load_image_from_memory(bytes, sizeof bytes, options).reason, "not a BMP, PCX, GIF, TGA, PNG or JPEG file");
    options.high_precision = true;
    EXPECT_EQ(load_image_from_memory(bytes, sizeof bytes, options).reason,
              "not a BMP, PCX, GIF, TGA, PNG, JPEG, OpenEXR, Radiance or TIFF file");
}

TEST(FloatReaders, SixteenBitPngKeepsEveryBitAndInterlacingChangesNothing) {
    WideImagePtr wide = new_wide_image(5, 4, 64);
    ASSERT_TRUE(wide);
    for (int k = 0; k < 5 * 4 * 4; ++k) wide->samples[k] = uint16_t(k * 977 + 1);
    const std::string path = test::scratch_path("wide.png");
    LoadOptions options;
    options.high_precision = true;
    // The default (pieces deflated by our own code) and a chosen level (libspng).
    for (const int level : {PNG_DEFAULT_LEVEL, 0, 6}) {
        PngSettings settings;
        settings.compression_level = level;
        ASSERT_TRUE(write_png16(path, *wide, true, settings));
        const LoadResult loaded = test::load_result(load_png, test::read_file(path), options);
        ASSERT_TRUE(loaded.picture) << loaded.reason;
        for (int k = 0; k < 5 * 4 * 4; ++k)
            EXPECT_EQ(std::lround(loaded.picture->pixels[k / 4].v[k % 4] * 65535.0f), wide->samples[k])
                << "level " << level << ", sample " << k;
    }
    // Without high precision the same file keeps its high bytes, as the classic run reads it.
    const test::ImagePtr high_bytes = test::load_bytes(load_png, test::read_file(path));
    ASSERT_TRUE(high_bytes);
    EXPECT_EQ(high_bytes->pixels[0] & 0xFF, unsigned(wide->samples[0] >> 8));

    const std::string dir = std::string(TEST_DATA_DIR) + "/float/";
    const LoadResult plain = test::load_result(load_png, test::read_file(dir + "plain-16-rgba.png"), options);
    const LoadResult interlaced = test::load_result(load_png, test::read_file(dir + "interlaced-16-rgba.png"), options);
    ASSERT_TRUE(plain.picture && interlaced.picture);
    const int64_t count = int64_t(plain.picture->width) * plain.picture->height;
    for (int64_t k = 0; k < count; ++k)
        for (int c = 0; c < 4; ++c) EXPECT_EQ(interlaced.picture->pixels[k].v[c], plain.picture->pixels[k].v[c]);
}

// ---------------------------------------------------------------------------
// The command line.

TEST(FloatCli, OptionsOfOneFormatNeedThatFormat) {
    const std::vector<std::vector<std::string>> usage_errors = {
        {"--exr-type", "float", "-f", "png", "a.exr"},
        {"--tile", "32", "a.exr"},
        {"--exr-compression", "piz", "-f", "dds", "-l", "mip", "a.exr"},
        {"--depth", "16", "-f", "bmp", "a.png"},
        {"-f", "exr", "--filter", "classic", "a.png"},
        {"-f", "exr", "--tile", "0", "a.png"},
        {"-f", "png", "--depth", "12", "a.png"},
    };
    for (const auto& args : usage_errors) {
        const CliParse parse = parse_command_line(args, 1);
        EXPECT_EQ(parse.action, CliAction::usage_error) << args[0] << " " << args[1];
    }
    const CliParse fine = parse_command_line({"-f", "exr", "--tile", "16", "--exr-type", "float", "a.png"}, 1);
    ASSERT_EQ(fine.action, CliAction::run) << fine.error;
    EXPECT_EQ(fine.options.outputs[0], "a_mip.exr");
}

TEST(FloatCli, FloatSourcesAsEightAndSixteenBitAtlases) {
    // Light of 4 in red, 0 in green: 255 and 0 in any integer format; blue 0.25 linear.
    std::vector<Linear> pixels(6, Linear{{4.0f, 0.0f, 0.25f, 1.0f}});
    const std::string input = test::scratch_path("bright.exr");
    write_scanline_exr(input, 3, 2, pixels, false);
    const test::RunResult bmp = test::run_tool({"-q", "-f", "bmp", input});
    ASSERT_EQ(bmp.status, 0);
    const test::ImagePtr atlas = test::load_path(load_image_from_memory, test::scratch_path("bright_mip.bmp"));
    ASSERT_TRUE(atlas);
    EXPECT_EQ(atlas->width, 6);
    EXPECT_EQ(atlas->pixels[0] & 0xFFFFFF, Pixel(model::nearest_step(model::to_srgb(0.25)).value) << 16 | 0xFF);
    const test::RunResult png = test::run_tool({"-q", "-f", "png", input});
    ASSERT_EQ(png.status, 0);
    LoadOptions options;
    options.high_precision = true;
    const LoadResult wide = test::load_result(load_png, test::read_file(test::scratch_path("bright_mip.png")), options);
    ASSERT_TRUE(wide.picture) << "a float source gives a 16-bit PNG";
    EXPECT_EQ(wide.picture->pixels[0].v[0], 1.0f);
    EXPECT_NEAR(wide.picture->pixels[0].v[2], model::to_srgb(0.25), 1.0 / 65535);
}

TEST(FloatCli, ExrheaderShowsRipAndMipMaps) {
    if (std::system("command -v exrheader >/dev/null 2>&1") != 0) GTEST_SKIP() << "no exrheader";
    const std::string input = test::scratch_path("tex.exr");
    write_scanline_exr(input, 6, 4, float_noise(24, 1), true);
    for (const char* layout : {"rip", "mip"}) {
        ASSERT_EQ(test::run_tool({"-q", "-f", "exr", "-l", layout, input}).status, 0);
        const std::string listing = test::scratch_path("header.txt");
        ASSERT_EQ(std::system(("exrheader " + test::scratch_path("tex_mip.exr") + " >" + listing).c_str()), 0);
        const std::vector<uint8_t> text = test::read_file(listing);
        EXPECT_NE(std::string(text.begin(), text.end()).find(std::string(layout) + "-map"), std::string::npos);
    }
}

// A float OpenEXR file whose levels need more memory than there is: status 3.
TEST(FloatCli, LevelsOverTheMemoryCapExitThree) {
    if (!test::sanitized_build() && std::system("prlimit --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no prlimit";
    const std::string input = test::scratch_path("flat.exr");
    write_scanline_exr(input, 1024, 1024, std::vector<Linear>(1024 * 1024, Linear{{0.5f, 0.5f, 0.5f, 1.0f}}), false);
    const std::vector<std::string> args = {"-f", "exr", "--exr-type", "float", "--exr-compression", "none", input};
    // 16 MiB for the picture fits, the 48 MiB file of its levels does not.
    const test::RunResult run =
        test::sanitized_build()
            ? test::run_tool(args, "ASAN_OPTIONS=allocator_may_return_null=1:max_allocation_size_mb=40")
            : test::run_tool(args, "prlimit --as=" + std::to_string(int64_t(200) << 20));
    EXPECT_EQ(run.status, EXIT_NO_MEMORY);
    EXPECT_FALSE(test::file_exists(test::scratch_path("flat_mip.exr")));
}

}  // namespace
