// Reads the modern command line into a CliOptions record: long options as
// --name=value or --name value, short ones as -j2, -j 2 or bundled (-qj2),
// options and textures in any order, "--" ending the options.
#include "cli/options.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>

#include "builders/atlas_layout.h"
#include "cli/common.h"

namespace orvandel {

namespace {

// The order is --help's. The words of a value ("rip|mip") are the ones the
// parser takes, in the order of the enum they choose from.
const OptionInfo OPTIONS[] = {
    {'l', "layout", "rip|mip", OptionId::layout,
     "rip: every horizontal and vertical halving (default);\nmip: the ordinary strip of halvings",
     "rip (default): a grid twice as wide and twice as high as the source, block (i, j) being the source halved "
     "i times across and j times down; mip: a strip twice as wide and as high as the source, the halvings side "
     "by side, top-aligned."},
    {'f', "format", "bmp|png|dds|ktx2|exr", OptionId::format,
     "atlas container (default bmp); dds, ktx2: GPU textures,\nwith --layout mip the mip chain;\nexr: a tiled OpenEXR rip-map or mip-map",
     "The atlas container (default bmp): a 24-bit BMP, or a 32-bit one with alpha; an 8-bit RGB or RGBA PNG; "
     "dds (with the DX10 header) or ktx2 (KTX 2.0), GPU textures: with --layout mip the mip chain, every level "
     "down to 1 x 1, with --layout rip the rip atlas as one level; uncompressed 32-bit texels unless --compress "
     "says otherwise; exr writes a tiled OpenEXR file of every level in linear light, RIPMAP_LEVELS with "
     "--layout rip, MIPMAP_LEVELS with --layout mip. PNG atlases of 16-bit and float sources are 16-bit."},
    {'c', "compress", "none|bc1|bc3|bc4|bc5|bc7|astc4x4|astc5x5|astc6x6|astc8x8", OptionId::compress,
     "GPU block format of dds and ktx2 textures (default none)",
     "The GPU block format of dds and ktx2 textures (default none: uncompressed). bc1: opaque colour or "
     "cut-outs (alpha below 128, or below the --coverage threshold, becomes transparent); bc3: colour with "
     "alpha; bc4: one channel (red, or grey); bc5: two channels (red and green; with --normal the normal's X "
     "and Y, the shader rebuilds Z); bc7: the best colour with alpha; astc4x4 to astc8x8: ASTC, for mobile GPUs, "
     "ktx2 only. Colour is stored in an sRGB format with --colour srgb, otherwise and for bc4, bc5 and --normal "
     "in a UNORM one."},
    {0, "quality", "fast|normal|best", OptionId::quality, "block encoding effort (default normal)",
     "How hard the block encoder searches: fast, normal (default) or best."},
    {0, "zstd", "N", OptionId::zstd, "Zstandard-supercompress ktx2 levels at level N (1 to 22)",
     "Supercompress each level of a ktx2 texture with Zstandard at level N, 1 (fastest) to 22 (smallest)."},
    {0, "dds-legacy", nullptr, OptionId::dds_legacy, "dds without the DX10 header, for old readers",
     "Write dds files with the legacy header alone (A8R8G8B8 or X8R8G8B8, DXT1, DXT5, ATI1, ATI2), for readers "
     "that predate the DX10 header: it cannot say sRGB, and has no BC7."},
    {0, "depth", "8|16", OptionId::depth, "bits a channel of PNG atlases (default 16 for 16-bit and float sources)",
     "Bits a channel of PNG atlases: 8, or 16 (the default for 16-bit PNG and TIFF, OpenEXR, Radiance and float "
     "TIFF sources, which are filtered from full precision)."},
    {0, "exr-type", "half|float", OptionId::exr_type, "-f exr: pixel type (default half)",
     "With --format exr: 16-bit half (default) or 32-bit float channels."},
    {0, "exr-compression", "none|zip|piz|dwaa", OptionId::exr_compression, "-f exr: compression (default zip)",
     "With --format exr: the tiles' compression, none, zip (default, lossless), piz (lossless) or dwaa (lossy)."},
    {0, "tile", "N", OptionId::tile, "-f exr: tiles of N x N pixels (default 64)",
     "With --format exr: tiles of N x N pixels, 1 to 4096 (default 64)."},
    {0, "png-level", "N", OptionId::png_level, "zlib level of PNG atlases, 0 (stored) to 9 (default: fast, on every core)",
     "zlib level of PNG atlases, 0 (stored, the fastest) to 9, on one core. Without it PNG atlases are "
     "compressed on every core the run allows, about as small as level 6 makes textures; stored where "
     "compression does not pay."},
    {'o', "output-dir", "DIR", OptionId::output_dir, "write there instead of beside each input",
     "Write the atlases into DIR, made if missing, instead of beside each input."},
    {'a', "alpha", "keep|drop", OptionId::alpha, "keep (default): sources with alpha give RGBA atlases",
     "keep (default): a source whose alpha is below 255 somewhere gives an RGBA atlas; drop: every atlas is "
     "RGB."},
    {'j', "jobs", "N", OptionId::jobs, "textures processed at once (default: the number of cores)",
     "Textures processed at once, 1 to 1024 (default: the number of cores); a single texture gets all N "
     "threads for its build."},
    {'q', "quiet", nullptr, OptionId::quiet, "print errors only", "Print errors only."},
    {0, "max-pixels", "N", OptionId::max_pixels, "decline sources larger than N pixels (default 268435456)",
     "Decline sources of more than N pixels, with status 2 (default and largest 268435456, 16384 x 16384)."},
    {0, "filter", "box|kaiser|classic", OptionId::filter,
     "halving filter (default box); classic: the original atlas",
     "The halving filter: box (default, exact area weights), kaiser (a windowed sinc), or classic, which gives "
     "the classic run's atlas byte for byte and takes none of --colour, --edge, --normal, --coverage."},
    {0, "colour", "srgb|linear", OptionId::colour, "filter colours in linear light (srgb, default) or as stored",
     "srgb (default): the colours are sRGB and are filtered in linear light; linear: filtered as stored."},
    {0, "color", "srgb|linear", OptionId::colour, nullptr, ""},
    {0, "edge", "clamp|wrap|mirror", OptionId::edge,
     "what the kaiser filter and --padding read past an edge (default clamp)",
     "What the kaiser filter and --padding read beyond an edge: the edge pixel (clamp, default), the other side "
     "(wrap, for tiling textures) or the picture mirrored."},
    {0, "normal", nullptr, OptionId::normal, "the texture is a normal map",
     "The texture is a normal map: its texels are unit vectors, renormalised in every level."},
    {0, "coverage", "T", OptionId::coverage, "keep the share of alpha >= T (0 < T < 1) in every level",
     "For cut-outs: scale each level's alpha so that the share of texels with alpha >= T (0 < T < 1) stays "
     "that of the source."},
    {0, "padding", "N", OptionId::padding, "texels around every block, 0 (default) to 64, as --edge gives them",
     "Surround every block of the atlas with N texels (0, the default, to 64) taken as --edge gives them: the "
     "block's edge texels repeated (clamp), the opposite side's (wrap) or the block mirrored, its edge texel "
     "repeated once (mirror); so bilinear sampling up to N texels past a block's edge never reads another "
     "block. The atlas grows to make room; not with --filter classic, nor with a dds or ktx2 mip chain."},
    {0, "manifest", nullptr, OptionId::manifest, "write <name>_mip.json: every block's place in the atlas",
     "Write <name>_mip.json beside each atlas: the options, the source's size and SHA-256, the atlas's size, "
     "pixel format, padding and every block's rectangle (docs/manifest.md). A manifest that cannot be written "
     "fails the texture with status 4; the atlas stays written. With a dds or ktx2 mip chain, a block per level."},
    {'h', "help", nullptr, OptionId::help, "this text", "Print the list of options and exit."},
    {'V', "version", nullptr, OptionId::version, "the version", "Print the version and exit."},
};

constexpr int MAX_JOBS = 1024;

// The option named `name`, or the only one it begins (GNU tools take
// unambiguous prefixes: --out for --output-dir). Null when there is none;
// `ambiguous` set when several different options begin so.
const OptionInfo* find_long(const std::string& name, bool* ambiguous) {
    bool unused = false;
    if (!ambiguous) ambiguous = &unused;
    *ambiguous = false;
    const OptionInfo* found = nullptr;
    for (const OptionInfo& option : OPTIONS) {
        if (name == option.long_name) return &option;
        if (name.empty() || std::string(option.long_name).compare(0, name.size(), name) != 0) continue;
        if (found && found->id != option.id) *ambiguous = true;
        if (!found) found = &option;
    }
    return *ambiguous ? nullptr : found;
}

const OptionInfo* find_short(char name) {
    for (const OptionInfo& option : OPTIONS)
        if (option.short_name && name == option.short_name) return &option;
    return nullptr;
}

// A whole decimal number in [low, high]; no sign, no spaces, no suffix.
bool parse_count(const std::string& text, int64_t low, int64_t high, int64_t* out) {
    if (text.empty() || text.size() > 18) return false;
    int64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    if (value < low || value > high) return false;
    *out = value;
    return true;
}

// `value` as one of the words of `option.value` ("rip|mip"), which name the
// enum's values in order; the usage error, or empty.
template <typename Enum>
std::string choose(const OptionInfo& option, const std::string& value, Enum* out) {
    std::vector<std::string> words;
    for (const char *word = option.value, *bar; ; word = bar + 1) {
        bar = std::strchr(word, '|');
        words.emplace_back(word, bar ? size_t(bar - word) : std::strlen(word));
        if (!bar) break;
    }
    for (size_t i = 0; i < words.size(); ++i) {
        if (value != words[i]) continue;
        *out = static_cast<Enum>(i);
        return "";
    }
    std::string list = words[0];
    for (size_t i = 1; i < words.size(); ++i) list += (i + 1 == words.size() ? " or " : ", ") + words[i];
    return "invalid value '" + printable(value) + "' for --" + option.long_name + " (" + list + ")";
}

// A whole number in [low, high] into `out`; the usage error, or empty.
template <typename Number>
std::string whole_number(const OptionInfo& option, const std::string& value, int64_t low, int64_t high, Number* out) {
    int64_t number = 0;
    if (!parse_count(value, low, high, &number)) {
        // A range of digits reads as one ("0 to 9").
        const std::string range = (high < 10 ? "" : "a whole number from ") + std::to_string(low) + " to " +
                                  std::to_string(high);
        return "invalid value '" + printable(value) + "' for --" + option.long_name + " (" + range + ")";
    }
    *out = static_cast<Number>(number);
    return "";
}

// The word --compress takes for `format`.
std::string block_format_name(BlockFormat format) {
    const OptionInfo* option = find_long("compress", nullptr);
    std::string words = option->value;
    for (int i = 0; i < static_cast<int>(format); ++i) words.erase(0, words.find('|') + 1);
    return words.substr(0, words.find('|'));
}

// Options that --filter classic does not take, seen on the command line.
struct Seen {
    bool colour = false, edge = false, normal = false, coverage = false;
    bool exr = false, depth = false;  // an option of -f exr; --depth
};

// The options of the halving filters; the usage error, or empty.
std::string apply_filter_option(const OptionInfo& option, const std::string& value, FilterOptions* f, Seen* seen) {
    switch (option.id) {
        case OptionId::filter:
            return choose(option, value, &f->filter);
        case OptionId::colour:
            seen->colour = true;
            return choose(option, value, &f->colour);
        case OptionId::edge:
            seen->edge = true;
            return choose(option, value, &f->edge);
        case OptionId::normal:
            seen->normal = true;
            f->normal_map = true;
            return "";
        case OptionId::coverage: {
            seen->coverage = true;
            char* end = nullptr;
            const double t = value.empty() ? 0 : std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' || !std::isfinite(t) || t <= 0 || t >= 1)
                return "invalid value '" + printable(value) +
                       "' for --coverage (a number between 0 and 1, both excluded)";
            f->coverage = t;
            return "";
        }
        default:
            return "";
    }
}

// Applies one option; the usage error, or empty.
std::string apply(const OptionInfo& option, const std::string& value, CliParse* parse, Seen* seen) {
    CliOptions& o = parse->options;
    switch (option.id) {
        case OptionId::layout: return choose(option, value, &o.filter.layout);
        case OptionId::format: return choose(option, value, &o.format);
        case OptionId::alpha: return choose(option, value, &o.alpha);
        case OptionId::png_level: return whole_number(option, value, 0, 9, &o.png_level);
        case OptionId::depth:
            seen->depth = true;
            if (value != "8" && value != "16") return "invalid value '" + printable(value) + "' for --depth (8 or 16)";
            o.png_depth = value == "8" ? 8 : 16;
            return "";
        case OptionId::exr_type: seen->exr = true; return choose(option, value, &o.exr_type);
        case OptionId::exr_compression: seen->exr = true; return choose(option, value, &o.exr_compression);
        case OptionId::tile: seen->exr = true; return whole_number(option, value, 1, 4096, &o.exr_tile);
        case OptionId::jobs: return whole_number(option, value, 1, MAX_JOBS, &o.jobs);
        case OptionId::max_pixels: return whole_number(option, value, 1, MAX_IMAGE_PIXELS, &o.max_pixels);
        case OptionId::compress: return choose(option, value, &o.compress);
        case OptionId::quality: return choose(option, value, &o.quality);
        case OptionId::zstd: return whole_number(option, value, 1, 22, &o.zstd_level);
        case OptionId::dds_legacy:
            o.dds_legacy = true;
            return "";
        case OptionId::output_dir:
            if (value.empty()) return "--output-dir needs a directory";
            o.output_dir = value;
            return "";
        case OptionId::quiet:
            o.quiet = true;
            return "";
        case OptionId::manifest:
            o.manifest = true;
            return "";
        case OptionId::padding:
            return whole_number(option, value, 0, MAX_PADDING, &o.filter.padding);
        case OptionId::help:
            parse->action = CliAction::help;
            return "";
        case OptionId::version:
            parse->action = CliAction::version;
            return "";
        default:
            return apply_filter_option(option, value, &o.filter, seen);
    }
}

// Combinations that cannot run, and outputs that would collide.
std::string check_whole(CliOptions* o, const Seen& seen) {
    if (o->inputs.empty()) return "no texture given";
    const bool classic = o->filter.filter == FilterKind::classic;
    if (classic && (seen.colour || seen.edge || seen.normal || seen.coverage))
        return "--filter classic takes none of --colour, --edge, --normal, --coverage";
    const bool gpu = o->format == OutputFormat::dds || o->format == OutputFormat::ktx2;
    const std::string format_name = o->format == OutputFormat::dds ? "dds" : "ktx2";
    if (gpu && classic) return "--format " + format_name + " does not take --filter classic";
    if (classic && o->filter.padding > 0) return "--filter classic does not take --padding";
    if (gpu && o->filter.padding > 0 && o->filter.layout == AtlasLayout::mip)
        return "--padding needs an atlas: --format " + format_name + " with --layout mip writes a mip chain";
    const std::string compress = block_format_name(o->compress);
    if (o->compress != BlockFormat::none && !gpu) return "--compress " + compress + " needs --format dds or ktx2";
    if (compress.compare(0, 4, "astc") == 0 && o->format == OutputFormat::dds)
        return "--compress " + compress + " needs --format ktx2: DDS has no ASTC formats";
    if (o->zstd_level > 0 && o->format != OutputFormat::ktx2) return "--zstd needs --format ktx2";
    if (o->dds_legacy && o->format != OutputFormat::dds) return "--dds-legacy needs --format dds";
    if (o->dds_legacy && o->compress == BlockFormat::bc7)
        return "--dds-legacy cannot hold bc7: the legacy DDS header has no BC7 format";
    if (seen.exr && o->format != OutputFormat::exr)
        return "--exr-type, --exr-compression and --tile need --format exr";
    if (seen.depth && o->format != OutputFormat::png) return "--depth needs --format png";
    if (o->format == OutputFormat::exr && classic) return "--format exr does not take --filter classic";
    if (o->format == OutputFormat::exr && o->filter.padding > 0) return "--format exr does not take --padding";

    // Two spellings of one path ("a.png", "./a.tga") are the same output.
    std::map<std::string, size_t> first_writer;
    for (size_t i = 0; i < o->inputs.size(); ++i) {
        o->outputs.push_back(modern_output_name(o->inputs[i], o->format, o->output_dir));
        const std::string key = std::filesystem::path(o->outputs[i]).lexically_normal().string();
        const auto placed = first_writer.emplace(key, i);
        if (!placed.second)
            return "'" + printable(o->inputs[placed.first->second]) + "' and '" + printable(o->inputs[i]) +
                   "' would both write '" + printable(o->outputs[i]) + "'";
    }
    return "";
}

}  // namespace

std::string modern_output_name(const std::string& input, OutputFormat format, const std::string& output_dir) {
    static const char* const EXTENSIONS[] = {"bmp", "png", "dds", "ktx2", "exr"};
    std::string name = make_output_name(input);
    name.replace(name.size() - 3, 3, EXTENSIONS[static_cast<int>(format)]);
    if (output_dir.empty()) return name;
    const size_t separator = name.find_last_of("/\\");
    if (separator != std::string::npos) name.erase(0, separator + 1);
    return output_dir + (output_dir.back() == '/' ? "" : "/") + name;
}

std::string manifest_name(const std::string& output) {
    const size_t dot = output.find_last_of('.');
    const size_t separator = output.find_last_of('/');
    const bool has_extension = dot != std::string::npos && (separator == std::string::npos || dot > separator);
    return (has_extension ? output.substr(0, dot) : output) + ".json";
}

CliParse parse_command_line(const std::vector<std::string>& args, int cores) {
    CliParse parse;
    parse.options.jobs = cores < 1 ? 1 : cores > MAX_JOBS ? MAX_JOBS : cores;
    parse.action = CliAction::run;
    Seen seen;
    bool options_ended = false;
    auto fail = [&parse](std::string message) {
        parse.action = CliAction::usage_error;
        parse.error = std::move(message);
        return parse;
    };

    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (options_ended || arg.size() < 2 || arg[0] != '-') {
            parse.options.inputs.push_back(arg);
        } else if (arg == "--") {
            options_ended = true;
        } else if (arg[1] == '-') {
            const size_t equals = arg.find('=');
            const std::string name = arg.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
            bool ambiguous = false;
            const OptionInfo* option = find_long(name, &ambiguous);
            if (ambiguous) return fail("option '--" + printable(name) + "' is ambiguous");
            if (!option) return fail("unknown option '--" + printable(name) + "'");
            std::string value;
            if (equals != std::string::npos) {
                if (!option->value) return fail("option '--" + std::string(option->long_name) + "' takes no value");
                value = arg.substr(equals + 1);
            } else if (option->value) {
                if (i + 1 == args.size())
                    return fail("option '--" + std::string(option->long_name) + "' needs a value");
                value = args[++i];
            }
            const std::string error = apply(*option, value, &parse, &seen);
            if (!error.empty()) return fail(error);
        } else {
            for (size_t k = 1; k < arg.size(); ++k) {
                const OptionInfo* option = find_short(arg[k]);
                if (!option) return fail("unknown option '-" + printable(arg.substr(k, 1)) + "'");
                std::string value;
                if (option->value) {
                    if (k + 1 < arg.size()) {
                        value = arg.substr(k + 1);
                    } else {
                        if (i + 1 == args.size())
                            return fail("option '-" + std::string(1, arg[k]) + "' needs a value");
                        value = args[++i];
                    }
                    k = arg.size();
                }
                const std::string error = apply(*option, value, &parse, &seen);
                if (!error.empty()) return fail(error);
                if (parse.action != CliAction::run) return parse;
            }
        }
        // --help and --version answer at once, as GNU tools do.
        if (parse.action != CliAction::run) return parse;
    }
    const std::string error = check_whole(&parse.options, seen);
    if (!error.empty()) return fail(error);
    return parse;
}

