// Tiled OpenEXR rows of the benchmark: whole processes, Orvandel's rip-map
// and mip-map files against exrmaketiled's and maketx's from one 4096 x 4096
// half RGBA source, interleaved run by run.
#ifndef ORVANDEL_BENCH_BENCH_EXR_H
#define ORVANDEL_BENCH_BENCH_EXR_H

#include <string>

// Writes the source into `directory` and registers the runs; a peer that is
// not installed is left out, and the table says so.
void register_exr_benchmarks(const std::string& directory);
void print_exr_table();

#endif
