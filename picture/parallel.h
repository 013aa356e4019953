// Work spread over threads: the items [0, count) handed out one run at a time
// to the calling thread and up to threads - 1 more, for stages that cannot
// reach the builders' row bands. Each item is done exactly once; which thread
// does it is left to chance, so callers make every item's output depend on
// the item alone.
#ifndef ORVANDEL_PICTURE_PARALLEL_H
#define ORVANDEL_PICTURE_PARALLEL_H

#include <cstdint>
#include <functional>

namespace orvandel {

// Calls work(begin, end) over runs of at most `run` items that together cover
// [0, count) once, on `threads` threads (the calling one included); fewer
// run when the system will not give more.
void run_parallel(int threads, int64_t count, int64_t run, const std::function<void(int64_t, int64_t)>& work);

}  // namespace orvandel

#endif
