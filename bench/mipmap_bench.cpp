// Atlas building for a 4096 x 4096 source, measured against one memcpy of the
// same canvas's bytes in the same run. Each iteration clears the canvas outside
// the source corner (untimed), then times the builder and the memcpy back to
// back, so both see the same machine state. Counters:
//   build_ms, memcpy_ms  mean time of one build and of one memcpy
//   x_memcpy             total build time / total memcpy time
// Targets: bi-directional x_memcpy <= 2.0, ordinary x_memcpy <= 1.0.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

#include "formats/image.h"
#include "mipmap/mipmap.h"

namespace {

constexpr int32_t SOURCE_SIDE = 4096;

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Zero everything but the source corner, as the driver hands the canvas over.
void clear_outside_source(Image* canvas, int32_t source_w, int32_t source_h) {
    for (int32_t r = 0; r < canvas->height; ++r) {
        Pixel* row = canvas->pixels + int64_t(r) * canvas->width;
        const int32_t from = r < source_h ? source_w : 0;
        std::memset(row + from, 0, sizeof(Pixel) * size_t(canvas->width - from));
    }
}

void run_atlas_benchmark(benchmark::State& state, bool bidirectional) {
    const int32_t w = SOURCE_SIDE, h = SOURCE_SIDE;
    Image* canvas = new_image(2 * w, bidirectional ? 2 * h : h);
    if (!canvas) {
        state.SkipWithError("no memory for the canvas");
        return;
    }
    const size_t pixels = size_t(canvas->width) * size_t(canvas->height);
    const size_t bytes = pixels * sizeof(Pixel);
    uint32_t seed = 12345;
    for (int32_t r = 0; r < h; ++r)
        for (int32_t c = 0; c < w; ++c) {
            seed = seed * 1664525u + 1013904223u;
            canvas->pixels[int64_t(r) * canvas->width + c] = seed >> 8;
        }
    // Fault every page of both buffers in before anything is timed.
    clear_outside_source(canvas, w, h);
    std::vector<Pixel> copy(pixels, 1);

    double build_total = 0, memcpy_total = 0;
    for (auto _ : state) {
        clear_outside_source(canvas, w, h);

        Clock::time_point start = Clock::now();
        if (bidirectional)
            build_bidirectional_mipmap(canvas);
        else
            build_ordinary_mipmap(canvas);
        benchmark::ClobberMemory();
        const double build_time = seconds_since(start);

        start = Clock::now();
        std::memcpy(copy.data(), canvas->pixels, bytes);
        benchmark::ClobberMemory();
        const double memcpy_time = seconds_since(start);

        state.SetIterationTime(build_time);
        build_total += build_time;
        memcpy_total += memcpy_time;
    }
    benchmark::DoNotOptimize(copy.data());
    const double n = double(state.iterations());
    state.counters["build_ms"] = 1000 * build_total / n;
    state.counters["memcpy_ms"] = 1000 * memcpy_total / n;
    state.counters["x_memcpy"] = build_total / memcpy_total;
    state.counters["canvas_MiB"] = double(bytes) / (1024 * 1024);
    free_image(canvas);
}

void BM_bidirectional_4096(benchmark::State& state) { run_atlas_benchmark(state, true); }
void BM_ordinary_4096(benchmark::State& state) { run_atlas_benchmark(state, false); }

BENCHMARK(BM_bidirectional_4096)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_ordinary_4096)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
