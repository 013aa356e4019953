// One benchmark program for the whole tool; each bench/*.cpp registers its own cases.
#include <benchmark/benchmark.h>

BENCHMARK_MAIN();
