// Files written whole or not at all: the bytes go to a temporary file in the
// output's directory, which takes the output's name only once complete, so a
// failed or interrupted write never leaves a half file and never loses an
// earlier one.
// The temporary file has no name at all where the file system can make one
// so (O_TMPFILE): then even a killed process leaves nothing behind. Elsewhere
// it gets a short name of its own, never derived from the output's name (which
// may already be as long as a name can be), and SIGINT, SIGTERM, SIGHUP and
// SIGPIPE remove it before the process ends.
#ifndef ORVANDEL_IO_OUTPUT_FILE_H
#define ORVANDEL_IO_OUTPUT_FILE_H

#include <cstddef>
#include <memory>
#include <string>

namespace orvandel {

struct OutputFile {
    int fd;
    std::string path;       // where the file goes once complete
    std::string temp_path;  // the temporary file's name; empty while it has none
    int signal_slot;        // its place among the names the signal handlers remove, or -1
};

// Discards an output that was not committed: its temporary file goes.
void discard_output(OutputFile* out);
struct OutputFileDiscarder {
    void operator()(OutputFile* out) const { discard_output(out); }
};
using OutputHandle = std::unique_ptr<OutputFile, OutputFileDiscarder>;

// A new output for `path`, or null when it cannot be created (and then
// nothing at `path` has changed).
OutputHandle open_output(const std::string& path);
// The same, always through a named temporary file: what open_output does
// where the file system has no unnamed ones (open to tests everywhere).
OutputHandle open_output_named(const std::string& path);
// Appends bytes: false on any failure.
bool write_output(OutputFile* out, const void* bytes, size_t count);
// Puts the complete file in place of `path`; false when that fails, and then
// nothing at `path` has changed. The handle is consumed either way.
bool commit_output(OutputHandle out);

}  // namespace orvandel

#endif
