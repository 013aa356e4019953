// The modern builders' rows of the benchmark: build times against the
// classic atlas built from the same source in the same iteration, and the
// peak memory of one build in a process of its own.
#ifndef ORVANDEL_BENCH_BENCH_MODERN_H
#define ORVANDEL_BENCH_BENCH_MODERN_H

// The flag that makes the benchmark binary run one build and print its peak.
constexpr char RUN_BUILD_FLAG[] = "--run-build";

void register_modern_benchmarks();
void print_modern_table();
// One 4096 x 4096 build of `kind` (classic, box, kaiser), then its peak
// resident memory in KiB on standard output.
int run_modern_build(const char* kind);

#endif