std::string printable(const std::string& text) {
    static const char HEX[] = "0123456789abcdef";
    std::string out;
    auto escape = [&out](unsigned char byte) {
        out += "\\x";
        out += HEX[byte >> 4];
        out += HEX[byte & 15];
    };
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        if (lead >= 0x20 && lead < 0x7F) {
            out += text[i++];
            continue;
        }
        // A well-formed UTF-8 sequence passes, unless it encodes a C1
        // control (U+0080..U+009F), which some terminals obey too.
        const size_t length = lead >= 0xC2 && lead < 0xE0 ? 2 : lead >= 0xE0 && lead < 0xF0 ? 3
                            : lead >= 0xF0 && lead < 0xF5 ? 4 : 0;
        uint32_t code = length == 2 ? lead & 0x1Fu : length == 3 ? lead & 0x0Fu : lead & 0x07u;
        bool valid = length > 0 && i + length <= n;
        for (size_t k = 1; valid && k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            code = code << 6 | (next & 0x3Fu);
        }
        const uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        valid = valid && code >= smallest[length] && code <= 0x10FFFF && !(code >= 0xD800 && code < 0xE000) &&
                !(code >= 0x80 && code < 0xA0);
        if (valid) {
            out.append(text, i, length);
            i += length;
        } else {
            escape(lead);
            ++i;
        }
    }
    return out;
}

