// GPU texture rows. Each image is encoded by us and by the peer tool in turn
// (interleaved, so both see the same machine), on one core: ours on a thread
// pinned to core 0, the tools under `taskset -c 0`. Quality is the mean PSNR
// over the images of the values as stored (sRGB-encoded for sRGB formats):
// RGB for colour formats, R for BC4, RG for BC5, alpha apart over the images
// that have it. ASTC is decoded by libastcenc; BC files, ours and the peer's,
// by oiiotool to 8-bit values (rounded, where the goals' figures are exact:
// compare rows with one another, not with the goals to the last 0.1 dB).
// Speed is megapixels per CPU second (user + sys), ours and the tools' alike;
// for astcenc also its own coding time. Tools that are missing skip their
// rows.
#include "bench/bench_gpu.h"

#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "builders/modern.h"
#include "encoders/compress.h"
#include "readers/load_image.h"
#include "writers/dds.h"
#include "writers/ktx2.h"
#include "writers/png_writer.h"

using namespace orvandel;

namespace {

using Clock = std::chrono::steady_clock;

struct Texture {
    std::string path;
    ImagePtr image;
    bool alpha;
};

double thread_cpu_seconds() {
    rusage usage;
    getrusage(RUSAGE_THREAD, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}
double children_cpu_seconds() {
    rusage usage;
    getrusage(RUSAGE_CHILDREN, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

bool have(const char* tool) {
    return std::system(("command -v " + std::string(tool) + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs `command` (a shell line); its standard output, and its CPU seconds.
bool run(const std::string& command, std::string* output, double* cpu) {
    const double before = children_cpu_seconds();
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return false;
    char buffer[4096];
    std::string text;
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) text.append(buffer, got);
    const int status = pclose(pipe);
    *cpu = children_cpu_seconds() - before;
    if (output) *output = text;
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Channel PSNR of `decoded` (4 bytes a texel, red first) against the source.
double psnr(const Image& source, const uint8_t* decoded, int first, int count) {
    double sum = 0;
    const int64_t n = int64_t(source.width) * source.height;
    for (int64_t k = 0; k < n; ++k)
        for (int c = first; c < first + count; ++c) {
            const double d = double(source.pixels[k] >> (8 * c) & 0xFF) - decoded[4 * k + c];
            sum += d * d;
        }
    return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * double(n) * count / sum);
}

struct Row {
    std::string label;
    double colour = 0, alpha = 0;  // summed PSNR
    int colour_count = 0, alpha_count = 0;
    double pixels = 0, cpu = 0, coding = 0;
    bool ran = false;
    void add(const Image& source, const uint8_t* decoded, bool alpha_kept, int first, int channels) {
        colour += psnr(source, decoded, first, channels);
        ++colour_count;
        if (alpha_kept) {
            alpha += psnr(source, decoded, 3, 1);
            ++alpha_count;
        }
        pixels += double(source.width) * source.height;
        ran = true;
    }
};

void print_row(const Row& row) {
    if (!row.ran) {
        std::printf("  %-34s (not run)\n", row.label.c_str());
        return;
    }
    char alpha[32] = "";
    if (row.alpha_count) std::snprintf(alpha, sizeof alpha, " / %6.2f", row.alpha / row.alpha_count);
    std::printf("  %-34s %6.2f%-9s dB", row.label.c_str(), row.colour / row.colour_count, alpha);
    // Below the clock's resolution the speed says nothing.
    if (row.cpu > 0.05)
        std::printf("  %7.2f MPix/s", row.pixels / 1e6 / row.cpu);
    else
        std::printf("  (under 0.05 CPU s)");
    if (row.coding > 0) std::printf("  (coding %.2f MPix/s)", row.pixels / 1e6 / row.coding);
    std::printf("\n");
}

// The decoded picture of a DDS file, red first, through oiiotool and our
// PNG reader; empty when either fails.
std::vector<uint8_t> decode_dds(const std::string& dds, const char* channels, const std::string& scratch, int32_t width,
                                int32_t height) {
    std::vector<uint8_t> rgba;
    double cpu = 0;
    const std::string png = scratch + "/decoded.png";
    std::filesystem::remove(png);
    if (!run("oiiotool '" + dds + "' --ch " + channels + " -d uint8 -o '" + png + "' 2>/dev/null", nullptr, &cpu))
        return rgba;
    const LoadResult loaded = load_image_file(png);
    if (!loaded.image || loaded.image->width != width || loaded.image->height != height) return rgba;
    rgba.resize(size_t(width) * size_t(height) * 4);
    for (int64_t k = 0; k < int64_t(width) * height; ++k) write_le32(&rgba[size_t(4 * k)], loaded.image->pixels[k]);
    return rgba;
}

const char* quality_name(CompressQuality q) {
    return q == CompressQuality::fast ? "fast" : q == CompressQuality::normal ? "normal" : "best";
}

// One of our levels on this (pinned) thread: its bytes and CPU seconds.
GpuLevel encode_ours(const Image& image, BlockFormat format, CompressQuality quality, bool alpha, bool srgb,
                     double* cpu) {
    CompressOptions options;
    options.format = format;
    options.settings.quality = quality;
    options.settings.alpha = alpha;
    options.srgb = srgb;
    options.threads = 1;
    Compressor compressor;
    const char* problem = nullptr;
    GpuLevel level;
    const double start = thread_cpu_seconds();
    if (make_compressor(options, &compressor, &problem)) compress_level(&compressor, image, &level);
    *cpu = thread_cpu_seconds() - start;
    return level;
}

void astc_rows(const std::vector<Texture>& textures, const std::string& scratch) {
    const bool tool = have("astcenc");
    std::printf("\nASTC 4x4, sRGB (mean PSNR RGB / alpha; one core)\n");
    const struct {
        CompressQuality quality;
        const char* preset;
    } presets[] = {{CompressQuality::fast, "-fast"}, {CompressQuality::normal, "-medium"},
                   {CompressQuality::best, "-thorough"}};
    for (const auto& p : presets) {
        Row ours{std::string("orvandel ") + quality_name(p.quality)}, peer{std::string("astcenc 4.2 ") + p.preset};
        for (const Texture& t : textures) {
            double cpu = 0;
            const GpuLevel level = encode_ours(*t.image, BlockFormat::astc4x4, p.quality, t.alpha, true, &cpu);
            const std::vector<uint8_t> ours_rgba = decode_astc_level(BlockFormat::astc4x4, true, level.bytes.data(),
                                                                     level.bytes.size(), t.image->width, t.image->height);
            if (ours_rgba.empty()) continue;
            ours.add(*t.image, ours_rgba.data(), t.alpha, 0, 3);
            ours.cpu += cpu;
            ours.coding += cpu;
            if (!tool) continue;
            const std::string out = scratch + "/peer.astc";
            std::string text;
            if (!run("taskset -c 0 astcenc -cs '" + t.path + "' '" + out + "' 4x4 " + p.preset + " -j 1", &text, &cpu))
                continue;
            std::ifstream file(out, std::ios::binary);
            std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
            if (bytes.size() <= 16) continue;
            const std::vector<uint8_t> peer_rgba = decode_astc_level(
                BlockFormat::astc4x4, true, bytes.data() + 16, bytes.size() - 16, t.image->width, t.image->height);
            if (peer_rgba.empty()) continue;
            // The tool reads grey PNGs as luminance, alpha 1; the comparison is on
            // the same source pixels either way.
            peer.add(*t.image, peer_rgba.data(), t.alpha, 0, 3);
            peer.cpu += cpu;
            const size_t coding = text.find("Coding time:");
            if (coding != std::string::npos) peer.coding += std::atof(text.c_str() + coding + 12);
        }
        print_row(ours);
        if (tool) print_row(peer);
    }
}

void bc_rows(const std::vector<Texture>& textures, const std::string& scratch) {
    const bool oiio = have("oiiotool"), nv = have("nvcompress");
    if (!oiio) {
        std::printf("\nBC rows skipped: oiiotool (openimageio-tools) decodes the DDS files\n");
        return;
    }
    const struct {
        BlockFormat format;
        const char* name;
        const char* nv_flag;
        int first, channels;
        const char* decoded;  // oiiotool's channels, as red, green, blue, alpha
    } formats[] = {{BlockFormat::bc1, "BC1", "-bc1", 0, 3, "R,G,B,A"}, {BlockFormat::bc3, "BC3", "-bc3", 0, 3, "R,G,B,A"},
                   {BlockFormat::bc4, "BC4", "-bc4", 0, 1, "R=Y,G=0.0,B=0.0,A=1.0"},
                   {BlockFormat::bc5, "BC5", "-bc5", 0, 2, "R,G,B=0.0,A=1.0"}, {BlockFormat::bc7, "BC7", nullptr, 0, 3, "R,G,B,A"}};
    for (const auto& f : formats) {
        std::printf("\n%s, UNORM (mean PSNR %s%s; one core)\n", f.name, f.channels == 3 ? "RGB" : f.channels == 2 ? "RG" : "R",
                    f.format == BlockFormat::bc3 || f.format == BlockFormat::bc7 ? " / alpha" : "");
        Row peer{std::string("nvcompress -fast ") + (f.nv_flag ? f.nv_flag : "")};
        const bool alpha_format = f.format == BlockFormat::bc3 || f.format == BlockFormat::bc7;
        for (const CompressQuality quality : {CompressQuality::fast, CompressQuality::normal, CompressQuality::best}) {
            Row ours{std::string("orvandel ") + quality_name(quality)};
            for (const Texture& t : textures) {
                const bool alpha = t.alpha && alpha_format;
                double cpu = 0;
                GpuTexture texture;
                texture.format = f.format;
                texture.alpha = alpha;
                texture.levels.push_back(encode_ours(*t.image, f.format, quality, alpha, false, &cpu));
                const std::string dds = scratch + "/ours.dds";
                DdsSettings settings;
                settings.legacy = f.format != BlockFormat::bc7;  // the reader's DX10 support is BC4 to BC7
                if (!write_dds(dds, texture, settings)) continue;
                const std::vector<uint8_t> rgba = decode_dds(dds, f.decoded, scratch, t.image->width, t.image->height);
                if (rgba.empty()) continue;
                ours.add(*t.image, rgba.data(), alpha, f.first, f.channels);
                ours.cpu += cpu;
                // The peer once per image, after our fast run.
                if (!nv || !f.nv_flag || quality != CompressQuality::fast) continue;
                const std::string out = scratch + "/peer.dds";
                // Its BC4 encodes alpha: it gets a copy with red in alpha.
                std::string input = t.path;
                if (f.format == BlockFormat::bc4) {
                    input = scratch + "/red-in-alpha.png";
                    std::vector<Pixel> pixels(t.image->pixels, t.image->pixels + int64_t(t.image->width) * t.image->height);
                    for (Pixel& p : pixels) p = (p & 0xFFFFFFu) | (p & 0xFF) << 24;
                    const Image copy{pixels.data(), t.image->width, t.image->height};
                    if (!write_png(input, copy, true)) continue;
                }
                if (!run("taskset -c 0 nvcompress -nocuda -nomips -fast" + std::string(alpha ? " -alpha " : " ") +
                             f.nv_flag + " '" + input + "' '" + out + "' >/dev/null 2>&1",
                         nullptr, &cpu))
                    continue;
                const std::vector<uint8_t> peer_rgba = decode_dds(out, f.decoded, scratch, t.image->width, t.image->height);
                if (peer_rgba.empty()) continue;
                peer.add(*t.image, peer_rgba.data(), alpha, f.first, f.channels);
                peer.cpu += cpu;
            }
            print_row(ours);
        }
        if (nv && f.nv_flag) print_row(peer);
        if (nv && !f.nv_flag) std::printf("  nvcompress 2.0 has no BC7\n");
    }
}

// A 4096 x 4096 texture to a BC7 mip chain in KTX2 at normal, the chain
// built and encoded on `threads` threads: wall and CPU seconds.
void time_chain(const Image& source, int threads, const std::string& path, double* wall, double* cpu) {
    rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    const Clock::time_point start = Clock::now();
    FilterOptions filter;
    filter.layout = AtlasLayout::mip;
    filter.threads = threads;
    MipChain chain = build_mip_chain(source, false, filter);
    CompressOptions options;
    options.format = BlockFormat::bc7;
    options.srgb = true;
    options.threads = threads;
    Compressor compressor;
    const char* problem = nullptr;
    make_compressor(options, &compressor, &problem);
    GpuTexture texture;
    texture.format = BlockFormat::bc7;
    texture.srgb = true;
    texture.levels.resize(chain.levels.size());
    for (size_t k = 0; k < chain.levels.size(); ++k) {
        compress_level(&compressor, *chain.levels[k], &texture.levels[k]);
        chain.levels[k].reset();
    }
    write_ktx2(path, texture, Ktx2Settings{});
    *wall = std::chrono::duration<double>(Clock::now() - start).count();
    getrusage(RUSAGE_SELF, &after);
    auto seconds = [](const rusage& u) {
        return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    };
    *cpu = seconds(after) - seconds(before);
}

void chain_rows(const std::string& scratch) {
    const int32_t side = 4096;
    ImagePtr source(new_image(side, side));
    if (!source) return;
    // Smooth colour with fine noise: neither flat blocks nor pure noise.
    uint32_t state = 12345;
    for (int32_t y = 0; y < side; ++y)
        for (int32_t x = 0; x < side; ++x) {
            state = state * 1664525u + 1013904223u;
            const uint32_t n = state >> 28;
            source->pixels[int64_t(y) * side + x] =
                Pixel(((x >> 4) + n) & 0xFF) | Pixel(((y >> 4) + n) << 8 & 0xFF00) | Pixel(((x + y) >> 5) << 16 & 0xFF0000);
        }
    const int runs = 5;
    std::vector<double> wall[2], cpu[2];
    for (int r = 0; r < runs; ++r)
        for (int t = 0; t < 2; ++t) {  // interleaved: one thread, then two
            double w = 0, c = 0;
            time_chain(*source, t + 1, scratch + "/chain.ktx2", &w, &c);
            wall[t].push_back(w);
            cpu[t].push_back(c);
        }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    std::printf("\n4096 x 4096 to a BC7 mip chain in KTX2, normal (median of %d interleaved runs)\n", runs);
    for (int t = 0; t < 2; ++t)
        std::printf("  %d thread%s  %7.3f s wall  %7.3f s CPU\n", t + 1, t ? "s" : " ", median(wall[t]), median(cpu[t]));
    std::printf("  two threads against one: %.2fx (goal >= 1.8x)\n", median(wall[0]) / median(wall[1]));
}

}  // namespace

void run_gpu_bench() {
    const std::string dir = SHARED_TEXTURES_DIR;
    const std::string scratch = (std::filesystem::temp_directory_path() / ("orvandel-gpu-" + std::to_string(getpid()))).string();
    std::filesystem::create_directories(scratch);
    std::vector<Texture> textures;
    if (std::filesystem::is_directory(dir)) {
        std::vector<std::string> paths;
        for (const auto& entry : std::filesystem::directory_iterator(dir))
            if (entry.path().extension() == ".png") paths.push_back(entry.path().string());
        std::sort(paths.begin(), paths.end());
        for (const std::string& path : paths) {
            LoadResult loaded = load_image_file(path);
            if (!loaded.image) continue;
            const bool alpha = image_has_alpha(*loaded.image, loaded.alpha);
            textures.push_back({path, std::move(loaded.image), alpha});
        }
    }
    std::printf("\nGPU textures: %zu images from %s\n", textures.size(), dir.c_str());
    if (!textures.empty()) {
        // One core for every row: this thread on core 0, the tools by taskset.
        cpu_set_t set, previous;
        sched_getaffinity(0, sizeof previous, &previous);
        CPU_ZERO(&set);
        CPU_SET(0, &set);
        sched_setaffinity(0, sizeof set, &set);
        astc_rows(textures, scratch);
        bc_rows(textures, scratch);
        sched_setaffinity(0, sizeof previous, &previous);
    } else {
        std::printf("  no images: the encoder rows are skipped (run from the checkout, beside ../shared)\n");
    }
    chain_rows(scratch);
    std::filesystem::remove_all(scratch);
}
