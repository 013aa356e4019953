// The modern command line: the option parser as a table, printable names,
// and whole batches through the real binary.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <tuple>
#include <functional>
#include <string>
#include <vector>

#include "cli/options.h"
#include "builders/classic.h"
#include "cli/common.h"
#include "readers/bmp.h"
#include "gif_lzw_encoder.h"
#include "writers/bmp_writer.h"
#include "writers/png_writer.h"
#include "test_util.h"

using namespace orvandel;

namespace {

TEST(CommandLine, ParsesGoodLinesAndRefusesBadOnes) {
    using Check = std::function<bool(const CliOptions&)>;
    struct Case {
        std::vector<std::string> args;
        CliAction action;
        std::string error;  // expected message for usage errors
        Check check;
    };
    const Check any = [](const CliOptions&) { return true; };
    const Case cases[] = {
        {{"-j2", "a.tga"}, CliAction::run, "",
         [](const CliOptions& o) { return o.jobs == 2 && o.inputs == std::vector<std::string>{"a.tga"}; }},
        {{"--jobs", "3", "--format=png", "a.tga"}, CliAction::run, "",
         [](const CliOptions& o) { return o.jobs == 3 && o.format == OutputFormat::png && o.outputs[0] == "a_mip.png"; }},
        {{"-qj4", "a"}, CliAction::run, "", [](const CliOptions& o) { return o.quiet && o.jobs == 4; }},
        {{"a.tga", "-l", "mip", "b.gif"}, CliAction::run, "",
         [](const CliOptions& o) { return o.filter.layout == AtlasLayout::mip && o.inputs.size() == 2; }},
        {{"-q", "--", "-x.tga", "--help"}, CliAction::run, "",
         [](const CliOptions& o) { return o.inputs == std::vector<std::string>{"-x.tga", "--help"}; }},
        {{"-o", "out/", "dir.v2/wall", "-a", "drop"}, CliAction::run, "",
         [](const CliOptions& o) { return o.outputs[0] == "out/wall_mip.bmp" && o.alpha == AlphaMode::drop; }},
        {{"-f", "dds", "-l", "mip", "--filter=kaiser", "--edge", "wrap", "--colour", "linear", "--normal",
          "--coverage", "0.5", "--max-pixels", "1000", "a"}, CliAction::run, "",
         [](const CliOptions& o) {
             return o.format == OutputFormat::dds && o.filter.filter == FilterKind::kaiser &&
                    o.filter.edge == EdgeMode::wrap && o.filter.colour == ColourSpace::linear &&
                    o.filter.normal_map && o.filter.coverage == 0.5 && o.max_pixels == 1000 &&
                    o.outputs[0] == "a_mip.dds";
         }},
        {{"--out=o", "--lay", "mip", "--colo", "linear", "a"}, CliAction::run, "",
         [](const CliOptions& o) {
             return o.output_dir == "o" && o.filter.layout == AtlasLayout::mip &&
                    o.filter.colour == ColourSpace::linear;
         }},
        {{"--co", "x", "a"}, CliAction::usage_error, "option '--co' is ambiguous", any},
        {{"--qui=1", "a"}, CliAction::usage_error, "option '--quiet' takes no value", any},
        {{"-j"}, CliAction::usage_error, "option '-j' needs a value", any},
        {{"a"}, CliAction::run, "", [](const CliOptions& o) { return o.jobs == 6 && o.png_level == PNG_DEFAULT_LEVEL; }},
        {{"--help", "--bogus"}, CliAction::help, "", any},
        {{"-qV"}, CliAction::version, "", any},
        {{"-q"}, CliAction::usage_error, "no texture given", any},
        {{"--bogus", "a"}, CliAction::usage_error, "unknown option '--bogus'", any},
        {{"-qx", "a"}, CliAction::usage_error, "unknown option '-x'", any},
        {{"--quiet=yes", "a"}, CliAction::usage_error, "option '--quiet' takes no value", any},
        {{"a", "--layout"}, CliAction::usage_error, "option '--layout' needs a value", any},
        {{"-j0", "a"}, CliAction::usage_error, "invalid value '0' for --jobs (a whole number from 1 to 1024)", any},
        {{"-j", "+2", "a"}, CliAction::usage_error, "invalid value '+2' for --jobs (a whole number from 1 to 1024)", any},
        {{"-l", "grid", "a"}, CliAction::usage_error, "invalid value 'grid' for --layout (rip or mip)", any},
        {{"--png-level", "10", "a"}, CliAction::usage_error, "invalid value '10' for --png-level (0 to 9)", any},
        {{"--max-pixels", "268435457", "a"}, CliAction::usage_error,
         "invalid value '268435457' for --max-pixels (a whole number from 1 to 268435456)", any},
        {{"--coverage", "1", "a"}, CliAction::usage_error,
         "invalid value '1' for --coverage (a number between 0 and 1, both excluded)", any},
        {{"--coverage=nan", "a"}, CliAction::usage_error,
         "invalid value 'nan' for --coverage (a number between 0 and 1, both excluded)", any},
        {{"-f", "dds", "a"}, CliAction::run, "",
         [](const CliOptions& o) { return o.format == OutputFormat::dds && o.filter.layout == AtlasLayout::rip; }},
        {{"-f", "dds", "-l", "mip", "--filter", "classic", "a"}, CliAction::usage_error,
         "--format dds does not take --filter classic", any},
        {{"--filter", "classic", "--edge", "wrap", "a"}, CliAction::usage_error,
         "--filter classic takes none of --colour, --edge, --normal, --coverage", any},
        {{"-f", "png", "a.png", "./a.tga"}, CliAction::usage_error,
         "'a.png' and './a.tga' would both write './a_mip.png'", any},
        {{"-o", "out", "x/a.tga", "y/a.bmp"}, CliAction::usage_error,
         "'x/a.tga' and 'y/a.bmp' would both write 'out/a_mip.bmp'", any},
        {{"--bad\x1b[2J"}, CliAction::usage_error, "unknown option '--bad\\x1b[2J'", any},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const std::string& a : c.args) line += a + " ";
        const CliParse parse = parse_command_line(c.args, 6);
        EXPECT_EQ(parse.action, c.action) << line << parse.error;
        EXPECT_EQ(parse.error, c.error) << line;
        if (parse.action == CliAction::run) {
            EXPECT_TRUE(c.check(parse.options)) << line;
        }
    }
}

