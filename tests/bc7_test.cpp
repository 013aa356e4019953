// BC7: the test decoder on blocks built bit by bit from the format's field
// order, and the encoder measured through that decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "encoders/bc7.h"
#include "tests/bc7_decode.h"
#include "tests/test_util.h"

namespace {

// A block's fields, least significant bit first, in the order they are stored.
struct Bits {
    uint8_t block[16] = {};
    int at = 0;
    Bits& put(unsigned value, int count) {
        for (int i = 0; i < count; ++i, ++at)
            if (value >> i & 1) block[at / 8] |= static_cast<uint8_t>(1u << (at % 8));
        return *this;
    }
    Bits& repeat(unsigned value, int count, int times) {
        for (int i = 0; i < times; ++i) put(value, count);
        return *this;
    }
};

struct Texel {
    int index;
    test::Rgba8 expected;
};

struct DecodeCase {
    const char* name;
    Bits bits;
    std::vector<Texel> texels;
};

// Mode 6: one subset, 7-bit endpoints with a p-bit each, 4-bit indices; the
// texels' indices run 0..15.
Bits mode6_ramp() {
    Bits b;
    b.put(1u << 6, 7);
    b.put(10, 7).put(100, 7).put(0, 7).put(127, 7).put(64, 7).put(64, 7).put(127, 7).put(127, 7);
    b.put(1, 1).put(0, 1);
    b.put(0, 3);
    for (int t = 1; t < 16; ++t) b.put(t, 4);
    return b;
}

// Mode 5, rotation 1 (alpha and red trade places after interpolation):
// colour 0 -> (255, 0, 255), alpha 200 -> 100; texel 0 at index 0 of both,
// the rest at colour index 3 and alpha index 1.
Bits mode5_rotated() {
    Bits b;
    b.put(1u << 5, 6).put(1, 2);
    b.put(0, 7).put(127, 7).put(0, 7).put(0, 7).put(127, 7).put(127, 7);
    b.put(200, 8).put(100, 8);
    b.put(0, 1).repeat(3, 2, 15);
    b.put(0, 1).repeat(1, 2, 15);
    return b;
}

// Mode 4 with the index selection bit set: colour takes the 3-bit indices,
// alpha the 2-bit ones.
Bits mode4_selected() {
    Bits b;
    b.put(1u << 4, 5).put(0, 2).put(1, 1);
    b.put(0, 5).put(31, 5).put(31, 5).put(0, 5).put(0, 5).put(0, 5);
    b.put(0, 6).put(63, 6);
    b.put(0, 1).repeat(2, 2, 15);  // primary: alpha
    b.put(0, 2).repeat(7, 3, 15);  // secondary: colour
    return b;
}

// Mode 1, partition 17 (texels 1, 2, 3 and 7 in the second subset, whose
// anchor is texel 2): shared p-bits, 3-bit indices. The second subset is one
// colour; the first runs black to white.
Bits mode1_partition17() {
    Bits b;
    b.put(1u << 1, 2).put(17, 6);
    const unsigned ends[3][4] = {{0, 63, 10, 10}, {0, 63, 20, 20}, {0, 63, 30, 30}};
    for (const auto& channel : ends)
        for (unsigned v : channel) b.put(v, 6);
    b.put(1, 1).put(0, 1);
    for (int t = 0; t < 16; ++t) b.put(t == 0 ? 3 : t == 2 ? 3 : 7, t == 0 || t == 2 ? 2 : 3);
    return b;
}

// Mode 2, partition 0: three subsets with anchors 0, 3 and 15, 2-bit
// indices; subset s runs from black to full channel s. Anchors at index 1,
// the rest at 3.
Bits mode2_partition0() {
    Bits b;
    b.put(1u << 2, 3).put(0, 6);
    for (int channel = 0; channel < 3; ++channel)
        for (int s = 0; s < 3; ++s) b.put(0, 5).put(s == channel ? 31 : 0, 5);
    for (int t = 0; t < 16; ++t) {
        const bool anchor = t == 0 || t == 3 || t == 15;
        b.put(anchor ? 1 : 3, anchor ? 1 : 2);
    }
    return b;
}

TEST(Bc7Decode, HandBuiltBlocks) {
    std::vector<DecodeCase> cases = {
        // Endpoints (21, 1, 129, 255) and (200, 254, 128, 254); texel 5 has weight 21.
        {"mode 6", mode6_ramp(), {{0, {21, 1, 129, 255}}, {5, {80, 84, 129, 255}}, {15, {200, 254, 128, 254}}}},
        // Alpha at weight 21: (43 * 200 + 21 * 100 + 32) >> 6 = 167, then swapped into red.
        {"mode 5 rotation", mode5_rotated(), {{0, {200, 0, 255, 0}}, {1, {167, 0, 255, 255}}, {15, {167, 0, 255, 255}}}},
        // Alpha index 2 (weight 43): 10997 >> 6 = 171; colour index 7 reaches the second endpoint.
        {"mode 4 index selection", mode4_selected(), {{0, {0, 255, 0, 0}}, {9, {255, 0, 0, 171}}}},
        // First subset: 7-bit ends 1 and 127 widen to 2 and 255; texel 0 at weight 27 gives 109.
        // Second subset: 6-bit 10, 20, 30 with p-bit 0 widen to 40, 80, 120.
        {"mode 1 partition 17",
         mode1_partition17(),
         {{0, {109, 109, 109, 255}}, {1, {40, 80, 120, 255}}, {2, {40, 80, 120, 255}}, {4, {255, 255, 255, 255}},
          {7, {40, 80, 120, 255}}, {15, {255, 255, 255, 255}}}},
        // Weight 21 on 255: 84. Subsets of partition 0: 0011 0011 0221 2222.
        {"mode 2 partition 0",
         mode2_partition0(),
         {{0, {84, 0, 0, 255}}, {1, {255, 0, 0, 255}}, {3, {0, 84, 0, 255}}, {9, {0, 0, 255, 255}},
          {11, {0, 255, 0, 255}}, {15, {0, 0, 84, 255}}}},
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.bits.at, 128);
        const auto texels = test::decode_bc7(c.bits.block);
        for (const Texel& t : c.texels) {
            SCOPED_TRACE("texel " + std::to_string(t.index));
            const test::Rgba8& got = texels[t.index];
            EXPECT_EQ(got, t.expected) << int(got.r) << " " << int(got.g) << " " << int(got.b) << " " << int(got.a);
        }
    }
}

