#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "readers/bmp.h"
#include "readers/load_image.h"
#include "readers/tga.h"
#include "test_util.h"

using namespace orvandel;

namespace {

// The header fields a test sets; the rest are 0. Pixel data follows the map.
struct Tga {
    unsigned type;
    unsigned width;
    unsigned height;
    unsigned depth;
    unsigned descriptor;
    std::vector<uint8_t> data;
    unsigned map_first = 0;
    unsigned map_length = 0;
    unsigned map_entry_size = 0;
    std::vector<uint8_t> map = {};
    unsigned id_length = 0;
};

std::vector<uint8_t> tga_bytes(const Tga& t) {
    test::Bytes b;
    b.u8(t.id_length).u8(t.map_length ? 1 : 0).u8(t.type);
    b.le16(t.map_first).le16(t.map_length).u8(t.map_entry_size);
    b.le16(0).le16(0).le16(t.width).le16(t.height).u8(t.depth).u8(t.descriptor);
    b.fill(t.id_length, 'i').append(t.map).append(t.data);
    return b.data;
}

std::vector<uint8_t> concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// 0..n-1 as 24-bit map entries (blue, green, red) = (i, 2i, 3i).
std::vector<uint8_t> ramp_map24(unsigned n) {
    std::vector<uint8_t> out;
    for (unsigned i = 0; i < n; ++i) {
        out.push_back(uint8_t(i));
        out.push_back(uint8_t(2 * i));
        out.push_back(uint8_t(3 * i));
    }
    return out;
}

Pixel ramp24(unsigned i) { return Pixel(uint8_t(i)) << 16 | Pixel(uint8_t(2 * i)) << 8 | uint8_t(3 * i); }

// 0..127 as 24-bit values (blue, green, red) = (i, 1, 2).
std::vector<uint8_t> distinct24(unsigned n) {
    std::vector<uint8_t> out;
    for (unsigned i = 0; i < n; ++i) out.insert(out.end(), {uint8_t(i), 1, 2});
    return out;
}
std::vector<Pixel> distinct24_pixels(unsigned n) {
    std::vector<Pixel> out;
    for (unsigned i = 0; i < n; ++i) out.push_back(Pixel(i) << 16 | 0x0102);
    return out;
}

struct PixelCase {
    const char* name;
    Tga file;
    std::vector<Pixel> expected;  // top row first
};

void check_cases(const std::vector<PixelCase>& cases) {
    for (const PixelCase& c : cases) {
        test::ImagePtr image = test::load_bytes(load_tga, tga_bytes(c.file), "case.tga");
        ASSERT_NE(image, nullptr) << c.name;
        EXPECT_EQ(image->width, int32_t(c.file.width)) << c.name;
        EXPECT_EQ(image->height, int32_t(c.file.height)) << c.name;
        EXPECT_EQ(test::pixels_of(image.get()), c.expected) << c.name;
    }
}

TEST(TgaReader, PixelFormatsPlainAndRunLength) {
    const std::vector<PixelCase> cases = {
        {"24-bit plain", {2, 1, 1, 24, 0, {0x10, 0x20, 0x30}}, {0x00102030}},
        {"24-bit run", {10, 1, 1, 24, 0, {0x80, 0x10, 0x20, 0x30}}, {0x00102030}},
        {"32-bit plain keeps alpha on top", {2, 1, 1, 32, 0x08, {0x10, 0x20, 0x30, 0x40}}, {0x40102030}},
        {"32-bit run keeps alpha on top", {10, 1, 1, 32, 0x08, {0x80, 0x10, 0x20, 0x30, 0x40}}, {0x40102030}},
        {"32-bit, no alpha bits counted", {2, 1, 1, 32, 0, {0x10, 0x20, 0x30, 0x00}}, {0x00102030}},
        {"16-bit: 0x7FFF, 0xFFFF, blue, red",
         {2, 4, 1, 16, 0x20, {0xFF, 0x7F, 0xFF, 0xFF, 0x1F, 0x00, 0x00, 0x7C}},
         {0x00F8F8F8, 0x00F8F8F8, 0x00F80000, 0x000000F8}},
        {"16-bit raw packet", {10, 2, 1, 16, 0, {0x01, 0xE0, 0x03, 0x1F, 0x00}}, {0x0000F800, 0x00F80000}},
        {"depth 15 reads two bytes", {2, 2, 1, 15, 0, {0xE0, 0x03, 0x00, 0x7C}}, {0x0000F800, 0x000000F8}},
        {"other true-colour depths read two bytes", {2, 2, 1, 8, 0, {0x1F, 0x00, 0xE0, 0x03}}, {0x00F80000, 0x0000F800}},
        {"grey 8-bit", {3, 2, 1, 8, 0, {200, 7}}, {0x00C8C8C8, 0x00070707}},
        {"grey run", {11, 3, 1, 8, 0, {0x82, 200}}, {0x00C8C8C8, 0x00C8C8C8, 0x00C8C8C8}},
        {"grey and alpha, 16-bit", {3, 1, 1, 16, 0x08, {0x50, 0x90}}, {0x90505050}},
        {"grey and alpha run", {11, 2, 1, 16, 0x08, {0x81, 0x50, 0x90}}, {0x90505050, 0x90505050}},
        {"colour-mapped depth 16 is still one index byte",
         {1, 2, 1, 16, 0, {1, 2}, 0, 3, 24, ramp_map24(3)}, {ramp24(1), ramp24(2)}},
        {"colour-mapped run", {9, 3, 1, 8, 0, {0x82, 2}, 0, 3, 24, ramp_map24(3)},
         {ramp24(2), ramp24(2), ramp24(2)}},
        {"image id skipped", {2, 1, 1, 24, 0, {1, 2, 3}, 0, 0, 0, {}, 5}, {0x00010203}},
    };
    check_cases(cases);
    // 32-bit pixels whose header counts alpha bits say that their top byte is
    // alpha; 24-bit ones, and 32-bit ones counting none, do not.
    EXPECT_TRUE(test::load_result(load_tga, tga_bytes(cases[2].file)).alpha) << cases[2].name;
    EXPECT_TRUE(test::load_result(load_tga, tga_bytes(cases[3].file)).alpha) << cases[3].name;
    EXPECT_FALSE(test::load_result(load_tga, tga_bytes(cases[0].file)).alpha) << cases[0].name;
    EXPECT_FALSE(test::load_result(load_tga, tga_bytes(cases[4].file)).alpha) << cases[4].name;
}

TEST(TgaReader, PacketHeaders) {
    const std::vector<PixelCase> cases = {
        {"82 stores its value three times", {10, 3, 1, 24, 0, {0x82, 1, 2, 3}}, std::vector<Pixel>(3, 0x00010203)},
        {"02 stores three values", {10, 3, 1, 24, 0, concat({0x02}, distinct24(3))}, distinct24_pixels(3)},
        {"80 stores its value once", {10, 1, 1, 24, 0, {0x80, 1, 2, 3}}, {0x00010203}},
        {"FF stores its value 128 times", {10, 128, 1, 24, 0, {0xFF, 1, 2, 3}}, std::vector<Pixel>(128, 0x00010203)},
        {"7F is followed by 128 values", {10, 128, 1, 24, 0, concat({0x7F}, distinct24(128))}, distinct24_pixels(128)},
        {"run then raw in one row", {10, 4, 1, 24, 0, concat({0x81, 9, 9, 9, 0x01}, distinct24(2))},
         {0x00090909, 0x00090909, 0x00000102, 0x00010102}},
    };
    check_cases(cases);
}

// File rows A B / C D with every descriptor orientation.
TEST(TgaReader, FourOrigins) {
    const std::vector<uint8_t> abcd = {0xA, 0, 0, 0xB, 0, 0, 0xC, 0, 0, 0xD, 0, 0};
    const Pixel A = 0x0A0000, B = 0x0B0000, C = 0x0C0000, D = 0x0D0000;
    const std::vector<PixelCase> cases = {
        {"bottom left", {2, 2, 2, 24, 0x00, abcd}, {C, D, A, B}},
        {"bottom right", {2, 2, 2, 24, 0x10, abcd}, {D, C, B, A}},
        {"top left", {2, 2, 2, 24, 0x20, abcd}, {A, B, C, D}},
        {"top right", {2, 2, 2, 24, 0x30, abcd}, {B, A, D, C}},
        {"top left with eight alpha bits", {2, 2, 2, 24, 0x28, abcd}, {A, B, C, D}},
        {"run-length, top right", {10, 2, 2, 24, 0x30, concat({0x03}, abcd)}, {B, A, D, C}},
    };
    check_cases(cases);
}

// Packets run on past the end of a row into the next; nothing spills past
// the picture and the surplus of the last packet is ignored.
TEST(TgaReader, PacketsCrossRowEnds) {
    const Pixel X = 0x00030201, Y = 0x00060504;  // bytes 3 2 1 and 6 5 4
    const std::vector<PixelCase> cases = {
        {"run crosses into the row above", {10, 2, 2, 24, 0x00, {0x82, 3, 2, 1, 0x00, 6, 5, 4}}, {X, Y, X, X}},
        {"raw crosses into the row below",
         {10, 3, 2, 24, 0x20, concat(concat({0x03}, distinct24(4)), {0x81, 9, 9, 9})},
         {0x00000102, 0x00010102, 0x00020102, 0x00030102, 0x00090909, 0x00090909}},
        {"one run fills every row", {10, 3, 3, 24, 0x20, {0x88, 3, 2, 1}}, std::vector<Pixel>(9, X)},
        {"last packet longer than the picture", {10, 2, 1, 24, 0, {0xFF, 3, 2, 1}}, {X, X}},
        {"right to left across rows", {9, 2, 2, 8, 0x30, {0x02, 1, 2, 3, 0x80, 0}, 0, 4, 24, ramp_map24(4)},
         {ramp24(2), ramp24(1), ramp24(0), ramp24(3)}},
    };
    check_cases(cases);
}

TEST(TgaReader, ColourMaps) {
    std::vector<uint8_t> map15 = {0x1F, 0x00, 0xE0, 0x83};  // blue; green with bit 15 set
    std::vector<uint8_t> map32 = {0x10, 0x20, 0x30, 0x40};
    std::vector<uint8_t> big = ramp_map24(300);
    const std::vector<PixelCase> cases = {
        {"first index 5: entries start at 5, lower indices black",
         {1, 3, 1, 8, 0, {5, 14, 0}, 5, 10, 24, ramp_map24(10)}, {ramp24(0), ramp24(9), 0}},
        {"index past the map is black", {1, 2, 1, 8, 0, {1, 2}, 0, 2, 24, ramp_map24(2)}, {ramp24(1), 0}},
        {"15-bit entries read as 5-5-5", {1, 2, 1, 8, 0, {0, 1}, 0, 2, 15, map15}, {0x00F80000, 0x0000F800}},
        {"16-bit entries", {1, 2, 1, 8, 0, {1, 0}, 0, 2, 16, map15}, {0x0000F800, 0x00F80000}},
        {"32-bit entries drop alpha", {1, 1, 1, 8, 0, {0}, 0, 1, 32, map32}, {0x00102030}},
        {"entries past 255 are read and dropped", {1, 2, 1, 8, 0, {255, 44}, 0, 300, 24, big},
         {ramp24(255), ramp24(44)}},
        {"first index near the end", {1, 2, 1, 8, 0, {250, 255}, 250, 10, 24, ramp_map24(10)},
         {ramp24(0), ramp24(5)}},
        {"map in a true-colour file is skipped", {2, 1, 1, 24, 0, {1, 2, 3}, 0, 3, 24, ramp_map24(3)},
         {0x00010203}},
        {"map of 256 in a run-length true-colour file", {10, 2, 1, 32, 0, {0x81, 1, 2, 3, 4}, 0, 256, 24,
         ramp_map24(256)}, {0x04010203, 0x04010203}},
        {"grey ramp covers the map", {3, 2, 1, 8, 0, {200, 1}, 0, 256, 24, ramp_map24(256)},
         {0x00C8C8C8, 0x00010101}},
        {"grey ramp covers the map, run-length", {11, 1, 1, 8, 0, {0x80, 200}, 0, 2, 16, map15}, {0x00C8C8C8}},
    };
    check_cases(cases);
}

TEST(TgaReader, DeclinedHeaders) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        std::string reason;
    };
    const std::vector<uint8_t> one_pixel = {1, 2, 3};
    std::vector<Case> cases;
    for (unsigned type : {0u, 4u, 5u, 7u, 8u, 12u, 15u})
        cases.push_back({"unknown image type", tga_bytes({type, 1, 1, 24, 0, one_pixel}),
                         "TGA: image type " + std::to_string(type) + " is not read"});
    cases.push_back({"zero width", tga_bytes({2, 0, 1, 24, 0, one_pixel}), "TGA: zero width or height"});
    cases.push_back({"zero height", tga_bytes({2, 1, 0, 24, 0, one_pixel}), "TGA: zero width or height"});
    cases.push_back({"over the size cap", tga_bytes({2, 65535, 65535, 24, 0, one_pixel}),
                     "TGA: picture larger than 16384 x 16384"});
    for (unsigned size : {0u, 8u, 17u, 31u, 33u})
        cases.push_back({"map entry size", tga_bytes({1, 1, 1, 8, 0, {0}, 0, 1, size, {1, 2, 3, 4, 5}}),
                         "TGA: colour map entries of " + std::to_string(size) + " bits are not read"});
    std::vector<uint8_t> short_header = tga_bytes({2, 1, 1, 24, 0, {}});
    short_header.pop_back();
    cases.push_back({"header cut short", short_header, "TGA: header cut short"});
    cases.push_back({"empty file", {}, "TGA: header cut short"});
    for (const Case& c : cases) {
        const LoadResult result = test::load_result(load_tga, c.bytes);
        EXPECT_EQ(result.image, nullptr) << c.name;
        EXPECT_EQ(result.reason, c.reason) << c.name;
    }

    // An entry size is only looked at when there are entries.
    EXPECT_NE(test::load_bytes(load_tga, tga_bytes({2, 1, 1, 24, 0, one_pixel, 0, 0, 7}), "nomap.tga"), nullptr);
    EXPECT_EQ(load_image_file(test::scratch_path("missing.tga")).image, nullptr);
}

