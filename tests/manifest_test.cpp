// Manifests: JSON strings as RFC 8259 wants them, the options that ask for
// them, and whole runs of the tool writing them.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "builders/atlas_layout.h"
#include "cli/options.h"
#include "writers/bmp_writer.h"
#include "writers/manifest.h"
#include "test_util.h"

using namespace orvandel;

namespace {

TEST(Manifest, StringsAreEscapedAsJsonWants) {
    const struct {
        std::string text, json;
    } cases[] = {
        {"wall.png", "\"wall.png\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"tab\there\nnew", "\"tab\\there\\nnew\""},
        {std::string("\x01\x1f", 2), "\"\\u0001\\u001f\""},
        {std::string("nul\0x", 5), "\"nul\\u0000x\""},
        {"caf\xc3\xa9", "\"caf\xc3\xa9\""},
        // A byte that is not UTF-8, as the console prints it: \xff, its backslash escaped.
        {printable("bad\xff.png"), "\"bad\\\\xff.png\""},
    };
    for (const auto& c : cases) EXPECT_EQ(json_string(c.text), c.json);
}

TEST(Manifest, PaddingAndManifestOptions) {
    const struct {
        std::vector<std::string> args;
        std::string error;  // empty: runs
    } cases[] = {
        {{"--padding", "64", "--manifest", "a"}, ""},
        {{"--padding=0", "--filter", "classic", "--manifest", "a"}, ""},
        {{"--padding", "-1", "a"}, "invalid value '-1' for --padding (a whole number from 0 to 64)"},
        {{"--padding", "65", "a"}, "invalid value '65' for --padding (a whole number from 0 to 64)"},
        {{"--padding", "2", "--filter", "classic", "a"}, "--filter classic does not take --padding"},
        {{"--padding", "2", "-l", "mip", "-f", "dds", "a"},
         "--padding needs an atlas: --format dds with --layout mip writes a mip chain"},
        {{"--padding", "2", "-l", "mip", "-f", "ktx2", "-c", "bc7", "a"},
         "--padding needs an atlas: --format ktx2 with --layout mip writes a mip chain"},
        {{"--padding", "2", "-f", "ktx2", "-c", "astc6x6", "--manifest", "a"}, ""},
        {{"--manifest", "-l", "mip", "-f", "dds", "a"}, ""},
    };
    for (const auto& c : cases) {
        const CliParse parse = parse_command_line(c.args, 1);
        EXPECT_EQ(parse.action, c.error.empty() ? CliAction::run : CliAction::usage_error) << c.args[1];
        EXPECT_EQ(parse.error, c.error);
    }
    EXPECT_EQ(parse_command_line({"--padding", "64", "--manifest", "a"}, 1).options.filter.padding, 64);
    EXPECT_EQ(manifest_name("d.x/wall_mip.png"), "d.x/wall_mip.json");
}

// A source with a name that is not UTF-8, through the tool: the manifest
// names it as the console does, and its blocks are the classic ones.
TEST(Manifest, ToolWritesTheManifestBesideTheAtlas) {
    const std::string dir = test::scratch_dir();
    const std::string source = dir + "/w\xff.bmp";
    std::filesystem::copy_file(SAMPLES_DIR "/wall.bmp", source);
    const test::RunResult run = test::run_tool({"-q", "--manifest", "--filter", "classic", "-l", "mip", source});
    ASSERT_EQ(run.status, 0);
    const std::vector<uint8_t> bytes = test::read_file(dir + "/w\xff_mip.json");
    const std::string text(bytes.begin(), bytes.end());
    EXPECT_NE(text.find("\"file\": \"w\\\\xff.bmp\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"file\": \"w\\\\xff_mip.bmp\""), std::string::npos);
    const AtlasGeometry g = classic_geometry(256, 256, AtlasLayout::mip);
    const AtlasBlock& last = g.blocks.back();
    const std::string block = "{\"across\": " + std::to_string(last.across) + ", \"down\": " +
                              std::to_string(last.down) + ", \"x\": " + std::to_string(last.x) + ", \"y\": 0, " +
                              "\"width\": 1, \"height\": 1}\n  ]";
    EXPECT_NE(text.find(block), std::string::npos) << text;
}

// The manifest's name taken by a directory: the atlas is written, the
// texture fails with status 4, and no temporary file is left.
TEST(Manifest, AFailedManifestFailsTheTexture) {
    const std::string dir = test::scratch_dir();
    std::filesystem::copy_file(SAMPLES_DIR "/wall.bmp", dir + "/wall.bmp");
    std::filesystem::create_directory(dir + "/wall_mip.json");
    const test::RunResult run = test::run_tool({"-q", "--manifest", "-f", "png", dir + "/wall.bmp"});
    EXPECT_EQ(run.status, 4);
    EXPECT_TRUE(test::file_exists(dir + "/wall_mip.png"));
    EXPECT_TRUE(std::filesystem::is_directory(dir + "/wall_mip.json"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()), 3);
}

}  // namespace
