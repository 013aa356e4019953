// Padded atlases against packed ones: the cost of moving the blocks apart
// and filling their padding, built from the same source in the same
// iteration.
#ifndef ORVANDEL_BENCH_BENCH_PADDING_H
#define ORVANDEL_BENCH_BENCH_PADDING_H

void register_padding_benchmarks();
void print_padding_table();

#endif
