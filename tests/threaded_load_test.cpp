// Loads on several threads against loads on one: the file read in pieces and
// the BMP rows copied by several threads must give the same picture, the
// same canvas and the same declines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "builders/classic.h"
#include "io/input_file.h"
#include "readers/load_image.h"
#include "test_util.h"

namespace {

using test::Bytes;

struct Bmp {
    Bytes file;
    std::vector<Pixel> expected;  // top row first
};

// A 24-bit BMP whose pixel (x, y) has its own colour, rows padded with 0xEE;
// top-down when `top_down` (which the variant loader reads).
Bmp make_bmp(int32_t width, int32_t height, bool top_down) {
    const int64_t stride = (3 * int64_t(width) + 3) & ~int64_t(3);
    Bmp b;
    b.file.text("BM").le32(uint32_t(54 + stride * height)).le32(0).le32(54);
    b.file.le32(40).le32(uint32_t(width)).le32(uint32_t(top_down ? -height : height));
    b.file.le16(1).le16(24).le32(0).le32(0).le32(2835).le32(2835).le32(0).le32(0);
    b.expected.resize(size_t(width) * size_t(height));
    b.file.data.resize(54 + size_t(stride) * size_t(height), 0xEE);
    for (int32_t stored = 0; stored < height; ++stored) {
        const int32_t y = top_down ? stored : height - 1 - stored;
        uint8_t* row = b.file.data.data() + 54 + size_t(stride) * size_t(stored);
        for (int32_t x = 0; x < width; ++x) {
            const uint8_t blue = uint8_t(x * 7 + y), green = uint8_t(y * 13 + (x >> 8)), red = uint8_t(x ^ y);
            row[3 * x] = blue, row[3 * x + 1] = green, row[3 * x + 2] = red;
            b.expected[size_t(y) * size_t(width) + size_t(x)] = Pixel(blue) << 16 | Pixel(green) << 8 | red;
        }
    }
    return b;
}

std::vector<uint8_t> canvas_bytes(const BgrImage& canvas) {
    return std::vector<uint8_t>(canvas.file, canvas.file + canvas.file_bytes);
}

struct Shape {
    int32_t width, height;
    bool top_down;
};
// Odd and even widths; from one run of rows to several (runs are about
// 4 MiB of the file). Files read in pieces are FilesReadInPiecesKeepEveryByte's.
const Shape SHAPES[] = {{1, 1, false},       {3, 2, false},     {7, 5, true},       {2, 3000, false},
                        {1021, 1500, false}, {4099, 400, false}, {1023, 1100, true}};

TEST(ThreadedLoad, EveryThreadCountGivesTheSamePicture) {
    for (const Shape& s : SHAPES) {
        const Bmp bmp = make_bmp(s.width, s.height, s.top_down);
        const std::string path = test::scratch_path("picture.bmp");
        test::write_file(path, bmp.file.data);
        std::vector<uint8_t> canvas_of_one;
        for (const int threads : {1, 2, 3}) {
            const std::string where = std::to_string(s.width) + "x" + std::to_string(s.height) + " on " +
                                      std::to_string(threads);
            LoadOptions options;
            options.threads = threads;
            const LoadResult picture = load_image_file(path, options);
            ASSERT_TRUE(picture.image) << where << ": " << picture.reason;
            EXPECT_EQ(test::pixels_of(picture.image.get()), bmp.expected) << where;

            // Into the atlas canvas, as the modern run asks for it.
            FileCanvasTarget target;
            options.rows = file_canvas_rows(&target);
            const LoadResult placed = load_image_file(path, options);
            ASSERT_EQ(placed.error, LoadError::none) << where;
            const BgrImagePtr expected = placed.in_destination ? nullptr : new_file_canvas(placed.image.get(), true);
            ASSERT_TRUE(placed.in_destination ? bool(target.canvas) : bool(expected)) << where;
            const std::vector<uint8_t> canvas = canvas_bytes(placed.in_destination ? *target.canvas : *expected);
            if (threads == 1)
                canvas_of_one = canvas;
            else
                EXPECT_TRUE(canvas == canvas_of_one) << where;
        }
    }
}

// A file cut short anywhere is declined with one reason whatever the
// thread count: in the headers, in the rows, in the last row's pixels (its
// padding alone may be missing).
TEST(ThreadedLoad, FilesCutShortAreDeclinedAlike) {
    const Bmp bmp = make_bmp(2731, 2100, false);
    const size_t size = bmp.file.data.size();
    for (const size_t kept : {size_t(20), size_t(54), size / 2, size - 4}) {
        const std::string path = test::scratch_path("short.bmp");
        test::write_file(path, std::vector<uint8_t>(bmp.file.data.begin(), bmp.file.data.begin() + long(kept)));
        LoadOptions one;
        const LoadResult expected = load_image_file(path, one);
        EXPECT_EQ(expected.error, LoadError::damaged) << kept;
        for (const int threads : {2, 3}) {
            LoadOptions options;
            options.threads = threads;
            const LoadResult got = load_image_file(path, options);
            EXPECT_FALSE(got.image) << kept;
            EXPECT_EQ(got.error, expected.error) << kept;
            EXPECT_EQ(got.reason, expected.reason) << kept;
        }
    }
}

// Sizes about the pieces (8 MiB) and the size from which files are read in
// pieces at all (16 MiB): every byte in its place.
TEST(ThreadedLoad, FilesReadInPiecesKeepEveryByte) {
    constexpr size_t MIB = size_t(1) << 20;
    for (const size_t size : {16 * MIB - 1, 16 * MIB, 24 * MIB + 5}) {
        std::vector<uint8_t> bytes(size);
        uint32_t state = uint32_t(size);
        for (uint8_t& b : bytes) b = uint8_t((state = state * 1664525u + 1013904223u) >> 24);
        const std::string path = test::scratch_path("bytes.bin");
        test::write_file(path, bytes);
        for (const int threads : {1, 2, 5}) {
            const InputFile file = read_input_file(path, int64_t(1) << 30, threads);
            ASSERT_EQ(file.error, InputError::none) << size << " on " << threads;
            ASSERT_EQ(file.size, size);
            EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), file.bytes.get())) << size << " on " << threads;
        }
    }
    const InputFile missing = read_input_file(test::scratch_path("absent"), int64_t(1) << 30, 2);
    EXPECT_EQ(missing.error, InputError::unreadable);
    EXPECT_EQ(missing.reason, "cannot open the file");
}

}  // namespace
