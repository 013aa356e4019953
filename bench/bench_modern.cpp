// Modern atlas builds on a 4096 x 4096 noise source. The classic reference
// is build_atlas with FilterKind::classic: the classic canvas allocated,
// the source copied in and the classic builder run, as the classic run does,
// so both sides pay for a fresh 256 MiB atlas. Peak memory is measured in a
// fresh process per build, since this one holds far more by then. The same
// number of pixels as one column, 1 x 16777216, against the square shows
// whether a build's cost follows its pixels rather than its shape.
#include "bench/bench_modern.h"

#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_files.h"
#include "builders/modern.h"


namespace {

constexpr int MODERN_RUNS = 5;
constexpr int PEAK_RUNS = 3;

using Clock = std::chrono::steady_clock;

// Wall and processor seconds (all threads) of each build.
struct Row {
    std::vector<double> ours, classic, ours_cpu, classic_cpu;
};
std::map<std::string, Row> rows;
std::map<std::string, std::vector<double>> peaks;

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

ImagePtr noise_source(int32_t width = BENCH_SIDE, int32_t height = BENCH_SIDE) {
    ImagePtr source(new_image(width, height));
    if (!source) return source;
    uint32_t state = 12345;
    for (int64_t k = 0; k < int64_t(width) * height; ++k) {
        state = state * 1664525u + 1013904223u;
        source->pixels[k] = state >> 8;
    }
    return source;
}

int cores() { return std::max(1, int(std::thread::hardware_concurrency())); }

FilterOptions options_for(const std::string& kind, AtlasLayout layout, int threads) {
    FilterOptions options;
    options.layout = layout;
    options.filter = kind == "classic" ? FilterKind::classic : kind == "kaiser" ? FilterKind::kaiser : FilterKind::box;
    options.threads = threads;
    return options;
}

double cpu_seconds() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// Wall seconds, or -1 when no atlas came out; `cpu` gets processor seconds.
double time_build(const Image& source, const FilterOptions& options, double* cpu) {
    const double cpu_start = cpu_seconds();
    const Clock::time_point start = Clock::now();
    const Atlas atlas = build_atlas(source, false, options);
    benchmark::DoNotOptimize(atlas.image.get());
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    *cpu = cpu_seconds() - cpu_start;
    return atlas.image ? seconds : -1;
}

void modern_case(benchmark::State& state, const std::string& label, const std::string& kind, AtlasLayout layout,
                 int threads) {
    const ImagePtr source = noise_source();
    if (!source) {
        state.SkipWithError("no memory for the source");
        return;
    }
    Row& row = rows[label];
    const FilterOptions classic = options_for("classic", layout, 1);
    const FilterOptions ours = options_for(kind, layout, threads);
    for (auto _ : state) {
        double reference_cpu = 0, cpu = 0;
        const double reference = time_build(*source, classic, &reference_cpu);
        const double seconds = time_build(*source, ours, &cpu);
        if (reference < 0 || seconds < 0) {
            state.SkipWithError("no memory for the atlas");
            return;
        }
        row.classic.push_back(reference);
        row.ours.push_back(seconds);
        row.classic_cpu.push_back(reference_cpu);
        row.ours_cpu.push_back(cpu);
        state.SetIterationTime(seconds);
    }
}

// The same pixels as one column: builds of it against builds of the square.
struct ShapeRow {
    std::vector<double> column, square;
};
std::map<std::string, ShapeRow> shape_rows;

// Wall seconds of a chain ("chain") or an atlas of `layout`, or -1.
double time_shape_build(const Image& source, const std::string& what, AtlasLayout layout, int threads) {
    const FilterOptions options = options_for("box", layout, threads);
    const Clock::time_point start = Clock::now();
    bool made = false;
    if (what == "chain") {
        const MipChain chain = build_mip_chain(source, false, options);
        made = !chain.levels.empty();
    } else {
        const Atlas atlas = build_atlas(source, false, options);
        made = atlas.image != nullptr;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return made ? seconds : -1;
}

void shape_case(benchmark::State& state, const std::string& label, const std::string& what, AtlasLayout layout) {
    const ImagePtr square = noise_source();
    const ImagePtr column = noise_source(1, BENCH_SIDE * BENCH_SIDE);
    if (!square || !column) {
        state.SkipWithError("no memory for the sources");
        return;
    }
    ShapeRow& row = shape_rows[label];
    for (auto _ : state) {
        const double reference = time_shape_build(*square, what, layout, cores());
        const double seconds = time_shape_build(*column, what, layout, cores());
        if (reference < 0 || seconds < 0) {
            state.SkipWithError("no memory for the build");
            return;
        }
        row.square.push_back(reference);
        row.column.push_back(seconds);
        state.SetIterationTime(seconds);
    }
}

// One build in a fresh process: its peak in bytes, or -1.
double spawn_build(const std::string& kind) {
    std::string text;
    long kib = 0;
    if (!run_self({RUN_BUILD_FLAG, kind}, &text) || std::sscanf(text.c_str(), "%ld", &kib) != 1) return -1;
    return double(kib) * 1024;
}

void peak_case(benchmark::State& state, const std::string& kind) {
    for (auto _ : state) {
        const double peak = spawn_build(kind);
        if (peak < 0) {
            state.SkipWithError("the build did not finish");
            return;
        }
        peaks[kind].push_back(peak);
        state.SetIterationTime(1);
    }
}

void print_row(const char* label, const Row& row, double target) {
    if (row.ours.empty()) {
        std::printf("  %-36s  (not run)\n", label);
        return;
    }
    const double ours = median(row.ours), classic = median(row.classic), ratio = ours / classic;
    char target_text[16] = "-";
    if (target > 0) std::snprintf(target_text, sizeof target_text, "%.2f", target);
    std::printf("  %-36s %9.1f %9.1f %7.2f %7s  %-6s %7.2f\n", label, 1000 * ours, 1000 * classic, ratio,
                target_text, target <= 0 ? "" : ratio <= target ? "met" : "MISSED",
                median(row.ours_cpu) / median(row.classic_cpu));
}

}  // namespace

void register_modern_benchmarks() {
    const int threads = cores();
    struct Case {
        const char* label;
        const char* kind;
        AtlasLayout layout;
        int threads;
    };
    static const Case cases[] = {
        {"rip box/srgb", "box", AtlasLayout::rip, threads},
        {"rip box/srgb, one thread", "box", AtlasLayout::rip, 1},
        {"rip kaiser/srgb", "kaiser", AtlasLayout::rip, threads},
        {"mip box/srgb", "box", AtlasLayout::mip, threads},
    };
    for (const Case& c : cases)
        benchmark::RegisterBenchmark((std::string("modern/") + c.label).c_str(),
                                     [c](benchmark::State& s) { modern_case(s, c.label, c.kind, c.layout, c.threads); })
            ->Iterations(MODERN_RUNS)->UseManualTime()->Unit(benchmark::kMillisecond);
    struct ShapeCase {
        const char* label;
        const char* what;
        AtlasLayout layout;
    };
    static const ShapeCase shapes[] = {
        {"mip chain box/srgb", "chain", AtlasLayout::mip},
        {"rip box/srgb", "atlas", AtlasLayout::rip},
        {"mip box/srgb", "atlas", AtlasLayout::mip},
    };
    for (const ShapeCase& c : shapes)
        benchmark::RegisterBenchmark((std::string("modern-shape/") + c.label).c_str(),
                                     [c](benchmark::State& s) { shape_case(s, c.label, c.what, c.layout); })
            ->Iterations(MODERN_RUNS)->UseManualTime()->Unit(benchmark::kMillisecond);
    for (const char* kind : {"classic", "box", "kaiser"})
        benchmark::RegisterBenchmark((std::string("modern-peak/") + kind).c_str(),
                                     [kind](benchmark::State& s) { peak_case(s, kind); })
            ->Iterations(PEAK_RUNS)->UseManualTime()->Unit(benchmark::kMillisecond);
}

void print_modern_table() {
    std::printf("  %-36s %9s %9s %7s %7s  %-6s %7s\n", "Modern atlas (vs classic atlas)", "build ms", "classic",
                "ratio", "target", "", "cpu");
    std::printf("  (%d threads; classic: canvas, copy and classic builder, one thread; cpu: ratio of processor\n"
                "  time, all threads, which other load on the machine disturbs less than wall time)\n",
                cores());
    print_row("rip box/srgb", rows["rip box/srgb"], 4.0);
    print_row("rip box/srgb, one thread", rows["rip box/srgb, one thread"], 0);
    print_row("rip kaiser/srgb", rows["rip kaiser/srgb"], 10.0);
    print_row("mip box/srgb (vs ordinary)", rows["mip box/srgb"], 0);
    std::printf("\n  %-36s %9s %9s %7s %7s\n", "1 x 16777216 (vs 4096 x 4096)", "build ms", "square", "ratio",
                "target");
    // A mip atlas of one column is as wide as its levels are many: 25 times
    // the source's pixels against twice, so it has no target.
    const struct {
        const char* label;
        double target;
    } shape_targets[] = {{"mip chain box/srgb", 2.0}, {"rip box/srgb", 2.0}, {"mip box/srgb", 0}};
    for (const auto& shape : shape_targets) {
        const ShapeRow& row = shape_rows[shape.label];
        if (row.column.empty()) {
            std::printf("  %-36s  (not run)\n", shape.label);
            continue;
        }
        const double column = median(row.column), square = median(row.square), ratio = column / square;
        char target_text[16] = "-";
        if (shape.target > 0) std::snprintf(target_text, sizeof target_text, "%.2f", shape.target);
        std::printf("  %-36s %9.1f %9.1f %7.2f %7s  %s\n", shape.label, 1000 * column, 1000 * square, ratio,
                    target_text, shape.target <= 0 ? "" : ratio <= shape.target ? "met" : "MISSED");
    }
    std::printf("\n  %-36s %9s %9s %7s %7s\n", "Modern peak memory (vs classic)", "peak MiB", "classic", "ratio",
                "target");
    const double classic = median(peaks["classic"]);
    for (const char* kind : {"box", "kaiser"}) {
        const std::vector<double>& samples = peaks[kind];
        if (samples.empty() || classic <= 0) {
            std::printf("  rip %-32s  (not run)\n", kind);
            continue;
        }
        const double peak = median(samples), ratio = peak / classic;
        std::printf("  rip %-32s %9.1f %9.1f %7.2f %7.2f  %s\n", kind, peak / 1048576, classic / 1048576, ratio, 2.5,
                    ratio <= 2.5 ? "met" : "MISSED");
    }
    std::printf("\n");
}

int run_modern_build(const char* kind) {
    const ImagePtr source = noise_source();
    if (!source) return 1;
    const Atlas atlas = build_atlas(*source, false, options_for(kind, AtlasLayout::rip, cores()));
    if (!atlas.image) return 1;
    // VmHWM, not getrusage: a spawned child's ru_maxrss starts from the
    // spawning process's, whose memory it shared until exec.
    FILE* status = std::fopen("/proc/self/status", "r");
    if (!status) return 1;
    char line[256];
    long kib = -1;
    while (kib < 0 && std::fgets(line, sizeof line, status)) std::sscanf(line, "VmHWM: %ld kB", &kib);
    std::fclose(status);
    if (kib < 0) return 1;
    std::printf("%ld\n", kib);
    return 0;
}
