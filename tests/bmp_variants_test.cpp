// BMP variants the classic readers decline and the BMP Suite does not cover,
// built byte by byte: top-down RLE, RLE4 runs past the edge, odd bit-field
// masks widened by repeating their bits, 2-bit rows, OS/2 headers, and the
// files that must be declined, each with its reason.
#include <gtest/gtest.h>

#include "readers/bmp_variants.h"
#include "test_util.h"

using namespace orvandel;

namespace {

// A BMP of `header` info-header bytes (12: OS/2 1.x), then `extra` (masks,
// or a palette of that many colours used) and the pixel data right after.
std::vector<uint8_t> bmp(uint32_t header, int32_t width, int32_t height, unsigned bits, uint32_t compression,
                         const std::vector<uint8_t>& extra, const std::vector<uint8_t>& data,
                         uint32_t colours_used = 0) {
    test::Bytes b;
    b.text("BM").le32(uint32_t(14 + header + extra.size() + data.size())).le32(0);
    b.le32(uint32_t(14 + header + extra.size())).le32(header);
    if (header == 12) {
        b.le16(unsigned(width)).le16(unsigned(height)).le16(1).le16(bits);
    } else {
        b.le32(uint32_t(width)).le32(uint32_t(height)).le16(1).le16(bits).le32(compression);
        if (!colours_used && bits <= 8) colours_used = uint32_t(extra.size() / 4);
        if (header >= 40) b.le32(0).le32(0).le32(0).le32(colours_used);
        b.fill(header - (header >= 40 ? 36 : 20), 0);
    }
    return b.append(extra).append(data).data;
}

std::vector<uint8_t> masks(std::initializer_list<uint32_t> values) {
    test::Bytes b;
    for (uint32_t v : values) b.le32(v);
    return b.data;
}

// Palette entries 0..3: black, red, green, blue (blue, green, red, reserved).
const std::vector<uint8_t> PALETTE = {0, 0, 0, 0, 0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 0};
constexpr Pixel K = 0, R = 0xFF, G = 0xFF00, B = 0xFF0000;

struct Case {
    const char* name;
    std::vector<uint8_t> file;
    int32_t width, height;
    std::vector<Pixel> pixels;  // top row first; empty: declined
    const char* reason;         // part of the decline's reason
    bool alpha;
};

TEST(BmpVariants, EveryKindGivesItsPixelsOrAReason) {
    const Case cases[] = {
        // Rows stored top first; the delta skips to column 1 of the second row.
        {"rle8 top-down", bmp(40, 3, -2, 8, 1, PALETTE, {2, 1, 0, 0, 0, 2, 1, 0, 1, 3, 0, 1}), 3, 2,
         {R, R, K, K, B, K}, "", false},
        // Runs of 5 in rows of 3 are cut at the edge; an absolute run of 3
        // bytes is padded to 4.
        {"rle4 bottom-up", bmp(40, 3, 2, 4, 2, PALETTE, {0, 5, 0x32, 0x10, 0x00, 0x00, 0, 0, 5, 0x12, 0, 1}), 3, 2,
         {R, G, R, B, G, R}, "", false},
        {"rle4 ended early", bmp(40, 2, 2, 4, 2, PALETTE, {2, 0x33}), 2, 2, {K, K, B, B}, "", false},
        // 5-6-5: red 0x1F -> 0xFF; red 0x10 -> 0x84, green 0x20 of 6 bits -> 0x82.
        {"565 top-down", bmp(40, 2, -1, 16, 3, masks({0xF800, 0x07E0, 0x001F}), {0x00, 0xF8, 0x00, 0x84}), 2, 1,
         {R, 0x8284}, "", false},
        // 10-10-10-2, the alpha mask after the colour masks: 10 bits keep their
        // top 8 (0x3FF, 0x101, 0x200), alpha 2 bits 10 -> 0xAA.
        {"alpha bit fields",
         bmp(40, 1, 1, 32, 6, masks({0x3FF00000, 0xFFC00, 0x3FF, 0xC0000000}), {0x00, 0x06, 0xF4, 0xBF}), 1, 1,
         {0xAA8040FF}, "", true},
        {"2-bit rows", bmp(40, 5, 1, 2, 0, PALETTE, {0x1B, 0x40, 0, 0}), 5, 1, {K, R, G, B, R}, "", false},
        {"os/2 1-bit", bmp(12, 9, 1, 1, 0, {0, 0, 0, 255, 255, 255}, {0x80, 0x80, 0, 0}), 9, 1,
         {0xFFFFFF, K, K, K, K, K, K, K, 0xFFFFFF}, "", false},
        {"24-bit top-down without the last padding", bmp(40, 1, -2, 24, 0, {}, {1, 2, 3, 0, 4, 5, 6}), 1, 2,
         {0x010203, 0x040506}, "", false},
        {"24-bit cut short", bmp(40, 1, -2, 24, 0, {}, {1, 2, 3, 0, 4, 5}), 0, 0, {}, "cut short", false},
        {"mask with a gap", bmp(40, 1, 1, 16, 3, masks({0xF00F, 0x0F00, 0x00F0}), {0, 0}), 0, 0, {}, "mask", false},
        {"embedded png", bmp(124, 1, 1, 0, 5, {}, {0x89, 'P', 'N', 'G'}), 0, 0, {}, "embedded PNG", false},
        {"header of 20 bytes", bmp(20, 1, 1, 24, 0, {}, {1, 2, 3, 0}), 0, 0, {}, "20 bytes", false},
        {"palette past the end", bmp(40, 1, 1, 8, 0, PALETTE, {0, 0, 0, 0}, 200), 0, 0, {}, "palette", false},
    };
    for (const Case& c : cases) {
        const LoadResult result = load_bmp_variant(c.file.data(), c.file.size(), LoadOptions());
        if (c.pixels.empty()) {
            EXPECT_FALSE(result.image) << c.name;
            EXPECT_NE(result.reason.find(c.reason), std::string::npos) << c.name << ": " << result.reason;
            continue;
        }
        ASSERT_TRUE(result.image) << c.name << ": " << result.reason;
        EXPECT_EQ(result.image->width, c.width) << c.name;
        EXPECT_EQ(result.image->height, c.height) << c.name;
        EXPECT_EQ(test::pixels_of(result.image.get()), c.pixels) << c.name;
        EXPECT_EQ(result.alpha, c.alpha) << c.name;
    }
}

}  // namespace
