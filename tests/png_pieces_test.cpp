// The default PNG writer: rows deflated in pieces on several threads and
// joined into one zlib stream. Each file is read back twice: through the
// tool's PNG reader (libspng, which checks every chunk's CRC), and by
// joining the IDAT chunks and inflating them with zlib, which checks the
// stream's structure and its Adler-32.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "picture/bmp_layout.h"
#include "readers/load_image.h"
#include "tests/test_util.h"
#include "writers/png_writer.h"

namespace {

enum class Content { smooth, noise, half_and_half };

std::vector<Pixel> picture(int32_t w, int32_t h, Content content, bool alpha) {
    std::vector<Pixel> pixels(size_t(w) * size_t(h));
    uint32_t state = 99;
    for (int32_t y = 0; y < h; ++y)
        for (int32_t x = 0; x < w; ++x) {
            state = state * 1103515245u + 12345u;
            const bool noisy = content == Content::noise || (content == Content::half_and_half && y >= h / 2);
            const Pixel colour = noisy ? (state >> 8) & 0xFFFFFF : Pixel(x / 4 % 256) | Pixel(y / 8 % 256) << 8 | 0x400000;
            pixels[size_t(y) * w + x] = colour | (alpha ? Pixel(x * 255 / w) << 24 : 0);
        }
    return pixels;
}

uint32_t be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

// The IDAT chunks' data joined, inflated; empty when zlib refuses the stream.
std::vector<uint8_t> inflate_idat(const std::vector<uint8_t>& file, size_t expected) {
    std::vector<uint8_t> stream;
    for (size_t at = 8; at + 12 <= file.size();) {
        const uint32_t length = be32(&file[at]);
        if (std::string(file.begin() + long(at) + 4, file.begin() + long(at) + 8) == "IDAT")
            stream.insert(stream.end(), file.begin() + long(at) + 8, file.begin() + long(at) + 8 + length);
        at += 12 + length;
    }
    std::vector<uint8_t> raw(expected + 1);
    uLongf size = raw.size();
    if (uncompress(raw.data(), &size, stream.data(), uLong(stream.size())) != Z_OK) return {};
    raw.resize(size);
    return raw;
}

TEST(PngPieces, ReadBackByTwoDecodersOnAnyThreadCount) {
    struct Case {
        int32_t w, h;
        Content content;
        bool alpha;
        int threads;
    };
    // 700 x 1200 RGB is three pieces and a bit; one row is one piece.
    const Case cases[] = {{700, 1200, Content::smooth, false, 1},       {700, 1200, Content::smooth, false, 2},
                          {700, 1200, Content::half_and_half, false, 3}, {700, 1200, Content::noise, true, 2},
                          {9, 1, Content::smooth, false, 2},             {1, 5, Content::noise, true, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " threads " + std::to_string(c.threads));
        const std::vector<Pixel> pixels = picture(c.w, c.h, c.content, c.alpha);
        const test::ImagePtr image = test::make_image(c.w, c.h, pixels);
        const std::string path = test::scratch_path("pieces.png");
        PngSettings settings;
        settings.threads = c.threads;
        ASSERT_TRUE(write_png(path, *image, c.alpha, settings));
        const std::vector<uint8_t> file = test::read_file(path);

        const LoadResult back = load_image_from_memory(file.data(), file.size());
        ASSERT_TRUE(back.image) << back.reason;
        EXPECT_EQ(test::pixels_of(back.image.get()), pixels);

        const size_t raw_bytes = size_t(c.h) * (1 + size_t(c.w) * (c.alpha ? 4 : 3));
        EXPECT_EQ(inflate_idat(file, raw_bytes).size(), raw_bytes);
        // Noise goes in stored blocks (five bytes a block over the raw rows);
        // the smooth picture shrinks well.
        if (c.content == Content::noise) {
            EXPECT_LT(file.size(), raw_bytes + raw_bytes / 1000 + 100);
        } else if (c.content == Content::smooth && c.h > 1) {
            EXPECT_LT(file.size(), raw_bytes / 8);
        } else if (c.content == Content::half_and_half) {
            EXPECT_LT(file.size(), raw_bytes * 6 / 10);
        }
    }
}

TEST(PngPieces, SameBytesOnAnyThreadCountAndFromTheFileCanvas) {
    const int32_t w = 640, h = 900;
    const std::vector<Pixel> pixels = picture(w, h, Content::half_and_half, false);
    const test::ImagePtr image = test::make_image(w, h, pixels);
    BgrImagePtr canvas = new_bmp24_image(w, h);
    ASSERT_TRUE(canvas);
    for (int32_t y = 0; y < h; ++y) bgr_from_pixels(pixels.data() + size_t(y) * w, bgr_at(canvas.get(), 0, y), w);
    std::vector<std::vector<uint8_t>> files;
    for (int threads : {1, 2, 4}) {
        PngSettings settings;
        settings.threads = threads;
        const std::string path = test::scratch_path("a.png"), from_canvas = test::scratch_path("b.png");
        ASSERT_TRUE(write_png(path, *image, false, settings));
        ASSERT_TRUE(write_png(from_canvas, *canvas, settings));
        files.push_back(test::read_file(path));
        files.push_back(test::read_file(from_canvas));
    }
    for (const std::vector<uint8_t>& file : files) EXPECT_EQ(file, files[0]);
}

// Whole atlases of ../shared's textures, RGB, RGBA and grey: the default
// PNG holds the pixels the BMP atlas of the same run holds.
TEST(PngPieces, DefaultAtlasesHoldTheBmpAtlasPixels) {
    const std::string dir = SHARED_TEXTURES_DIR;
    const char* names[] = {"photo-coffee-512x256", "alpha-grass-512", "grey-occlusion-1024"};
    std::vector<std::string> inputs;
    for (const char* name : names)
        if (std::filesystem::exists(dir + "/" + name + ".png")) inputs.push_back(dir + "/" + name + ".png");
    if (inputs.empty()) GTEST_SKIP() << "no textures in " << dir;
    const std::string out = test::scratch_dir();
    for (const char* format : {"png", "bmp"}) {
        std::vector<std::string> args = {"-q", "-f", format, "-o", out};
        args.insert(args.end(), inputs.begin(), inputs.end());
        ASSERT_EQ(test::run_tool(args).status, 0) << format;
    }
    for (const std::string& input : inputs) {
        const std::string stem = out + "/" + std::filesystem::path(input).stem().string() + "_mip.";
        SCOPED_TRACE(stem);
        const LoadResult png = load_image_file(stem + "png"), bmp = load_image_file(stem + "bmp");
        ASSERT_TRUE(png.image) << png.reason;
        ASSERT_TRUE(bmp.image) << bmp.reason;
        EXPECT_EQ(png.alpha, bmp.alpha);
        EXPECT_EQ(test::pixels_of(png.image.get()), test::pixels_of(bmp.image.get()));
        const std::vector<uint8_t> file = test::read_file(stem + "png");
        const size_t raw = size_t(png.image->height) * (1 + size_t(png.image->width) * (png.alpha ? 4 : 3));
        EXPECT_EQ(inflate_idat(file, raw).size(), raw);
    }
}

}  // namespace
