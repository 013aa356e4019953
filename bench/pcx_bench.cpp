// PCX decode throughput: a 4096 x 4096 24-bit file, made here with a small
// run-length encoder, loaded through load_pcx24. items_per_second is pixels.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "formats/pcx.h"

namespace {

constexpr int SIZE = 4096;

// One plane of one scan line: runs of up to 63 equal bytes, and single bytes
// below 192 as themselves.
void encode_plane(const uint8_t* in, int count, std::vector<uint8_t>* out) {
    for (int i = 0; i < count;) {
        int run = 1;
        while (i + run < count && run < 63 && in[i + run] == in[i]) ++run;
        if (run > 1 || in[i] >= 0xC0) out->push_back(static_cast<uint8_t>(0xC0 | run));
        out->push_back(in[i]);
        i += run;
    }
}

// A texture-like mix: flat bands (long runs), a gradient (short runs) and
// noise (literals and one-byte runs).
std::vector<uint8_t> make_pcx24() {
    std::vector<uint8_t> file(128, 0);
    file[0] = 10;
    file[1] = 5;
    file[2] = 1;
    file[3] = 8;
    write_le16(&file[8], SIZE - 1);
    write_le16(&file[10], SIZE - 1);
    file[65] = 3;
    write_le16(&file[66], SIZE);
    std::vector<uint8_t> plane(SIZE);
    uint32_t noise = 12345;
    for (int y = 0; y < SIZE; ++y) {
        for (int p = 0; p < 3; ++p) {
            for (int x = 0; x < SIZE; ++x) {
                noise = noise * 1103515245u + 12345u;
                if (x < SIZE / 3)
                    plane[x] = static_cast<uint8_t>((y / 64) * 40 + p * 70);
                else if (x < 2 * SIZE / 3)
                    plane[x] = static_cast<uint8_t>((x / 4 + y + p * 30) & 0xFF);
                else
                    plane[x] = static_cast<uint8_t>(noise >> 24);
            }
            encode_plane(plane.data(), SIZE, &file);
        }
    }
    return file;
}

void BM_PcxDecode24(benchmark::State& state) {
    char path[] = "/tmp/orvandel-pcx-bench-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) {
        state.SkipWithError("cannot make a temporary file");
        return;
    }
    const std::vector<uint8_t> file = make_pcx24();
    const bool written = write(fd, file.data(), file.size()) == static_cast<ssize_t>(file.size());
    close(fd);
    if (!written) {
        unlink(path);
        state.SkipWithError("cannot write the temporary file");
        return;
    }
    for (auto _ : state) {
        Image* image = load_pcx24(path);
        if (!image) {
            state.SkipWithError("load_pcx24 declined the file");
            break;
        }
        benchmark::DoNotOptimize(image->pixels);
        free_image(image);
    }
    unlink(path);
    state.SetItemsProcessed(state.iterations() * int64_t(SIZE) * SIZE);
    state.SetBytesProcessed(state.iterations() * int64_t(file.size()));
    state.counters["Mpixels"] =
        benchmark::Counter(double(SIZE) * SIZE / 1e6 * double(state.iterations()), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(BM_PcxDecode24)->Unit(benchmark::kMillisecond)->UseRealTime();