TEST(CommandLine, PrintableNamesCannotDriveTheTerminal) {
    const std::pair<std::string, std::string> cases[] = {
        {"wall.tga", "wall.tga"},
        {"a\nb\tc\x7f", "a\\x0ab\\x09c\\x7f"},
        {"\x1b]0;title\x07", "\\x1b]0;title\\x07"},
        {"caf\xc3\xa9 \xe2\x82\xac.tga", "caf\xc3\xa9 \xe2\x82\xac.tga"},  // UTF-8 passes
        {"\xc2\x9b" "31m", "\\xc2\\x9b31m"},                               // C1 control in UTF-8
        {"\xff\xc3", "\\xff\\xc3"},                                         // not UTF-8, cut short
        {"\xc0\xaf", "\\xc0\\xaf"},                                         // overlong
    };
    for (const auto& c : cases) EXPECT_EQ(printable(c.first), c.second) << c.second;
}

struct ModernRunResult {
    int status;
    std::string out, err;
};

// `prefix` goes before the command (a shell's ulimit).
ModernRunResult run_modern(const std::vector<std::string>& args, const std::string& prefix = "") {
    const std::string err_path = test::scratch_path("stderr.txt");
    std::string command = prefix + "'" ORVANDEL_BINARY "'";
    for (const std::string& a : args) command += " '" + a + "'";
    command += " </dev/null 2>'" + err_path + "'";
    ModernRunResult run{-1, "", ""};
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return run;
    char buffer[4096];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) run.out.append(buffer, got);
    const int status = pclose(pipe);
    if (status != -1 && WIFEXITED(status)) run.status = WEXITSTATUS(status);
    const std::vector<uint8_t> err = test::read_file(err_path);
    run.err.assign(err.begin(), err.end());
    return run;
}

