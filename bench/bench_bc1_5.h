// The BC1-BC5 encoders' rows of the benchmark: PSNR and megapixels a second
// on one thread over ../shared/textures, beside libsquish on the same blocks.
#ifndef ORVANDEL_BENCH_BENCH_BC1_5_H
#define ORVANDEL_BENCH_BENCH_BC1_5_H

void register_bc1_5_benchmarks();
void print_bc1_5_table();

#endif
