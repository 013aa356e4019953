#include <gtest/gtest.h>

#include "formats/load_image.h"
#include "test_util.h"

using namespace orvandel;

namespace {

struct ClassifyCase {
    const char* name;
    int b0, b1, b2;
    ImageFormat expected;
};

TEST(ClassifyFormat, FirstThreeBytesPickTheFormat) {
    const ClassifyCase cases[] = {
        {"bmp", 'B', 'M', 0x36, FORMAT_BMP},
        {"bmp wins over tga type byte", 'B', 'M', 2, FORMAT_BMP},
        {"pcx version 0", 0x0A, 0, 1, FORMAT_PCX},
        {"pcx version 2", 0x0A, 2, 1, FORMAT_PCX},
        {"pcx version 3", 0x0A, 3, 1, FORMAT_PCX},
        {"pcx version 5", 0x0A, 5, 1, FORMAT_PCX},
        {"pcx version 4 falls to tga by its third byte", 0x0A, 4, 1, FORMAT_TGA},
        {"pcx version 4 otherwise unknown", 0x0A, 4, 0, FORMAT_UNKNOWN},
        {"gif", 'G', 'I', 'F', FORMAT_GIF},
        {"gi without f", 'G', 'I', 'X', FORMAT_UNKNOWN},
        {"tga type 1", 0, 1, 1, FORMAT_TGA},
        {"tga type 2", 0, 0, 2, FORMAT_TGA},
        {"tga type 3", 7, 0, 3, FORMAT_TGA},
        {"tga type 9", 0, 1, 9, FORMAT_TGA},
        {"tga type 10", 0, 0, 10, FORMAT_TGA},
        {"tga type 11", 0, 0, 11, FORMAT_TGA},
        {"tga type 0", 0, 0, 0, FORMAT_UNKNOWN},
        {"tga type 4", 0, 0, 4, FORMAT_UNKNOWN},
        {"tga type 32", 0, 0, 32, FORMAT_UNKNOWN},
        {"one byte file", 'B', -1, -1, FORMAT_UNKNOWN},
        {"empty file", -1, -1, -1, FORMAT_UNKNOWN},
    };
    for (const ClassifyCase& c : cases)
        EXPECT_EQ(classify_format(c.b0, c.b1, c.b2), c.expected) << c.name;
}

TEST(DetectFormat, ReadsTheFileNotTheName) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        ImageFormat expected;
    };
    const Case cases[] = {
        {"looks_like.bmp", {'G', 'I', 'F', '8', '9', 'a'}, FORMAT_GIF},
        {"plain.tga", {0, 0, 2, 0}, FORMAT_TGA},
        {"short.bmp", {'B'}, FORMAT_UNKNOWN},
        {"empty.gif", {}, FORMAT_UNKNOWN},
        {"crlf.bin", {0x0A, 0x05, 0x01}, FORMAT_PCX},
    };
    for (const Case& c : cases) {
        const std::string path = test::scratch_path(c.name);
        test::write_file(path, c.bytes);
        EXPECT_EQ(detect_format(path.c_str()), c.expected) << c.name;
    }
    EXPECT_EQ(detect_format(test::scratch_path("missing.bmp").c_str()), FORMAT_UNKNOWN);
    EXPECT_EQ(load_image(test::scratch_path("missing.bmp").c_str()), nullptr);
}

}  // namespace
