// BC7 rows: the block encoder on the twelve textures of ../shared/textures,
// one row per quality, on the calling thread alone. Each row reports the
// mean PSNR (RGB over all twelve, alpha over those with alpha, decoded by
// the tests' decoder) and megapixels a second of CPU time (user + system of
// this thread, which other processes on the core do not inflate) beside
// wall time; qualities run interleaved, pass after pass, so each sees the
// same machine state. Without the textures the rows say so and are skipped.
#include "bench/bench_bc7.h"

#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "encoders/bc7.h"
#include "readers/load_image.h"
#include "tests/bc7_decode.h"

using namespace orvandel;

namespace {

constexpr int PASSES = 3;

struct Texture {
    std::string name;
    LoadResult loaded;
};

struct Row {
    const char* label;
    CompressQuality quality;
    double rgb_goal;
    double alpha_goal;
    double speed_goal;
    std::vector<double> cpu_mpix;   // one a pass
    std::vector<double> wall_mpix;
    double rgb_db = 0;
    double alpha_db = 0;
};

std::vector<Row> rows = {
    {"fast", CompressQuality::fast, 48.9, 50.1, 4.0, {}, {}},
    {"normal", CompressQuality::normal, 49.3, 50.6, 2.0, {}, {}},
    {"best", CompressQuality::best, 49.6, 50.9, 0.3, {}, {}},
};
std::vector<Texture> textures;
bool measured = false;

std::string textures_dir() {
    return SHARED_TEXTURES_DIR;
}

double thread_cpu_seconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

bool load_textures() {
    const std::string dir = textures_dir();
    if (!std::filesystem::is_directory(dir)) return false;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.path().extension() == ".png") {
            Texture t{entry.path().filename().string(), load_image_file(entry.path().string())};
            if (!t.loaded.image) return false;
            textures.push_back(std::move(t));
        }
    std::sort(textures.begin(), textures.end(), [](const Texture& a, const Texture& b) { return a.name < b.name; });
    return !textures.empty();
}

// Every pass encodes all textures at every quality in turn; PSNR comes from
// the first pass (the bytes are the same in each).
void measure_all() {
    measured = true;
    if (!load_textures()) return;
    double pixels = 0;
    for (const Texture& t : textures) pixels += double(t.loaded.image->width) * t.loaded.image->height;
    for (int pass = 0; pass < PASSES; ++pass)
        for (Row& row : rows) {
            double cpu = 0, wall = 0, rgb = 0, alpha = 0;
            int with_alpha = 0;
            for (const Texture& t : textures) {
                BlockSettings settings;
                settings.quality = row.quality;
                settings.alpha = t.loaded.alpha;
                const double cpu_start = thread_cpu_seconds();
                const auto wall_start = std::chrono::steady_clock::now();
                const std::vector<uint8_t> blocks = test::encode_bc7_picture(t.loaded.image.get(), settings);
                wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_start).count();
                cpu += thread_cpu_seconds() - cpu_start;
                if (pass) continue;
                const test::Bc7Error e = test::bc7_picture_error(t.loaded.image.get(), blocks, t.loaded.alpha);
                rgb += test::psnr_db(e.rgb_mse);
                if (t.loaded.alpha) alpha += test::psnr_db(e.alpha_mse), ++with_alpha;
            }
            row.cpu_mpix.push_back(pixels / cpu / 1e6);
            row.wall_mpix.push_back(pixels / wall / 1e6);
            if (!pass) {
                row.rgb_db = rgb / double(textures.size());
                row.alpha_db = with_alpha ? alpha / with_alpha : 0;
            }
        }
}

void bc7_case(benchmark::State& state, Row* row) {
    if (!measured) measure_all();
    if (textures.empty()) {
        state.SkipWithError(("no textures in " + textures_dir()).c_str());
        for (auto _ : state) {}
        return;
    }
    for (auto _ : state) state.SetIterationTime(median(row->cpu_mpix) > 0 ? 1 / median(row->cpu_mpix) : 0);
    state.counters["rgb_dB"] = row->rgb_db;
    state.counters["alpha_dB"] = row->alpha_db;
    state.counters["MPix/s_cpu"] = median(row->cpu_mpix);
    state.counters["MPix/s_wall"] = median(row->wall_mpix);
}

}  // namespace

void register_bc7_benchmarks() {
    for (Row& row : rows)
        benchmark::RegisterBenchmark((std::string("bc7/") + row.label).c_str(),
                                     [&row](benchmark::State& s) { bc7_case(s, &row); })
            ->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
}

void print_bc7_table() {
    if (textures.empty()) return;
    std::printf("\n  BC7 on %zu textures, one thread, median of %d interleaved passes\n", textures.size(), PASSES);
    std::printf("  %-8s %8s %8s %11s %11s   %s\n", "quality", "RGB dB", "alpha dB", "MPix/s cpu", "MPix/s wall",
                "goal (RGB / alpha / MPix/s)");
    for (const Row& row : rows) {
        const bool met = row.rgb_db >= row.rgb_goal && row.alpha_db >= row.alpha_goal &&
                         median(row.cpu_mpix) >= row.speed_goal;
        std::printf("  %-8s %8.3f %8.3f %11.2f %11.2f   %.1f / %.1f / %.1f  %s\n", row.label, row.rgb_db,
                    row.alpha_db, median(row.cpu_mpix), median(row.wall_mpix), row.rgb_goal, row.alpha_goal,
                    row.speed_goal, met ? "met" : "MISSED");
    }
    std::printf("\n");
}