size_t count_lines(const std::string& text) { return size_t(std::count(text.begin(), text.end(), '\n')); }

std::string write_texture(const std::string& name, int32_t width, int32_t height) {
    std::vector<Pixel> pixels;
    for (int32_t i = 0; i < width * height; ++i) pixels.push_back(Pixel(0x30507u * uint32_t(i + 3)) & 0xFFFFFF);
    test::ImagePtr image = test::make_image(width, height, pixels);
    const std::string path = test::scratch_path(name);
    EXPECT_TRUE(write_bmp24(path.c_str(), image.get()));
    return path;
}

TEST(ModernRun, ABadFileAmongGoodOnesIsReportedAndTheOthersAreWritten) {
    const std::string a = write_texture("a.bmp", 7, 5), b = write_texture("b.bmp", 4, 4);
    const std::string bad = test::scratch_path("bad.xcf"), out = test::scratch_path("out");
    test::write_file(bad, {'g', 'i', 'm', 'p', ' ', 'x', 'c', 'f'});
    const ModernRunResult run = run_modern({"-j", "2", "-o", out, a, bad, b});
    EXPECT_EQ(run.status, EXIT_INVALID_FORMAT);
    EXPECT_EQ(count_lines(run.err), 1u) << run.err;
    EXPECT_EQ(run.err.rfind("orvandel: " + bad + ": ", 0), 0u) << run.err;
    EXPECT_EQ(count_lines(run.out), 2u) << run.out;
    EXPECT_NE(run.out.find(a + " -> " + out + "/a_mip.bmp: 7x5 -> 14x10"), std::string::npos) << run.out;
    for (const auto& [name, width, height] : {std::tuple{"a_mip.bmp", 14, 10}, std::tuple{"b_mip.bmp", 8, 8}}) {
        test::ImagePtr atlas = test::load_path(load_bmp24, out + "/" + name);
        ASSERT_TRUE(atlas) << name;
        EXPECT_EQ(atlas->width, width);
        EXPECT_EQ(atlas->height, height);
    }
    EXPECT_FALSE(test::file_exists(out + "/bad_mip.bmp"));
}

TEST(ModernRun, StatusIsThatOfTheFirstFailureInArgumentOrder) {
    const std::string good = write_texture("good.bmp", 3, 3), blocked = write_texture("blocked.bmp", 3, 3);
    const std::string bad = test::scratch_path("bad.bin");
    test::write_file(bad, {1, 2});
    ASSERT_EQ(mkdir(test::scratch_path("blocked_mip.bmp").c_str(), 0755), 0);  // the atlas cannot go there
    struct Case {
        std::vector<std::string> args;
        int status;
    };
    const Case cases[] = {
        {{"-qj2", good, bad, blocked}, EXIT_INVALID_FORMAT},
        {{"-qj2", blocked, bad, good}, EXIT_WRITE_FAILED},
        {{"-q", good}, EXIT_ATLAS_WRITTEN},
        {{"-q", good, test::scratch_path("good.tga")}, EXIT_USAGE},
    };
    for (const Case& c : cases) {
        const ModernRunResult run = run_modern(c.args);
        EXPECT_EQ(run.status, c.status) << c.args[1];
        EXPECT_EQ(run.out, "");
        // Two failures, or a usage message and its hint.
        EXPECT_EQ(count_lines(run.err), c.status == EXIT_ATLAS_WRITTEN ? 0u : 2u) << run.err;
    }
}

