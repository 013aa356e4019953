// Files made to cost far more than their pictures: each is declined from its
// headers with a reason, or loads at the cost of its picture, while the
// files encoders write still load.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "readers/load_image.h"
#include "test_util.h"

using namespace orvandel;

namespace {

std::vector<uint8_t> jpeg_fixture(const std::string& name) {
    return test::read_file(std::string(TEST_DATA_DIR) + "/jpeg/" + name);
}

// A progressive 8192 x 8192 grey JPEG header and `scans` scans of a few
// bytes each, whose data holds a stuffed 0xFF, an RSTn and a fill byte.
std::vector<uint8_t> many_scans(int scans) {
    test::Bytes b;
    b.raw({0xFF, 0xD8});
    b.raw({0xFF, 0xDB, 0x00, 0x43, 0x00}).fill(64, 1);                          // DQT
    b.raw({0xFF, 0xC2, 0x00, 0x0B, 8, 0x20, 0x00, 0x20, 0x00, 1, 1, 0x11, 0});  // SOF2
    b.raw({0xFF, 0xC4, 0x00, 0x14, 0x00, 1}).fill(15, 0).u8(0);                 // DHT: one DC code
    for (int k = 0; k < scans; ++k) {
        b.raw({0xFF, 0xDA, 0x00, 0x08, 1, 1, 0x00, 0, 0, 0});
        b.raw({0x00, 0xFF, 0x00, 0xFF, 0xD3, 0x00, 0xFF, 0xFF, 0xD4, 0x00});
    }
    b.raw({0xFF, 0xD9});
    return b.data;
}

// The same file with a comment of `pairs` FF DA pairs after SOI: segment
// contents are not markers.
std::vector<uint8_t> with_comment(std::vector<uint8_t> jpeg, int pairs) {
    test::Bytes comment;
    comment.raw({0xFF, 0xFE}).u8((2 + 2 * pairs) >> 8).u8((2 + 2 * pairs) & 0xFF);
    for (int k = 0; k < pairs; ++k) comment.raw({0xFF, 0xDA});
    jpeg.insert(jpeg.begin() + 2, comment.data.begin(), comment.data.end());
    return jpeg;
}

TEST(HostileFiles, JpegScansAreCountedBeforeDecoding) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        bool loads;
    } cases[] = {
        {"grey, 32 scans", jpeg_fixture("grey_scans32_16x16.jpg"), true},
        {"colour, 96 scans", jpeg_fixture("colour_scans96_16x16.jpg"), true},
        {"grey, 32 scans, FF DA in a comment", with_comment(jpeg_fixture("grey_scans32_16x16.jpg"), 200), true},
        {"grey, 33 scans", jpeg_fixture("grey_scans33_16x16.jpg"), false},
        {"colour, 97 scans", jpeg_fixture("colour_scans97_16x16.jpg"), false},
        {"8192 x 8192, 1000 scans", many_scans(1000), false},
    };
    for (const Case& c : cases) {
        const LoadResult result = load_image_from_memory(c.bytes.data(), c.bytes.size());
        if (c.loads) {
            ASSERT_TRUE(result.image) << c.name << ": " << result.reason;
            EXPECT_EQ(result.image->width, 16) << c.name;
            continue;
        }
        EXPECT_FALSE(result.image) << c.name;
        EXPECT_EQ(result.error, LoadError::unsupported) << c.name;
        EXPECT_EQ(result.reason, "JPEG: more than 32 scans per component, which no encoder writes") << c.name;
    }
}

// ---------------------------------------------------------------------------
// PNG: ancillary chunks the reader has no use for, in any number and size.

uint32_t crc32_of(const std::vector<uint8_t>& bytes, size_t from) {
    static const std::vector<uint32_t> table = [] {
        std::vector<uint32_t> t(256);
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int bit = 0; bit < 8; ++bit) c = c >> 1 ^ (0xEDB88320u & (0u - (c & 1)));
            t[n] = c;
        }
        return t;
    }();
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t k = from; k < bytes.size(); ++k) crc = table[(crc ^ bytes[k]) & 0xFF] ^ crc >> 8;
    return ~crc;
}

void be32(std::vector<uint8_t>* out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out->push_back(uint8_t(v >> shift));
}

