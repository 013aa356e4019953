#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "builders/classic.h"
#include "cli/common.h"
#include "readers/bmp.h"
#include "writers/bmp_writer.h"
#include "readers/load_image.h"
#include "test_util.h"

using namespace orvandel;

namespace {

using test::Bytes;

// Headers of a bottom-up BMP: the 14-byte file header and an info header of
// `header_size` bytes (40 or longer, the tail zero-filled).
Bytes bmp_headers(int32_t width, int32_t height, int bpp, uint32_t compression, uint32_t data_offset,
                  uint32_t colours_used = 0, uint32_t header_size = 40) {
    Bytes b;
    b.text("BM").le32(0).le16(0).le16(0).le32(data_offset);
    b.le32(header_size).le32(static_cast<uint32_t>(width)).le32(static_cast<uint32_t>(height));
    b.le16(1).le16(bpp).le32(compression).le32(0).le32(2835).le32(2835).le32(colours_used).le32(0);
    b.fill(header_size - 40, 0);
    return b;
}

// A palette whose entry i is blue i, green 0x80, red 255 - i.
Bytes& add_palette(Bytes& b, int entries) {
    for (int i = 0; i < entries; ++i) b.u8(i).u8(0x80).u8(255 - i).u8(0);
    return b;
}
Pixel palette_colour(int i) { return Pixel(i) << 16 | 0x80u << 8 | Pixel(255 - i); }

// An 8-bit RLE file of the classic layout with the given stream.
Bytes rle8_file(int32_t width, int32_t height, const std::vector<unsigned>& stream) {
    Bytes b = bmp_headers(width, height, 8, 1, 1078);
    add_palette(b, 256);
    for (unsigned v : stream) b.u8(v);
    return b;
}

// Palette indexes as the picture's colours, top row first.
std::vector<Pixel> colours(const std::vector<int>& indexes) {
    std::vector<Pixel> out;
    for (int i : indexes) out.push_back(i < 0 ? 0 : palette_colour(i));
    return out;
}

TEST(Bmp24, RowsAreStridedAndStoredBottomUp) {
    struct Case {
        int32_t width;
        int stride;
    };
    for (const Case& c : {Case{1, 4}, Case{2, 8}, Case{3, 12}, Case{4, 12}, Case{5, 16}}) {
        EXPECT_EQ(bmp24_row_stride(c.width), c.stride) << c.width;
        const int32_t height = 2;
        Bytes b = bmp_headers(c.width, height, 24, 0, 54);
        std::vector<Pixel> expected(size_t(c.width) * height);
        for (int32_t stored = 0; stored < height; ++stored) {
            const int32_t y = height - 1 - stored;
            for (int32_t x = 0; x < c.width; ++x) {
                const uint8_t blue = uint8_t(10 * x + y), green = uint8_t(100 + x), red = uint8_t(200 + y);
                b.u8(blue).u8(green).u8(red);
                expected[size_t(y) * c.width + x] = Pixel(blue) << 16 | Pixel(green) << 8 | red;
            }
            b.fill(size_t(c.stride - 3 * c.width), 0xEE);
        }
        test::ImagePtr image = test::load_bytes(load_bmp24, b.data);
        ASSERT_TRUE(image) << c.width;
        EXPECT_EQ(image->width, c.width);
        EXPECT_EQ(image->height, height);
        EXPECT_EQ(test::pixels_of(image.get()), expected) << c.width;
    }
}

// Asked for the atlas canvas, the 24-bit loader puts its rows straight into
// it: the canvas must be the one made from the loaded picture, the file's
// padding bytes (0xEE here) left out and everything else black.
TEST(Bmp24, DecodesIntoTheAtlasCanvas) {
    for (const int32_t width : {1, 2, 3, 5, 8}) {
        const int32_t height = 3;
        Bytes b = bmp_headers(width, height, 24, 0, 54);
        for (int32_t stored = 0; stored < height; ++stored) {
            for (int32_t x = 0; x < width; ++x)
                b.u8(uint8_t(10 * x + stored)).u8(uint8_t(100 + x)).u8(uint8_t(200 + stored));
            b.fill(size_t(bmp24_row_stride(width) - 3 * width), 0xEE);
        }
        test::ImagePtr image = test::load_bytes(load_bmp24, b.data);
        ASSERT_TRUE(image) << width;
        for (const bool rip : {true, false}) {
            FileCanvasTarget target;
            target.rip = rip;
            LoadOptions options;
            options.rows = file_canvas_rows(&target);
            const LoadResult loaded = test::load_result(load_image_from_memory, b.data, options);
            ASSERT_TRUE(loaded.in_destination && target.canvas) << width;
            EXPECT_FALSE(loaded.image);
            const BgrImagePtr expected = new_file_canvas(image.get(), rip);
            ASSERT_TRUE(expected);
            EXPECT_EQ(std::vector<uint8_t>(target.canvas->file, target.canvas->file + target.canvas->file_bytes),
                      std::vector<uint8_t>(expected->file, expected->file + expected->file_bytes))
                << width;
        }
    }
}

TEST(Bmp8, PlainRowsUseTheirPaletteAndPadding) {
    // 5 wide: each stored row is 8 bytes, the last 3 filler.
    Bytes b = bmp_headers(5, 2, 8, 0, 1078);
    add_palette(b, 256);
    b.raw({1, 2, 3, 4, 5, 0xAA, 0xAA, 0xAA});       // bottom row
    b.raw({10, 20, 30, 40, 255, 0xAA, 0xAA, 0xAA});  // top row
    test::ImagePtr image = test::load_bytes(load_image_from_memory, b.data, "plain8.bmp");
    ASSERT_TRUE(image);
    EXPECT_EQ(test::pixels_of(image.get()), colours({10, 20, 30, 40, 255, 1, 2, 3, 4, 5}));
}

TEST(Bmp8, ShortPaletteFollowsTheInfoHeaderAndPixelsFollowTheOffset) {
    struct Case {
        const char* name;
        uint32_t header_size;
        int entries;
        uint32_t colours_used;
        size_t gap;  // bytes between the palette and the pixel data
    };
    const Case cases[] = {
        {"16 entries after a 40-byte header", 40, 16, 16, 0},
        {"2 entries and a gap", 40, 2, 2, 6},
        {"108-byte header", 108, 4, 4, 0},
        {"124-byte header, full palette", 124, 256, 0, 0},
    };
    for (const Case& c : cases) {
        const uint32_t offset = 14 + c.header_size + 4 * c.entries + uint32_t(c.gap);
        Bytes b = bmp_headers(3, 1, 8, 0, offset, c.colours_used, c.header_size);
        add_palette(b, c.entries);
        b.fill(c.gap, 0x77);
        b.raw({1, 0, 7, 0});  // index 7 lies beyond the smaller palettes: black
        test::ImagePtr image = test::load_bytes(load_image_from_memory, b.data, "short_palette.bmp");
        ASSERT_TRUE(image) << c.name;
        const std::vector<int> want = {1, 0, c.entries > 7 ? 7 : -1};
        EXPECT_EQ(test::pixels_of(image.get()), colours(want)) << c.name;
    }
}

struct RleCase {
    const char* name;
    int32_t width, height;
    std::vector<unsigned> stream;
    std::vector<int> expected;  // palette indexes, top row first; -1 is black (never reached)
};

TEST(Bmp8Rle, CommandsPlaceRunsAsEncoded) {
    const RleCase cases[] = {
        {"run, end of line, odd absolute run, end of bitmap", 3, 2,
         {3, 1, 0, 0, 0, 3, 2, 3, 4, 0, 0, 1}, {2, 3, 4, 1, 1, 1}},
        {"two ends of line act as one", 3, 2,
         {3, 1, 0, 0, 0, 0, 0, 3, 2, 3, 4, 0, 0, 1}, {2, 3, 4, 1, 1, 1}},
        {"a run that fills a row moves up lazily", 3, 2, {3, 1, 3, 2, 0, 1}, {2, 2, 2, 1, 1, 1}},
        {"end of line first leaves the bottom row unwritten", 2, 2, {0, 0, 2, 9, 0, 1},
         {9, 9, -1, -1}},
        {"a run is cut at the right edge", 4, 2, {0, 2, 2, 0, 5, 6, 0, 1},
         {-1, -1, -1, -1, -1, -1, 6, 6}},
        {"padding past the width then end of line", 3, 2, {3, 1, 1, 0, 0, 0, 2, 2, 1, 3},
         {2, 2, 3, 1, 1, 1}},
        {"absolute padding past the width then end of line", 1, 2, {1, 4, 0, 3, 1, 1, 1, 0, 0, 0, 1, 5},
         {5, 4}},
        {"an absolute run is cut at the edge but consumed whole", 2, 2,
         {0, 3, 5, 6, 7, 0, 0, 0, 1, 8, 0, 1}, {8, -1, 5, 6}},
        {"even absolute run has no filler", 2, 2, {0, 4, 1, 2, 3, 4, 1, 9, 0, 1}, {9, -1, 1, 2}},
        {"delta after a full row goes to column 0 of the row above", 2, 2,
         {2, 5, 0, 2, 0, 0, 1, 6, 0, 1}, {6, -1, 5, 5}},
        {"delta above the top row ends decoding", 2, 2, {1, 5, 0, 2, 0, 9, 1, 6}, {-1, -1, 5, -1}},
        {"end of bitmap leaves the rest black", 3, 1, {1, 8, 0, 1, 3, 9}, {8, -1, -1}},
        {"the end of the data reads as index 255", 2, 2, {1, 3}, {255, 255, 3, 255}},
        {"a command cut short is completed with 255", 2, 1, {0, 3, 7}, {7, 255}},
        {"runs stop when the picture is full", 2, 1, {200, 4, 0, 1}, {4, 4}},
        {"delta far past the row stays inside the picture", 3, 2,
         {1, 1, 0, 2, 255, 0, 2, 2, 0, 1}, {-1, -1, -1, 1, -1, -1}},
    };
    for (const RleCase& c : cases) {
        test::ImagePtr image = test::load_bytes(load_image_from_memory, rle8_file(c.width, c.height, c.stream).data, "rle.bmp");
        ASSERT_TRUE(image) << c.name;
        EXPECT_EQ(test::pixels_of(image.get()), colours(c.expected)) << c.name;
    }
}

TEST(BmpLoaders, DeclineWhatTheyDoNotRead) {
    auto plain = [](int bpp, uint32_t compression) {
        Bytes b = bmp_headers(2, 2, bpp, compression, 1078);
        add_palette(b, 256);
        return b.fill(64, 1).data;
    };
    auto with_header = [](int32_t w, int32_t h, uint32_t header_size, uint32_t colours_used) {
        Bytes b = bmp_headers(w, h, 8, 0, 0, colours_used, 40);
        b.data[14] = uint8_t(header_size);
        add_palette(b, 256);
        return b.fill(64, 1).data;
    };
    std::vector<uint8_t> rows_cut = plain(24, 0);
    rows_cut.resize(1078 + 8 + 3);
    std::vector<uint8_t> palette_cut = rle8_file(2, 2, {}).data;
    palette_cut.resize(54 + 1000);
    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
        const char* reason;  // as the dispatch gives it, after every BMP loader; null: the variant reader loads it
    } cases[] = {
        {"1 bit", plain(1, 0), nullptr},
        {"4 bit", plain(4, 0), nullptr},
        {"16 bit", plain(16, 0), nullptr},
        {"32 bit", plain(32, 0), nullptr},
        {"24 bit RLE", plain(24, 1), "BMP: 24 bits per pixel with compression 1 is not read"},
        {"8 bit RLE4", plain(8, 2), "BMP: 8 bits per pixel with compression 2 is not read"},
        {"8 bit bit fields", plain(8, 3), "BMP: 8 bits per pixel with compression 3 is not read"},
        {"top-down rows", with_header(2, -2, 40, 0), "BMP: pixel data offset 0 lies inside the headers or past the end"},
        {"negative width", with_header(-2, 2, 40, 0), "BMP: negative width"},
        {"zero width", with_header(0, 2, 40, 0), "BMP: zero width or height"},
        {"zero height", with_header(2, 0, 40, 0), "BMP: zero width or height"},
        {"12-byte header", with_header(2, 2, 12, 0), "BMP: 0 bits per pixel with compression 0 is not read"},
        {"16-byte header", with_header(2, 2, 16, 0), "BMP: pixel data offset 0 lies inside the headers or past the end"},
        {"more than 256 colours", with_header(2, 2, 40, 257), "BMP: pixel data offset 0 lies inside the headers or past the end"},
        {"over the size cap", with_header(1 << 15, 1 << 14, 40, 0), "BMP: picture larger than 16384 x 16384"},
        {"rows cut short", rows_cut, "BMP: pixel data cut short"},
        {"palette cut short", palette_cut, "BMP: palette cut short"},
        {"headers cut short", Bytes().text("BM").fill(40, 0).data, "BMP: header cut short"},
        {"not BM", Bytes().text("BA").append(plain(24, 0)).data, "not a BMP, PCX, GIF, TGA, PNG or JPEG file"},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(test::load_bytes(load_bmp24, c.bytes)) << c.name;
        EXPECT_FALSE(test::load_bytes(load_bmp8, c.bytes)) << c.name;
        const LoadResult result = test::load_result(load_image_from_memory, c.bytes);
        EXPECT_EQ(result.reason, c.reason ? c.reason : "") << c.name;
        EXPECT_EQ(bool(result.image), c.reason == nullptr) << c.name;
    }

