// The modern run: every texture of the command line taken from file to file
// (load, atlas, write) on a pool of threads, one line per texture.
#ifndef ORVANDEL_CLI_BATCH_H
#define ORVANDEL_CLI_BATCH_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "cli/options.h"
#include "readers/load_image.h"

namespace orvandel {

struct TextureResult {
    int status = 0;      // an exit status of cli/common.h
    std::string reason;  // why it failed, for a person; empty when written
    int32_t source_width = 0, source_height = 0;
    int32_t atlas_width = 0, atlas_height = 0;  // DDS: the largest level
    int levels = 0;                             // DDS: levels in the chain
    bool alpha = false;                         // written with alpha
    double seconds = 0;
};

// One texture to its output. `build_threads` go to the builder, for a single
// large texture; warnings of the decoder go to `warnings`.
TextureResult process_texture(const std::string& input, const std::string& output, const CliOptions& options,
                              int build_threads, const WarningSink& warnings);

// The cores this process may run on (its affinity mask), at least 1.
int available_cores();
// The threads each texture's build gets when `jobs` are shared by `workers`
// textures at once: the spare jobs, never more than `cores`, at least 1.
int build_thread_count(int jobs, size_t workers, int cores);

// Every input of `options`, options.jobs at a time; lines for the written
// ones go to `out_fd`, reasons to `err_fd`. Returns the status of the first
// input in command-line order that failed, or 0.
int run_batch(const CliOptions& options, int out_fd, int err_fd);

// The whole modern run from the program's arguments: help, version, usage
// errors (status 1, nothing runs) or the batch.
int run_modern(int argc, char** argv);

}  // namespace orvandel

#endif