// A 4 x 2 32-bit TGA whose header counts 8 alpha bits: the top row opaque,
// the bottom row half and fully transparent.
std::string write_rgba_tga(const std::string& name) {
    test::Bytes b;
    b.raw({0, 0, 2}).fill(9, 0).le16(4).le16(2).u8(32).u8(0x28);  // top-down, 8 alpha bits
    for (int i = 0; i < 8; ++i) b.u8(40 * i).u8(100).u8(200).u8(i < 4 ? 255 : i < 6 ? 128 : 0);
    const std::string path = test::scratch_path(name);
    test::write_file(path, b.data);
    return path;
}

uint32_t le_at(const std::vector<uint8_t>& bytes, size_t offset, int count) {
    uint32_t v = 0;
    for (int k = count - 1; k >= 0; --k) v = v << 8 | (offset + k < bytes.size() ? bytes[offset + k] : 0);
    return v;
}

// An RGBA source gives an RGBA atlas unless --alpha drop says otherwise: the
// file's own header tells (bits per pixel of a BMP, colour type of a PNG).
TEST(ModernRun, AlphaDropWritesRgbAtlases) {
    const std::string tga = write_rgba_tga("rgba.tga");
    struct Case {
        std::vector<std::string> options;
        const char* output;
        bool rgba;
    };
    const Case cases[] = {
        {{"-q"}, "rgba_mip.bmp", true},
        {{"-q", "-a", "drop"}, "rgba_mip.bmp", false},
        {{"-q", "-f", "png"}, "rgba_mip.png", true},
        {{"-q", "-f", "png", "--alpha=drop"}, "rgba_mip.png", false},
        {{"-q", "-a", "drop", "-f", "png", "-l", "mip", "--filter", "kaiser"}, "rgba_mip.png", false},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.options;
        args.push_back(tga);
        const std::string line = c.options.back() + " " + c.output;
        ASSERT_EQ(run_modern(args).status, EXIT_ATLAS_WRITTEN) << line;
        const std::vector<uint8_t> file = test::read_file(test::scratch_path(c.output));
        if (std::string(c.output).find(".bmp") != std::string::npos)
            EXPECT_EQ(le_at(file, 28, 2), c.rgba ? 32u : 24u) << line;  // bits per pixel
        else
            EXPECT_EQ(le_at(file, 25, 1), c.rgba ? 6u : 2u) << line;  // PNG colour type
        const LoadResult atlas = load_image_from_memory(file.data(), file.size());
        ASSERT_TRUE(atlas.image) << line << ": " << atlas.reason;
        EXPECT_EQ(atlas.alpha, c.rgba) << line;
    }
}

// --max-pixels declines the texture over it, with the reason and status 2;
// the others are still written.
TEST(ModernRun, MaxPixelsDeclinesOnlyTheLargerTextures) {
    const std::string big = write_texture("big.bmp", 7, 5), small = write_texture("small.bmp", 4, 4);
    const ModernRunResult run = run_modern({"-j2", "--max-pixels", "34", big, small});
    EXPECT_EQ(run.status, EXIT_INVALID_FORMAT);
    EXPECT_EQ(run.err, "orvandel: " + big + ": BMP: picture larger than 34 pixels\n");
    EXPECT_FALSE(test::file_exists(test::scratch_path("big_mip.bmp")));
    EXPECT_TRUE(test::load_path(load_bmp24, test::scratch_path("small_mip.bmp")));
    // At the limit the texture is taken.
    EXPECT_EQ(run_modern({"-q", "--max-pixels", "35", big}).status, EXIT_ATLAS_WRITTEN);
}

