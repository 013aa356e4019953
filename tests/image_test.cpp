#include <gtest/gtest.h>

#include <cstdint>

#include "builders/classic.h"
#include "cli/common.h"
#include "readers/bmp.h"
#include "picture/image.h"
#include "test_util.h"

using namespace orvandel;

namespace {

TEST(CheckedByteCount, RefusesWhatDoesNotFit) {
    struct Case {
        int64_t a, b, c, limit;
        bool fits;
        size_t bytes;
    };
    const Case cases[] = {
        {16384, 16384, 4, INT64_MAX / 2, true, size_t(1) << 30},
        {1, 1, 1, 1, true, 1},
        {2, 1, 1, 1, false, 0},
        {0, 5, 4, INT64_MAX / 2, false, 0},
        {5, -1, 4, INT64_MAX / 2, false, 0},
        {INT32_MAX, INT32_MAX, 1, INT64_MAX / 2, true, size_t(INT32_MAX) * INT32_MAX},
        {INT32_MAX, INT32_MAX, 4, INT64_MAX / 2, false, 0},
        {INT64_MAX / 4, 3, 1, INT64_MAX / 2, false, 0},
        {int64_t(1) << 40, int64_t(1) << 40, 1, INT64_MAX / 2, false, 0},
    };
    for (const Case& c : cases) {
        size_t bytes = 0;
        EXPECT_EQ(checked_byte_count(c.a, c.b, c.c, &bytes, c.limit), c.fits) << c.a << "*" << c.b << "*" << c.c;
        if (c.fits) {
            EXPECT_EQ(bytes, c.bytes);
        }
    }
}

TEST(NewImage, AcceptsUpTo16384Squared) {
    test::ImagePtr largest(new_image(16384, 16384));
    ASSERT_TRUE(largest);
    EXPECT_EQ(largest->pixels[int64_t(16384) * 16384 - 1], 0u);
    EXPECT_FALSE(test::ImagePtr(new_image(16385, 16384)));
    EXPECT_FALSE(test::ImagePtr(new_image(1 << 30, 1)));
    EXPECT_FALSE(test::ImagePtr(new_image(0, 1)));
    EXPECT_FALSE(test::ImagePtr(new_image(1, -1)));
    // The largest source's atlas still fits a BMP file.
    EXPECT_LE(bmp24_file_size(2 * 16384, 2 * 16384), int64_t(UINT32_MAX));
}

TEST(NewCanvas, HoldsTheSourceInItsCornerAndBlackElsewhere) {
    test::ImagePtr source = test::make_image(3, 2, {1, 2, 3, 4, 5, 6});
    for (bool rip : {true, false}) {
        test::ImagePtr canvas = new_canvas(source.get(), rip);
        ASSERT_TRUE(canvas);
        EXPECT_EQ(canvas->width, 6);
        EXPECT_EQ(canvas->height, rip ? 4 : 2);
        std::vector<Pixel> expected(size_t(canvas->width) * canvas->height, 0);
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 3; ++x) expected[size_t(y) * 6 + x] = source->pixels[y * 3 + x];
        EXPECT_EQ(test::pixels_of(canvas.get()), expected);
    }
}

}  // namespace
