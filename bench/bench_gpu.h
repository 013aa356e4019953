// The GPU texture rows of the benchmark: the block encoders on the images of
// ../shared/textures beside the free encoders run in the same pass, and a
// 4096 x 4096 BC7 chain in KTX2 on one thread and on two.
#ifndef ORVANDEL_BENCH_BENCH_GPU_H
#define ORVANDEL_BENCH_BENCH_GPU_H

void run_gpu_bench();

#endif
