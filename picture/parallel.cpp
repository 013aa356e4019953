#include "picture/parallel.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>
#include <vector>

namespace orvandel {

void run_parallel(int threads, int64_t count, int64_t run, const std::function<void(int64_t, int64_t)>& work) {
    if (count <= 0) return;
    run = std::max<int64_t>(1, run);
    const int64_t runs = (count + run - 1) / run;
    const int helpers = int(std::min<int64_t>(std::max(1, threads), runs)) - 1;
    std::atomic<int64_t> next{0};
    auto take = [&]() {
        for (int64_t k; (k = next.fetch_add(1)) < runs;) work(k * run, std::min(count, (k + 1) * run));
    };
    std::vector<std::thread> pool;
    for (int t = 0; t < helpers; ++t) {
        try {
            pool.emplace_back(take);
        } catch (const std::exception&) {  // no thread to be had: the others do its share
            break;
        }
    }
    take();
    for (std::thread& thread : pool) thread.join();
}

}  // namespace orvandel
