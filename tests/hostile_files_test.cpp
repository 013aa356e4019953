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

}  // namespace
