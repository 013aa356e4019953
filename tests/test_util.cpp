#include "test_util.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace test {

namespace {

// Removes each test's scratch directory when the test ends.
struct ScratchCleaner : public ::testing::EmptyTestEventListener {
    void OnTestEnd(const ::testing::TestInfo&) override;
};
std::string current_dir;

void ScratchCleaner::OnTestEnd(const ::testing::TestInfo&) {
    if (!current_dir.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(current_dir, ignored);
        current_dir.clear();
    }
}

const bool listener_installed = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new ScratchCleaner);
    return true;
}();

std::string shell_quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

}  // namespace

std::string scratch_dir() {
    if (current_dir.empty()) {
        std::string tmpl = (std::filesystem::temp_directory_path() / "orvandel-test-XXXXXX").string();
        if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        current_dir = tmpl;
    }
    return current_dir;
}

std::string scratch_path(const std::string& name) { return scratch_dir() + "/" + name; }

int64_t write_calls() {
    // Plain read(2): a stream's virtual calls would have the sanitizer check
    // their types, which it does with write(2) calls of its own.
    const int fd = open("/proc/self/io", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    char text[1024];
    const ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    if (got <= 0) return -1;
    text[got] = '\0';
    const char* field = std::strstr(text, "syscw:");
    return field ? std::strtoll(field + 6, nullptr, 10) : -1;
}

void write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("cannot write " + path);
}

std::vector<uint8_t> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool file_exists(const std::string& path) { return std::filesystem::exists(path); }

ImagePtr load_bytes(Loader loader, const std::vector<uint8_t>& bytes, const std::string&) {
    return load_result(loader, bytes).image;
}

LoadResult load_result(Loader loader, const std::vector<uint8_t>& bytes, const LoadOptions& options) {
    return loader(bytes.data(), bytes.size(), options);
}

ImagePtr load_path(Loader loader, const std::string& path) { return load_bytes(loader, read_file(path)); }

ImagePtr make_image(int32_t width, int32_t height, const std::vector<Pixel>& pixels) {
    ImagePtr image(new_image(width, height));
    if (image)
        for (size_t i = 0; i < pixels.size() && i < size_t(width) * size_t(height); ++i)
            image->pixels[i] = pixels[i];
    return image;
}

std::vector<Pixel> pixels_of(const Image* image) {
    if (!image) return {};
    return std::vector<Pixel>(image->pixels, image->pixels + size_t(image->width) * size_t(image->height));
}

namespace {

uint32_t picture_crc32(const Image* image, int bytes_per_pixel, bool alpha) {
    static uint32_t table[256];
    if (!table[1]) {
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[n] = c;
        }
    }
    uint32_t crc = 0xFFFFFFFFu;
    const size_t count = size_t(image->width) * size_t(image->height);
    for (size_t i = 0; i < count; ++i) {
        const Pixel p = image->pixels[i];
        const uint8_t rgba[4] = {uint8_t(p), uint8_t(p >> 8), uint8_t(p >> 16), alpha ? uint8_t(p >> 24) : uint8_t(255)};
        for (int b = 0; b < bytes_per_pixel; ++b) crc = table[(crc ^ rgba[b]) & 0xFF] ^ (crc >> 8);
    }
    return crc ^ 0xFFFFFFFFu;
}

}  // namespace

uint32_t rgb_crc32(const Image* image) { return picture_crc32(image, 3, false); }

uint32_t rgba_crc32(const Image* image, bool alpha) { return picture_crc32(image, 4, alpha); }

RunResult run_tool(const std::vector<std::string>& args, const std::string& prefix) {
    std::string command = prefix + " " + shell_quote(ORVANDEL_BINARY);
    for (const std::string& arg : args) command += " " + shell_quote(arg);
    command += " </dev/null";
    RunResult result{-1, ""};
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return result;
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, got);
    const int status = pclose(pipe);
    if (status != -1 && WIFEXITED(status)) result.status = WEXITSTATUS(status);
    return result;
}

std::string banner() {
    return std::string(26, ' ') + "_______Orvandel_______" + std::string(25, ' ') + "\n" +
           std::string(19, ' ') + "Reads .pcx, .bmp, .gif, .tga writes .bmp" + std::string(18, ' ') +
           "\n\n\n";
}

GpuTexture gpu_texture(const MipChain& chain, BlockFormat format, bool srgb, int threads) {
    CompressOptions options;
    options.format = format;
    options.settings.alpha = chain.alpha;
    options.srgb = srgb;
    options.threads = threads;
    Compressor compressor;
    const char* problem = nullptr;
    GpuTexture texture;
    if (!make_compressor(options, &compressor, &problem)) return texture;
    texture.format = format;
    texture.srgb = srgb;
    texture.alpha = chain.alpha;
    texture.levels.resize(chain.levels.size());
    for (size_t k = 0; k < chain.levels.size(); ++k)
        if (compress_level(&compressor, *chain.levels[k], &texture.levels[k])) return GpuTexture{};
    return texture;
}

}  // namespace test
