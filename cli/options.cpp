// Reads the modern command line into a CliOptions record: long options as
// --name=value or --name value, short ones as -j2, -j 2 or bundled (-qj2),
// options and textures in any order, "--" ending the options.
#include "cli/options.h"

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "cli/common.h"

namespace orvandel {

namespace {

enum class OptionId {
    layout, format, png_level, output_dir, alpha, jobs, quiet, max_pixels, help, version,
    filter, colour, edge, normal, coverage,
};

struct OptionInfo {
    char short_name;  // 0 when there is none
    const char* long_name;
    bool takes_value;
    OptionId id;
};

const OptionInfo OPTIONS[] = {
    {'l', "layout", true, OptionId::layout},
    {'f', "format", true, OptionId::format},
    {0, "png-level", true, OptionId::png_level},
    {'o', "output-dir", true, OptionId::output_dir},
    {'a', "alpha", true, OptionId::alpha},
    {'j', "jobs", true, OptionId::jobs},
    {'q', "quiet", false, OptionId::quiet},
    {0, "max-pixels", true, OptionId::max_pixels},
    {'h', "help", false, OptionId::help},
    {'V', "version", false, OptionId::version},
    {0, "filter", true, OptionId::filter},
    {0, "colour", true, OptionId::colour},
    {0, "color", true, OptionId::colour},
    {0, "edge", true, OptionId::edge},
    {0, "normal", false, OptionId::normal},
    {0, "coverage", true, OptionId::coverage},
};

constexpr int MAX_JOBS = 1024;

// The option named `name`, or the only one it begins (GNU tools take
// unambiguous prefixes: --out for --output-dir). Null when there is none;
// `ambiguous` set when several different options begin so.
const OptionInfo* find_long(const std::string& name, bool* ambiguous) {
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

// One of `names` (in the enum's order): its index, or -1.
int pick(const std::string& value, std::initializer_list<const char*> names) {
    int index = 0;
    for (const char* name : names) {
        if (value == name) return index;
        ++index;
    }
    return -1;
}

struct Seen {
    bool colour = false, edge = false, normal = false, coverage = false;
};

// Applies one option; the message of a usage error, or empty.
std::string apply(const OptionInfo& option, const std::string& value, CliParse* parse, Seen* seen) {
    CliOptions& o = parse->options;
    const std::string invalid = "invalid value '" + printable(value) + "' for --" + option.long_name;
    int choice = -1;
    int64_t number = 0;
    switch (option.id) {
        case OptionId::layout:
            if ((choice = pick(value, {"rip", "mip"})) < 0) return invalid + " (rip or mip)";
            o.filter.layout = static_cast<AtlasLayout>(choice);
            break;
        case OptionId::format:
            if ((choice = pick(value, {"bmp", "png", "dds"})) < 0) return invalid + " (bmp, png or dds)";
            o.format = static_cast<OutputFormat>(choice);
            break;
        case OptionId::png_level:
            if (!parse_count(value, 0, 9, &number)) return invalid + " (0 to 9)";
            o.png_level = static_cast<int>(number);
            break;
        case OptionId::output_dir:
            if (value.empty()) return "--output-dir needs a directory";
            o.output_dir = value;
            break;
        case OptionId::alpha:
            if ((choice = pick(value, {"keep", "drop"})) < 0) return invalid + " (keep or drop)";
            o.alpha = static_cast<AlphaMode>(choice);
            break;
        case OptionId::jobs:
            if (!parse_count(value, 1, MAX_JOBS, &number))
                return invalid + " (a whole number from 1 to " + std::to_string(MAX_JOBS) + ")";
            o.jobs = static_cast<int>(number);
            break;
        case OptionId::max_pixels:
            if (!parse_count(value, 1, MAX_IMAGE_PIXELS, &number))
                return invalid + " (a whole number from 1 to " + std::to_string(MAX_IMAGE_PIXELS) + ")";
            o.max_pixels = number;
            break;
        case OptionId::quiet:
            o.quiet = true;
            break;
        case OptionId::help:
            parse->action = CliAction::help;
            break;
        case OptionId::version:
            parse->action = CliAction::version;
            break;
        case OptionId::filter:
            if ((choice = pick(value, {"box", "kaiser", "classic"})) < 0)
                return invalid + " (box, kaiser or classic)";
            o.filter.filter = static_cast<FilterKind>(choice);
            break;
        case OptionId::colour:
            if ((choice = pick(value, {"srgb", "linear"})) < 0) return invalid + " (srgb or linear)";
            o.filter.colour = static_cast<ColourSpace>(choice);
            seen->colour = true;
            break;
        case OptionId::edge:
            if ((choice = pick(value, {"clamp", "wrap", "mirror"})) < 0)
                return invalid + " (clamp, wrap or mirror)";
            o.filter.edge = static_cast<EdgeMode>(choice);
            seen->edge = true;
            break;
        case OptionId::normal:
            o.filter.normal_map = true;
            seen->normal = true;
            break;
        case OptionId::coverage: {
            char* end = nullptr;
            const double t = value.empty() ? 0 : std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' || !std::isfinite(t) || t <= 0 || t >= 1)
                return invalid + " (a number between 0 and 1, both excluded)";
            o.filter.coverage = t;
            seen->coverage = true;
            break;
        }
    }
    return "";
}

// Combinations that cannot run, and outputs that would collide.
std::string check_whole(CliOptions* o, const Seen& seen) {
    if (o->inputs.empty()) return "no texture given";
    const bool classic = o->filter.filter == FilterKind::classic;
    if (classic && (seen.colour || seen.edge || seen.normal || seen.coverage))
        return "--filter classic takes none of --colour, --edge, --normal, --coverage";
    if (o->format == OutputFormat::dds && o->filter.layout != AtlasLayout::mip)
        return "--format dds writes mip chains: it needs --layout mip";
    if (o->format == OutputFormat::dds && classic) return "--format dds does not take --filter classic";

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
    static const char* const EXTENSIONS[] = {"bmp", "png", "dds"};
    std::string name = make_output_name(input);
    name.replace(name.size() - 3, 3, EXTENSIONS[static_cast<int>(format)]);
    if (output_dir.empty()) return name;
    const size_t separator = name.find_last_of("/\\");
    if (separator != std::string::npos) name.erase(0, separator + 1);
    return output_dir + (output_dir.back() == '/' ? "" : "/") + name;
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
                if (!option->takes_value) return fail("option '--" + std::string(option->long_name) + "' takes no value");
                value = arg.substr(equals + 1);
            } else if (option->takes_value) {
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
                if (option->takes_value) {
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

std::string modern_help_text() {
    return "Usage: orvandel [options] TEXTURE...\n"
           "Writes the mip-map atlas of each texture (BMP, PCX, GIF, TGA, PNG, JPEG) as <name>_mip.<format>.\n"
           "\n"
           "  -l, --layout rip|mip      rip: every horizontal and vertical halving (default);\n"
           "                            mip: the ordinary strip of halvings\n"
           "  -f, --format bmp|png|dds  atlas container (default bmp); dds: a mip chain, with --layout mip\n"
           "      --png-level N         zlib level of PNG atlases, 0 (stored, default, fastest) to 9\n"
           "  -o, --output-dir DIR      write there instead of beside each input\n"
           "  -a, --alpha keep|drop     keep (default): sources with alpha give RGBA atlases\n"
           "  -j, --jobs N              textures processed at once (default: the number of cores)\n"
           "  -q, --quiet               print errors only\n"
           "      --max-pixels N        decline sources larger than N pixels (default 268435456)\n"
           "      --filter box|kaiser|classic   halving filter (default box); classic: the original atlas\n"
           "      --colour srgb|linear  filter colours in linear light (srgb, default) or as stored\n"
           "      --edge clamp|wrap|mirror      what the kaiser filter reads past an edge (default clamp)\n"
           "      --normal              the texture is a normal map\n"
           "      --coverage T          keep the share of alpha >= T (0 < T < 1) in every level\n"
           "  -h, --help                this text\n"
           "  -V, --version             the version\n"
           "\n"
           "'--' ends the options. Exit status: 0 all written; 1 usage error; otherwise that of the\n"
           "first texture that failed: 2 unreadable or declined, 3 out of memory, 4 write failure.\n"
           "With a texture as the first argument, the classic one-file run: orvandel TEXTURE [ord]\n";
}

std::string modern_version_text() { return "orvandel 2.0\n"; }

}  // namespace orvandel