// Pillow and ImageMagick wrote these; the CRCs are of the pixels Pillow reads
// back (see tools/make_tga_fixtures.py).
struct Fixture {
    const char* name;
    unsigned type;
    unsigned descriptor;
    unsigned depth;
    uint32_t rgb_crc;
    uint32_t alpha_crc;  // of (alpha, 0, 0) per pixel
};

const Fixture FIXTURES[] = {
    {"pil_rgb_plain_bottom.tga", 2, 0x00, 24, 0x3A635BDDu, 0x3F64A4D6u},
    {"pil_rgba_plain_bottom.tga", 2, 0x08, 32, 0x3A635BDDu, 0x6E5F0058u},
    {"pil_rgb_rle_bottom.tga", 10, 0x00, 24, 0x3A635BDDu, 0x3F64A4D6u},
    {"pil_rgba_rle_bottom.tga", 10, 0x08, 32, 0x3A635BDDu, 0x6E5F0058u},
    {"pil_palette_plain_bottom.tga", 1, 0x00, 8, 0x16130106u, 0x3F64A4D6u},
    {"pil_grey_rle_bottom.tga", 11, 0x00, 8, 0x1F71297Cu, 0x3F64A4D6u},
    {"pil_greyalpha_plain_bottom.tga", 3, 0x08, 16, 0x1F71297Cu, 0x6E5F0058u},
    {"pil_rgb_plain_top.tga", 2, 0x20, 24, 0x3A635BDDu, 0x3F64A4D6u},
    {"pil_rgba_plain_top.tga", 2, 0x28, 32, 0x3A635BDDu, 0x6E5F0058u},
    {"pil_rgb_rle_top.tga", 10, 0x20, 24, 0x3A635BDDu, 0x3F64A4D6u},
    {"pil_rgba_rle_top.tga", 10, 0x28, 32, 0x3A635BDDu, 0x6E5F0058u},
    {"pil_palette_rle_top.tga", 9, 0x20, 8, 0x16130106u, 0x3F64A4D6u},
    {"pil_grey_plain_top.tga", 3, 0x20, 8, 0x1F71297Cu, 0x3F64A4D6u},
    {"pil_greyalpha_rle_top.tga", 11, 0x28, 16, 0x1F71297Cu, 0x6E5F0058u},
    {"im_rgb_plain_bottom.tga", 2, 0x00, 24, 0x4678E379u, 0x3F64A4D6u},
    {"im_rgb_rle_top.tga", 10, 0x20, 24, 0x3A635BDDu, 0x3F64A4D6u},
    {"im_rgba_rle_bottom.tga", 10, 0x08, 32, 0x4678E379u, 0x3EB3AC92u},
    {"im_rgba_plain_top.tga", 2, 0x28, 32, 0x3A635BDDu, 0x6E5F0058u},
    {"im_palette_plain_bottom.tga", 1, 0x00, 8, 0xC03A0AE8u, 0x3F64A4D6u},
    {"im_palette_rle_top.tga", 9, 0x20, 8, 0xACBC9AF4u, 0x3F64A4D6u},
    {"im_grey_plain_top.tga", 3, 0x20, 8, 0xA29C0165u, 0x3F64A4D6u},
    {"im_grey_rle_bottom.tga", 11, 0x00, 8, 0x94A4733Du, 0x3F64A4D6u},
};