    // A smaller limit of the caller's own declines before any allocation.
    LoadOptions options;
    options.max_pixels = 3;
    const LoadResult limited = test::load_result(load_image_from_memory, plain(24, 0), options);
    EXPECT_EQ(limited.error, LoadError::too_large);
    EXPECT_EQ(limited.reason, "BMP: picture larger than 3 pixels");
    EXPECT_TRUE(test::load_result(load_image_from_memory, plain(24, 0)).image);
}

TEST(WriteBmp24, WritesTheExactFile) {
    test::ImagePtr two = test::make_image(2, 1, {0x00112233u, 0xFF445566u});
    const std::string path = test::scratch_path("two.bmp");
    ASSERT_TRUE(write_bmp24(path.c_str(), two.get()));
    std::vector<uint8_t> expected =
        Bytes().text("BM").le32(62).le32(0).le32(54)
            .le32(40).le32(2).le32(1).le16(1).le16(24).le32(0).le32(8).le32(96).le32(96).le32(0).le32(0)
            .raw({0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0, 0}).data;
    EXPECT_EQ(test::read_file(path), expected);

    test::ImagePtr four = test::make_image(4, 2, {});
    ASSERT_TRUE(write_bmp24(path.c_str(), four.get()));
    const std::vector<uint8_t> bytes = test::read_file(path);
    ASSERT_EQ(bytes.size(), 78u);
    EXPECT_EQ(read_le32(bytes.data() + 2), 78u);
    EXPECT_EQ(read_le32(bytes.data() + 34), 24u);
}

