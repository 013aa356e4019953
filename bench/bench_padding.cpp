// A 4096 x 4096 noise source built as a rip and a mip atlas with box
// filtering, packed and then with padding 4 and alignment 4 (what a block
// format asks for), in turns and in alternating order, so load on the
// machine and memory made ready by the build before fall on both alike.
// Wall and processor time (user + system, all threads) are both reported.
#include "bench/bench_padding.h"

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_files.h"
#include "builders/modern.h"

namespace {

constexpr int PADDING_RUNS = 6;

struct Row {
    std::vector<double> padded, packed, padded_cpu, packed_cpu;
};
std::map<std::string, Row> rows;

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double cpu_seconds() {
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

// Wall seconds of one build, or -1; `cpu` gets its processor seconds.
double time_build(const Image& source, const FilterOptions& options, double* cpu) {
    const double cpu_start = cpu_seconds();
    const auto start = std::chrono::steady_clock::now();
    const Atlas atlas = build_atlas(source, false, options);
    benchmark::DoNotOptimize(atlas.image.get());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    *cpu = cpu_seconds() - cpu_start;
    return atlas.image ? seconds : -1;
}

void padding_case(benchmark::State& state, const std::string& label, AtlasLayout layout) {
    ImagePtr source(new_image(BENCH_SIDE, BENCH_SIDE));
    if (!source) {
        state.SkipWithError("no memory for the source");
        return;
    }
    uint32_t noise = 12345;
    for (int64_t k = 0; k < int64_t(BENCH_SIDE) * BENCH_SIDE; ++k) {
        noise = noise * 1664525u + 1013904223u;
        source->pixels[k] = noise >> 8;
    }
    FilterOptions packed;
    packed.layout = layout;
    packed.threads = std::max(1, int(std::thread::hardware_concurrency()));
    FilterOptions padded = packed;
    padded.padding = 4;
    padded.alignment = 4;
    Row& row = rows[label];
    bool padded_first = false;
    for (auto _ : state) {
        // The order alternates: whichever build comes first in a pair pays
        // for memory the other then finds ready.
        double packed_cpu = 0, padded_cpu = 0, reference = 0, seconds = 0;
        if (padded_first) seconds = time_build(*source, padded, &padded_cpu);
        reference = time_build(*source, packed, &packed_cpu);
        if (!padded_first) seconds = time_build(*source, padded, &padded_cpu);
        padded_first = !padded_first;
        if (reference < 0 || seconds < 0) {
            state.SkipWithError("no memory for the atlas");
            return;
        }
        row.packed.push_back(reference);
        row.padded.push_back(seconds);
        row.packed_cpu.push_back(packed_cpu);
        row.padded_cpu.push_back(padded_cpu);
        state.SetIterationTime(seconds);
    }
}

}  // namespace

void register_padding_benchmarks() {
    for (const auto layout : {AtlasLayout::rip, AtlasLayout::mip}) {
        const std::string label = layout == AtlasLayout::rip ? "rip box" : "mip box";
        benchmark::RegisterBenchmark(("padding/" + label).c_str(),
                                     [label, layout](benchmark::State& s) { padding_case(s, label, layout); })
            ->Iterations(PADDING_RUNS)->UseManualTime()->Unit(benchmark::kMillisecond);
    }
}

void print_padding_table() {
    std::printf("  %-36s %9s %9s %7s %9s %9s %7s\n", "Padding 4, alignment 4 (vs packed)", "build ms", "packed",
                "ratio", "cpu ms", "packed", "ratio");
    for (const char* label : {"rip box", "mip box"}) {
        const Row& row = rows[label];
        if (row.padded.empty()) {
            std::printf("  %-36s  (not run)\n", label);
            continue;
        }
        const double padded = median(row.padded), packed = median(row.packed);
        const double padded_cpu = median(row.padded_cpu), packed_cpu = median(row.packed_cpu);
        std::printf("  %-36s %9.1f %9.1f %7.2f %9.1f %9.1f %7.2f\n", label, 1000 * padded, 1000 * packed,
                    padded / packed, 1000 * padded_cpu, 1000 * packed_cpu, padded_cpu / packed_cpu);
    }
    std::printf("\n");
}
