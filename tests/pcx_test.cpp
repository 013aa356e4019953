#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "readers/load_image.h"
#include "readers/pcx.h"
#include "test_util.h"

using namespace orvandel;

namespace {

// A 128-byte header for a window of width x height at the origin.
test::Bytes pcx_header(unsigned width, unsigned height, unsigned planes, unsigned bytes_per_line,
                       unsigned bits_per_pixel = 8, unsigned version = 5) {
    test::Bytes b;
    b.u8(10).u8(version).u8(1).u8(bits_per_pixel);
    b.le16(0).le16(0).le16(width - 1).le16(height - 1);
    b.le16(72).le16(72).fill(48, 0).u8(0).u8(planes).le16(bytes_per_line).le16(1);
    b.le16(0).le16(0).fill(54, 0);
    return b;
}

// The 769-byte block ending an 8-bit file. Entries differ from each other
// and every byte is below 192, so the block also decodes as literal data.
// Entry 1 is 0x10 0x20 0x30.
Pixel palette_pixel(unsigned e) { return e == 1 ? 0x302010u : (0x80 | e >> 2) << 16 | (e >> 1) << 8 | (e & 0x7F); }

test::Bytes& palette_block(test::Bytes& b, unsigned marker = 12) {
    b.u8(marker);
    for (unsigned e = 0; e < 256; ++e) {
        const Pixel p = palette_pixel(e);
        b.u8(p & 0xFF).u8((p >> 8) & 0xFF).u8(p >> 16);
    }
    return b;
}

struct DecodeCase {
    const char* name;
    std::vector<uint8_t> data;
    int16_t length;
    std::vector<int16_t> counts;     // per call, in order
    std::vector<uint8_t> stored;     // every byte stored, all lines together
    long position_after_first_line;  // bytes of the stream consumed by then
};

TEST(DecodePcxLine, RunsLiteralsAndTheEndOfTheData) {
    const DecodeCase cases[] = {
        {"run carried across the line end", {0xC6, 0x07, 0x01}, 4, {4, 3}, {7, 7, 7, 7, 7, 7, 1}, 2},
        {"C0 stores nothing", {0xC0, 0x55, 0x01, 0x02}, 2, {2}, {1, 2}, 4},
        {"C1 C8 stores one 200", {0xC1, 0xC8}, 1, {1}, {200}, 2},
        {"BF is a literal 191", {0xBF}, 1, {1}, {191}, 1},
        {"line ending with a run reads the next run", {0xC2, 0x05, 0xC3, 0x09}, 2, {2, 2, 1}, {5, 5, 9, 9, 9}, 4},
        {"literal read at the line end opens the next line", {0x01, 0x02, 0x03}, 2, {2, 1}, {1, 2, 3}, 3},
        {"data ending mid line", {0x01, 0x02}, 4, {2, 0}, {1, 2}, 2},
        {"data ending after a run byte", {0x01, 0xC5}, 4, {1, 0}, {1}, 2},
        {"no data", {}, 3, {0, 0}, {}, 0},
        {"63-byte run over a 32767-byte line", {0xFF, 0xAB}, 32767, {63}, std::vector<uint8_t>(63, 0xAB), 2},
    };
    for (const DecodeCase& c : cases) {
        ByteReader in = make_reader(c.data.data(), c.data.size());
        PcxRunState state = {0, 0};
        std::vector<uint8_t> line(static_cast<size_t>(c.length), 0xEE);
        std::vector<uint8_t> stored;
        for (size_t call = 0; call < c.counts.size(); ++call) {
            const int16_t got = decode_pcx_line(&state, line.data(), c.length, &in);
            EXPECT_EQ(got, c.counts[call]) << c.name << ", call " << call;
            if (call == 0) {
                EXPECT_EQ(in.pos, size_t(c.position_after_first_line)) << c.name;
            }
            stored.insert(stored.end(), line.begin(), line.begin() + std::max<int16_t>(got, 0));
        }
        EXPECT_EQ(stored, c.stored) << c.name;
    }
}

struct LoadCase {
    const char* name;
    std::vector<uint8_t> file;
    int32_t width, height;
    std::vector<Pixel> pixels;  // empty: the file is declined
    const char* reason = "";    // the decline's
};

void expect_load(test::Loader loader, const LoadCase& c) {
    LoadResult result = test::load_result(loader, c.file);
    test::ImagePtr image = std::move(result.image);
    EXPECT_EQ(result.reason, c.reason) << c.name;
    if (c.pixels.empty()) {
        EXPECT_EQ(image, nullptr) << c.name;
        return;
    }
    ASSERT_NE(image, nullptr) << c.name;
    EXPECT_EQ(image->width, c.width) << c.name;
    EXPECT_EQ(image->height, c.height) << c.name;
    EXPECT_EQ(test::pixels_of(image.get()), c.pixels) << c.name;
}

std::vector<uint8_t> file8(test::Bytes header, std::initializer_list<unsigned> data, unsigned marker = 12) {
    header.raw(data);
    return palette_block(header, marker).data;
}

std::vector<uint8_t> file24(test::Bytes header, std::initializer_list<unsigned> data) {
    return header.raw(data).data;
}

TEST(LoadPcx8, IndicesPaletteAndChecks) {
    const Pixel p1 = palette_pixel(1), p2 = palette_pixel(2), p3 = palette_pixel(3), p200 = palette_pixel(200);
    const LoadCase cases[] = {
        {"palette bytes red green blue", file8(pcx_header(1, 1, 1, 2), {0x01, 0x00}), 1, 1, {0x302010u}},
        {"padded lines keep rows aligned", file8(pcx_header(3, 2, 1, 4), {1, 2, 3, 9, 3, 2, 1, 9}), 3, 2,
         {p1, p2, p3, p3, p2, p1}},
        {"run over padding and into the next row", file8(pcx_header(3, 2, 1, 4), {0xC6, 2, 0xC2, 0xC8}), 3, 2,
         {p2, p2, p2, p2, p2, p200}},
        {"further planes dropped", file8(pcx_header(2, 1, 2, 2), {1, 2, 3, 3}), 2, 1, {p1, p2}},
        {"version 3 declined", file8(pcx_header(1, 1, 1, 2, 8, 3), {1, 0}), 0, 0, {}, "PCX: 8-bit files of version 3 are not read"},
        {"palette marker not 12", file8(pcx_header(1, 1, 1, 2), {1, 0}, 11), 0, 0, {}, "PCX: no 256-colour palette block at the end"},
        {"manufacturer not 10", [] {
             std::vector<uint8_t> f = file8(pcx_header(1, 1, 1, 2), {1, 0});
             f[0] = 11;
             return f;
         }(), 0, 0, {}, "not a PCX file"},
        {"line shorter than the width", file8(pcx_header(4, 1, 1, 2), {1, 2}), 0, 0, {}, "PCX: scan lines shorter than the width"},
        {"no palette block", file24(pcx_header(1, 1, 1, 2), {1, 0}), 0, 0, {}, "PCX: no 256-colour palette block at the end"},
        {"1-bit pixels: line shorter than the width", file8(pcx_header(16, 1, 1, 2, 1), {0xFF, 0xFF}), 0, 0, {}, "PCX: scan lines shorter than the width"},
        {"4-bit planes read as index bytes", file8(pcx_header(2, 1, 4, 1, 4), {1, 2, 3, 3}), 2, 1, {p1, p2}},
    };
    for (const LoadCase& c : cases) expect_load(load_pcx8, c);
}

TEST(LoadPcx8, ShortDataWarnsOncePerLineAndReadsIndexZero) {
    // 769 bytes of data for two lines of 1000: the palette block itself is
    // read as image data, then the file ends.
    test::Bytes b = pcx_header(1000, 2, 1, 1000);
    const std::vector<uint8_t> file = palette_block(b).data;
    const std::string warnings =
        "Error in decoded line length (was 769 should be 1000)\n"
        "Error in decoded line length (was 0 should be 1000)\n";
    std::string heard;
    LoadOptions options;
    options.warnings = {[](void* to, const char* text) { *static_cast<std::string*>(to) += text; }, &heard};
    test::ImagePtr image = test::load_result(load_pcx8, file, options).image;
    EXPECT_EQ(heard, warnings);
    ASSERT_NE(image, nullptr);
    const std::vector<Pixel> pixels = test::pixels_of(image.get());
    EXPECT_EQ(pixels[0], palette_pixel(12));  // the marker byte
    EXPECT_EQ(pixels[1], palette_pixel(0));   // entry 0's red byte
    EXPECT_EQ(pixels[4], palette_pixel(0x10));  // entry 1's red byte
    EXPECT_EQ(pixels[999], palette_pixel(0));
    EXPECT_EQ(pixels[1000], palette_pixel(0));

    // The tool prints them on the loading line, before its verdict; a file
    // declined after its lines (no palette marker) still gives them.
    const std::string path = test::scratch_path("short.pcx");
    test::write_file(path, file);
    EXPECT_NE(test::run_tool({path}).output.find("Loading image '" + path + "' ..." + warnings + " Done\n"),
              std::string::npos);
    std::vector<uint8_t> unmarked = file;
    unmarked[unmarked.size() - 769] = 11;
    test::write_file(path, unmarked);
    EXPECT_NE(test::run_tool({path}).output.find("..." + warnings + "Invalid fileformat !\n"), std::string::npos);
    EXPECT_EQ(test::load_result(load_pcx8, unmarked).reason, "PCX: no 256-colour palette block at the end");
}

TEST(LoadPcx24, PlanesAndChecks) {
    const LoadCase cases[] = {
        {"plane order red green blue", file24(pcx_header(1, 1, 3, 1), {0x10, 0x20, 0x30}), 1, 1, {0x302010u}},
        {"pad bytes after each plane ignored", file24(pcx_header(1, 2, 3, 2), {0x10, 9, 0x20, 9, 0x30, 9, 1, 9, 2, 9, 3, 9}),
         1, 2, {0x302010u, 0x030201u}},
        {"runs across planes and rows", file24(pcx_header(2, 2, 3, 2), {0xC7, 0xD0, 0xC5, 0x01}), 2, 2,
         {0xD0D0D0u, 0xD0D0D0u, 0x0101D0u, 0x010101u}},
        {"any version byte", file24(pcx_header(1, 1, 3, 1, 8, 0), {1, 2, 3}), 1, 1, {0x030201u}},
        {"planes 1 declined", file8(pcx_header(1, 1, 1, 2), {1, 0}), 0, 0, {}, "PCX: not three planes of 8 bits, as 24-bit files have"},
        {"4-bit planes declined", file24(pcx_header(2, 1, 3, 1, 4), {1, 2, 3}), 0, 0, {}, "PCX: not three planes of 8 bits, as 24-bit files have"},
        {"bytes_per_line below the width", file24(pcx_header(3, 1, 3, 2), {1, 2, 3, 4, 5, 6}), 0, 0, {}, "PCX: scan lines shorter than the width"},
        {"data cut short", file24(pcx_header(1, 2, 3, 1), {1, 2, 3, 4, 5}), 0, 0, {}, "PCX: image data cut short"},
        {"window far beyond its data", file24(pcx_header(8000, 8000, 3, 8000), {1, 2, 3}), 0, 0, {}, "PCX: image data cut short"},
        {"run cut after its count", file24(pcx_header(1, 1, 3, 1), {1, 2, 0xC1}), 0, 0, {}, "PCX: image data cut short"},
    };
    for (const LoadCase& c : cases) expect_load(load_pcx24, c);
}

TEST(LoadPcx, HostileHeadersDeclinedByBothLoaders) {
    // A good header with 16-bit fields replaced, 200 data bytes and a palette block.
    auto with = [](test::Bytes header, std::initializer_list<std::pair<size_t, unsigned>> fields) {
        for (const auto& field : fields) {
            header.data[field.first] = static_cast<uint8_t>(field.second);
            header.data[field.first + 1] = static_cast<uint8_t>(field.second >> 8);
        }
        header.fill(200, 0x01);
        return palette_block(header).data;
    };
    const struct {
        const char* name;
        std::vector<uint8_t> file;
        const char* reason;  // as the dispatch gives it, after both loaders
    } cases[] = {
        {"x_max below x_min", with(pcx_header(4, 4, 3, 4), {{4, 5}}), "PCX: inverted window"},
        {"y_max below y_min", with(pcx_header(4, 4, 3, 4), {{6, 9}}), "PCX: inverted window"},
        {"bytes_per_line 0", with(pcx_header(4, 4, 3, 4), {{66, 0}}), "PCX: scan lines of 0 bytes"},
        {"planes 0", with(pcx_header(4, 4, 0, 4), {}), "PCX: scan lines of 0 bytes"},
        {"24-bit line of 32769 bytes", with(pcx_header(4, 4, 3, 4), {{66, 10923}}),
         "PCX: scan lines of 32768 bytes or more are not read"},
        {"8-bit line of 32768 bytes", with(pcx_header(4, 4, 1, 4), {{66, 32768}}),
         "PCX: scan lines of 32768 bytes or more are not read"},
        {"8-bit line of 65535 bytes", with(pcx_header(4, 4, 1, 4), {{66, 65535}}),
         "PCX: scan lines of 32768 bytes or more are not read"},
        {"65536 x 65536 window", with(pcx_header(4, 4, 3, 4), {{8, 65535}, {10, 65535}, {66, 65535 / 3}}),
         "PCX: picture larger than 16384 x 16384"},
        {"window over the pixel cap", with(pcx_header(4, 4, 1, 4), {{8, 16384}, {10, 16383}, {66, 16385}}),
         "PCX: picture larger than 16384 x 16384"},
        {"header cut short", [] {
             std::vector<uint8_t> f = pcx_header(1, 1, 1, 2).data;
             f.resize(100);
             return f;
         }(), "PCX: header cut short"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(test::load_bytes(load_pcx24, c.file), nullptr) << c.name;
        EXPECT_EQ(test::load_bytes(load_pcx8, c.file), nullptr) << c.name;
        EXPECT_EQ(test::load_result(load_image_from_memory, c.file).reason, c.reason) << c.name;
    }
}

TEST(LoadImage, PcxPlanes1FallsThroughToThe8BitLoader) {
    const std::vector<uint8_t> file = file8(pcx_header(2, 1, 1, 2), {0xC2, 0x01});
    EXPECT_EQ(test::load_bytes(load_pcx24, file), nullptr);
    test::ImagePtr image = test::load_bytes(load_image_from_memory, file, "eight.pcx");
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(test::pixels_of(image.get()), (std::vector<Pixel>{0x302010u, 0x302010u}));
}

struct Fixture {
    const char* name;
    int32_t width, height;
    uint32_t crc;  // of the pixels Pillow reads from the file
};

// Written by Pillow and ImageMagick (tools/make_pcx_fixtures.py): odd and
// even widths, padded and unpadded lines, 8-bit and 24-bit.
const Fixture FIXTURES[] = {
    {"pillow_rgb_7x5.pcx", 7, 5, 0xB8A6C561u},
    {"pillow_p_7x5.pcx", 7, 5, 0xEC7A4DF7u},
    {"pillow_rgb_8x4.pcx", 8, 4, 0x2F22B32Fu},
    {"pillow_p_8x4.pcx", 8, 4, 0xD851C1A4u},
    {"magick_rgb_9x5.pcx", 9, 5, 0x5DE03FB0u},
    {"magick_p_9x5.pcx", 9, 5, 0x5BB8B8C4u},
    {"magick_rgb_10x6.pcx", 10, 6, 0x9D8711F9u},
    {"magick_p_10x6.pcx", 10, 6, 0xB82B0BF9u},
};

std::string fixture_path(const Fixture& f) { return std::string(TEST_DATA_DIR) + "/pcx/" + f.name; }

TEST(LoadPcx, FilesFromOtherEncodersLoadExactly) {
    for (const Fixture& f : FIXTURES) {
        test::ImagePtr image = load_image_file(fixture_path(f)).image;
        ASSERT_NE(image, nullptr) << f.name;
        EXPECT_EQ(image->width, f.width) << f.name;
        EXPECT_EQ(image->height, f.height) << f.name;
        EXPECT_EQ(test::rgb_crc32(image.get()), f.crc) << f.name;
    }
}

TEST(LoadPcx, DamagedCopiesAreDeclinedOrKeepTheirSize) {
    for (const Fixture& f : FIXTURES) {
        const std::vector<uint8_t> good = test::read_file(fixture_path(f));
        ASSERT_GT(good.size(), 128u) << f.name;
        const bool true_colour = good[65] == 3;
        // Every cut inside the image data leaves a 24-bit file a line short;
        // an 8-bit file cut below header and palette block has no palette.
        const size_t shortest_whole = true_colour ? good.size() : 128 + 769;
        for (size_t cut = 0; cut < shortest_whole; ++cut) {
            const std::vector<uint8_t> part(good.begin(), good.begin() + cut);
            testing::internal::CaptureStdout();
            EXPECT_EQ(test::load_bytes(load_image_from_memory, part), nullptr) << f.name << " cut to " << cut;
            testing::internal::GetCapturedStdout();
        }
        for (size_t at = 0; at < good.size(); ++at) {
            std::vector<uint8_t> bad = good;
            bad[at] ^= 0xC0;
            testing::internal::CaptureStdout();
            test::ImagePtr image = test::load_bytes(load_image_from_memory, bad);
            testing::internal::GetCapturedStdout();
            if (image && at >= 12) {  // the window lies in bytes 4 to 11
                EXPECT_EQ(image->width, f.width) << f.name << " at " << at;
                EXPECT_EQ(image->height, f.height) << f.name << " at " << at;
            }
        }
    }
}

}  // namespace