TEST(WriteBmp24, RoundTripsThroughTheLoader) {
    for (int32_t width : {1, 2, 3, 4, 5, 7, 33}) {
        for (int32_t height : {1, 2, 5}) {
            std::vector<Pixel> pixels;
            for (int32_t i = 0; i < width * height; ++i) pixels.push_back(0xAB000000u | Pixel(i * 2654435761u >> 8));
            test::ImagePtr image = test::make_image(width, height, pixels);
            const std::string path = test::scratch_path("round.bmp");
            ASSERT_TRUE(write_bmp24(path.c_str(), image.get()));
            test::ImagePtr back = test::load_path(load_bmp24, path);
            ASSERT_TRUE(back);
            for (Pixel& p : pixels) p &= 0xFFFFFF;
            EXPECT_EQ(test::pixels_of(back.get()), pixels) << width << "x" << height;
        }
    }
}

// Big pictures go through the file a chunk of rows at a time, in both
// directions; every stored row must still sit at its own offset, padded with
// zeros, and load back in place.
TEST(WriteBmp24, PicturesOfManyChunksKeepEveryRowInPlace) {
    struct Case {
        int32_t width, height;
    };
    // 1001: padded rows, 349 to a chunk, the last chunk partial; 350001:
    // rows longer than a chunk; 1365: rows of 4096 bytes, 256 to a chunk exactly.
    for (const Case& c : {Case{1001, 800}, Case{350001, 3}, Case{1365, 512}}) {
        std::vector<Pixel> pixels(size_t(c.width) * size_t(c.height));
        for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = 0xAB000000u | Pixel(i * 2654435761u >> 8);
        test::ImagePtr image = test::make_image(c.width, c.height, pixels);
        const std::string path = test::scratch_path("chunks.bmp");
        ASSERT_TRUE(write_bmp24(path.c_str(), image.get()));
        const std::vector<uint8_t> bytes = test::read_file(path);
        const size_t stride = size_t(bmp24_row_stride(c.width));
        ASSERT_EQ(bytes.size(), 54 + stride * size_t(c.height)) << c.width;
        bool in_place = true;
        for (int32_t y = 0; y < c.height && in_place; ++y) {
            const uint8_t* row = bytes.data() + 54 + stride * size_t(c.height - 1 - y);
            for (int32_t x = 0; x < c.width && in_place; ++x) {
                const Pixel p = pixels[size_t(y) * c.width + x];
                in_place = row[3 * x] == uint8_t(p >> 16) && row[3 * x + 1] == uint8_t(p >> 8) &&
                           row[3 * x + 2] == uint8_t(p);
            }
            for (size_t k = 3 * size_t(c.width); k < stride && in_place; ++k) in_place = row[k] == 0;
            EXPECT_TRUE(in_place) << c.width << "x" << c.height << ", row " << y;
        }
        test::ImagePtr back = test::load_path(load_bmp24, path);
        ASSERT_TRUE(back);
        for (Pixel& p : pixels) p &= 0xFFFFFF;
        EXPECT_EQ(test::pixels_of(back.get()), pixels) << c.width << "x" << c.height;
    }
}

