// A file is known by its identity, not its spelling: an existing one by its
// device and inode; one that does not exist yet by its directory's device
// and inode and its own name, which is what the rename that puts it there
// will replace; where even the directory does not exist yet (an output
// directory made by the run), by its absolute, normalised path.
#include "cli/collisions.h"

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <tuple>

namespace orvandel {

namespace {

using Identity = std::tuple<uint64_t, uint64_t, std::string>;

Identity identity_of(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) == 0) return {info.st_dev, info.st_ino, ""};
    const std::filesystem::path name(path);
    const std::string dir = name.has_parent_path() ? name.parent_path().string() : ".";
    if (stat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        return {info.st_dev, info.st_ino, name.filename().string()};
    std::error_code ignored;
    return {0, 0, std::filesystem::absolute(name, ignored).lexically_normal().string()};
}

std::string quoted(const std::string& path) { return "'" + printable(path) + "'"; }

}  // namespace

Collision find_collision(const CliOptions& options) {
    std::map<Identity, size_t> writer_of;
    for (size_t i = 0; i < options.outputs.size(); ++i) {
        const auto placed = writer_of.emplace(identity_of(options.outputs[i]), i);
        if (placed.second) continue;
        const size_t first = placed.first->second;
        std::string message = quoted(options.inputs[first]) + " and " + quoted(options.inputs[i]) +
                              " would both write " + quoted(options.outputs[first]);
        if (options.outputs[i] != options.outputs[first]) message += " (as " + quoted(options.outputs[i]) + ")";
        return {message, "hint: give one of them another name, or run them with different --output-dir"};
    }
    for (size_t i = 0; i < options.inputs.size(); ++i) {
        const auto writer = writer_of.find(identity_of(options.inputs[i]));
        if (writer == writer_of.end()) continue;
        // Outputs end in "_mip." and their format's extension.
        const std::string& atlas = options.outputs[writer->second];
        const std::string extension = atlas.substr(atlas.rfind('.'));
        return {quoted(options.inputs[i]) + " is the atlas " + quoted(options.inputs[writer->second]) +
                    " writes: it cannot be read in the same run",
                "hint: leave earlier atlases out of a wildcard, e.g. in bash after 'shopt -s extglob': "
                "orvandel [options] -- !(*_mip)" + extension};
    }
    return {};
}

}  // namespace orvandel
