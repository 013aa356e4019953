// PNG, JPEG and BMP files of the newer kinds written by Pillow and ImageMagick
// load with the pixels Pillow reads from them (tools/make_newer_fixtures.py
// made the files and the CRCs; JPEG exactly, both decoders being libjpeg-turbo
// with its accurate transform). Damaged and unsupported files are declined
// with a reason.
#include <gtest/gtest.h>
#include <spng.h>

#include <cstdlib>

#include "builders/classic.h"
#include "cli/common.h"

#include "readers/jpeg.h"
#include "readers/load_image.h"
#include "readers/png.h"
#include "test_util.h"

using namespace orvandel;

namespace {

struct Fixture {
    const char* name;
    int32_t width, height;
    uint32_t crc;  // RGB, or RGBA when the file has alpha
    bool alpha;
};

const Fixture FIXTURES[] = {
    {"jpeg/pillow_baseline_420_21x13.jpg", 21, 13, 0xAB937CDC, false},
    {"jpeg/pillow_progressive_grey_21x13.jpg", 21, 13, 0x214F1E37, false},
    {"jpeg/magick_progressive_444_17x11.jpg", 17, 11, 0x0A0500EE, false},
    {"png/pillow_rgba_15x9.png", 15, 9, 0x0D52109C, true},
    {"png/magick_palette_interlaced_15x9.png", 15, 9, 0x64BC126F, false},
    {"bmp/magick_pal1_13x7.bmp", 13, 7, 0xB70B14ED, false},
    {"bmp/magick_pal4_13x7.bmp", 13, 7, 0xEBA08B71, false},
    {"bmp/magick_rgba32_v5_13x7.bmp", 13, 7, 0x66546F67, true},
    {"bmp/pillow_pal1_13x7.bmp", 13, 7, 0xCF4566D8, false},
};

std::vector<uint8_t> fixture(const std::string& name) {
    return test::read_file(std::string(TEST_DATA_DIR) + "/" + name);
}

TEST(NewerFormats, LoadWithThePixelsTheEncoderStored) {
    for (const Fixture& f : FIXTURES) {
        const std::vector<uint8_t> bytes = fixture(f.name);
        // Through the dispatch, as the tool reads them.
        const LoadResult result = load_image_from_memory(bytes.data(), bytes.size());
        ASSERT_TRUE(result.image) << f.name << ": " << result.reason;
        EXPECT_EQ(result.image->width, f.width) << f.name;
        EXPECT_EQ(result.image->height, f.height) << f.name;
        EXPECT_EQ(result.alpha, f.alpha) << f.name;
        const Image* image = result.image.get();
        EXPECT_EQ(f.alpha ? test::rgba_crc32(image, true) : test::rgb_crc32(image), f.crc) << f.name;
        if (f.alpha) continue;
        for (const Pixel p : test::pixels_of(image)) ASSERT_EQ(p >> 24, 0u) << f.name << ": no alpha, top byte 0";
    }
}

// A w x h 8-bit RGB PNG, written by libspng: the kind decoded straight into
// the atlas canvas (no such file among the fixtures).
std::vector<uint8_t> rgb8_png(uint32_t w, uint32_t h) {
    std::vector<uint8_t> rgb(size_t(w) * h * 3);
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = uint8_t(i * 37 + i / 7);
    spng_ctx* ctx = spng_ctx_new(SPNG_CTX_ENCODER);
    spng_ihdr ihdr = {w, h, 8, SPNG_COLOR_TYPE_TRUECOLOR, 0, 0, 0};
    int error = spng_set_option(ctx, SPNG_ENCODE_TO_BUFFER, 1);
    if (!error) error = spng_set_ihdr(ctx, &ihdr);
    if (!error) error = spng_encode_image(ctx, rgb.data(), rgb.size(), SPNG_FMT_PNG, SPNG_ENCODE_FINALIZE);
    size_t size = 0;
    void* png = error ? nullptr : spng_get_png_buffer(ctx, &size, &error);
    std::vector<uint8_t> bytes(static_cast<uint8_t*>(png), static_cast<uint8_t*>(png) + (png ? size : 0));
    std::free(png);
    spng_ctx_free(ctx);
    return bytes;
}

// JPEG and 8-bit RGB PNG pictures asked for the atlas canvas are decoded into
// it: it must be the canvas made from the picture they load as.
TEST(NewerFormats, DecodeIntoTheAtlasCanvasAsIntoAPicture) {
    std::vector<std::vector<uint8_t>> files = {rgb8_png(13, 7), rgb8_png(40, 3)};
    for (const Fixture& f : FIXTURES)
        if (std::string(f.name).rfind("jpeg/", 0) == 0) files.push_back(fixture(f.name));
    for (const std::vector<uint8_t>& bytes : files) {
        const LoadResult picture = load_image_from_memory(bytes.data(), bytes.size());
        ASSERT_TRUE(picture.image) << picture.reason;
        for (const bool rip : {true, false}) {
            FileCanvasTarget target;
            target.rip = rip;
            LoadOptions options;
            options.rows = file_canvas_rows(&target);
            const LoadResult loaded = load_image_from_memory(bytes.data(), bytes.size(), options);
            ASSERT_TRUE(loaded.in_destination && target.canvas) << loaded.reason;
            const BgrImagePtr expected = new_file_canvas(picture.image.get(), rip);
            ASSERT_TRUE(expected);
            EXPECT_EQ(std::vector<uint8_t>(target.canvas->file, target.canvas->file + target.canvas->file_bytes),
                      std::vector<uint8_t>(expected->file, expected->file + expected->file_bytes))
                << picture.image->width << "x" << picture.image->height;
        }
    }
}

// A destination the reader knows nothing about: rows stored top-down with a
// gap after each (the reverse of the atlas canvas's order), or none at all,
// when the reader must give its Image as ever.
struct PaddedRows {
    int32_t width = 0, height = 0;
    bool refuse = false;
    std::vector<uint8_t> bytes;
};
constexpr int64_t ROW_GAP = 5;

TEST(NewerFormats, RowsGoWhereTheDestinationSaysOrIntoAPicture) {
    std::vector<std::vector<uint8_t>> files = {rgb8_png(13, 7), fixture("bmp/pillow_rgb24_13x7.bmp"),
                                               fixture("bmp/magick_pal1_13x7.bmp")};
    for (const Fixture& f : FIXTURES)
        if (std::string(f.name).rfind("jpeg/", 0) == 0) files.push_back(fixture(f.name));
    for (const std::vector<uint8_t>& bytes : files) {
        const LoadResult picture = load_image_from_memory(bytes.data(), bytes.size());
        ASSERT_TRUE(picture.image) << picture.reason;
        for (const bool refuse : {false, true}) {
            PaddedRows rows;
            rows.refuse = refuse;
            LoadOptions options;
            options.rows.context = &rows;
            options.rows.open = [](void* context, int32_t width, int32_t height) {
                PaddedRows* r = static_cast<PaddedRows*>(context);
                r->width = width;
                r->height = height;
                if (r->refuse) return BgrRows{};
                r->bytes.assign(size_t(height) * size_t(3 * width + ROW_GAP), 0xEE);
                return BgrRows{r->bytes.data(), 3 * width + ROW_GAP};
            };
            const LoadResult loaded = load_image_from_memory(bytes.data(), bytes.size(), options);
            const Image& expected = *picture.image;
            // The 1-bit BMP has no blue, green, red rows of its own: it never asks.
            if (rows.width == 0 || refuse) {
                ASSERT_TRUE(loaded.image) << loaded.reason;
                EXPECT_FALSE(loaded.in_destination);
                EXPECT_EQ(test::pixels_of(loaded.image.get()), test::pixels_of(&expected));
                continue;
            }
            ASSERT_TRUE(loaded.in_destination) << loaded.reason;
            ASSERT_EQ(rows.width, expected.width);
            ASSERT_EQ(rows.height, expected.height);
            for (int32_t y = 0; y < expected.height; ++y) {
                const uint8_t* row = rows.bytes.data() + y * (3 * rows.width + ROW_GAP);
                for (int32_t x = 0; x < expected.width; ++x)
                    ASSERT_EQ(pixel_from_bgr(row + 3 * x), expected.pixels[int64_t(y) * expected.width + x] & 0xFFFFFF)
                        << x << "," << y;
                for (int64_t k = 3 * rows.width; k < 3 * rows.width + ROW_GAP; ++k) ASSERT_EQ(row[k], 0xEE);
            }
        }
    }
}

TEST(NewerFormats, DamagedOrUnsupportedFilesAreDeclinedWithAReason) {
    const std::vector<uint8_t> png = fixture("png/pillow_rgba_15x9.png");
    const std::vector<uint8_t> jpeg = fixture("jpeg/pillow_baseline_420_21x13.jpg");
    std::vector<uint8_t> bad_crc = png;
    bad_crc[bad_crc.size() - 20] ^= 0x40;  // inside the IDAT chunk
    LoadOptions small;
    small.max_pixels = 100;
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        LoadOptions options;
        LoadError error;
        const char* reason;
    } cases[] = {
        {"png bad CRC", bad_crc, {}, LoadError::damaged, "PNG: bad CRC"},
        {"png cut in IDAT", std::vector<uint8_t>(png.begin(), png.end() - 30), {}, LoadError::damaged, "PNG:"},
        {"png without IEND", std::vector<uint8_t>(png.begin(), png.end() - 12), {}, LoadError::damaged, "cut short"},
        {"png too large", png, small, LoadError::too_large, "PNG:"},
        {"jpeg cmyk", fixture("jpeg/pillow_cmyk_21x13.jpg"), {}, LoadError::unsupported, "JPEG: CMYK is not read"},
        {"jpeg cut short", std::vector<uint8_t>(jpeg.begin(), jpeg.end() - 200), {}, LoadError::damaged, "JPEG:"},
        {"jpeg too large", jpeg, small, LoadError::too_large, "JPEG:"},
    };
    for (const Case& c : cases) {
        const LoadResult result = load_image_from_memory(c.bytes.data(), c.bytes.size(), c.options);
        EXPECT_FALSE(result.image) << c.name;
        EXPECT_EQ(result.error, c.error) << c.name << ": " << result.reason;
        EXPECT_NE(result.reason.find(c.reason), std::string::npos) << c.name << ": " << result.reason;
    }
}