std::string fixture_path(const char* name) { return std::string(TEST_DATA_DIR) + "/tga/" + name; }

uint32_t alpha_crc32(const Image* image) {
    std::vector<Pixel> alpha;
    for (Pixel p : test::pixels_of(image)) alpha.push_back(p >> 24);
    return test::rgb_crc32(test::make_image(image->width, image->height, alpha).get());
}

TEST(TgaReader, OtherEncodersFilesLoadExactly) {
    for (const Fixture& f : FIXTURES) {
        const std::vector<uint8_t> bytes = test::read_file(fixture_path(f.name));
        ASSERT_GE(bytes.size(), 18u) << f.name;
        EXPECT_EQ(bytes[2], f.type) << f.name;
        EXPECT_EQ(bytes[16], f.depth) << f.name;
        EXPECT_EQ(bytes[17], f.descriptor) << f.name;
        test::ImagePtr image = load_image_file(fixture_path(f.name)).image;
        ASSERT_NE(image, nullptr) << f.name;
        EXPECT_EQ(image->width, 37) << f.name;
        EXPECT_EQ(image->height, 11) << f.name;
        EXPECT_EQ(test::rgb_crc32(image.get()), f.rgb_crc) << f.name;
        EXPECT_EQ(alpha_crc32(image.get()), f.alpha_crc) << f.name;
    }
}

