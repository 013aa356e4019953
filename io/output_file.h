// Files written whole or not at all: the bytes go to a temporary file in the
// output's directory, which takes the output's name only once complete, so a
// failed or interrupted write never leaves a half file and never loses an
// earlier one.
// The temporary file has no name at all where the file system can make one
// so (O_TMPFILE), until the moment before it is renamed: then even a killed
// process leaves nothing behind, but for that moment. Elsewhere it gets a
// short name of its own, never derived from the output's name (which may
// already be as long as a name can be). Whichever it is, SIGINT, SIGTERM,
// SIGHUP and SIGPIPE remove every temporary name before the process ends,
// however many threads are writing.
// A file replaced keeps its permission bits; a new one has the umask's.
#ifndef ORVANDEL_IO_OUTPUT_FILE_H
#define ORVANDEL_IO_OUTPUT_FILE_H

#include <cstddef>
#include <cstdint>
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

// How writing a file ended. A failed system call leaves its errno, which
// names the cause the way the system does ("No space left on device");
// failures no system call reports (a picture the format cannot hold, an
// encoder's own error) leave a reason instead.
struct WriteResult {
    int error = 0;                  // errno of the failed call, 0 when none failed
    const char* problem = nullptr;  // otherwise why, when the file was not written
    explicit operator bool() const { return error == 0 && problem == nullptr; }
};
inline WriteResult system_failure(int error) { return WriteResult{error, nullptr}; }
inline WriteResult write_problem(const char* problem) { return WriteResult{0, problem}; }
// The failure as a user reads it: the system's text for the errno, or the reason.
std::string write_failure_text(const WriteResult& result);

// A new output for `path`, or null when it cannot be created (and then
// nothing at `path` has changed, and *error holds the errno).
OutputHandle open_output(const std::string& path, int* error);
// The same, always through a named temporary file: what open_output does
// where the file system has no unnamed ones (open to tests everywhere).
OutputHandle open_output_named(const std::string& path, int* error);
// Asks the file system for the space of the file's first `bytes` bytes now,
// without changing its size or contents, so that writing them later costs
// a copy only (on tmpfs, the pages are taken and cleared here). A hint, for
// a thread of its own while the bytes are still being made: nothing happens
// where the file system cannot, and a write that follows fails as it would.
void reserve_output(const OutputFile* out, int64_t bytes);
// Appends bytes: the first failed write's errno, if any.
WriteResult write_output(OutputFile* out, const void* bytes, size_t count);
// Puts the complete file in place of `path`; on failure nothing at `path`
// has changed. The handle is consumed either way.
WriteResult commit_output(OutputHandle out);

}  // namespace orvandel

#endif