// A GIF's transparent colour is transparent in the modern run: an RGBA atlas
// with alpha 0 where the source pixel had that index (block (0, 0) is the
// source itself), 255 elsewhere.
TEST(ModernRun, GifTransparentColourGivesAlpha) {
    const std::vector<uint8_t> indices = {0, 1, 2, 3, 3, 2, 1, 0};  // 4 x 2, index 2 transparent
    test::Bytes gif;
    gif.text("GIF89a").le16(4).le16(2).u8(0x81).u8(0).u8(0);
    for (int i = 0; i < 4; ++i) gif.u8(60 * i).u8(255 - 60 * i).u8(90);
    gif.raw({0x21, 0xF9, 4, 0x01, 0, 0, 2, 0});
    gif.u8(0x2C).le16(0).le16(0).le16(4).le16(2).u8(0).u8(2);
    gif.append(gif_encoder::sub_blocks(gif_encoder::lzw_encode(indices, 2))).u8(0x3B);
    const std::string path = test::scratch_path("keyed.gif");
    test::write_file(path, gif.data);

    for (const char* format : {"png", "bmp"}) {
        const ModernRunResult run = run_modern({"-f", format, path});
        ASSERT_EQ(run.status, EXIT_ATLAS_WRITTEN) << format << run.err;
        EXPECT_NE(run.out.find("4x2 -> 8x4 RGBA"), std::string::npos) << format << run.out;
        const test::ImagePtr atlas = test::load_path(load_image_from_memory, test::scratch_path(
                                                                                 std::string("keyed_mip.") + format));
        ASSERT_TRUE(atlas) << format;
        ASSERT_EQ(atlas->width, 8);
        for (int y = 0; y < 2; ++y)
            for (int x = 0; x < 4; ++x)
                EXPECT_EQ(atlas->pixels[y * 8 + x] >> 24, indices[size_t(y * 4 + x)] == 2 ? 0u : 255u)
                    << format << " " << x << "," << y;
    }
}

// Past a file-size limit a write fails like any other: status 4 and a
// reason, no file, and the run goes on; the classic run says what it always has.
TEST(ModernRun, FileSizeLimitFailsThatTextureAndTheRunGoesOn) {
    const std::string big = write_texture("big.bmp", 16, 16), small = write_texture("small.bmp", 2, 2);
    const std::string limit = "ulimit -f 2; ";  // 1024 bytes: the 102-byte atlas fits, the 3126-byte one not
    const ModernRunResult run = run_modern({"-j", "1", big, small}, limit);
    EXPECT_EQ(run.status, EXIT_WRITE_FAILED);
    EXPECT_EQ(run.err.rfind("orvandel: " + big + ": ", 0), 0u) << run.err;
    EXPECT_TRUE(test::file_exists(test::scratch_path("small_mip.bmp")));
    const test::RunResult classic = test::run_tool({big}, limit);
    EXPECT_EQ(classic.status, EXIT_WRITE_FAILED);
    EXPECT_NE(classic.output.find("Writing Mip-Map ... Can't write MipMap !\n"), std::string::npos);
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(test::scratch_dir()))
        left.push_back(entry.path().filename());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"big.bmp", "small.bmp", "small_mip.bmp", "stderr.txt"}));
}

// Spelled apart, one file: a name through a link to the directory, or an
// input that is an earlier atlas. Refused before anything is written.
TEST(ModernRun, CollisionsAreFoundByIdentity) {
    const std::string a = write_texture("a.tga", 3, 3), b = write_texture("b.tga", 3, 3);
    const std::string earlier = write_texture("b_mip.bmp", 1, 1), via = test::scratch_path("via");
    write_texture("a.bmp", 3, 3);
    ASSERT_EQ(symlink(".", via.c_str()), 0);
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"-j2", a, via + "/a.bmp"},
         "'" + a + "' and '" + via + "/a.bmp' would both write '" + test::scratch_path("a_mip.bmp") + "' (as '" +
             via + "/a_mip.bmp')\nhint: give one of them another name, or run them with different --output-dir\n"},
        {{"-j2", b, via + "/b_mip.bmp"},
         "'" + via + "/b_mip.bmp' is the atlas '" + b + "' writes: it cannot be read in the same run\n"
         "hint: leave earlier atlases out of a wildcard, e.g. in bash after 'shopt -s extglob': "
         "orvandel [options] -- !(*_mip).bmp\n"},
    };
    for (const auto& c : cases) {
        const ModernRunResult run = run_modern(c.first);
        EXPECT_EQ(run.status, EXIT_USAGE);
        EXPECT_EQ(run.err, "orvandel: " + c.second);
    }
    EXPECT_FALSE(test::file_exists(test::scratch_path("a_mip.bmp")));
    EXPECT_EQ(test::read_file(earlier).size(), 58u);  // the 1x1 atlas, untouched
}

}  // namespace