OptionTable modern_option_table() { return OptionTable{OPTIONS, sizeof OPTIONS / sizeof OPTIONS[0]}; }

std::string isa_note(const IsaChoice& choice) {
    const std::string prefix = "ORVANDEL_ISA=" + printable(choice.value) + ": ";
    switch (choice.note) {
        case IsaChoice::Note::none: return "";
        case IsaChoice::Note::lacking:
            return prefix + "this processor lacks it, using " + isa_name(choice.isa);
        case IsaChoice::Note::unknown:
            return prefix + "not one of scalar, sse2, ssse3, avx2, avx512, using " + isa_name(choice.isa);
    }
    return "";
}

std::string modern_help_text() {
    std::string text =
        "Usage: orvandel [options] TEXTURE...\n"
        "Writes the mip-map atlas of each texture (BMP, PCX, GIF, TGA, PNG, JPEG, OpenEXR, Radiance,\n"
        "TIFF) as <name>_mip.<format>.\n"
        "\n";
    for (const OptionInfo& option : OPTIONS) {
        if (!option.help) continue;
        std::string left = option.short_name ? std::string("  -") + option.short_name + ", --" : "      --";
        left += option.long_name;
        if (option.value) left += std::string(" ") + option.value;
        // The descriptions start in column 28, or a tab stop further for a long
        // value; after a value longer still, on the next line.
        size_t column = 28;
        while (left.size() + 2 > column) column += 8;
        if (column > 44) {
            text += left + '\n';
            left.clear();
            column = 28;
        }
        for (const char *line = option.help, *end; ; line = end + 1) {
            end = std::strchr(line, '\n');
            text += left + std::string(column - left.size(), ' ');
            text.append(line, end ? size_t(end - line) : std::strlen(line));
            text += '\n';
            if (!end) break;
            left.clear();
        }
    }
    return text +
           "\n"
           "'--' ends the options. Exit status: 0 all written; 1 usage error; otherwise that of the\n"
           "first texture that failed: 2 unreadable or declined, 3 out of memory, 4 write failure.\n"
           "ORVANDEL_ISA=scalar|sse2|ssse3|avx2|avx512 in the environment caps the processor's vector\n"
           "instructions used (for measuring: the bytes written are the same on every path).\n"
           "With a texture as the first argument, the classic one-file run: orvandel TEXTURE [ord]\n";
}

#ifndef ORVANDEL_VERSION
#error "ORVANDEL_VERSION comes from CMakeLists.txt's project() version"
#endif
std::string modern_version_text() { return "orvandel " ORVANDEL_VERSION "\n"; }

}  // namespace orvandel
