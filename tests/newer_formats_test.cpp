// PNG, JPEG and BMP files of the newer kinds written by Pillow and ImageMagick
// load with the pixels Pillow reads from them (tools/make_newer_fixtures.py
// made the files and the CRCs; JPEG exactly, both decoders being libjpeg-turbo
// with its accurate transform). Damaged and unsupported files are declined
// with a reason.
#include <gtest/gtest.h>

#include "formats/jpeg.h"
#include "formats/load_image.h"
#include "formats/png.h"
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

}  // namespace
