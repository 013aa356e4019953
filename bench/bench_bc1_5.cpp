// Each row encodes every block of the twelve images in ../shared/textures
// (blocks past an edge repeat its texels) on this thread, then decodes
// them with the tests' reference decoder in exact arithmetic for the PSNR
// (mean over the images, capped at 99 dB for an exact one; alpha over the
// images with alpha). Each iteration also runs libsquish's range fit on the
// same blocks as the reference, so the ratio column does not drift with the
// load on the machine; libsquish's own rows are the peers. Without libsquish
// (Debian's libsquish-dev) its rows and the ratios are left out.
#include "bench/bench_bc1_5.h"

#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "encoders/bc1_5.h"
#include "readers/load_image.h"
#include "tests/bc1_5_decode.h"
#ifdef ORVANDEL_HAVE_SQUISH
#include <squish.h>
#endif

using namespace orvandel;

namespace {

struct TextureBlocks {
    int width, height;
    bool alpha;
    std::vector<Pixel> texels;   // 16 a block, blocks row by row
};

const std::vector<TextureBlocks>& textures() {
    static const std::vector<TextureBlocks> all = [] {
        std::vector<TextureBlocks> out;
        const std::string dir = std::string(ORVANDEL_SHARED_DIR) + "/textures";
        if (!std::filesystem::is_directory(dir)) return out;
        std::vector<std::string> paths;
        for (const auto& entry : std::filesystem::directory_iterator(dir))
            if (entry.path().extension() == ".png") paths.push_back(entry.path().string());
        std::sort(paths.begin(), paths.end());
        for (const std::string& path : paths) {
            LoadResult r = load_image_file(path);
            if (!r.image) continue;
            const Image* im = r.image.get();
            TextureBlocks t{im->width, im->height, r.alpha, {}};
            for (int by = 0; by < im->height; by += 4)
                for (int bx = 0; bx < im->width; bx += 4)
                    for (int i = 0; i < 16; ++i) {
                        const int x = std::min(bx + i % 4, im->width - 1), y = std::min(by + i / 4, im->height - 1);
                        t.texels.push_back(im->pixels[size_t(y) * im->width + x] | (r.alpha ? 0 : 0xFF000000u));
                    }
            out.push_back(std::move(t));
        }
        return out;
    }();
    return all;
}

// In the order of test::BcFormat.
enum class Format { bc1, bc3, bc4, bc5 };
enum class Encoder { fast, normal, best, squish_range, squish_cluster };

const char* format_name(Format f) { return f == Format::bc1 ? "BC1" : f == Format::bc3 ? "BC3" : f == Format::bc4 ? "BC4" : "BC5"; }
const char* encoder_name(Encoder e) {
    switch (e) {
        case Encoder::fast: return "fast";
        case Encoder::normal: return "normal";
        case Encoder::best: return "best";
        case Encoder::squish_range: return "libsquish range fit";
        default: return "libsquish cluster fit";
    }
}
int block_bytes(Format f) { return f == Format::bc1 || f == Format::bc4 ? 8 : 16; }

void encode_block(Format f, Encoder e, const Pixel* t, bool alpha, uint8_t* out) {
    if (e == Encoder::squish_range || e == Encoder::squish_cluster) {
#ifdef ORVANDEL_HAVE_SQUISH
        uint8_t rgba[64];
        for (int i = 0; i < 16; ++i)
            for (int c = 0; c < 4; ++c) rgba[4 * i + c] = uint8_t(c == 3 && (!alpha || f == Format::bc1) ? 255 : t[i] >> (8 * c));
        const int kind = f == Format::bc1 ? squish::kDxt1 : f == Format::bc3 ? squish::kDxt5 : f == Format::bc4 ? squish::kBc4 : squish::kBc5;
        squish::Compress(rgba, out, kind | (e == Encoder::squish_range ? squish::kColourRangeFit : squish::kColourClusterFit));
#endif
        return;
    }
    const CompressQuality q = e == Encoder::fast ? CompressQuality::fast : e == Encoder::normal ? CompressQuality::normal : CompressQuality::best;
    uint8_t red[16], green[16];
    for (int i = 0; i < 16; ++i) red[i] = uint8_t(t[i]), green[i] = uint8_t(t[i] >> 8);
    BlockSettings settings;
    settings.quality = q;
    settings.alpha = alpha && f == Format::bc3;
    if (f == Format::bc1) encode_bc1_block(t, settings, out);
    if (f == Format::bc3) encode_bc3_block(t, settings, out);
    if (f == Format::bc4) encode_bc4_block(red, q, out);
    if (f == Format::bc5) encode_bc5_block(red, green, q, out);
}

double thread_seconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}


struct Result {
    std::vector<double> cpu, wall, reference_cpu;
    double colour = 0, alpha = 0;
    double pixels = 0;
};
std::map<std::string, Result> results;
std::vector<std::string> row_order;

