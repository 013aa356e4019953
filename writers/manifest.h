// The manifest beside an atlas: a small UTF-8 JSON file saying where each
// block of the atlas lies and what made it, so a shader (or sampler/ripmap.h)
// can find the blocks. Written from a plain record, whole or not at all; the
// writer declines nothing but a failed write. Text is taken as the caller
// gives it (the command line hands over names already made printable) and
// escaped as JSON (RFC 8259) requires: quote, backslash and control bytes.
#ifndef ORVANDEL_WRITERS_MANIFEST_H
#define ORVANDEL_WRITERS_MANIFEST_H

#include <cstdint>
#include <string>
#include <vector>

#include "io/output_file.h"
#include "picture/atlas.h"

namespace orvandel {

// One entry of "options": a word, a whole or decimal number, or a flag.
struct ManifestOption {
    enum class Kind { word, number, flag };
    std::string key;
    Kind kind = Kind::word;
    std::string word;
    double number = 0;
    bool flag = false;
};
ManifestOption option_word(const std::string& key, const std::string& word);
ManifestOption option_number(const std::string& key, double number);
ManifestOption option_flag(const std::string& key, bool flag);

struct Manifest {
    std::string version;
    std::vector<ManifestOption> options;  // in the order written
    std::string source_file;
    int32_t source_width = 0, source_height = 0;
    std::string source_sha256;  // 64 lowercase hex digits
    std::string atlas_file;
    int32_t atlas_width = 0, atlas_height = 0;
    std::string layout;        // rip | mip
    std::string container;     // bmp | png | ...
    std::string pixel_format;  // rgb8 | rgba8 | ...
    std::string colour_space;  // srgb | linear
    bool alpha = false;
    int padding = 0, alignment = 1;
    std::string edge;  // clamp | wrap | mirror
    int levels_across = 0, levels_down = 0;
    std::vector<AtlasBlock> blocks;
};

// `text` as a JSON string, quotes included.
std::string json_string(const std::string& text);
// The manifest's text: 2-space indent, keys in the record's order, a block a line.
std::string manifest_json(const Manifest& manifest);
WriteResult write_manifest(const std::string& path, const Manifest& manifest);

}  // namespace orvandel

#endif
