#include "formats/output_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

namespace orvandel {

void discard_output(OutputFile* out) {
    if (!out) return;
    if (out->fd >= 0) close(out->fd);
    if (!out->temp_path.empty()) unlink(out->temp_path.c_str());
    delete out;
}

OutputHandle open_output(const std::string& path) {
    // An existing file that may not be written stays as it is, as it would
    // when opened for writing in place.
    if (access(path.c_str(), F_OK) == 0 && access(path.c_str(), W_OK) != 0) return nullptr;
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string temp = path + ".tmp" + std::to_string(getpid()) + "-" + std::to_string(attempt);
        const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) return OutputHandle(new OutputFile{fd, path, temp});
        if (errno != EEXIST) return nullptr;
    }
    return nullptr;
}

bool write_output(OutputFile* out, const void* bytes, size_t count) {
    const char* p = static_cast<const char*>(bytes);
    while (count > 0) {
        const ssize_t n = write(out->fd, p, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

bool commit_output(OutputHandle out) {
    const int fd = out->fd;
    out->fd = -1;
    if (close(fd) != 0) return false;
    if (std::rename(out->temp_path.c_str(), out->path.c_str()) != 0) return false;
    out->temp_path.clear();
    return true;
}

}  // namespace orvandel
