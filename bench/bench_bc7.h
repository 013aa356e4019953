// The BC7 encoder's rows: PSNR and speed on ../shared/textures per quality.
#ifndef ORVANDEL_BENCH_BENCH_BC7_H
#define ORVANDEL_BENCH_BENCH_BC7_H

void register_bc7_benchmarks();
// The table of the rows' figures against their goals; nothing without the textures.
void print_bc7_table();

#endif
