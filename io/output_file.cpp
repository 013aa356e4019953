// Whole-or-nothing output files. An unnamed temporary file (O_TMPFILE) is
// given a short name beside the output only when complete and renamed over
// it at once; where the file system has no unnamed files, a short random name
// is used from the start. Either way the temporary name never grows with the
// output's name.
#include "io/output_file.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
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
// functions, so this fixed table is the one piece of process-wide state here.
// A slot holds the name's characters in the OutputFile that owns it, which
// keeps them unchanged while the slot is taken.
// Every step that makes, renames or removes a temporary name, and records
// that in the table, is a "name change": the handled signals are blocked on
// the thread making it (a handler there would wait for itself), and a handler
// on another thread waits until no change is under way. Once a handler has
// begun, no change starts any more, so the table it reads is complete and
// stays so: no name is ever left behind, however many threads write at once.
constexpr int SIGNAL_SLOTS = 4096;  // far more than threads ever write at once
std::atomic<const char*> pending_names[SIGNAL_SLOTS];
std::atomic<int> changes_under_way{0};
std::atomic<bool> ending{false};
static_assert(ATOMIC_POINTER_LOCK_FREE == 2 && ATOMIC_INT_LOCK_FREE == 2 && ATOMIC_BOOL_LOCK_FREE == 2,
              "the signal handler needs lock-free atomics");
const int HANDLED_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

void remove_pending_names(int signal_number) {
    ending.store(true);
    while (changes_under_way.load() != 0) poll(nullptr, 0, 1);
    for (std::atomic<const char*>& slot : pending_names)
        if (const char* name = slot.load()) unlink(name);
    // The default action then ends the process as the signal would have.
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal_number, &action, nullptr);
    raise(signal_number);
}

sigset_t handled_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal_number : HANDLED_SIGNALS) sigaddset(&set, signal_number);
    return set;
}

// Only signals whose action is still the default are taken over: one the
// program ignores, or handles itself, stays as it is.
bool install_handlers() {
    for (int signal_number : HANDLED_SIGNALS) {
        struct sigaction current;
        if (sigaction(signal_number, nullptr, &current) != 0 || current.sa_handler != SIG_DFL) continue;
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_handler = remove_pending_names;
        action.sa_mask = handled_signals();
        sigaction(signal_number, &action, nullptr);
    }
    return true;
}

struct NameChange {
    sigset_t saved_mask;
};

NameChange begin_name_change() {
    // Installed once, before the first name exists; a thread arriving
    // meanwhile waits for it.
    static const bool installed = install_handlers();
    (void)installed;
    NameChange change;
    const sigset_t handled = handled_signals();
    pthread_sigmask(SIG_BLOCK, &handled, &change.saved_mask);
    changes_under_way.fetch_add(1);
    if (ending.load()) {
        // A handler is removing the names and the process ends in a moment:
        // this thread makes no new one.
        changes_under_way.fetch_sub(1);
        for (;;) pause();
    }
    return change;
}

void end_name_change(const NameChange& change) {
    changes_under_way.fetch_sub(1);
    pthread_sigmask(SIG_SETMASK, &change.saved_mask, nullptr);
}

// A slot holding `name` (during a name change), or -1 when every one is taken.
int remember_name(const char* name) {
    for (int i = 0; i < SIGNAL_SLOTS; ++i) {
        const char* expected = nullptr;
        if (pending_names[i].compare_exchange_strong(expected, name)) return i;
    }
    return -1;
}

void forget_name(int slot) {
    if (slot >= 0) pending_names[slot].store(nullptr);
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

// An existing file that may not be written stays as it is, as it would when
// opened for writing in place.
bool may_replace(const std::string& path) {
    return access(path.c_str(), F_OK) != 0 || access(path.c_str(), W_OK) == 0;
}

// Makes a fresh short name beside the output with `make` (which creates the
// file under the name given, or fails with errno), recorded for the signal
// handlers from the moment it exists; 0, or the errno, with nothing made.
template <typename Make>
int make_temp_name(OutputFile* out, Make make) {
    const std::string dir = directory_of(out->path);
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        out->temp_path = short_temp_name(dir, attempt);
        const NameChange change = begin_name_change();
        const int slot = remember_name(out->temp_path.c_str());
        const bool made = slot >= 0 && make(out->temp_path.c_str());
        const int error = slot < 0 ? EMFILE : errno;
        if (made) out->signal_slot = slot;
        if (!made) forget_name(slot);
        end_name_change(change);
        if (made) return 0;
        out->temp_path.clear();
        if (error != EEXIST) return error;
    }
    return EEXIST;
}

OutputHandle named_output(const std::string& path, int* error) {
    OutputFile* file = new (std::nothrow) OutputFile{-1, std::string(), std::string(), -1};
    if (!file) {
        *error = ENOMEM;
        return nullptr;
    }
    // From here the handle removes the file on every path out.
    OutputHandle out(file);
    out->path = path;
    *error = make_temp_name(out.get(), [&out](const char* name) {
        out->fd = open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        return out->fd >= 0;
    });
    return *error == 0 ? std::move(out) : nullptr;
}

// Gives the unnamed file a short name beside the output; 0, or the errno.
int link_unnamed(OutputFile* out) {
    const std::string via_proc = "/proc/self/fd/" + std::to_string(out->fd);
    return make_temp_name(out, [out, &via_proc](const char* name) {
        // AT_EMPTY_PATH needs a privilege; the /proc link works for everyone.
        if (linkat(out->fd, "", AT_FDCWD, name, AT_EMPTY_PATH) == 0) return true;
        return errno != EEXIST && linkat(AT_FDCWD, via_proc.c_str(), AT_FDCWD, name, AT_SYMLINK_FOLLOW) == 0;
    });
}

// A replaced file's permission bits go to its successor, as an editor keeps
// them; a new file has the bits the umask leaves, as any new file.
void keep_permission_bits(const OutputFile* out) {
    struct stat existing;
    if (stat(out->path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode))
        fchmod(out->fd, existing.st_mode & 0777);  // where it cannot be, the file is written all the same
}

}  // namespace

void discard_output(OutputFile* out) {
    if (!out) return;
    if (out->fd >= 0) close(out->fd);
    if (!out->temp_path.empty()) {
        const NameChange change = begin_name_change();
        unlink(out->temp_path.c_str());
        forget_name(out->signal_slot);
        end_name_change(change);
    }
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

void reserve_output(const OutputFile* out, int64_t bytes) {
    if (bytes > 0) (void)fallocate(out->fd, FALLOC_FL_KEEP_SIZE, 0, off_t(bytes));
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
    keep_permission_bits(out.get());
    const int fd = out->fd;
    out->fd = -1;
    if (close(fd) != 0) return system_failure(errno);
    // rename replaces the target in one step: readers see the old file or the new.
    const NameChange change = begin_name_change();
    const bool renamed = std::rename(out->temp_path.c_str(), out->path.c_str()) == 0;
    const int error = errno;
    if (renamed) forget_name(out->signal_slot);
    end_name_change(change);
    if (!renamed) return system_failure(error);
    out->signal_slot = -1;
    out->temp_path.clear();
    return WriteResult();
}

}  // namespace orvandel
