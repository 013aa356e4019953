// The modern command line: GNU-style options and one or more textures, read
// into one plain record before anything runs. Parsing never prints; the
// caller shows the message or the help text, so every command line can be
// checked as a table.
#ifndef ORVANDEL_CLI_OPTIONS_H
#define ORVANDEL_CLI_OPTIONS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "encoders/block_formats.h"
#include "writers/exr_writer.h"
#include "writers/png_writer.h"
#include "builders/modern.h"
#include "picture/isa.h"

namespace orvandel {

enum class OutputFormat { bmp, png, dds, ktx2, exr };
enum class AlphaMode { keep, drop };

struct CliOptions {
    FilterOptions filter;  // layout, filter, colour, edge, --normal, --coverage
    OutputFormat format = OutputFormat::bmp;
    int png_level = PNG_DEFAULT_LEVEL;
    BlockFormat compress = BlockFormat::none;  // dds and ktx2 only
    CompressQuality quality = CompressQuality::normal;
    int zstd_level = 0;  // ktx2 only; 0: no supercompression
    bool dds_legacy = false;
    int png_depth = 0;  // --depth: 8 or 16; 0: 16 for sources of more than 8 bits, else 8
    // -f exr: pixel type, compression and tile size (levels and wrap modes come from --layout and --edge).
    ExrPixelType exr_type = ExrPixelType::half;
    ExrCompression exr_compression = ExrCompression::zip;
    int exr_tile = EXR_DEFAULT_TILE;
    std::string output_dir;  // empty: beside each input
    AlphaMode alpha = AlphaMode::keep;
    int jobs = 1;  // at least 1; the number of cores unless -j says otherwise
    bool quiet = false;
    bool manifest = false;  // <name>_mip.json beside each atlas
    int64_t max_pixels = MAX_IMAGE_PIXELS;
    std::vector<std::string> inputs;
    std::vector<std::string> outputs;  // one per input, same order
};

enum class CliAction { run, help, version, usage_error };

struct CliParse {
    CliAction action = CliAction::usage_error;
    CliOptions options;
    std::string error;  // for usage_error: the message, without "orvandel: "
};

// `args` are the arguments after the program name; `cores` is the default
// for --jobs. Besides the options themselves it checks their combinations
// and that no two inputs would write the same output.
CliParse parse_command_line(const std::vector<std::string>& args, int cores);

// Where the atlas of `input` goes: make_output_name's rules with the
// format's extension, in `output_dir` when one is given.
std::string modern_output_name(const std::string& input, OutputFormat format, const std::string& output_dir);

// Where the manifest of the atlas at `output` goes: its extension made "json".
std::string manifest_name(const std::string& output);

// The text with control characters (C0, DEL, C1) and bytes that are not
// UTF-8 written as \xHH, so a file name cannot drive the terminal.
std::string printable(const std::string& text);

enum class OptionId {
    layout, format, png_level, output_dir, alpha, jobs, quiet, max_pixels, help, version,
    filter, colour, edge, normal, coverage, padding, manifest, compress, quality, zstd, dds_legacy,
    exr_type, exr_compression, tile, depth,
};

// One option of the modern command line, as the parser, --help and the
// manual page all read it.
struct OptionInfo {
    char short_name;        // 0 when there is none
    const char* long_name;
    const char* value;      // what the value looks like ("rip|mip", "N"); null: the option takes none
    OptionId id;
    const char* help;       // --help's lines, '\n' between them; null: another spelling of the entry before
    const char* detail;     // more for the manual page; may be empty
};

struct OptionTable {
    const OptionInfo* entries;
    size_t count;
    const OptionInfo* begin() const { return entries; }
    const OptionInfo* end() const { return entries + count; }
};

// Every option, in --help's order.
OptionTable modern_option_table();

// The one line (without "orvandel: " and the newline) to tell the user about
// the ORVANDEL_ISA setting, or "" when it is taken as given.
std::string isa_note(const IsaChoice& choice);

std::string modern_help_text();
// "orvandel " and the version the build was configured with.
std::string modern_version_text();

}  // namespace orvandel

#endif