// Every block of every texture; processor and wall seconds.
void encode_all(Format f, Encoder e, std::vector<std::vector<uint8_t>>& out, double* cpu, double* wall) {
    const auto start = std::chrono::steady_clock::now();
    const double cpu_start = thread_seconds();
    const auto& all = textures();
    out.resize(all.size());
    for (size_t n = 0; n < all.size(); ++n) {
        const size_t blocks = all[n].texels.size() / 16;
        out[n].resize(blocks * block_bytes(f));
        for (size_t b = 0; b < blocks; ++b)
            encode_block(f, e, &all[n].texels[16 * b], all[n].alpha, &out[n][b * block_bytes(f)]);
    }
    *cpu = thread_seconds() - cpu_start;
    *wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void measure_psnr(Format f, const std::vector<std::vector<uint8_t>>& encoded, Result& r) {
    const auto& all = textures();
    const test::BcFormat format = test::BcFormat(int(f));
    double sum = 0, alpha_sum = 0;
    int alpha_images = 0;
    r.pixels = 0;
    for (size_t n = 0; n < all.size(); ++n) {
        const TextureBlocks& t = all[n];
        test::BlockError error;
        size_t b = 0;
        for (int by = 0; by < t.height; by += 4)
            for (int bx = 0; bx < t.width; bx += 4, ++b)
                test::add_block_error(format, &encoded[n][b * block_bytes(f)], &t.texels[16 * b], t.width - bx,
                                      t.height - by, error);
        r.pixels += double(t.texels.size());
        sum += test::psnr(error.sse, error.texels * (f == Format::bc4 ? 1 : f == Format::bc5 ? 2 : 3));
        if (f == Format::bc3 && t.alpha) alpha_sum += test::psnr(error.alpha_sse, error.texels), ++alpha_images;
    }
    r.colour = sum / double(all.size());
    r.alpha = alpha_images ? alpha_sum / alpha_images : 0;
}

std::string row_name(Format f, Encoder e) { return std::string(format_name(f)) + " " + encoder_name(e); }

void bc_case(benchmark::State& state, Format f, Encoder e) {
    if (textures().empty()) {
        state.SkipWithError("no ../shared/textures");
        return;
    }
    Result& r = results[row_name(f, e)];
    std::vector<std::vector<uint8_t>> encoded, reference;
    for (auto _ : state) {
        double cpu = 0, wall = 0;
        encode_all(f, e, encoded, &cpu, &wall);
        r.cpu.push_back(cpu);
        r.wall.push_back(wall);
        state.SetIterationTime(wall);
#ifdef ORVANDEL_HAVE_SQUISH
        if (e != Encoder::squish_range) {
            encode_all(f, Encoder::squish_range, reference, &cpu, &wall);
            r.reference_cpu.push_back(cpu);
        }
#endif
    }
    measure_psnr(f, encoded, r);
    state.counters["PSNR"] = r.colour;
    if (f == Format::bc3) state.counters["alpha PSNR"] = r.alpha;
    state.counters["MPix/s"] = r.pixels / r.cpu.back() / 1e6;
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

void register_bc1_5_benchmarks() {
    for (const Format f : {Format::bc1, Format::bc3, Format::bc4, Format::bc5}) {
        std::vector<Encoder> encoders = {Encoder::fast, Encoder::normal};
        if (f == Format::bc1 || f == Format::bc3) encoders.push_back(Encoder::best);
#ifdef ORVANDEL_HAVE_SQUISH
        encoders.push_back(Encoder::squish_range);
        if (f == Format::bc1 || f == Format::bc3) encoders.push_back(Encoder::squish_cluster);
#endif
        for (const Encoder e : encoders) {
            const std::string name = row_name(f, e);
            row_order.push_back(name);
            // The slow searches take seconds a pass: fewer passes.
            const bool slow = e == Encoder::best || e == Encoder::squish_cluster;
            benchmark::RegisterBenchmark(("bc/" + name).c_str(), [f, e](benchmark::State& s) { bc_case(s, f, e); })
                ->Iterations(slow ? 1 : 5)->UseManualTime()->Unit(benchmark::kMillisecond);
        }
    }
}

void print_bc1_5_table() {
    bool any = false;
    for (const std::string& name : row_order) any |= !results[name].cpu.empty();
    if (!any) return;
    std::printf("\n  %-34s %8s %8s %10s %10s %10s\n", "BC1-BC5 over ../shared/textures", "PSNR dB", "alpha",
                "MPix/s cpu", "MPix/s wall", "vs range");
    std::printf("  (one thread; medians; 'vs range': this row's speed over libsquish's range fit on the same\n"
                "  blocks in the same iterations)\n");
    for (const std::string& name : row_order) {
        const Result& r = results[name];
        if (r.cpu.empty()) continue;
        char alpha[16] = "";
        if (name.rfind("BC3", 0) == 0) std::snprintf(alpha, sizeof alpha, "%.2f", r.alpha);
        char ratio[16] = "-";
        if (!r.reference_cpu.empty())
            std::snprintf(ratio, sizeof ratio, "%.2f", median(r.reference_cpu) / median(r.cpu));
        std::printf("  %-34s %8.2f %8s %10.2f %10.2f %10s\n", name.c_str(), r.colour, alpha,
                    r.pixels / median(r.cpu) / 1e6, r.pixels / median(r.wall) / 1e6, ratio);
    }
}
