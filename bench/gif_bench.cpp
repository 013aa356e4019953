// Decode throughput of a 4096 x 4096 GIF frame, file to Image, in pixels per
// second (items_per_second). The file is made here with the test encoder: a
// texture of 256 colours with smooth bands and some noise, so that strings of
// every length show up.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "formats/gif.h"
#include "tests/gif_lzw_encoder.h"

namespace {

constexpr int SIDE = 4096;

const std::vector<uint8_t>& bench_gif() {
    static std::vector<uint8_t> file;
    if (!file.empty()) return file;
    std::vector<uint8_t> indices(size_t(SIDE) * SIDE);
    std::mt19937 random(42);
    for (int y = 0; y < SIDE; ++y)
        for (int x = 0; x < SIDE; ++x)
            indices[size_t(y) * SIDE + x] = static_cast<uint8_t>((x / 6 + (y / 5) * 3 + (random() & 3)) & 0xFF);
    const uint8_t header[13] = {'G', 'I', 'F', '8', '9', 'a', SIDE & 0xFF, SIDE >> 8, SIDE & 0xFF, SIDE >> 8,
                                0x87, 0, 0};
    file.assign(header, header + sizeof header);
    for (int i = 0; i < 256; ++i) {
        file.push_back(static_cast<uint8_t>(i));
        file.push_back(static_cast<uint8_t>(255 - i));
        file.push_back(static_cast<uint8_t>(i * 7));
    }
    const uint8_t descriptor[11] = {0x2C, 0, 0, 0, 0, SIDE & 0xFF, SIDE >> 8, SIDE & 0xFF, SIDE >> 8, 0, 8};
    file.insert(file.end(), descriptor, descriptor + sizeof descriptor);
    const std::vector<uint8_t> data = gif_encoder::sub_blocks(gif_encoder::lzw_encode(indices, 8));
    file.insert(file.end(), data.begin(), data.end());
    file.push_back(0x3B);
    return file;
}

void BM_GifLoad4096(benchmark::State& state) {
    const std::vector<uint8_t>& bytes = bench_gif();
    char path[] = "/tmp/orvandel_gif_bench_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) {
        state.SkipWithError("no temporary file");
        return;
    }
    FILE* out = fdopen(fd, "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), out);
    std::fclose(out);
    for (auto _ : state) {
        Image* image = load_gif(path);
        if (!image) {
            state.SkipWithError("load failed");
            break;
        }
        benchmark::DoNotOptimize(image->pixels);
        free_image(image);
    }
    std::remove(path);
    state.SetItemsProcessed(state.iterations() * int64_t(SIDE) * SIDE);
    state.counters["file_MB"] = double(bytes.size()) / 1e6;
}
BENCHMARK(BM_GifLoad4096)->Unit(benchmark::kMillisecond);

}  // namespace
