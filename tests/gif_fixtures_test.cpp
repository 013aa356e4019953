// GIF files written by other encoders load with exactly the pixels those
// encoders stored, frame by frame. The expected CRCs come from Pillow decoding
// each frame on its own (its raster and its colour table, not the composited
// animation); tools/make_gif_fixtures.py made the files and this table.
#include <gtest/gtest.h>

#include "readers/gif.h"
#include "test_util.h"

using namespace orvandel;

namespace {

struct FrameCrc {
    int32_t width;
    int32_t height;
    uint32_t rgb_crc32;
};

struct Fixture {
    const char* name;
    std::vector<FrameCrc> frames;
};

const Fixture FIXTURES[] = {
    {"magick-interlaced.gif", {{22, 14, 0xAAB9943F}}},  // interlaced
    {"magick-local-tables.gif", {{24, 20, 0x0ED9D21B}, {24, 20, 0x9CEC95BB}, {24, 20, 0x20F41805}}},  // local tables
    {"magick-optimised.gif", {{32, 24, 0xEFE25C87}, {11, 9, 0xA1937971}, {11, 9, 0xB659126A}}},  // frames differ in size
    {"magick-single.gif", {{22, 14, 0x8213BAD7}}},
    {"pillow-animation.gif", {{32, 24, 0xEFE25C87}, {11, 9, 0x10F0D195}, {11, 9, 0x073ABA8E}}},  // sizes and local tables
    {"pillow-interlaced.gif", {{20, 19, 0xBA550D1B}}},  // interlaced
    {"pillow-local-tables.gif", {{16, 12, 0x600CF9C9}, {16, 12, 0x39276567}, {16, 12, 0x72BA071F}}},  // local tables
    {"pillow-single.gif", {{24, 16, 0x26138E7C}}},
};

TEST(GifFixtures, EveryFrameLoadsExactly) {
    for (const Fixture& f : FIXTURES) {
        const std::string path = std::string(TEST_DATA_DIR) + "/gif/" + f.name;
        test::ImagePtr image = test::load_path(load_gif, path);
        ASSERT_TRUE(image) << f.name;
        int32_t width = 0;
        int32_t height = 0;
        for (const FrameCrc& frame : f.frames) {
            width = std::max(width, frame.width);
            height += frame.height;
        }
        ASSERT_EQ(image->width, width) << f.name;
        ASSERT_EQ(image->height, height) << f.name;

        int32_t top = 0;
        for (size_t n = 0; n < f.frames.size(); ++n) {
            const FrameCrc& frame = f.frames[n];
            std::vector<Pixel> own;
            for (int32_t y = top; y < top + frame.height; ++y) {
                const Pixel* row = image->pixels + int64_t(y) * image->width;
                own.insert(own.end(), row, row + frame.width);
                for (int32_t x = frame.width; x < image->width; ++x)
                    EXPECT_EQ(row[x], 0u) << f.name << " frame " << n << " row " << y << " column " << x;
            }
            test::ImagePtr alone = test::make_image(frame.width, frame.height, own);
            EXPECT_EQ(test::rgb_crc32(alone.get()), frame.rgb_crc32) << f.name << " frame " << n;
            top += frame.height;
        }
    }
}

}  // namespace