TEST(NewerFormats, RecognisedByContentWhateverTheName) {
    EXPECT_EQ(classify_format(0x89, 'P', 'N'), ImageFormat::png);
    EXPECT_EQ(classify_format(0xFF, 0xD8, 0xFF), ImageFormat::jpeg);
    EXPECT_EQ(classify_format(0xFF, 0xD8, 0x02), ImageFormat::tga);  // not a JPEG: falls to TGA's type byte
    for (const char* name : {"png/pillow_rgba_15x9.png", "jpeg/pillow_baseline_420_21x13.jpg"}) {
        const std::string path = test::scratch_path("texture.tga");
        test::write_file(path, fixture(name));
        EXPECT_TRUE(load_image_file(path).image) << name;
    }
}

// tRNS gives alpha: 0 where a pixel is the colour key (all 16 bits of it) or
// uses a palette entry the chunk makes transparent, the chunk's value for the
// entries it lists, 255 for the rest (tools/make_png_trns_fixtures.py).
TEST(NewerFormats, TrnsTransparencyGivesExactAlpha) {
    const auto rgba = [](unsigned r, unsigned g, unsigned b, unsigned a) { return Pixel(a << 24 | b << 16 | g << 8 | r); };
    const struct {
        const char* name;
        int32_t width;
        std::vector<Pixel> pixels;
    } cases[] = {
        {"png/trns_rgb8_4x2.png", 4,
         {rgba(10, 20, 30, 0), rgba(200, 20, 30, 255), rgba(10, 20, 30, 0), rgba(0, 0, 0, 255),
          rgba(10, 20, 31, 255), rgba(255, 255, 255, 255), rgba(10, 20, 30, 0), rgba(9, 20, 30, 255)}},
        {"png/trns_palette8_4x2.png", 4,
         {rgba(255, 0, 0, 0), rgba(0, 255, 0, 128), rgba(0, 0, 255, 255), rgba(255, 255, 0, 255),
          rgba(1, 2, 3, 255), rgba(255, 255, 0, 255), rgba(0, 255, 0, 128), rgba(255, 0, 0, 0)}},
        {"png/trns_grey16_4x1.png", 4,
         {rgba(0x12, 0x12, 0x12, 0), rgba(0x12, 0x12, 0x12, 255), rgba(255, 255, 255, 255), rgba(0, 0, 0, 255)}},
    };
    for (const auto& c : cases) {
        const std::vector<uint8_t> bytes = fixture(c.name);
        const LoadResult result = load_image_from_memory(bytes.data(), bytes.size());
        ASSERT_TRUE(result.image) << c.name << ": " << result.reason;
        EXPECT_TRUE(result.alpha) << c.name;
        EXPECT_EQ(result.image->width, c.width) << c.name;
        EXPECT_EQ(test::pixels_of(result.image.get()), c.pixels) << c.name;
    }
}

}  // namespace
