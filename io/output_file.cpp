// Whole-or-nothing output files. An unnamed temporary file (O_TMPFILE) is
// given a short name beside the output only when complete and renamed over
// it at once; where the file system has no unnamed files, a short random name
// is used from the start. Either way the temporary name never grows with the
// output's name.
#include "io/output_file.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

namespace orvandel {

namespace {

// The temporary names that exist right now, for the signal handlers to
// remove. A handler may only touch static storage and call async-signal-safe
// functions, so this fixed table is the one piece of process-wide state here:
// a slot is claimed, its name written, and only then marked in use.
constexpr int SIGNAL_SLOTS = 16;
constexpr size_t SLOT_NAME_BYTES = 4096;
struct PendingName {
    std::atomic<int> state;  // 0 free, 1 being written, 2 in use
    char name[SLOT_NAME_BYTES];
};
PendingName pending_names[SIGNAL_SLOTS];
const int HANDLED_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
std::atomic<bool> handlers_installed{false};

void remove_pending_names(int signal_number) {
    for (PendingName& slot : pending_names)
        if (slot.state.load() == 2) unlink(slot.name);
    // The default action then ends the process as the signal would have.
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
    raise(signal_number);
}

// Only signals whose action is still the default are taken over: one the
// program ignores, or handles itself, stays as it is.
void install_handlers() {
    if (handlers_installed.exchange(true)) return;
    for (int signal_number : HANDLED_SIGNALS) {
        struct sigaction current;
        if (sigaction(signal_number, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) continue;
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = remove_pending_names;
        sigemptyset(&action.sa_mask);
        for (int other : HANDLED_SIGNALS) sigaddset(&action.sa_mask, other);
        sigaction(signal_number, &action, nullptr);
    }
}

// A slot holding `name`, or -1 when every slot is taken or the name is too
// long (the file is then left to the normal clean-up only).
int remember_name(const std::string& name) {
    if (name.size() >= SLOT_NAME_BYTES) return -1;
    install_handlers();
    for (int i = 0; i < SIGNAL_SLOTS; ++i) {
        int expected = 0;
        if (!pending_names[i].state.compare_exchange_strong(expected, 1)) continue;
        std::memcpy(pending_names[i].name, name.c_str(), name.size() + 1);
        pending_names[i].state.store(2);
        return i;
    }
    return -1;
}

void forget_name(int slot) {
    if (slot >= 0) pending_names[slot].state.store(0);
}

std::string directory_of(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A short name in `dir` not likely to be taken: ".orv" and 8 random letters.
std::string short_temp_name(const std::string& dir, unsigned attempt) {
    static const char LETTERS[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t bits = uint64_t(now.tv_nsec) * 0x9E3779B97F4A7C15ull ^ uint64_t(getpid()) << 20 ^ attempt;
    std::string name = dir + "/.orv";
    for (int i = 0; i < 8; ++i, bits /= 36) name += LETTERS[bits % 36];
    return name;
}

// Creates a file of its own under a fresh short name; -1 on failure.
int create_named(const std::string& dir, std::string* name) {
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        *name = short_temp_name(dir, attempt);
        const int fd = open(name->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// An existing file that may not be written stays as it is, as it would when
// opened for writing in place.
bool may_replace(const std::string& path) {
    return access(path.c_str(), F_OK) != 0 || access(path.c_str(), W_OK) == 0;
}

OutputHandle named_output(const std::string& path, int* error) {
    std::string temp;
    const int fd = create_named(directory_of(path), &temp);
    if (fd < 0) {
        *error = errno;
        return nullptr;
    }
    OutputFile* file = new (std::nothrow) OutputFile{fd, std::string(), std::string(), -1};
    if (!file) {
        close(fd);
        unlink(temp.c_str());
        *error = ENOMEM;
        return nullptr;
    }
    // From here the handle removes the file on every path out.
    OutputHandle out(file);
    out->temp_path = std::move(temp);  // a move: it cannot fail
    out->signal_slot = remember_name(out->temp_path);
    out->path = path;
    return out;
}

// Gives the unnamed file a short name beside the output; 0, or the errno.
int link_unnamed(OutputFile* out) {
    const std::string dir = directory_of(out->path);
    const std::string via_proc = "/proc/self/fd/" + std::to_string(out->fd);
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::string name = short_temp_name(dir, attempt);
        // Registered first, so a signal between link and rename removes it too.
        const int slot = remember_name(name);
        // AT_EMPTY_PATH needs a privilege; the /proc link works for everyone.
        int linked = linkat(out->fd, "", AT_FDCWD, name.c_str(), AT_EMPTY_PATH);
        if (linked != 0 && errno != EEXIST)
            linked = linkat(AT_FDCWD, via_proc.c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW);
        if (linked == 0) {
            out->temp_path = name;
            out->signal_slot = slot;
            return 0;
        }
        const int error = errno;
        forget_name(slot);
        if (error != EEXIST) return error;
    }
    return EEXIST;
}

}  // namespace

void discard_output(OutputFile* out) {
    if (!out) return;
    if (out->fd >= 0) close(out->fd);
    if (!out->temp_path.empty()) unlink(out->temp_path.c_str());
    forget_name(out->signal_slot);
    delete out;
}

std::string write_failure_text(const WriteResult& result) {
    if (result.problem) return result.problem;
    if (result.error == 0) return std::string();
    char buffer[256];
    // The GNU strerror_r: thread-safe, and the text may be its own static one.
    return strerror_r(result.error, buffer, sizeof buffer);
}

OutputHandle open_output(const std::string& path, int* error) {
    if (!may_replace(path)) {
        *error = errno;
        return nullptr;
    }
#ifdef O_TMPFILE
    const int fd = open(directory_of(path).c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd >= 0) {
        OutputFile* file = new (std::nothrow) OutputFile{fd, std::string(), std::string(), -1};
        if (!file) {
            close(fd);
            *error = ENOMEM;
            return nullptr;
        }
        OutputHandle out(file);
        out->path = path;
        return out;
    }
    // Only a file system (or kernel) without unnamed files goes on to a named
    // one; a missing or unwritable directory fails here as it would there.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        *error = errno;
        return nullptr;
    }
#endif
    return named_output(path, error);
}

OutputHandle open_output_named(const std::string& path, int* error) {
    if (!may_replace(path)) {
        *error = errno;
        return nullptr;
    }
    return named_output(path, error);
}

WriteResult write_output(OutputFile* out, const void* bytes, size_t count) {
    const char* p = static_cast<const char*>(bytes);
    while (count > 0) {
        const ssize_t n = write(out->fd, p, count);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return system_failure(errno);
        // A regular file takes at least a byte or says why not; nothing at
        // all would loop for ever.
        if (n == 0) return system_failure(EIO);
        p += n;
        count -= static_cast<size_t>(n);
    }
    return WriteResult();
}

WriteResult commit_output(OutputHandle out) {
    if (out->temp_path.empty()) {
        const int error = link_unnamed(out.get());
        if (error != 0) return system_failure(error);
    }
    const int fd = out->fd;
    out->fd = -1;
    if (close(fd) != 0) return system_failure(errno);
    // rename replaces the target in one step: readers see the old file or the new.
    if (std::rename(out->temp_path.c_str(), out->path.c_str()) != 0) return system_failure(errno);
    out->temp_path.clear();
    return WriteResult();
}

}  // namespace orvandel