// The writer's buffer is bounded in bytes, not rows: the widest picture there
// is (one row of 805 MB in the file) goes out in whole pieces of 256 KiB.
TEST(SlowWriteBmp24, TheWidestRowGoesOutInBoundedPieces) {
    test::ImagePtr image(new_image(1 << 28, 1));
    ASSERT_TRUE(image);
    const int64_t calls_before = test::write_calls();
    if (calls_before < 0) GTEST_SKIP() << "no count of write calls here";
    const std::string path = test::scratch_path("widest.bmp");
    ASSERT_TRUE(write_bmp24(path.c_str(), image.get()));
    const int64_t calls = test::write_calls() - calls_before;
    const int64_t bytes = bmp24_file_size(1 << 28, 1);
    EXPECT_EQ(calls, (bytes + (256 << 10) - 1) / (256 << 10));
    struct stat written;
    ASSERT_EQ(stat(path.c_str(), &written), 0);
    EXPECT_EQ(written.st_size, bytes);
}

TEST(WriteBmp24, FailureLeavesNoFileAndKeepsTheOldOne) {
    test::ImagePtr image = test::make_image(2, 2, {1, 2, 3, 4});
    EXPECT_FALSE(write_bmp24(test::scratch_path("no/such/dir.bmp").c_str(), image.get()));

    // A directory where the file should go: nothing replaces it, no temporary file stays.
    const std::string dir = test::scratch_path("taken.bmp");
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    EXPECT_FALSE(write_bmp24(dir.c_str(), image.get()));
    EXPECT_TRUE(test::file_exists(dir));
    int leftovers = 0;
    for (const auto& entry : std::filesystem::directory_iterator(test::scratch_dir()))
        leftovers += entry.path().filename().string() != "taken.bmp";
    EXPECT_EQ(leftovers, 0);

    Image empty{nullptr, 0, 0};
    EXPECT_FALSE(write_bmp24(test::scratch_path("empty.bmp").c_str(), &empty));
    EXPECT_FALSE(test::file_exists(test::scratch_path("empty.bmp")));
}

TEST(BmpFixtures, OtherEncodersFilesLoadExactly) {
    struct Case {
        const char* file;
        int32_t width, height;
        uint32_t crc;  // of the picture as Pillow reads it
    };
    const Case cases[] = {
        {"pillow_rgb24_13x7.bmp", 13, 7, 0xf6861414},
        {"pillow_pal8_16colours_11x6.bmp", 11, 6, 0x22fbb89f},
        {"magick_rgb24_v124_6x4.bmp", 6, 4, 0x63dc03cb},
        {"magick_pal8_v124_9x5.bmp", 9, 5, 0x74bc5b97},
        {"magick_rle8_17x9.bmp", 17, 9, 0x95cdb221},
        {"magick_rle8_v124_17x9.bmp", 17, 9, 0x95cdb221},
    };
    for (const Case& c : cases) {
        const std::string path = std::string(TEST_DATA_DIR) + "/bmp/" + c.file;
        test::ImagePtr image = load_image_file(path).image;
        ASSERT_TRUE(image) << c.file;
        EXPECT_EQ(image->width, c.width) << c.file;
        EXPECT_EQ(image->height, c.height) << c.file;
        EXPECT_EQ(test::rgb_crc32(image.get()), c.crc) << c.file;
    }
}

}  // namespace
