#include <gtest/gtest.h>

#include "readers/load_image.h"
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
        {"bmp", 'B', 'M', 0x36, ImageFormat::bmp},
        {"bmp wins over tga type byte", 'B', 'M', 2, ImageFormat::bmp},
        {"pcx version 0", 0x0A, 0, 1, ImageFormat::pcx},
        {"pcx version 2", 0x0A, 2, 1, ImageFormat::pcx},
        {"pcx version 3", 0x0A, 3, 1, ImageFormat::pcx},
        {"pcx version 5", 0x0A, 5, 1, ImageFormat::pcx},
        {"pcx version 4 falls to tga by its third byte", 0x0A, 4, 1, ImageFormat::tga},
        {"pcx version 4 otherwise unknown", 0x0A, 4, 0, ImageFormat::unknown},
        {"gif", 'G', 'I', 'F', ImageFormat::gif},
        {"gi without f", 'G', 'I', 'X', ImageFormat::unknown},
        {"tga type 1", 0, 1, 1, ImageFormat::tga},
        {"tga type 2", 0, 0, 2, ImageFormat::tga},
        {"tga type 3", 7, 0, 3, ImageFormat::tga},
        {"tga type 9", 0, 1, 9, ImageFormat::tga},
        {"tga type 10", 0, 0, 10, ImageFormat::tga},
        {"tga type 11", 0, 0, 11, ImageFormat::tga},
        {"tga type 0", 0, 0, 0, ImageFormat::unknown},
        {"tga type 4", 0, 0, 4, ImageFormat::unknown},
        {"tga type 32", 0, 0, 32, ImageFormat::unknown},
        {"one byte file", 'B', -1, -1, ImageFormat::unknown},
        {"empty file", -1, -1, -1, ImageFormat::unknown},
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
        {"looks_like.bmp", {'G', 'I', 'F', '8', '9', 'a'}, ImageFormat::gif},
        {"plain.tga", {0, 0, 2, 0}, ImageFormat::tga},
        {"short.bmp", {'B'}, ImageFormat::unknown},
        {"empty.gif", {}, ImageFormat::unknown},
        {"crlf.bin", {0x0A, 0x05, 0x01}, ImageFormat::pcx},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(detect_format(c.bytes.data(), c.bytes.size()), c.expected) << c.name;
        const std::string path = test::scratch_path(c.name);
        test::write_file(path, c.bytes);
        EXPECT_NE(load_image_file(path).error, LoadError::unreadable) << c.name;
    }
    EXPECT_EQ(load_image_file(test::scratch_path("missing.bmp")).error, LoadError::unreadable);
}

}  // namespace