// A file cut anywhere after its header loads: the pixels before the cut, in
// file order, are those of the whole file, and every later one is black.
TEST(TgaReader, FilesCutShortKeepWhatWasRead) {
    for (const char* name : {"pil_rgb_rle_top.tga", "pil_rgba_plain_top.tga", "pil_palette_rle_top.tga",
                             "im_rgb_rle_top.tga", "pil_greyalpha_rle_top.tga"}) {
        const std::vector<uint8_t> whole = test::read_file(fixture_path(name));
        test::ImagePtr full = test::load_bytes(load_tga, whole, "whole.tga");
        ASSERT_NE(full, nullptr) << name;
        const std::vector<Pixel> expected = test::pixels_of(full.get());
        size_t last_kept = 0;
        for (size_t cut = 0; cut < whole.size(); ++cut) {
            const std::vector<uint8_t> part(whole.begin(), whole.begin() + cut);
            test::ImagePtr image = test::load_bytes(load_tga, part, "cut.tga");
            if (cut < 18) {
                EXPECT_EQ(image, nullptr) << name << " cut at " << cut;
                continue;
            }
            ASSERT_NE(image, nullptr) << name << " cut at " << cut;
            const std::vector<Pixel> got = test::pixels_of(image.get());
            ASSERT_EQ(got.size(), expected.size());
            size_t kept = 0;
            while (kept < got.size() && got[kept] == expected[kept]) ++kept;
            for (size_t i = kept; i < got.size(); ++i)
                ASSERT_EQ(got[i], 0u) << name << " cut at " << cut << ", pixel " << i;
            EXPECT_GE(kept, last_kept) << name << " cut at " << cut;
            last_kept = kept;
        }
        EXPECT_GT(last_kept, expected.size() / 2) << name;
    }
}

