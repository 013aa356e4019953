// Helpers shared by the test files: tiny files built byte by byte, scratch
// paths, images owned by the test, and runs of the real binary.
#ifndef ORVANDEL_TESTS_TEST_UTIL_H
#define ORVANDEL_TESTS_TEST_UTIL_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "encoders/compress.h"
#include "picture/atlas.h"
#include "picture/image.h"
#include "readers/load_image.h"

using namespace orvandel;

namespace test {

// A file's bytes, built in the order the format stores them.
struct Bytes {
    std::vector<uint8_t> data;
    Bytes& u8(unsigned v) { data.push_back(static_cast<uint8_t>(v)); return *this; }
    Bytes& le16(unsigned v) { u8(v & 0xFF); return u8((v >> 8) & 0xFF); }
    Bytes& le32(uint32_t v) { le16(v & 0xFFFF); return le16(v >> 16); }
    Bytes& raw(std::initializer_list<unsigned> bytes) { for (unsigned b : bytes) u8(b); return *this; }
    Bytes& append(const std::vector<uint8_t>& bytes) { data.insert(data.end(), bytes.begin(), bytes.end()); return *this; }
    Bytes& fill(size_t count, unsigned value) { data.insert(data.end(), count, static_cast<uint8_t>(value)); return *this; }
    Bytes& text(const std::string& s) { data.insert(data.end(), s.begin(), s.end()); return *this; }
};

using ImagePtr = orvandel::ImagePtr;
// Any loader: the dispatch or one format's.
using Loader = LoadResult (*)(const uint8_t*, size_t, const LoadOptions&);

// A fresh scratch directory for the running test; removed when the test ends.
std::string scratch_dir();
// scratch_dir() + "/" + name.
std::string scratch_path(const std::string& name);
// write(2) calls this process has made so far, or -1 where the system does not count them.
int64_t write_calls();

void write_file(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> read_file(const std::string& path);
bool file_exists(const std::string& path);

// The picture `loader` makes of the bytes (null when declined); the name is
// only for the reader of the test.
ImagePtr load_bytes(Loader loader, const std::vector<uint8_t>& bytes, const std::string& name = "input.bin");
// The whole result, reason and all.
LoadResult load_result(Loader loader, const std::vector<uint8_t>& bytes, const LoadOptions& options = LoadOptions());
// The picture `loader` makes of the file at `path`.
ImagePtr load_path(Loader loader, const std::string& path);

// An Image of the given size from row-major Pixels (for building expectations).
ImagePtr make_image(int32_t width, int32_t height, const std::vector<Pixel>& pixels);
std::vector<Pixel> pixels_of(const Image* image);

// The chain's levels as a GpuTexture in `format` (uncompressed by default),
// encoded on `threads` threads.
GpuTexture gpu_texture(const MipChain& chain, BlockFormat format = BlockFormat::none, bool srgb = false,
                       int threads = 1);

// CRC-32 of the picture as red, green, blue bytes per pixel, top row first.
uint32_t rgb_crc32(const Image* image);
// The same with a fourth byte per pixel: the top byte when the picture has
// alpha, else 255.
uint32_t rgba_crc32(const Image* image, bool alpha);

struct RunResult {
    int status;          // exit status, or -1 when the process did not exit normally
    std::string output;  // standard output
};
// Runs the tool with the given arguments, standard input from /dev/null;
// `prefix` goes before the command (an environment setting, a wrapper).
RunResult run_tool(const std::vector<std::string>& args, const std::string& prefix = "");

// True in builds with AddressSanitizer, where address-space limits cannot be set.
constexpr bool sanitized_build() {
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#else
    return false;
#endif
#else
    return false;
#endif
}

// The banner every run prints first.
std::string banner();

}  // namespace test

#endif
