// Every atlas container written and read back: 24-bit BMP by the project's
// own reader, the 32-bit BMP by its header and rows, PNG through libspng.
#include <gtest/gtest.h>
#include <spng.h>

#include <memory>
#include <string>
#include <vector>

#include "readers/bmp.h"
#include "writers/bmp_writer.h"
#include "writers/dds.h"
#include "writers/png_writer.h"
#include "test_util.h"

using namespace orvandel;

namespace {

// Odd width (BMP row padding), every channel and alpha value distinct.
test::ImagePtr sample(bool alpha) {
    std::vector<Pixel> pixels;
    for (uint32_t i = 0; i < 5 * 3; ++i)
        pixels.push_back((alpha ? (i * 17) << 24 : 0) | (200 - i) << 16 | (i * 9) << 8 | (i + 40));
    return test::make_image(5, 3, pixels);
}

std::vector<Pixel> read_bmp32(const std::vector<uint8_t>& f, int32_t* width, int32_t* height) {
    if (f.size() < 122 || f[0] != 'B' || f[1] != 'M' || read_le32(&f[14]) != 108 || read_le16(&f[28]) != 32 ||
        read_le32(&f[30]) != 3 || read_le32(&f[54]) != 0xFF0000 || read_le32(&f[58]) != 0xFF00 ||
        read_le32(&f[62]) != 0xFF || read_le32(&f[66]) != 0xFF000000u || read_le32(&f[2]) != f.size())
        return {};
    *width = int32_t(read_le32(&f[18]));
    *height = int32_t(read_le32(&f[22]));
    const uint8_t* data = &f[read_le32(&f[10])];
    std::vector<Pixel> pixels;
    for (int32_t y = *height - 1; y >= 0; --y)  // bottom row first
        for (int32_t x = 0; x < *width; ++x) {
            const uint8_t* p = data + (int64_t(y) * *width + x) * 4;
            pixels.push_back(Pixel(p[3]) << 24 | Pixel(p[0]) << 16 | Pixel(p[1]) << 8 | p[2]);
        }
    return pixels;
}

struct SpngDeleter {
    void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};

std::vector<Pixel> read_png(const std::vector<uint8_t>& f, int32_t* width, int32_t* height, bool* alpha) {
    std::unique_ptr<spng_ctx, SpngDeleter> ctx(spng_ctx_new(0));
    spng_ihdr ihdr = {};
    size_t size = 0;
    if (spng_set_png_buffer(ctx.get(), f.data(), f.size()) || spng_get_ihdr(ctx.get(), &ihdr) ||
        spng_decoded_image_size(ctx.get(), SPNG_FMT_RGBA8, &size))
        return {};
    std::vector<uint8_t> rgba(size);
    if (spng_decode_image(ctx.get(), rgba.data(), size, SPNG_FMT_RGBA8, 0)) return {};
    *width = int32_t(ihdr.width);
    *height = int32_t(ihdr.height);
    *alpha = ihdr.color_type == SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;
    std::vector<Pixel> pixels;
    for (size_t i = 0; i < size; i += 4)
        pixels.push_back((*alpha ? Pixel(rgba[i + 3]) << 24 : 0) | Pixel(rgba[i + 2]) << 16 |
                         Pixel(rgba[i + 1]) << 8 | rgba[i]);
    return pixels;
}

TEST(AtlasWriters, EveryContainerReadsBackToThePixelsWritten) {
    enum Container { BMP24, BMP32, PNG };
    struct Case {
        Container container;
        bool alpha;
        int png_level;
    };
    const Case cases[] = {{BMP24, false, 0}, {BMP32, true, 0}, {PNG, false, 0},
                          {PNG, true, 0},    {PNG, false, 6},  {PNG, true, 1}};
    for (const Case& c : cases) {
        const std::string label = std::to_string(c.container) + (c.alpha ? " RGBA" : " RGB");
        const test::ImagePtr image = sample(c.alpha);
        const std::string path = test::scratch_path("atlas.out");
        int32_t width = 0, height = 0;
        bool alpha = false;
        std::vector<Pixel> got;
        if (c.container == BMP24) {
            ASSERT_TRUE(write_bmp24(path.c_str(), image.get()));
            test::ImagePtr back = test::load_path(load_bmp24, path);
            ASSERT_TRUE(back);
            width = back->width, height = back->height, got = test::pixels_of(back.get());
        } else if (c.container == BMP32) {
            ASSERT_TRUE(write_bmp32(path, *image));
            got = read_bmp32(test::read_file(path), &width, &height);
            alpha = true;
        } else {
            PngSettings settings;
            settings.compression_level = c.png_level;
            ASSERT_TRUE(write_png(path, *image, c.alpha, settings));
            got = read_png(test::read_file(path), &width, &height, &alpha);
        }
        EXPECT_EQ(width, 5) << label;
        EXPECT_EQ(height, 3) << label;
        EXPECT_EQ(alpha, c.alpha) << label;
        EXPECT_EQ(got, test::pixels_of(image.get())) << label;
    }
}

// Every container goes out through one buffer: each write(2) a whole piece
// of 256 KiB but the last, whatever the row length (odd ones straddle the
// pieces), and the file still reads back to the picture.
TEST(AtlasWriters, EveryWriteIsAWholePieceButTheLast) {
    if (test::write_calls() < 0) GTEST_SKIP() << "no count of write calls here";
    std::vector<Pixel> pixels(701 * 301);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = Pixel(i * 2654435761u) | 0xFF000000u;
    const test::ImagePtr image = test::make_image(701, 301, pixels);
    MipChain chain;
    chain.alpha = true;
    for (int32_t side = 512; side >= 1; side /= 2) chain.levels.push_back(test::make_image(side, side, pixels));
    enum Container { BMP24, BMP32, PNG, DDS, BMP24_FILE };
    BgrImagePtr file = new_bmp24_image(701, 301);
    ASSERT_TRUE(file);
    for (Container c : {BMP24, BMP32, PNG, DDS, BMP24_FILE}) {
        const std::string path = test::scratch_path("pieces.out");
        const int64_t before = test::write_calls();
        const bool written = c == BMP24       ? bool(write_bmp24(path.c_str(), image.get()))
                             : c == BMP32     ? bool(write_bmp32(path, *image))
                             : c == PNG       ? bool(write_png(path, *image, true))
                             : c == DDS       ? bool(write_dds(path, test::gpu_texture(chain), DdsSettings{}))
                                              : bool(write_bmp24_image(path.c_str(), file.get()));
        const int64_t calls = test::write_calls() - before;
        ASSERT_TRUE(written) << c;
        const std::vector<uint8_t> bytes = test::read_file(path);
        EXPECT_EQ(calls, int64_t((bytes.size() + (256 << 10) - 1) / (256 << 10))) << c << ", " << bytes.size() << " bytes";
        int32_t width = 0, height = 0;
        bool alpha = false;
        if (c == BMP32) {
            EXPECT_EQ(read_bmp32(bytes, &width, &height), pixels);
        } else if (c == PNG) {
            EXPECT_EQ(read_png(bytes, &width, &height, &alpha), pixels);
        } else if (c == BMP24_FILE) {
            EXPECT_EQ(bytes, std::vector<uint8_t>(file->file, file->file + file->file_bytes));
        }
    }
}

TEST(AtlasWriters, AFailedWriteLeavesNothing) {
    const test::ImagePtr image = sample(true);
    const std::string path = test::scratch_path("missing-dir/atlas");
    EXPECT_FALSE(write_bmp32(path, *image));
    EXPECT_FALSE(write_png(path, *image, true));
    EXPECT_FALSE(test::file_exists(path));
    EXPECT_EQ(bmp32_file_size(65536, 16384), 122 + (int64_t(1) << 32));  // past 4 GiB: refused before writing
}

}  // namespace
