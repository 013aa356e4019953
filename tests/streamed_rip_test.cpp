// The rip-map built in the BMP file's bytes against build_atlas's atlas of
// the same picture: every byte, over shapes, filters, edges and thread counts
// that cut the rows into stripes and keep levels whole between them; and the
// rows stream all the way where they should (a stripe whose ring is too short
// falls back to build_atlas: the same bytes, three times the time).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "builders/modern.h"
#include "builders/resample.h"
#include "picture/bmp_layout.h"

using namespace orvandel;

namespace {

struct Shape {
    int32_t w, h;
    int threads;
};

struct Mode {
    const char* name;
    FilterKind filter;
    ColourSpace colour;
    EdgeMode edge;
    bool normal;
};

// Smooth rows with grain, and a hard edge, so clamps and odd sizes matter.
std::vector<Pixel> picture(int32_t w, int32_t h) {
    std::vector<Pixel> pixels(size_t(w) * size_t(h));
    uint32_t state = uint32_t(w * 7919 + h);
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
            state = state * 1103515245u + 12345u;
            const uint32_t grain = state >> 28;
            const uint32_t r = (x * 255 / w + grain) & 0xFF, g = (y * 255 / h) ^ grain, b = x < w / 3 ? 250 : 5 + grain;
            pixels[size_t(y) * w + x] = b << 16 | g << 8 | r;
        }
    return pixels;
}

TEST(StreamedRip, SameBytesAsTheAtlasOfPixels) {
    const Shape shapes[] = {{64, 64, 1}, {64, 64, 2}, {33, 47, 2}, {17, 300, 2}, {48, 520, 3}, {40, 1100, 2},
                            {8, 2, 1},   {9, 3, 2},   {4, 20, 1},  {100, 1, 2}, {70, 1537, 2}};
    const Mode modes[] = {
        {"box", FilterKind::box, ColourSpace::srgb, EdgeMode::clamp, false},
        {"kaiser", FilterKind::kaiser, ColourSpace::srgb, EdgeMode::clamp, false},
        {"kaiser mirror", FilterKind::kaiser, ColourSpace::srgb, EdgeMode::mirror, false},
        {"kaiser wrap", FilterKind::kaiser, ColourSpace::linear, EdgeMode::wrap, false},
        {"box linear", FilterKind::box, ColourSpace::linear, EdgeMode::clamp, false},
        {"kaiser normal", FilterKind::kaiser, ColourSpace::linear, EdgeMode::clamp, true},
    };
    for (const Shape& shape : shapes)
        for (const Mode& mode : modes) {
            SCOPED_TRACE(std::to_string(shape.w) + "x" + std::to_string(shape.h) + " threads " +
                         std::to_string(shape.threads) + " " + mode.name);
            FilterOptions options;
            options.filter = mode.filter;
            options.colour = mode.colour;
            options.edge = mode.edge;
            options.normal_map = mode.normal;
            options.threads = shape.threads;
            const std::vector<Pixel> pixels = picture(shape.w, shape.h);
            const Image source{const_cast<Pixel*>(pixels.data()), shape.w, shape.h};
            const Atlas expected = build_atlas(source, false, options);
            ASSERT_TRUE(expected.image);

            BgrImagePtr canvas = new_bmp24_atlas(shape.w, shape.h, true);
            ASSERT_TRUE(canvas);
            for (int32_t y = 0; y < shape.h; ++y)
                bgr_from_pixels(pixels.data() + size_t(y) * shape.w, bgr_at(canvas.get(), 0, y), shape.w);
            bool streamed = false;
            ASSERT_TRUE(build_rip_in_file(canvas.get(), options, &streamed));
            EXPECT_EQ(streamed, rip_streams(shape.w, shape.h, options));
            ASSERT_EQ(canvas->width, expected.image->width);
            ASSERT_EQ(canvas->height, expected.image->height);
            std::vector<uint8_t> row(3 * size_t(canvas->width));
            for (int32_t y = 0; y < canvas->height; ++y) {
                bgr_from_pixels(expected.image->pixels + int64_t(y) * canvas->width, row.data(), canvas->width);
                const uint8_t* got = bgr_at(canvas.get(), 0, y);
                ASSERT_EQ(std::vector<uint8_t>(got, got + row.size()), row) << "atlas row " << y;
            }
        }
}

// The rows go out through encode_bgr_row: on every level the processor has,
// the bytes of the one-value encoders, among them values a hair either side
// of a half step, where a computed curve could round the other way.
TEST(StreamedRip, BgrRowsEncodeAsTheOneValueEncodersOnEveryLevel) {
    const auto to_linear = [](double c) { return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); };
    std::vector<Linear> values;
    uint32_t state = 7;
    for (int k = 0; k < 300; ++k) {
        state = state * 1103515245u + 12345u;
        const float r = float(state >> 8) / float(1 << 24) * 1.2f - 0.1f;
        const float half = static_cast<float>(to_linear(((k % 255) + 0.5) / 255));
        values.push_back(Linear{{r, std::nextafter(half, 2.0f), std::nextafter(half, -1.0f), 0.5f}});
    }
    for (ValueKind kind : {ValueKind::srgb, ValueKind::linear}) {
        const Coding coding = make_coding(kind, false);
        // A NaN encodes as 0 in sRGB; the linear encoder is never given one.
        values[5].v[0] = kind == ValueKind::srgb ? std::numeric_limits<float>::quiet_NaN() : 0.25f;
        for (Isa isa : {Isa::scalar, Isa::sse2, Isa::ssse3, Isa::avx2, Isa::avx512}) {
            if (runnable_isa(isa) != isa) continue;
            for (int32_t count : {0, 1, 7, 8, 9, 23, 300}) {
                std::vector<uint8_t> got(3 * size_t(count) + 1, 0xEE), expected(got.size(), 0xEE);
                for (int32_t x = 0; x < count; ++x)
                    for (int c = 0; c < 3; ++c) {
                        const float v = values[size_t(x)].v[2 - c];
                        expected[3 * size_t(x) + c] = kind == ValueKind::srgb ? encode_srgb(std::isnan(v) ? 0.0f : v)
                                                                              : encode_unit(v);
                    }
                encode_bgr_row(values.data(), count, coding, got.data(), isa);
                EXPECT_EQ(got, expected) << isa_name(isa) << ", " << count << " values";
            }
        }
    }
}

}  // namespace
