// Loads on several threads against loads on one: the file read in pieces and
// the BMP rows copied by several threads give the same picture, the same
// canvas and the same declines.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "builders/classic.h"
#include "io/input_file.h"
#include "test_util.h"

namespace {

// A 24-bit BMP whose pixel (x, y) has its own colour, rows padded with 0xEE,
// top-down when asked (the variant loader reads those); *expected, top row first.
std::vector<uint8_t> make_bmp(int32_t width, int32_t height, bool top_down, std::vector<Pixel>* expected) {
    const int64_t stride = (3 * int64_t(width) + 3) & ~int64_t(3);
    test::Bytes b;
    b.text("BM").le32(uint32_t(54 + stride * height)).le32(0).le32(54);
    b.le32(40).le32(uint32_t(width)).le32(uint32_t(top_down ? -height : height));
    b.le16(1).le16(24).le32(0).le32(0).le32(2835).le32(2835).le32(0).le32(0);
    b.data.resize(54 + size_t(stride) * size_t(height), 0xEE);
    expected->resize(size_t(width) * size_t(height));
    for (int32_t stored = 0; stored < height; ++stored) {
        const int32_t y = top_down ? stored : height - 1 - stored;
        uint8_t* row = b.data.data() + 54 + size_t(stride) * size_t(stored);
        for (int32_t x = 0; x < width; ++x) {
            row[3 * x] = uint8_t(x * 7 + y), row[3 * x + 1] = uint8_t(y * 13 + (x >> 8)), row[3 * x + 2] = uint8_t(x ^ y);
            (*expected)[size_t(y) * size_t(width) + size_t(x)] = pixel_from_bgr(row + 3 * x);
        }
    }
    return b.data;
}

// Odd and even widths, from one run of rows to several (a run is about 4 MiB
// of the file); the last file is also cut short in its last row's pixels.
TEST(ThreadedLoad, EveryThreadCountGivesTheSamePictureAndDeclines) {
    const struct {
        int32_t width, height;
        bool top_down;
    } shapes[] = {{1, 1, false}, {7, 5, true}, {2, 3000, false}, {1023, 1100, true}, {1021, 1500, false}};
    for (const auto& s : shapes) {
        std::vector<Pixel> expected;
        const std::vector<uint8_t> file = make_bmp(s.width, s.height, s.top_down, &expected);
        const std::string path = test::scratch_path("picture.bmp"), cut = test::scratch_path("cut.bmp");
        test::write_file(path, file);
        test::write_file(cut, std::vector<uint8_t>(file.begin(), file.end() - 4));
        std::vector<uint8_t> canvas_of_one;
        std::string reason_of_one;
        for (const int threads : {1, 3}) {
            const std::string where = std::to_string(s.width) + "x" + std::to_string(s.height) + " on " +
                                      std::to_string(threads);
            LoadOptions options;
            options.threads = threads;
            const LoadResult picture = load_image_file(path, options);
            ASSERT_TRUE(picture.image) << where << ": " << picture.reason;
            EXPECT_EQ(test::pixels_of(picture.image.get()), expected) << where;
            const LoadResult short_file = load_image_file(cut, options);
            EXPECT_EQ(short_file.error, LoadError::damaged) << where;
            if (threads == 1) reason_of_one = short_file.reason;
            EXPECT_EQ(short_file.reason, reason_of_one) << where;

            FileCanvasTarget target;  // into the atlas canvas, as the modern run asks
            options.rows = file_canvas_rows(&target);
            const LoadResult placed = load_image_file(path, options);
            if (!placed.in_destination) target.canvas = new_file_canvas(placed.image.get(), true);
            ASSERT_TRUE(target.canvas) << where;
            const std::vector<uint8_t> canvas(target.canvas->file, target.canvas->file + target.canvas->file_bytes);
            if (threads == 1) canvas_of_one = canvas;
            EXPECT_TRUE(canvas == canvas_of_one) << where;
        }
    }
}

// Sizes about the pieces (8 MiB) and the size from which files are read in
// pieces at all (16 MiB): every byte in its place.
TEST(ThreadedLoad, FilesReadInPiecesKeepEveryByte) {
    for (const size_t size : {(size_t(16) << 20) - 1, size_t(24) << 20 | 5}) {
        std::vector<uint8_t> bytes(size);
        uint32_t state = uint32_t(size);
        for (uint8_t& b : bytes) b = uint8_t((state = state * 1664525u + 1013904223u) >> 24);
        const std::string path = test::scratch_path("bytes.bin");
        test::write_file(path, bytes);
        for (const int threads : {1, 5}) {
            const InputFile file = read_input_file(path, int64_t(1) << 30, threads);
            ASSERT_EQ(file.size, size) << threads << ": " << file.reason;
            EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), file.bytes.get())) << size << " on " << threads;
        }
    }
}

}  // namespace
