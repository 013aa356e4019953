// Picks the format from the first three bytes, never from the file name, and
// hands the path to that format's loaders. BMP and PCX have two loaders each;
// the second is tried when the first declines. A file that matches a signature
// is never tried as another format.
#include "formats/load_image.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "formats/bmp.h"
#include "formats/gif.h"
#include "formats/pcx.h"
#include "formats/tga.h"

namespace orvandel {

ImageFormat classify_format(int b0, int b1, int b2) {
    if (b0 == 0x42 && b1 == 0x4D) return FORMAT_BMP;
    if (b0 == 0x0A && (b1 == 0 || b1 == 2 || b1 == 3 || b1 == 5)) return FORMAT_PCX;
    if (b0 == 0x47 && b1 == 0x49 && b2 == 0x46) return FORMAT_GIF;
    switch (b2) {
        case 1: case 2: case 3: case 9: case 10: case 11:
            return FORMAT_TGA;
        default:
            return FORMAT_UNKNOWN;
    }
}

ImageFormat detect_format(const char* path) {
    // Text mode, as the format was always sniffed; on this platform it is the raw bytes.
    FileHandle file = open_file(path, "r");
    if (!file) return FORMAT_UNKNOWN;
    unsigned char bytes[3];
    const size_t got = std::fread(bytes, 1, sizeof bytes, file.get());
    int b[3] = {-1, -1, -1};
    for (size_t i = 0; i < got; ++i) b[i] = bytes[i];
    return classify_format(b[0], b[1], b[2]);
}

Image* load_image(const char* path) {
    // Only regular files: opening a FIFO would wait for a writer forever, and
    // a device or directory is no texture.
    struct stat info;
    if (stat(path, &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;
    switch (detect_format(path)) {
        case FORMAT_BMP: {
            Image* image = load_bmp24(path);
            return image ? image : load_bmp8(path);
        }
        case FORMAT_PCX: {
            Image* image = load_pcx24(path);
            return image ? image : load_pcx8(path);
        }
        case FORMAT_GIF:
            return load_gif(path);
        case FORMAT_TGA:
            return load_tga(path);
        default:
            return nullptr;
    }
}

LoadResult decline(LoadError error, std::string reason) {
    LoadResult result;
    result.error = error;
    result.reason = std::move(reason);
    return result;
}

// Interim: the classic loaders still read by path.
LoadResult load_image_file(const std::string& path, const LoadOptions&) {
    Image* image = load_image(path.c_str());
    if (!image) return decline(LoadError::unrecognised, "not a BMP, PCX, GIF or TGA file");
    LoadResult result;
    result.image.reset(image);
    return result;
}

LoadResult load_image_from_memory(const uint8_t* bytes, size_t size, const LoadOptions& options) {
    const int fd = memfd_create("orvandel-input", MFD_CLOEXEC);
    if (fd < 0) return decline(LoadError::no_memory, "no memory for the file");
    const bool written = size == 0 || write(fd, bytes, size) == static_cast<ssize_t>(size);
    LoadResult result = written ? load_image_file("/proc/self/fd/" + std::to_string(fd), options)
                                : decline(LoadError::no_memory, "no memory for the file");
    close(fd);
    return result;
}

}  // namespace orvandel