TEST(Bc7Decode, ReservedModeIsTransparentBlack) {
    uint8_t block[16] = {0, 0xFF, 0xFF, 0xFF};
    for (const test::Rgba8& t : test::decode_bc7(block)) EXPECT_EQ(t, (test::Rgba8{0, 0, 0, 0}));
}

// A small deterministic generator, so every run sees the same blocks.
uint32_t next_random(uint32_t* state) {
    *state = *state * 1664525u + 1013904223u;
    return *state >> 8;
}

Pixel rgba(int r, int g, int b, int a) {
    return Pixel(r) | Pixel(g) << 8 | Pixel(b) << 16 | Pixel(a) << 24;
}

// Kinds of block a texture holds, each 16 texels; the last kind, noise,
// only where `noise` asks for it, since its error would drown the others'.
std::vector<std::vector<Pixel>> synthetic_blocks(bool alpha, bool noise = true) {
    std::vector<std::vector<Pixel>> blocks;
    uint32_t state = alpha ? 7 : 3;
    for (int kind = 0; kind < (noise ? 6 : 5); ++kind)
        for (int variant = 0; variant < 8; ++variant) {
            std::vector<Pixel> texels(16);
            const int base[3] = {int(next_random(&state) % 200), int(next_random(&state) % 200),
                                 int(next_random(&state) % 200)};
            for (int t = 0; t < 16; ++t) {
                const int x = t % 4, y = t / 4;
                int c[3], a = 255;
                for (int ch = 0; ch < 3; ++ch) {
                    switch (kind) {
                        case 0: c[ch] = base[ch] + (x + y) * (ch + 2); break;                          // gradient
                        case 1: c[ch] = x + y < 3 ? base[ch] : 255 - base[ch]; break;                  // edge
                        case 2: c[ch] = base[ch] + int(next_random(&state) % 40); break;               // grain
                        case 3: c[ch] = ch == x % 3 ? 240 : 20; break;                                 // stripes
                        case 4: c[ch] = ch == 0 ? base[0] + 12 * x : ch == 1 ? 250 - 15 * y : 30; break;  // two ramps
                        default: c[ch] = int(next_random(&state) % 256); break;                        // noise
                    }
                    c[ch] = std::min(std::max(c[ch], 0), 255);
                }
                if (alpha) a = kind % 2 ? (x < 2 ? 0 : 255) : 255 - 15 * t;
                // Without alpha the top byte is 0, as loaders leave it.
                texels[t] = rgba(c[0], c[1], c[2], alpha ? a : 0);
            }
            blocks.push_back(texels);
        }
    return blocks;
}

