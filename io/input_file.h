// Whole input files taken into memory of the program's own, once: what
// another program does to the file afterwards (cutting it short, rewriting
// it) cannot reach the bytes being decoded.
#ifndef ORVANDEL_IO_INPUT_FILE_H
#define ORVANDEL_IO_INPUT_FILE_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace orvandel {

// Small files' bytes come from malloc; large ones are mapped memory of
// `mapped` bytes, given back to the system the moment they are released.
struct InputBytesDeleter {
    size_t mapped = 0;
    void operator()(uint8_t* p) const;
};
using InputBytes = std::unique_ptr<uint8_t, InputBytesDeleter>;

enum class InputError {
    none,
    unreadable,  // missing, not a regular file, or a read failed
    too_large,   // above the limit given
    no_memory,   // no memory for the bytes
    changed,     // the file shrank while it was read
};

struct InputFile {
    InputBytes bytes;  // never null when error is none, even for an empty file
    size_t size = 0;
    InputError error = InputError::none;
    std::string reason;  // for a person, when error is not none
};

// The bytes of the regular file at `path`. FIFOs, devices and directories are
// refused without being opened (opening a FIFO would wait for a writer, and
// opening some devices has effects of its own); so is a file above
// `max_bytes`. A large file is read in pieces by up to `threads` threads,
// each filling (and so faulting in) its own part of the memory; the bytes,
// and every decline with its reason, are those of a read on one thread.
InputFile read_input_file(const std::string& path, int64_t max_bytes, int threads = 1);

}  // namespace orvandel

#endif
