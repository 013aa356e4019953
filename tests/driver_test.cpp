#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "builders/classic.h"
#include "cli/common.h"
#include "readers/bmp.h"
#include "writers/bmp_writer.h"
#include "test_util.h"

using namespace orvandel;

namespace {

const std::string KEY_PROMPT = "Press any key, Allah sees ya ! <|:-)=\n";

TEST(DriverNames, DisplayNameAndOutputName) {
    struct Case {
        const char* path;
        const char* shown;
        const char* output;
    };
    const Case cases[] = {
        {"wall.tga", "wall.tga", "wall_mip.bmp"},
        {"wall.bmp", "wall.bmp", "wall_mip.bmp"},
        {"wall", "wall", "wall_mip.bmp"},
        {"wall.old.pcx", "wall.old.pcx", "wall.old_mip.bmp"},
        {"C:\\tex\\wall.pcx", "wall.pcx", "C:\\tex\\wall_mip.bmp"},
        {"C:/tex/wall.pcx", "C:/tex/wall.pcx", "C:/tex/wall_mip.bmp"},
        {"..\\tex\\wall", "wall", "..\\tex\\wall_mip.bmp"},
        {"../tex.d/wall", "../tex.d/wall", "../tex.d/wall_mip.bmp"},
        {"./.hidden", "./.hidden", "./_mip.bmp"},
        {"dir\\", "", "dir\\_mip.bmp"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(display_name(c.path), c.shown) << c.path;
        EXPECT_EQ(make_output_name(c.path), c.output) << c.path;
    }
    const std::string long_path = std::string(300, 'a') + "/" + std::string(300, 'b') + ".bmp";
    EXPECT_EQ(make_output_name(long_path), long_path.substr(0, long_path.size() - 4) + "_mip.bmp");
}

// A small 24-bit source written next to the scratch files.
std::string write_source(const std::string& name, int32_t width, int32_t height, std::vector<Pixel>* pixels) {
    pixels->clear();
    for (int32_t i = 0; i < width * height; ++i) pixels->push_back(Pixel(0x10203 * (i + 1)) & 0xFFFFFF);
    test::ImagePtr image = test::make_image(width, height, *pixels);
    const std::string path = test::scratch_path(name);
    EXPECT_TRUE(write_bmp24(path.c_str(), image.get()));
    return path;
}

TEST(DriverRun, WritesTheAtlasBesideItsInput) {
    struct Case {
        std::vector<std::string> extra;
        const char* layout;
        int32_t height_factor;
    };
    const Case cases[] = {
        {{}, "bi-directional", 2},
        {{"ord"}, "ordinary", 1},
        {{"anything", "more"}, "ordinary", 1},
    };
    for (const Case& c : cases) {
        std::vector<Pixel> pixels;
        const std::string input = write_source("wall.bmp", 5, 3, &pixels);
        std::vector<std::string> args = {input};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        const test::RunResult run = test::run_tool(args);
        EXPECT_EQ(run.status, 0) << c.layout;
        EXPECT_EQ(run.output, test::banner() + "Loading image '" + input + "' ... Done\n" + "Creating " +
                                  c.layout + " MipMap ... Done\n" + "Writing Mip-Map ... Done\n\n\n" + KEY_PROMPT);
        test::ImagePtr atlas = test::load_path(load_bmp24, test::scratch_path("wall_mip.bmp"));
        ASSERT_TRUE(atlas) << c.layout;
        EXPECT_EQ(atlas->width, 10);
        EXPECT_EQ(atlas->height, 3 * c.height_factor);
        for (int32_t y = 0; y < 3; ++y)
            for (int32_t x = 0; x < 5; ++x)
                EXPECT_EQ(atlas->pixels[y * 10 + x], pixels[y * 5 + x]) << c.layout << " " << x << "," << y;
        std::remove(test::scratch_path("wall_mip.bmp").c_str());
    }
}

TEST(DriverRun, FailuresSayWhatWentWrongAndExitNonZero) {
    // No file argument: usage.
    test::RunResult run = test::run_tool({});
    EXPECT_EQ(run.status, EXIT_USAGE);
    EXPECT_EQ(run.output, test::banner() +
                              "Program must be executed with commandline :\n"
                              "    Orvandel.exe [filename] <ord>\n\n"
                              "Where filename is name of texture (necessary)\n"
                              "And if there will be next parameter, program generates\n"
                              "ordinary mip-map only.\n\n"
                              "Output is in truecolor bitmap with name :\n"
                              "    \"Original_Filename\" + \"_mip\" + \".bmp\"\n\n" +
                              KEY_PROMPT);

    // Missing, empty and unrecognised inputs: invalid format on the loading line.
    test::write_file(test::scratch_path("empty.tga"), {});
    test::write_file(test::scratch_path("text.bmp"), {'h', 'e', 'l', 'l', 'o'});
    mkdir(test::scratch_path("folder.bmp").c_str(), 0755);
    ASSERT_EQ(mkfifo(test::scratch_path("pipe.gif").c_str(), 0644), 0);  // opening it would wait forever
    for (const char* name : {"missing.bmp", "empty.tga", "text.bmp", "folder.bmp", "pipe.gif"}) {
        const std::string input = test::scratch_path(name);
        run = test::run_tool({input});
        EXPECT_EQ(run.status, EXIT_INVALID_FORMAT) << name;
        EXPECT_EQ(run.output, test::banner() + "Loading image '" + input + "' ...Invalid fileformat !\n" + KEY_PROMPT)
            << name;
    }
    EXPECT_FALSE(test::file_exists(test::scratch_path("missing_mip.bmp")));

    // An output that cannot be written: a directory stands where the atlas goes.
    std::vector<Pixel> pixels;
    const std::string input = write_source("blocked.bmp", 2, 2, &pixels);
    ASSERT_EQ(mkdir(test::scratch_path("blocked_mip.bmp").c_str(), 0755), 0);
    run = test::run_tool({input});
    EXPECT_EQ(run.status, EXIT_WRITE_FAILED);
    EXPECT_EQ(run.output, test::banner() + "Loading image '" + input + "' ... Done\n" +
                              "Creating bi-directional MipMap ... Done\n" + "Writing Mip-Map ... Can't write MipMap !\n" +
                              KEY_PROMPT);
}

// Permission checks do not bind the superuser, so these run for other users only.
TEST(DriverRun, UnreadableInputAndUnwritableOutput) {
    if (geteuid() == 0) GTEST_SKIP() << "permissions do not apply to root";
    std::vector<Pixel> pixels;
    const std::string input = write_source("locked.bmp", 2, 2, &pixels);
    ASSERT_EQ(chmod(input.c_str(), 0), 0);
    EXPECT_EQ(test::run_tool({input}).status, EXIT_INVALID_FORMAT);
    ASSERT_EQ(chmod(input.c_str(), 0644), 0);

    // An earlier atlas that may not be written stays as it was.
    const std::string output = test::scratch_path("locked_mip.bmp");
    test::write_file(output, {1, 2, 3});
    ASSERT_EQ(chmod(output.c_str(), 0444), 0);
    EXPECT_EQ(test::run_tool({input}).status, EXIT_WRITE_FAILED);
    EXPECT_EQ(test::read_file(output), (std::vector<uint8_t>{1, 2, 3}));

    // A directory that may not be written: no atlas, no temporary file.
    const std::string dir = test::scratch_path("readonly");
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    const std::string inner = dir + "/wall.bmp";
    test::write_file(inner, test::read_file(input));
    ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
    EXPECT_EQ(test::run_tool({inner}).status, EXIT_WRITE_FAILED);
    EXPECT_FALSE(test::file_exists(dir + "/wall_mip.bmp"));
    ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
}

TEST(DriverRun, ReplacesAnEarlierAtlasWhole) {
    std::vector<Pixel> pixels;
    const std::string input = write_source("again.bmp", 3, 2, &pixels);
    const std::string output = test::scratch_path("again_mip.bmp");
    test::write_file(output, std::vector<uint8_t>(100000, 0xAB));
    EXPECT_EQ(test::run_tool({input}).status, 0);
    EXPECT_EQ(test::read_file(output).size(), size_t(bmp24_file_size(6, 4)));
}

}  // namespace

namespace {

// 58 bytes: an RLE8 BMP of 268435456 x 1 (the largest picture there is) with
// one palette entry and no data, which fills the picture with index 255.
std::vector<uint8_t> widest_rle8_file() {
    return test::Bytes()
        .text("BM").le32(58).le32(0).le32(58)
        .le32(40).le32(1u << 28).le32(1).le16(1).le16(8).le32(1).le32(0).le32(0).le32(0).le32(1).le32(0)
        .le32(0x00112233)
        .data;
}

// Runs the tool with at most `mib` MiB to allocate: through the sanitizer's
// allocation limit where there is one (it cannot run under an address-space
// limit), else under prlimit.
test::RunResult run_with_memory(const std::vector<std::string>& args, int mib) {
    if (test::sanitized_build())
        return test::run_tool(args, "ASAN_OPTIONS=allocator_may_return_null=1:max_allocation_size_mb=" +
                                        std::to_string(mib));
    return test::run_tool(args, "prlimit --as=" + std::to_string(int64_t(mib) << 20));
}

// Memory that runs out while loading is no invalid file: status 3, with the
// one text the classic console has for a failed load.
TEST(DriverRun, NoMemoryWhileLoadingExitsThree) {
    if (!test::sanitized_build() && system("prlimit --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no prlimit";
    const std::string input = test::scratch_path("wide.bmp");
    test::write_file(input, widest_rle8_file());
    const test::RunResult run = run_with_memory({input}, 512);
    EXPECT_EQ(run.status, EXIT_NO_MEMORY);
    EXPECT_EQ(run.output, test::banner() + "Loading image '" + input + "' ...Invalid fileformat !\n" + KEY_PROMPT);
    EXPECT_EQ(test::load_result(load_image_from_memory, widest_rle8_file(), [] {
                  LoadOptions o;
                  o.max_pixels = 1 << 20;
                  return o;
              }()).error,
              LoadError::too_large);
}

// The picture loads (1 GiB) but its 2 GiB canvas cannot be had: the memory
// message and status 3, never an abort.
TEST(SlowDriverRun, NoMemoryForTheCanvasExitsThree) {
    if (!test::sanitized_build() && system("prlimit --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no prlimit";
    const std::string input = test::scratch_path("wide.bmp");
    test::write_file(input, widest_rle8_file());
    const test::RunResult run = run_with_memory({input, "ord"}, test::sanitized_build() ? 1100 : 1700);
    EXPECT_EQ(run.status, EXIT_NO_MEMORY);
    EXPECT_EQ(run.output, test::banner() + "Loading image '" + input + "' ... Done\n" +
                              "Creating ordinary MipMap ...Not enough memory for MipMap !\n");
}

}  // namespace