struct Measured {
    double rgb_psnr;
    double alpha_psnr;
};

Measured round_trip(const std::vector<std::vector<Pixel>>& blocks, const BlockSettings& settings) {
    double rgb = 0, alpha = 0;
    for (const auto& texels : blocks) {
        uint8_t block[16];
        encode_bc7_block(texels.data(), settings, block);
        const auto decoded = test::decode_bc7(block);
        for (int t = 0; t < 16; ++t) {
            const Pixel p = texels[t];
            const int source[4] = {int(p & 0xFF), int(p >> 8 & 0xFF), int(p >> 16 & 0xFF),
                                   settings.alpha ? int(p >> 24) : 255};
            const int got[4] = {decoded[t].r, decoded[t].g, decoded[t].b, decoded[t].a};
            for (int c = 0; c < 3; ++c) rgb += (got[c] - source[c]) * (got[c] - source[c]);
            alpha += (got[3] - source[3]) * (got[3] - source[3]);
        }
    }
    const double texels = 16.0 * blocks.size();
    return {test::psnr_db(rgb / (3 * texels)), test::psnr_db(alpha / texels)};
}

TEST(Bc7Encode, RoundTripHoldsFloorsPerQuality) {
    struct Case {
        CompressQuality quality;
        bool alpha;
        double rgb_floor;
        double alpha_floor;
    };
    // Floors a little below what the encoder reaches; opaque blocks must
    // come back exactly opaque.
    const Case cases[] = {
        {CompressQuality::fast, false, 37.7, 100.0}, {CompressQuality::normal, false, 39.8, 100.0},
        {CompressQuality::best, false, 40.3, 100.0}, {CompressQuality::fast, true, 33.2, 35.3},
        {CompressQuality::normal, true, 35.4, 33.2}, {CompressQuality::best, true, 35.4, 33.5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("quality " + std::to_string(int(c.quality)) + (c.alpha ? " with alpha" : " opaque"));
        BlockSettings settings;
        settings.quality = c.quality;
        settings.alpha = c.alpha;
        const Measured m = round_trip(synthetic_blocks(c.alpha, false), settings);
        EXPECT_GE(m.rgb_psnr, c.rgb_floor);
        EXPECT_GE(m.alpha_psnr, c.alpha_floor);
    }
}

TEST(Bc7Encode, SolidBlocksDecodeExactly) {
    std::vector<Pixel> colours;
    for (int v = 0; v < 256; ++v) {
        colours.push_back(rgba(v, 255 - v, (v * 7) & 255, v));
        colours.push_back(rgba((v * 13) & 255, v, 0, 255));
    }
    for (const CompressQuality quality : {CompressQuality::fast, CompressQuality::best})
        for (const bool alpha : {false, true})
            for (const Pixel colour : colours) {
                std::vector<Pixel> texels(16, colour);
                BlockSettings settings;
                settings.quality = quality;
                settings.alpha = alpha;
                uint8_t block[16];
                encode_bc7_block(texels.data(), settings, block);
                const test::Rgba8 want{uint8_t(colour), uint8_t(colour >> 8), uint8_t(colour >> 16),
                                      uint8_t(alpha ? colour >> 24 : 255)};
                for (const test::Rgba8& got : test::decode_bc7(block)) ASSERT_EQ(got, want) << std::hex << colour;
            }
}

TEST(Bc7Encode, SearchReachesSeveralModes) {
    // The synthetic kinds favour different modes: a search that fell back to
    // one mode everywhere would still decode, only worse.
    bool used[8] = {};
    for (const bool alpha : {false, true})
        for (const CompressQuality quality : {CompressQuality::fast, CompressQuality::normal, CompressQuality::best})
            for (const auto& texels : synthetic_blocks(alpha)) {
                BlockSettings settings;
                settings.quality = quality;
                settings.alpha = alpha;
                uint8_t block[16];
                encode_bc7_block(texels.data(), settings, block);
                const int mode = test::bc7_mode(block);
                ASSERT_GE(mode, 0);
                used[mode] = true;
            }
    int modes = 0;
    for (bool u : used) modes += u;
    EXPECT_GE(modes, 5);
}

TEST(Bc7Encode, SameBytesFromSeveralThreads) {
    std::vector<std::vector<Pixel>> blocks = synthetic_blocks(true);
    const std::vector<std::vector<Pixel>> opaque = synthetic_blocks(false);
    blocks.insert(blocks.end(), opaque.begin(), opaque.end());
    BlockSettings settings;
    settings.quality = CompressQuality::normal;
    auto encode_all = [&](std::vector<uint8_t>* out) {
        out->resize(blocks.size() * 16);
        for (int pass = 0; pass < 2; ++pass)
            for (size_t i = 0; i < blocks.size(); ++i) {
                BlockSettings s = settings;
                s.alpha = i < blocks.size() / 2;
                encode_bc7_block(blocks[i].data(), s, &(*out)[i * 16]);
            }
    };
    std::vector<uint8_t> alone;
    encode_all(&alone);
    std::vector<std::vector<uint8_t>> results(4);
    std::vector<std::thread> threads;
    for (auto& r : results) threads.emplace_back(encode_all, &r);
    for (auto& t : threads) t.join();
    for (const auto& r : results) EXPECT_EQ(r, alone);
}

std::string textures_dir() {
    return std::string(SHARED_TEXTURES_DIR);
}

// The twelve textures of ../shared/textures, each at fast and normal: mean
// PSNR over all twelve (RGB) and over those with alpha (alpha), as the
// encoder's goals are stated.
TEST(SlowBc7Encode, SharedTexturesHoldFloors) {
    if (!std::filesystem::is_directory(textures_dir())) GTEST_SKIP() << "no " << textures_dir();
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(textures_dir()))
        if (entry.path().extension() == ".png") names.push_back(entry.path().string());
    std::sort(names.begin(), names.end());
    if (names.size() != 12) GTEST_SKIP() << "expected the 12 textures, found " << names.size();
    struct Floor {
        CompressQuality quality;
        double rgb;
        double alpha;
    };
    for (const Floor floor : {Floor{CompressQuality::fast, 48.8, 52.3}, Floor{CompressQuality::normal, 49.4, 52.7}}) {
        double rgb = 0, alpha = 0;
        int with_alpha = 0;
        for (const std::string& name : names) {
            const LoadResult loaded = load_image_file(name);
            ASSERT_TRUE(loaded.image) << name << ": " << loaded.reason;
            BlockSettings settings;
            settings.quality = floor.quality;
            settings.alpha = loaded.alpha;
            const auto blocks = test::encode_bc7_picture(loaded.image.get(), settings);
            const test::Bc7Error e = test::bc7_picture_error(loaded.image.get(), blocks, loaded.alpha);
            rgb += test::psnr_db(e.rgb_mse);
            if (loaded.alpha) alpha += test::psnr_db(e.alpha_mse), ++with_alpha;
        }
        SCOPED_TRACE("quality " + std::to_string(int(floor.quality)));
        EXPECT_GE(rgb / names.size(), floor.rgb);
        ASSERT_GT(with_alpha, 0);
        EXPECT_GE(alpha / with_alpha, floor.alpha);
    }
}

}  // namespace