namespace {

// The tool with stdout and stderr gathered, in a child whose files may not
// grow past `file_limit` bytes (0: no limit). SIGXFSZ is ignored there, so a
// write past the limit fails with EFBIG instead of ending the process.
ModernRunResult run_modern_limited(const std::vector<std::string>& args, rlim_t file_limit) {
    const std::string out_path = test::scratch_path("stdout.txt"), err_path = test::scratch_path("stderr.txt");
    std::vector<std::string> argv_text = {ORVANDEL_BINARY};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0) _exit(127);
        if (file_limit > 0) {
            const rlimit limit = {file_limit, file_limit};
            signal(SIGXFSZ, SIG_IGN);
            if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(127);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    ModernRunResult run{-1, "", ""};
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) return run;
    if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
    const std::vector<uint8_t> out = test::read_file(out_path), err = test::read_file(err_path);
    run.out.assign(out.begin(), out.end());
    run.err.assign(err.begin(), err.end());
    return run;
}

// Every writer reports the system's reason for a failed write, and leaves
// neither the output nor a temporary file.
TEST(DriverRun, WriteFailuresGiveTheSystemsReason) {
    const std::string opaque = write_texture("opaque.bmp", 300, 200);
    const std::string clear = test::scratch_path("clear.png");
    std::vector<Pixel> pixels(300 * 200);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = Pixel(i * 2654435761u) | (i % 7 ? 0xFF000000u : 0x40000000u);
    test::ImagePtr rgba = test::make_image(300, 200, pixels);
    ASSERT_TRUE(write_png(clear, *rgba, true));
    struct Case {
        const char* what;
        std::vector<std::string> options;
        std::string input, output;
    };
    const std::string dir = test::scratch_path("out");
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    const Case cases[] = {
        {"24-bit BMP", {"-f", "bmp"}, opaque, "opaque_mip.bmp"},
        {"24-bit BMP in its file's bytes", {"-f", "bmp", "--filter", "classic"}, opaque, "opaque_mip.bmp"},
        {"32-bit BMP", {"-f", "bmp"}, clear, "clear_mip.bmp"},
        {"PNG", {"-f", "png"}, clear, "clear_mip.png"},
        {"DDS", {"-f", "dds", "-l", "mip"}, opaque, "opaque_mip.dds"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"-o", dir, c.input});
        const std::string output = dir + "/" + c.output;
        const ModernRunResult small = run_modern_limited(args, 64 << 10);
        EXPECT_EQ(small.status, EXIT_WRITE_FAILED) << c.what;
        EXPECT_EQ(small.err, "orvandel: " + c.input + ": cannot write '" + output + "': File too large\n") << c.what;
        EXPECT_TRUE(std::filesystem::is_empty(dir)) << c.what;

        // Permission bits do not bind the superuser: this part runs for others.
        if (geteuid() == 0) continue;
        ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
        const ModernRunResult locked = run_modern_limited(args, 0);
        ASSERT_EQ(chmod(dir.c_str(), 0755), 0);
        EXPECT_EQ(locked.status, EXIT_WRITE_FAILED) << c.what;
        EXPECT_EQ(locked.err, "orvandel: " + c.input + ": cannot write '" + output + "': Permission denied\n")
            << c.what;
        EXPECT_TRUE(std::filesystem::is_empty(dir)) << c.what;
    }
}

}  // namespace
