// Manifests as JSON text made here: every value is a string, a whole number,
// a decimal number, or true/false, so a few lines of formatting cover it.
#include "writers/manifest.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace orvandel {

namespace {

std::string number_text(double value) {
    if (!std::isfinite(value)) return "0";  // JSON has no infinities; no option is one
    char text[32];
    // The shortest of up to 17 digits that reads back as the same double.
    for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, value);
        if (std::strtod(text, nullptr) == value) break;
    }
    return text;
}

std::string option_text(const ManifestOption& option) {
    switch (option.kind) {
        case ManifestOption::Kind::word: return json_string(option.word);
        case ManifestOption::Kind::number: return number_text(option.number);
        case ManifestOption::Kind::flag: return option.flag ? "true" : "false";
    }
    return "null";
}

std::string key(const char* name) { return std::string("\"") + name + "\": "; }
std::string pair(const char* name, const std::string& value) { return key(name) + json_string(value); }
std::string pair(const char* name, int64_t value) { return key(name) + std::to_string(value); }
std::string pair(const char* name, bool value) { return key(name) + (value ? "true" : "false"); }

// The members of one object on one line.
std::string inline_object(const std::vector<std::string>& members) {
    std::string text = "{";
    for (size_t k = 0; k < members.size(); ++k) text += (k ? ", " : "") + members[k];
    return text + "}";
}

}  // namespace

ManifestOption option_word(const std::string& key, const std::string& word) {
    ManifestOption option;
    option.key = key;
    option.word = word;
    return option;
}

ManifestOption option_number(const std::string& key, double number) {
    ManifestOption option;
    option.key = key;
    option.kind = ManifestOption::Kind::number;
    option.number = number;
    return option;
}

ManifestOption option_flag(const std::string& key, bool flag) {
    ManifestOption option;
    option.key = key;
    option.kind = ManifestOption::Kind::flag;
    option.flag = flag;
    return option;
}

std::string json_string(const std::string& text) {
    static const char HEX[] = "0123456789abcdef";
    std::string out = "\"";
    for (char c : text) {
        const unsigned char byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                if (byte < 0x20) {
                    out += "\\u00";
                    out += HEX[byte >> 4];
                    out += HEX[byte & 15];
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

std::string manifest_json(const Manifest& m) {
    std::vector<std::string> options;
    for (const ManifestOption& option : m.options) options.push_back(json_string(option.key) + ": " + option_text(option));
    std::string text = "{\n";
    text += "  " + pair("tool", std::string("orvandel")) + ",\n";
    text += "  " + pair("version", m.version) + ",\n";
    text += "  " + key("options") + inline_object(options) + ",\n";
    text += "  " + key("source") +
            inline_object({pair("file", m.source_file), pair("width", int64_t(m.source_width)),
                           pair("height", int64_t(m.source_height)), pair("sha256", m.source_sha256)}) +
            ",\n";
    text += "  " + key("atlas") +
            inline_object({pair("file", m.atlas_file), pair("width", int64_t(m.atlas_width)),
                           pair("height", int64_t(m.atlas_height)), pair("layout", m.layout),
                           pair("container", m.container), pair("pixel_format", m.pixel_format),
                           pair("colour_space", m.colour_space), pair("alpha", m.alpha),
                           pair("padding", int64_t(m.padding)), pair("alignment", int64_t(m.alignment)),
                           pair("edge", m.edge), pair("levels_across", int64_t(m.levels_across)),
                           pair("levels_down", int64_t(m.levels_down))}) +
            ",\n";
    text += "  " + key("blocks") + "[";
    for (size_t k = 0; k < m.blocks.size(); ++k) {
        const AtlasBlock& b = m.blocks[k];
        text += (k ? ",\n    " : "\n    ") +
                inline_object({pair("across", int64_t(b.across)), pair("down", int64_t(b.down)), pair("x", int64_t(b.x)),
                               pair("y", int64_t(b.y)), pair("width", int64_t(b.width)),
                               pair("height", int64_t(b.height))});
    }
    text += m.blocks.empty() ? "]\n" : "\n  ]\n";
    return text + "}\n";
}

WriteResult write_manifest(const std::string& path, const Manifest& manifest) {
    const std::string text = manifest_json(manifest);
    int error = 0;
    OutputHandle out = open_output(path, &error);
    if (!out) return system_failure(error);
    const WriteResult written = write_output(out.get(), text.data(), text.size());
    if (!written) return written;
    return commit_output(std::move(out));
}

}  // namespace orvandel
