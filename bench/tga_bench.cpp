// TGA decode throughput for 4096 x 4096 24-bit files, plain and run-length
// encoded. The files are made here, once, in the temp directory: a picture
// with flat bands (run packets) beside noisy ones (raw packets).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "formats/tga.h"

namespace {

constexpr int SIDE = 4096;

std::vector<uint8_t> bench_picture() {
    std::vector<uint8_t> bgr(size_t(SIDE) * SIDE * 3);
    uint32_t noise = 12345;
    for (int y = 0; y < SIDE; ++y) {
        for (int x = 0; x < SIDE; ++x) {
            uint8_t* p = &bgr[(size_t(y) * SIDE + x) * 3];
            if ((x / 64) % 2 == 0) {
                p[0] = uint8_t(y / 16);
                p[1] = uint8_t(x / 64);
                p[2] = 200;
            } else {
                noise = noise * 1103515245u + 12345u;
                p[0] = uint8_t(noise >> 16);
                p[1] = uint8_t(noise >> 8);
                p[2] = uint8_t(noise >> 24);
            }
        }
    }
    return bgr;
}

// Packets cover the whole picture in file order, crossing row ends: a run
// packet for two or more equal values, raw packets for everything else.
std::vector<uint8_t> encode_runs(const std::vector<uint8_t>& bgr) {
    const size_t count = bgr.size() / 3;
    auto same = [&](size_t a, size_t b) {
        return bgr[3 * a] == bgr[3 * b] && bgr[3 * a + 1] == bgr[3 * b + 1] && bgr[3 * a + 2] == bgr[3 * b + 2];
    };
    std::vector<uint8_t> out;
    size_t i = 0;
    while (i < count) {
        size_t n = 1;
        while (i + n < count && n < 128 && same(i, i + n)) ++n;
        if (n > 1) {
            out.push_back(uint8_t(0x80 | (n - 1)));
            out.insert(out.end(), &bgr[3 * i], &bgr[3 * i] + 3);
        } else {
            while (i + n < count && n < 128 && !same(i + n - 1, i + n)) ++n;
            if (i + n < count && n > 1 && same(i + n - 1, i + n)) --n;  // it starts the next run
            out.push_back(uint8_t(n - 1));
            out.insert(out.end(), &bgr[3 * i], &bgr[3 * i] + 3 * n);
        }
        i += n;
    }
    return out;
}

std::string write_bench_file(const char* name, bool run_length) {
    const std::vector<uint8_t> bgr = bench_picture();
    const std::vector<uint8_t> data = run_length ? encode_runs(bgr) : bgr;
    const uint8_t header[18] = {0, 0, uint8_t(run_length ? 10 : 2), 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                uint8_t(SIDE & 0xFF), uint8_t(SIDE >> 8), uint8_t(SIDE & 0xFF),
                                uint8_t(SIDE >> 8), 24, 0x20};
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("orvandel-bench-" + std::to_string(getpid()) + "-" + name))
                                 .string();
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return "";
    std::fwrite(header, 1, sizeof header, file);
    std::fwrite(data.data(), 1, data.size(), file);
    std::fclose(file);
    return path;
}

void run_decode(benchmark::State& state, bool run_length) {
    const std::string path = write_bench_file(run_length ? "rle.tga" : "plain.tga", run_length);
    if (path.empty()) {
        state.SkipWithError("cannot write the bench file");
        return;
    }
    // The encoder above is checked once, outside the timing.
    Image* check = load_tga(path.c_str());
    const std::vector<uint8_t> bgr = bench_picture();
    bool same = check != nullptr;
    for (size_t i = 0; same && i < size_t(SIDE) * SIDE; ++i)
        same = check->pixels[i] == (Pixel(bgr[3 * i]) << 16 | Pixel(bgr[3 * i + 1]) << 8 | bgr[3 * i + 2]);
    free_image(check);
    if (!same) {
        std::remove(path.c_str());
        state.SkipWithError("the bench file does not decode to its picture");
        return;
    }
    state.counters["file_MB"] = double(std::filesystem::file_size(path)) / 1e6;
    for (auto _ : state) {
        Image* image = load_tga(path.c_str());
        if (!image) {
            state.SkipWithError("load_tga declined the bench file");
            break;
        }
        benchmark::DoNotOptimize(image->pixels);
        free_image(image);
    }
    std::remove(path.c_str());
    const int64_t pixels = int64_t(state.iterations()) * SIDE * SIDE;
    state.SetItemsProcessed(pixels);
    state.counters["Mpixels"] = benchmark::Counter(double(pixels) / 1e6, benchmark::Counter::kIsRate);
}

void BM_TgaDecodePlain24(benchmark::State& state) { run_decode(state, false); }
void BM_TgaDecodeRle24(benchmark::State& state) { run_decode(state, true); }

BENCHMARK(BM_TgaDecodePlain24)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_TgaDecodeRle24)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
