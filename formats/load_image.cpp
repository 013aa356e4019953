// Picks the format from the first three bytes, never from the file name, and
// hands the path to that format's loaders. BMP and PCX have two loaders each;
// the second is tried when the first declines, and a BMP both decline goes to
// the reader of every BMP variant. PNG, JPEG and the BMP variants are read
// from memory. A file that matches a signature is never tried as another format.
#include "formats/load_image.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "formats/bmp.h"
#include "formats/bmp_variants.h"
#include "formats/gif.h"
#include "formats/jpeg.h"
#include "formats/pcx.h"
#include "formats/png.h"
#include "formats/tga.h"

namespace orvandel {

ImageFormat classify_format(int b0, int b1, int b2) {
    if (b0 == 0x42 && b1 == 0x4D) return FORMAT_BMP;
    if (b0 == 0x0A && (b1 == 0 || b1 == 2 || b1 == 3 || b1 == 5)) return FORMAT_PCX;
    if (b0 == 0x47 && b1 == 0x49 && b2 == 0x46) return FORMAT_GIF;
    // Before TGA, which matches on the third byte alone.
    if (b0 == 0x89 && b1 == 'P' && b2 == 'N') return FORMAT_PNG;
    if (b0 == 0xFF && b1 == 0xD8 && b2 == 0xFF) return FORMAT_JPEG;
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

// PNG, JPEG and the BMP variants the classic readers decline: these readers
// take the file's bytes from memory.
namespace {

LoadResult load_newer_format(ImageFormat format, const uint8_t* bytes, size_t size, const LoadOptions& options) {
    switch (format) {
        case FORMAT_PNG:
            return load_png(bytes, size, options);
        case FORMAT_JPEG:
            return load_jpeg(bytes, size, options);
        case FORMAT_BMP:
            return load_bmp_variant(bytes, size, options);
        default:
            return decline(LoadError::unrecognised, "not a BMP, PCX, GIF, TGA, PNG or JPEG file");
    }
}

Image* load_newer_format_file(ImageFormat format, const char* path) {
    FileHandle file = open_file(path, "rb");
    const int64_t size = file ? bytes_remaining(file.get()) : -1;
    if (size < 0) return nullptr;
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    if (std::fread(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) return nullptr;
    return load_newer_format(format, bytes.data(), bytes.size(), LoadOptions()).image.release();
}

}  // namespace

Image* load_image(const char* path) {
    // Only regular files: opening a FIFO would wait for a writer forever, and
    // a device or directory is no texture.
    struct stat info;
    if (stat(path, &info) != 0 || !S_ISREG(info.st_mode)) return nullptr;
    const ImageFormat format = detect_format(path);
    switch (format) {
        case FORMAT_BMP: {
            Image* image = load_bmp24(path);
            if (!image) image = load_bmp8(path);
            return image ? image : load_newer_format_file(FORMAT_BMP, path);
        }
        case FORMAT_PCX: {
            Image* image = load_pcx24(path);
            return image ? image : load_pcx8(path);
        }
        case FORMAT_GIF:
            return load_gif(path);
        case FORMAT_TGA:
            return load_tga(path);
        case FORMAT_PNG:
        case FORMAT_JPEG:
            return load_newer_format_file(format, path);
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
    const ImageFormat format = classify_format(size > 0 ? bytes[0] : -1, size > 1 ? bytes[1] : -1,
                                               size > 2 ? bytes[2] : -1);
    if (format == FORMAT_PNG || format == FORMAT_JPEG) return load_newer_format(format, bytes, size, options);
    const int fd = memfd_create("orvandel-input", MFD_CLOEXEC);
    if (fd < 0) return decline(LoadError::no_memory, "no memory for the file");
    const bool written = size == 0 || write(fd, bytes, size) == static_cast<ssize_t>(size);
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    LoadResult result;
    if (written && format == FORMAT_BMP) {
        // The classic readers first, then the variants with their reasons and alpha.
        Image* image = load_bmp24(path.c_str());
        if (!image) image = load_bmp8(path.c_str());
        result.image.reset(image);
        if (!image) result = load_newer_format(format, bytes, size, options);
    } else {
        result = written ? load_image_file(path, options) : decline(LoadError::no_memory, "no memory for the file");
    }
    close(fd);
    return result;
}

}  // namespace orvandel