// Damaged bytes anywhere: the file is declined or loads at its header's size,
// and the sanitizers see no access outside the buffers.
TEST(TgaReader, FlippedBytesNeverOverrun) {
    for (const char* name : {"pil_rgb_rle_bottom.tga", "pil_palette_rle_top.tga", "im_rgba_rle_bottom.tga"}) {
        const std::vector<uint8_t> whole = test::read_file(fixture_path(name));
        for (size_t at = 0; at < whole.size(); at += 3) {
            std::vector<uint8_t> damaged = whole;
            damaged[at] ^= (at & 1) ? 0x80 : 0xFF;
            test::ImagePtr image = test::load_bytes(load_tga, damaged, "damaged.tga");
            if (!image) continue;
            EXPECT_EQ(image->width, damaged[12] | damaged[13] << 8) << name << " byte " << at;
            EXPECT_EQ(image->height, damaged[14] | damaged[15] << 8) << name << " byte " << at;
        }
    }
}

TEST(TgaReader, ToolMakesAnAtlasOfATgaFile) {
    const std::string input = test::scratch_path("wall.tga");
    test::write_file(input, test::read_file(fixture_path("pil_rgb_rle_bottom.tga")));
    const test::RunResult run = test::run_tool({input});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(test::read_file(test::scratch_path("wall_mip.bmp")).size(), size_t(bmp24_file_size(2 * 37, 2 * 11)));
}

}  // namespace