void chunk(std::vector<uint8_t>* png, const char* type, const std::vector<uint8_t>& data) {
    be32(png, uint32_t(data.size()));
    const size_t typed = png->size();
    png->insert(png->end(), type, type + 4);
    png->insert(png->end(), data.begin(), data.end());
    be32(png, crc32_of(*png, typed));
}

// The 2 x 2 RGB picture of RGB_PIXELS (rows of filter 0 in one stored
// deflate block), with `extra` chunks after IHDR.
const uint8_t RGB_PIXELS[12] = {10, 20, 30, 40, 50, 60, 70, 80, 90, 200, 210, 220};

std::vector<uint8_t> rgb_png(const std::vector<std::pair<const char*, std::vector<uint8_t>>>& extra) {
    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    chunk(&png, "IHDR", {0, 0, 0, 2, 0, 0, 0, 2, 8, 2, 0, 0, 0});
    for (const auto& c : extra) chunk(&png, c.first, c.second);
    std::vector<uint8_t> rows = {0, 10, 20, 30, 40, 50, 60, 0, 70, 80, 90, 200, 210, 220};
    std::vector<uint8_t> idat = {0x78, 0x01, 0x01, uint8_t(rows.size()), 0, uint8_t(~rows.size()), 0xFF};
    idat.insert(idat.end(), rows.begin(), rows.end());
    uint32_t a = 1, b = 0;
    for (const uint8_t v : rows) a = (a + v) % 65521, b = (b + a) % 65521;
    be32(&idat, b << 16 | a);
    chunk(&png, "IDAT", idat);
    chunk(&png, "IEND", {});
    return png;
}

std::vector<std::pair<const char*, std::vector<uint8_t>>> texts(size_t count, size_t bytes) {
    std::vector<uint8_t> text(bytes, 'x');
    text[1] = 0;  // keyword "x", then the text
    return std::vector<std::pair<const char*, std::vector<uint8_t>>>(count, {"tEXt", text});
}

TEST(HostileFiles, PngAncillaryChunksAreSteppedOver) {
    auto with_trns = texts(2000, 3);
    with_trns.insert(with_trns.begin() + 1000, {"tRNS", {0, 40, 0, 50, 0, 60}});  // the second pixel
    auto out_of_order = texts(1, 3);
    out_of_order.push_back({"gAMA", {1, 2}});  // too short, and a bad CRC below
    std::vector<uint8_t> damaged = rgb_png(out_of_order);
    damaged[33 + 8 + 3] ^= 1;  // the CRC of the tEXt chunk after IHDR
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        bool alpha;
    } cases[] = {
        {"1,001 text chunks", rgb_png(texts(1001, 3)), false},
        {"100,000 text chunks", rgb_png(texts(100000, 3)), false},
        {"a text chunk of 17 MiB", rgb_png(texts(1, 17 << 20)), false},
        {"five text chunks of 15 MiB", rgb_png(texts(5, 15 << 20)), false},
        {"tRNS among 2,000 text chunks", rgb_png(with_trns), true},
        {"a bad CRC, a gAMA too short", damaged, false},
    };
    for (const Case& c : cases) {
        const LoadResult result = load_image_from_memory(c.bytes.data(), c.bytes.size());
        ASSERT_TRUE(result.image) << c.name << ": " << result.reason;
        ASSERT_EQ(result.image->width, 2) << c.name;
        EXPECT_EQ(result.alpha, c.alpha) << c.name;
        for (int k = 0; k < 4; ++k) {
            const Pixel p = result.image->pixels[k];
            const uint8_t* rgb = RGB_PIXELS + 3 * k;
            const uint32_t top = !c.alpha ? 0 : k == 1 ? 0 : 255;
            EXPECT_EQ(p, top << 24 | uint32_t(rgb[2]) << 16 | uint32_t(rgb[1]) << 8 | rgb[0]) << c.name << " " << k;
        }
    }
    // Critical chunks are still read and checked.
    std::vector<uint8_t> bad_idat = rgb_png(texts(3, 3));
    bad_idat[bad_idat.size() - 12 - 5] ^= 1;
    EXPECT_FALSE(load_image_from_memory(bad_idat.data(), bad_idat.size()).image);
}

}  // namespace
