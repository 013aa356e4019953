// Reads a regular file whole with read(2) into memory of our own. Mapping
// the file would spare one copy, but a mapped file that another program cuts
// short ends the reading process with SIGBUS; a copy only ever holds the
// bytes the file had. A file that shrinks while it is read is declined, as
// it was not the file the size promised. Large files may be read in pieces
// on several threads, with pread(2) at each piece's offset: the pages of the
// memory are then faulted in by every thread, not one.
#include "io/input_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include "picture/parallel.h"

namespace orvandel {

namespace {

// A descriptor closed on every path out of the function that opened it.
struct Descriptor {
    int fd;
    explicit Descriptor(int opened) : fd(opened) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd >= 0) close(fd);
    }
};

InputFile refused(InputError error, std::string reason) {
    InputFile file;
    file.error = error;
    file.reason = std::move(reason);
    return file;
}

// Fresh memory for a large file is mapped, aligned to huge pages and advised
// as such: then it costs little more to fill than a mapping of the file costs
// to set up (a 48 MiB file: 15 ms against 9, where ordinary pages took 55),
// and it leaves the process when released, before the atlas is built (from
// picture/memory's allocator, under the modern run's 64 MiB mmap threshold,
// it would come from the heap, cleared, and stay resident beside the atlas).
InputBytes allocate_input(size_t size) {
    constexpr size_t HUGE_PAGE = size_t(1) << 21;
    if (size < 8 * HUGE_PAGE) return InputBytes(static_cast<uint8_t*>(std::malloc(size ? size : 1)));
    const size_t length = (size + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    void* raw = mmap(nullptr, length + HUGE_PAGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    // Only the aligned stretch is kept.
    const uintptr_t start = (reinterpret_cast<uintptr_t>(raw) + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    const size_t head = start - reinterpret_cast<uintptr_t>(raw);
    if (head > 0) munmap(raw, head);
    munmap(reinterpret_cast<void*>(start + length), HUGE_PAGE - head);
#ifdef MADV_HUGEPAGE
    madvise(reinterpret_cast<void*>(start), length, MADV_HUGEPAGE);  // a hint only
#endif
    return InputBytes(reinterpret_cast<uint8_t*>(start), InputBytesDeleter{length});
}

// Pieces of whole huge pages, so that no two threads fault in one page; a
// few per thread, so that a slow piece does not hold the others up.
constexpr size_t PIECE_BYTES = size_t(8) << 20;

// Bytes [begin, end) of the file into the same offsets of `to`: none, or
// unreadable, or changed when the file ends first.
InputError read_piece(int fd, uint8_t* to, size_t begin, size_t end) {
    while (begin < end) {
        const ssize_t n = pread(fd, to + begin, end - begin, off_t(begin));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return InputError::unreadable;
        if (n == 0) return InputError::changed;
        begin += size_t(n);
    }
    return InputError::none;
}

}  // namespace

void InputBytesDeleter::operator()(uint8_t* p) const {
    if (mapped > 0)
        munmap(p, mapped);
    else
        std::free(p);
}

InputFile read_input_file(const std::string& path, int64_t max_bytes, int threads) {
    // The check is made again on what was opened, in case the path changed
    // in between (the open does not block on a FIFO either).
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return refused(InputError::unreadable, "cannot open the file");
    if (!S_ISREG(info.st_mode)) return refused(InputError::unreadable, "not a regular file");
    const Descriptor file(open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (file.fd < 0) return refused(InputError::unreadable, "cannot open the file");
    if (fstat(file.fd, &info) != 0) return refused(InputError::unreadable, "cannot open the file");
    if (!S_ISREG(info.st_mode)) return refused(InputError::unreadable, "not a regular file");
    if (info.st_size > max_bytes)
        return refused(InputError::too_large, "file larger than " + std::to_string(max_bytes >> 30) + " GiB");
    const size_t size = static_cast<size_t>(info.st_size);

    InputFile input;
    input.bytes = allocate_input(size);
    if (!input.bytes) return refused(InputError::no_memory, "no memory for the file");
    if (threads <= 1 || input.bytes.get_deleter().mapped == 0) {
        while (input.size < size) {
            const ssize_t n = read(file.fd, input.bytes.get() + input.size, size - input.size);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return refused(InputError::unreadable, "cannot read the file");
            if (n == 0) return refused(InputError::changed, "file changed while being read");
            input.size += static_cast<size_t>(n);
        }
        return input;
    }
    // Once a piece fails, the pieces not yet begun are skipped; the first
    // failure in the file's order is the one given, as a read from the start
    // would meet it.
    const size_t pieces = (size + PIECE_BYTES - 1) / PIECE_BYTES;
    std::vector<InputError> outcome(pieces, InputError::none);
    std::atomic<bool> failed{false};
    run_parallel(threads, int64_t(pieces), 1, [&](int64_t first, int64_t end) {
        for (int64_t k = first; k < end && !failed.load(); ++k) {
            const size_t begin = size_t(k) * PIECE_BYTES;
            const size_t stop = size_t(k) + 1 == pieces ? size : begin + PIECE_BYTES;
            outcome[size_t(k)] = read_piece(file.fd, input.bytes.get(), begin, stop);
            if (outcome[size_t(k)] != InputError::none) failed.store(true);
        }
    });
    for (const InputError error : outcome) {
        if (error == InputError::unreadable) return refused(error, "cannot read the file");
        if (error == InputError::changed) return refused(error, "file changed while being read");
    }
    input.size = size;
    return input;
}

}  // namespace orvandel
