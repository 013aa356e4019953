// The OpenEXR and TIFF module: loaded by the runs that read or write those
// formats and by no other, found beside the tool or where it is installed,
// and a readable refusal where it is missing or broken.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/common.h"
#include "test_util.h"

namespace {

namespace fs = std::filesystem;

// Runs `binary` with `args`, `environment` before it; standard error is in the output.
test::RunResult run_binary(const std::string& binary, const std::vector<std::string>& args,
                           const std::string& environment = "") {
    std::string command = environment + " '" + binary + "'";
    for (const std::string& arg : args) command += " '" + arg + "'";
    command += " </dev/null 2>&1";
    test::RunResult result{-1, ""};
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.output.append(buffer, got);
    const int status = pclose(pipe);
    if (status != -1 && WIFEXITED(status)) result.status = WEXITSTATUS(status);
    return result;
}

const std::string EXR = TEST_DATA_DIR "/float/grey-y.exr", TIFF = TEST_DATA_DIR "/float/grey-8.tif",
                  PNG16 = TEST_DATA_DIR "/float/plain-16-rgba.png", BMP = SAMPLES_DIR "/wall.bmp";
const std::string MODULE_NAME = fs::path(EXR_TIFF_MODULE_PATH).filename();

TEST(ExrTiffModule, OnlyRunsThatReadOrWriteTheFormatsLoadIt) {
    const std::string out = test::scratch_path("out");
    const struct { std::vector<std::string> args; bool loads; } cases[] = {
        {{"--version"}, false},
        {{"-q", "-f", "dds", "-l", "mip", "-o", out, BMP}, false},
        {{"-q", "-f", "png", "-o", out, PNG16}, false},
        {{"-q", "-f", "png", "-o", out, EXR}, true},
        {{"-q", "-f", "dds", "-o", out, TIFF}, true},
        {{"-q", "-f", "exr", "-o", out, BMP}, true},
    };
    for (const auto& c : cases) {
        // The system's loader names every library it opens, on standard error.
        const test::RunResult run = run_binary(ORVANDEL_BINARY, c.args, "LD_DEBUG=files");
        ASSERT_EQ(run.status, 0) << c.args.back();
        ASSERT_NE(run.output.find("libc.so"), std::string::npos) << c.args.back();
        for (const char* library : {MODULE_NAME.c_str(), "libOpenEXR", "libtiff"})
            EXPECT_EQ(run.output.find(library) != std::string::npos, c.loads) << library << " " << c.args.back();
    }
}

TEST(ExrTiffModule, FoundWhereItIsInstalledAndRefusedWithTheReasonWhereItIsNot) {
    // A copy of the tool with no module beside it, then with one where the install rule puts it.
    const fs::path bin = fs::path(test::scratch_dir()) / "bin", tool = bin / "orvandel";
    fs::create_directories(bin);
    fs::copy_file(ORVANDEL_BINARY, tool);
    const fs::path place = (bin / ORVANDEL_MODULE_DIR).lexically_normal();
    ASSERT_EQ(place.string().rfind(test::scratch_dir() + "/", 0), 0u) << place;
    const std::string out = test::scratch_path("out");
    enum Setup { none, not_a_module, installed_module };
    const struct {
        Setup setup;
        std::vector<std::string> args;
        int status;
        std::string says;
    } cases[] = {
        {none, {"-f", "png", "-o", out, EXR}, EXIT_INVALID_FORMAT,
         "OpenEXR files are read by a module, and " + MODULE_NAME + " is neither in " + bin.string()},
        {none, {"-f", "png", "-o", out, TIFF}, EXIT_INVALID_FORMAT, "TIFF files are read by a module, and "},
        {none, {"-f", "exr", "-o", out, BMP}, EXIT_WRITE_FAILED, "OpenEXR files are written by a module, and "},
        {none, {"-q", "-f", "dds", "-o", out, BMP}, EXIT_ATLAS_WRITTEN, ""},
        {not_a_module, {"-f", "png", "-o", out, EXR}, EXIT_INVALID_FORMAT, MODULE_NAME + " does not load: "},
        {installed_module, {"-q", "-f", "exr", "-o", out, TIFF}, EXIT_ATLAS_WRITTEN, ""},
    };
    for (const auto& c : cases) {
        fs::remove(bin / MODULE_NAME);
        fs::remove(place / MODULE_NAME);
        if (c.setup == not_a_module) test::write_file(bin / MODULE_NAME, {'E', 'L', 'F'});
        if (c.setup == installed_module) {
            fs::create_directories(place);
            fs::copy_file(EXR_TIFF_MODULE_PATH, place / MODULE_NAME);
        }
        const test::RunResult run = run_binary(tool, c.args);
        EXPECT_EQ(run.status, c.status) << run.output;
        EXPECT_NE(run.output.find(c.says), std::string::npos) << run.output;
    }
    // The installed module wrote what the build's own does.
    const std::vector<uint8_t> installed = test::read_file(out + "/grey-8_mip.exr");
    ASSERT_EQ(run_binary(ORVANDEL_BINARY, {"-q", "-f", "exr", "-o", out, TIFF}).status, 0);
    EXPECT_FALSE(installed.empty());
    EXPECT_EQ(installed, test::read_file(out + "/grey-8_mip.exr"));
}

}  // namespace
