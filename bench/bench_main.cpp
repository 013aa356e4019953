// The benchmark: every cost of a run on 4096 x 4096 sources, each measured
// beside its reference in the same iteration (so both see the same machine
// state), and one table at the end with the ratios and their targets.
//   decode        load_image_file against stb_image on the same file
//   atlas         each builder against one memcpy of the canvas
//   writer        write_bmp24 against one fwrite of the same number of bytes
//   whole tool    the real binary against the I/O floor (a process that reads
//                 the input, fills and writes a file the atlas's size and
//                 renames it over an existing output), and its peak resident
//                 memory against source plus canvas bytes
// Ratios are of medians over a fixed, small number of runs.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "bench/bench_bc1_5.h"
#include "bench/bench_bc7.h"
#include "bench/bench_files.h"
#include "bench/bench_gpu.h"
#include "bench/bench_exr.h"
#include "bench/bench_modern.h"
#include "bench/bench_padding.h"
#include "readers/bmp.h"
#include "writers/bmp_writer.h"
#include "readers/load_image.h"
#include "builders/classic.h"
#ifdef ORVANDEL_HAVE_STB
#include "bench/stb_decode.h"
#endif

using namespace orvandel;


namespace {

constexpr int DECODE_RUNS = 5;
constexpr int ATLAS_RUNS = 10;
constexpr int WRITER_RUNS = 5;
constexpr int TOOL_RUNS = 7;

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Samples of one table row: ours, the reference, and for whole runs the peak
// resident memory in bytes.
struct Samples {
    std::vector<double> ours;
    std::vector<double> reference;
    std::vector<double> peak_bytes;
};
std::map<std::string, Samples> results;

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

size_t canvas_bytes(bool rip) {
    return size_t(2 * BENCH_SIDE) * size_t((rip ? 2 : 1) * BENCH_SIDE) * sizeof(Pixel);
}

int64_t atlas_file_bytes(bool rip) {
    return bmp24_file_size(2 * BENCH_SIDE, (rip ? 2 : 1) * BENCH_SIDE);
}

// Fresh file, one whole-buffer fwrite, closed: what any writer of these bytes
// must at least pay.
double time_fwrite(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::remove(path.c_str());
    const Clock::time_point start = Clock::now();
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return -1;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const bool closed = std::fclose(file) == 0;
    const double seconds = seconds_since(start);
    return written && closed ? seconds : -1;
}

// ---------------------------------------------------------------------------
// Decoding

void decode_case(benchmark::State& state, const BenchFile& file) {
    Samples& row = results["decode " + file.label];
    for (auto _ : state) {
        Clock::time_point start = Clock::now();
        LoadResult loaded = load_image_file(file.path);
        const double ours = seconds_since(start);
        if (!loaded.image) {
            state.SkipWithError("the tool declined the file");
            return;
        }
        loaded.image.reset();
        row.ours.push_back(ours);
        state.SetIterationTime(ours);
#ifdef ORVANDEL_HAVE_STB
        if (file.stb_reads) {
            int w = 0, h = 0, channels = 0;
            start = Clock::now();
            uint8_t* theirs = stb_decode(file.path.c_str(), &w, &h, &channels);
            const double seconds = seconds_since(start);
            if (!theirs) {
                state.SkipWithError("stb_image declined the file");
                return;
            }
            stb_release(theirs);
            row.reference.push_back(seconds);
        }
#endif
    }
}

// Whether each decoded pixel (`channels` bytes, red first; a Pixel's bytes on
// this little-endian machine)
// is within `tolerance` of the expected one in every channel it has.
// Alpha is compared only where the file has it (stb_image gives GIF an opaque one).
bool within(const std::vector<Pixel>& expected, const uint8_t* bytes, int channels, int tolerance, bool alpha) {
    const int compared = alpha ? channels : std::min(channels, 3);
    for (size_t i = 0; i < expected.size(); ++i)
        for (int c = 0; c < compared; ++c) {
            const int want = int(expected[i] >> (8 * c) & 0xFF);
            const int got = bytes[i * size_t(channels) + size_t(c)];
            if (std::abs(want - got) > tolerance) return false;
        }
    return true;
}

// The generated files must decode to their pictures, in both decoders, or the
// comparison would not be of the same work.
bool check_decoders(const std::vector<BenchFile>& files) {
    for (const BenchFile& file : files) {
        const ImagePtr image = load_image_file(file.path).image;
        // Ours exactly: a lossy file's expected picture is libjpeg-turbo's own.
        const bool same = image && image->width == BENCH_SIDE && image->height == BENCH_SIDE &&
                          within(file.expected, reinterpret_cast<const uint8_t*>(image->pixels), 4, 0, true);
        if (!same) {
            std::fprintf(stderr, "%s: the tool does not decode it to its picture\n", file.label.c_str());
            return false;
        }
#ifdef ORVANDEL_HAVE_STB
        if (!file.stb_reads) continue;
        int w = 0, h = 0, channels = 0;
        uint8_t* theirs = stb_decode(file.path.c_str(), &w, &h, &channels);
        const bool match = theirs && w == BENCH_SIDE && h == BENCH_SIDE && channels >= 3 &&
                           within(file.expected, theirs, channels, file.tolerance, file.alpha);
        if (theirs) stb_release(theirs);
        if (!match) {
            std::fprintf(stderr, "%s: stb_image does not decode it to its picture\n", file.label.c_str());
            return false;
        }
#endif
    }
    return true;
}

// ---------------------------------------------------------------------------
// Atlas building

// Zero everything but the source corner, as the driver hands the canvas over.
void clear_outside_source(Image* canvas) {
    for (int32_t r = 0; r < canvas->height; ++r) {
        Pixel* row = canvas->pixels + int64_t(r) * canvas->width;
        const int32_t from = r < BENCH_SIDE ? BENCH_SIDE : 0;
        std::memset(row + from, 0, sizeof(Pixel) * size_t(canvas->width - from));
    }
}

Image* noise_canvas(bool rip) {
    Image* canvas = new_image(2 * BENCH_SIDE, (rip ? 2 : 1) * BENCH_SIDE);
    if (!canvas) return nullptr;
    uint32_t state = 12345;
    for (int32_t r = 0; r < BENCH_SIDE; ++r)
        for (int32_t c = 0; c < BENCH_SIDE; ++c) {
            state = state * 1664525u + 1013904223u;
            canvas->pixels[int64_t(r) * canvas->width + c] = state >> 8;
        }
    return canvas;
}


// ---------------------------------------------------------------------------
// Writing

// One writer against one fwrite of as many bytes, in turns.
template <typename Write>
void time_writer(benchmark::State& state, Samples* row, const std::string& directory,
                 const std::vector<uint8_t>& bytes, Write write) {
    const std::string ours_path = directory + "/writer.bmp";
    const std::string floor_path = directory + "/fwrite.bin";
    for (auto _ : state) {
        std::remove(ours_path.c_str());
        const Clock::time_point start = Clock::now();
        const bool written = static_cast<bool>(write(ours_path.c_str()));
        const double ours = seconds_since(start);
        const double floor = time_fwrite(floor_path, bytes);
        if (!written || floor < 0) {
            state.SkipWithError("cannot write the output");
            break;
        }
        row->ours.push_back(ours);
        row->reference.push_back(floor);
        state.SetIterationTime(ours);
    }
    std::remove(ours_path.c_str());
    std::remove(floor_path.c_str());
}

void writer_case(benchmark::State& state, const std::string& directory) {
    Samples& row = results["writer"];
    Image* canvas = noise_canvas(true);
    if (!canvas) {
        state.SkipWithError("no memory for the canvas");
        return;
    }
    build_classic_rip(canvas);
    const std::vector<uint8_t> bytes(size_t(atlas_file_bytes(true)), 0x5A);
    time_writer(state, &row, directory, bytes, [&](const char* path) { return write_bmp24(path, canvas); });
    free_image(canvas);
}

// ---------------------------------------------------------------------------
// The same on the canvas the tool builds on: the atlas held as its BMP file

BgrImagePtr noise_file_canvas(bool rip) {
    BgrImagePtr canvas = new_bmp24_atlas(BENCH_SIDE, BENCH_SIDE, rip);
    if (!canvas) return canvas;
    uint32_t state = 12345;
    for (int32_t r = 0; r < BENCH_SIDE; ++r)
        for (int32_t c = 0; c < 3 * BENCH_SIDE; ++c) {
            state = state * 1664525u + 1013904223u;
            bgr_at(canvas.get(), 0, r)[c] = uint8_t(state >> 24);
        }
    return canvas;
}

void clear_outside_source(BgrImage* canvas) {
    for (int32_t r = 0; r < canvas->height; ++r) {
        const int32_t from = r < BENCH_SIDE ? BENCH_SIDE : 0;
        std::memset(bgr_at(canvas, from, r), 0, 3 * size_t(canvas->width - from));
    }
}

// One builder against one memcpy of the canvas's bytes, in turns. Every page
// of both buffers is in before anything is timed: this is the builder's own
// cost (the whole-tool figures count the page faults).
template <typename Canvas>
void time_atlas_build(benchmark::State& state, Samples* row, Canvas* canvas, bool rip, const void* data,
                      size_t bytes) {
    clear_outside_source(canvas);
    std::vector<uint8_t> copy(bytes, 1);
    for (auto _ : state) {
        clear_outside_source(canvas);
        Clock::time_point start = Clock::now();
        if (rip)
            build_classic_rip(canvas);
        else
            build_classic_mip(canvas);
        benchmark::ClobberMemory();
        const double build = seconds_since(start);

        start = Clock::now();
        std::memcpy(copy.data(), data, bytes);
        benchmark::ClobberMemory();
        const double memcpy_time = seconds_since(start);

        row->ours.push_back(build);
        row->reference.push_back(memcpy_time);
        state.SetIterationTime(build);
    }
    benchmark::DoNotOptimize(copy.data());
}

void atlas_case(benchmark::State& state, bool rip) {
    Samples& row = results[rip ? "atlas bi-directional" : "atlas ordinary"];
    Image* canvas = noise_canvas(rip);
    if (!canvas) {
        state.SkipWithError("no memory for the canvas");
        return;
    }
    time_atlas_build(state, &row, canvas, rip, canvas->pixels, canvas_bytes(rip));
    free_image(canvas);
}

void file_atlas_case(benchmark::State& state, bool rip) {
    Samples& row = results[rip ? "file atlas bi-directional" : "file atlas ordinary"];
    BgrImagePtr canvas = noise_file_canvas(rip);
    if (!canvas) {
        state.SkipWithError("no memory for the canvas");
        return;
    }
    time_atlas_build(state, &row, canvas.get(), rip, canvas->file, canvas->file_bytes);
}

void file_writer_case(benchmark::State& state, const std::string& directory) {
    Samples& row = results["file writer"];
    BgrImagePtr canvas = noise_file_canvas(true);
    if (!canvas) {
        state.SkipWithError("no memory for the canvas");
        return;
    }
    build_classic_rip(canvas.get());
    const std::vector<uint8_t> bytes(canvas->file_bytes, 0x5A);
    time_writer(state, &row, directory, bytes,
                [&](const char* path) { return write_bmp24_image(path, canvas.get()); });
}

// ---------------------------------------------------------------------------
// The whole tool

// A source the whole tool runs on: one of the 4096 x 4096 files or a smaller
// 24-bit BMP.
struct ToolSource {
    std::string label;
    std::string path;
    int32_t side;
};

std::string tool_row(const std::string& label, bool rip) {
    return "tool " + label + (rip ? ", bi-directional" : ", ordinary");
}

// A side x side noise picture as a 24-bit BMP file; empty when it cannot be written.
std::string small_bmp(const std::string& directory, int32_t side) {
    const ImagePtr image(new_image(side, side));
    if (!image) return std::string();
    uint32_t state = uint32_t(side);
    for (int64_t k = 0; k < int64_t(side) * side; ++k) image->pixels[k] = (state = state * 1664525u + 1013904223u) >> 8;
    const std::string path = directory + "/bmp" + std::to_string(side) + ".bmp";
    return write_bmp24(path.c_str(), image.get()) ? path : std::string();
}

// A child's peak resident memory is the most its memory ever held, and a
// child forked from this (large) process starts out holding what this one
// does. So the tool is started from a small launcher, this program run again
// with RUN_TOOL_FLAG, which forks, runs the tool with standard input and
// output on /dev/null, and prints the tool's wall time, peak and status.
const char RUN_TOOL_FLAG[] = "--run-tool";

int launch_tool(char** argv) {
    const Clock::time_point start = Clock::now();
    const pid_t pid = fork();
    if (pid < 0) return 1;
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        if (null < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0) _exit(127);
        execv(argv[0], argv);
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) != pid) return 1;
    const double seconds = seconds_since(start);
    std::printf("%.9f %ld %d\n", seconds, usage.ru_maxrss, WIFEXITED(status) ? WEXITSTATUS(status) : -1);
    return 0;
}

// Runs a program once through the launcher: false unless it ended with status 0.
bool run_launched(std::vector<std::string> command, double* seconds, double* peak_bytes) {
    command.insert(command.begin(), RUN_TOOL_FLAG);
    std::string text;
    long peak_kib = 0;
    int tool_status = -1;
    if (!run_self(command, &text) || std::sscanf(text.c_str(), "%lf %ld %d", seconds, &peak_kib, &tool_status) != 3)
        return false;
    *peak_bytes = double(peak_kib) * 1024;
    return tool_status == 0;
}

bool run_tool(const std::string& input, bool rip, double* seconds, double* peak_bytes) {
    std::vector<std::string> command = {ORVANDEL_BINARY, input};
    if (!rip) command.push_back("ord");
    return run_launched(command, seconds, peak_bytes);
}

std::string atlas_path(const std::string& input) {
    return input.substr(0, input.rfind('.')) + "_mip.bmp";
}

// The floor for the same input and atlas, replacing an output of its own.
bool run_floor(const std::string& input, int64_t atlas_bytes, const std::string& output, double* seconds) {
    double peak = 0;
    return run_launched({ORVANDEL_IO_FLOOR, input, output, std::to_string(atlas_bytes)}, seconds, &peak);
}

// The whole tool and the floor in turns, each replacing the output its
// previous run left (a rename over an existing file costs a flush of the new
// one on ext4 and others, and the user's second run pays it).
void tool_case(benchmark::State& state, const ToolSource& source, bool rip, const std::string& directory) {
    Samples& row = results[tool_row(source.label, rip)];
    const int64_t atlas_bytes = bmp24_file_size(2 * int64_t(source.side), (rip ? 2 : 1) * int64_t(source.side));
    const std::string floor_path = directory + "/floor_mip.bmp";
    double seconds = 0, peak = 0, floor = 0;
    if (!run_tool(source.path, rip, &seconds, &peak) || !run_floor(source.path, atlas_bytes, floor_path, &floor)) {
        state.SkipWithError("the tool or the floor did not write its file");
        return;
    }
    for (auto _ : state) {
        if (!run_tool(source.path, rip, &seconds, &peak)) {
            state.SkipWithError("the tool did not write its atlas");
            break;
        }
        if (!run_floor(source.path, atlas_bytes, floor_path, &floor)) {
            state.SkipWithError("cannot measure the I/O floor");
            break;
        }
        row.ours.push_back(seconds);
        row.reference.push_back(floor);
        row.peak_bytes.push_back(peak);
        state.SetIterationTime(seconds);
    }
    std::remove(atlas_path(source.path).c_str());
    std::remove(floor_path.c_str());
}

// ---------------------------------------------------------------------------
// The table

std::string cpu_model() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line))
        if (line.rfind("model name", 0) == 0) return line.substr(line.find(':') + 2);
    return "unknown CPU";
}

void print_ratio_row(const char* label, const Samples& s, double target, const char* missing_note = nullptr) {
    const double ours = median(s.ours), reference = median(s.reference);
    if (s.ours.empty()) {
        std::printf("  %-36s  (not run)\n", label);
        return;
    }
    if (s.reference.empty() || reference <= 0) {
        std::printf("  %-36s %9.1f %9s %7s %7s  %s\n", label, 1000 * ours, "-", "-", "-",
                    missing_note ? missing_note : "no reference");
        return;
    }
    const double ratio = ours / reference;
    char target_text[16] = "-";
    if (target > 0) std::snprintf(target_text, sizeof target_text, "%.2f", target);
    std::printf("  %-36s %9.1f %9.1f %7.2f %7s  %s\n", label, 1000 * ours, 1000 * reference, ratio, target_text,
                target <= 0 ? "" : ratio <= target ? "met" : "MISSED");
}

void print_table(const std::vector<BenchFile>& files, const std::vector<ToolSource>& tools) {
    std::printf("\nOrvandel benchmark: %d x %d sources; medians of %d (decode), %d (atlas), %d (writer), %d (tool) "
                "runs\nMachine: %ld cores, %s\n\n",
                BENCH_SIDE, BENCH_SIDE, DECODE_RUNS, ATLAS_RUNS, WRITER_RUNS, TOOL_RUNS, sysconf(_SC_NPROCESSORS_ONLN),
                cpu_model().c_str());
    std::printf("  %-36s %9s %9s %7s %7s\n", "Decode (ours vs stb_image)", "ours ms", "stb ms", "ratio", "target");
#ifndef ORVANDEL_HAVE_STB
    std::printf("  (stb_image is not installed (Debian's libstb-dev): no reference decodes)\n");
#endif
    for (const BenchFile& file : files) {
        const bool has_target = file.label.rfind("BMP 24", 0) == 0 || file.label.rfind("TGA", 0) == 0 ||
                                file.label == "GIF" || file.label.rfind("PNG", 0) == 0 ||
                                file.label.rfind("JPEG", 0) == 0;
        print_ratio_row(file.label.c_str(), results["decode " + file.label], has_target ? 1.0 : 0,
                        file.stb_reads ? "stb_image not installed" : "stb_image has no decoder for it");
    }
    std::printf("\n  %-36s %9s\n", "Decode throughput (ours)", "Mpx/s");
    for (const BenchFile& file : files) {
        const Samples& s = results["decode " + file.label];
        if (!s.ours.empty() && median(s.ours) > 0)
            std::printf("  %-36s %9.1f\n", file.label.c_str(), double(BENCH_SIDE) * BENCH_SIDE / median(s.ours) / 1e6);
    }
    std::printf("\n  %-36s %9s %9s %7s %7s\n", "Atlas build (vs memcpy of canvas)", "build ms", "memcpy", "ratio",
                "target");
    print_ratio_row("bi-directional (8192 x 8192 canvas)", results["atlas bi-directional"], 2.0);
    print_ratio_row("ordinary (8192 x 4096 canvas)", results["atlas ordinary"], 1.0);
    print_ratio_row("bi-directional, the run's canvas", results["file atlas bi-directional"], 2.0);
    print_ratio_row("ordinary, the run's canvas", results["file atlas ordinary"], 1.0);
    std::printf("\n  %-36s %9s %9s %7s %7s\n", "Writer (vs fwrite of the bytes)", "write ms", "fwrite", "ratio",
                "target");
    print_ratio_row("write_bmp24, 8192 x 8192", results["writer"], 1.5);
    print_ratio_row("write_bmp24_image (the run's)", results["file writer"], 1.5);
    std::printf("\n  %-36s %9s %9s %7s %7s\n", "Whole tool (vs I/O floor)", "tool ms", "floor ms", "ratio", "target");
    std::printf("  (floor: a process that reads the input, fills and writes a buffer the atlas's size and\n"
                "  renames it over an existing output; runs in turns with the tool's)\n");
    for (const ToolSource& tool : tools)
        for (const bool rip : {true, false}) {
            const double target = tool.side < BENCH_SIDE    ? 3.0
                                  : tool.label == "GIF"        ? 2.5
                                  : tool.label == "BMP 24-bit" ? 1.5
                                                               : 0;
            const std::string row = tool_row(tool.label, rip);
            print_ratio_row(row.c_str() + 5, results[row], target);
        }
    std::printf("\n  %-36s %9s %9s %7s %7s\n", "Peak memory (vs source + canvas)", "peak MiB", "src+cv", "ratio",
                "target");
    for (const ToolSource& tool : tools)
        for (const bool rip : {true, false}) {
            const std::string row = tool_row(tool.label, rip);
            const Samples& s = results[row];
            if (s.peak_bytes.empty()) continue;
            const double pixels = double(tool.side) * tool.side * sizeof(Pixel);
            const double budget = pixels * (rip ? 5 : 3);
            const double peak = median(s.peak_bytes);
            const double ratio = peak / budget;
            // A small source's budget is smaller than the process's own few MiB: no target there.
            if (tool.side < BENCH_SIDE)
                std::printf("  %-36s %9.1f %9.1f %7.3f %7s\n", row.c_str() + 5, peak / 1048576, budget / 1048576,
                            ratio, "-");
            else
                std::printf("  %-36s %9.1f %9.1f %7.3f %7.2f  %s\n", row.c_str() + 5, peak / 1048576,
                            budget / 1048576, ratio, 1.1, ratio <= 1.1 ? "met" : "MISSED");
        }
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], RUN_TOOL_FLAG) == 0) return launch_tool(argv + 2);
    if (argc == 3 && std::strcmp(argv[1], RUN_BUILD_FLAG) == 0) return run_modern_build(argv[2]);
    // The GPU texture rows alone.
    if (argc == 2 && std::strcmp(argv[1], "--gpu") == 0) {
        run_gpu_bench();
        return 0;
    }
    // The sources alone, kept, for profiling the tool on them.
    if (argc == 3 && std::strcmp(argv[1], "--write-sources") == 0)
        return make_bench_files(argv[2]).empty() ? 1 : 0;

    benchmark::Initialize(&argc, argv);
    const std::string directory =
        (std::filesystem::temp_directory_path() / ("orvandel-bench-" + std::to_string(getpid()))).string();
    std::filesystem::create_directories(directory);
    std::printf("Writing the 4096 x 4096 sources to %s ...\n", directory.c_str());
    std::fflush(stdout);
    const std::vector<BenchFile> files = make_bench_files(directory);
    if (files.empty() || !check_decoders(files)) {
        std::filesystem::remove_all(directory);
        return 1;
    }

    for (const BenchFile& file : files)
        benchmark::RegisterBenchmark(("decode/" + file.label).c_str(),
                                     [&file](benchmark::State& s) { decode_case(s, file); })
            ->Iterations(DECODE_RUNS)->UseManualTime()->Unit(benchmark::kMillisecond);
    for (const bool rip : {true, false})
        benchmark::RegisterBenchmark(rip ? "atlas/bi-directional" : "atlas/ordinary",
                                     [rip](benchmark::State& s) { atlas_case(s, rip); })
            ->Iterations(ATLAS_RUNS)->UseManualTime()->Unit(benchmark::kMillisecond);
    for (const bool rip : {true, false})
        benchmark::RegisterBenchmark(rip ? "atlas/file/bi-directional" : "atlas/file/ordinary",
                                     [rip](benchmark::State& s) { file_atlas_case(s, rip); })
            ->Iterations(ATLAS_RUNS)->UseManualTime()->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("writer/write_bmp24",
                                 [&directory](benchmark::State& s) { writer_case(s, directory); })
        ->Iterations(WRITER_RUNS)->UseManualTime()->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("writer/write_bmp24_image",
                                 [&directory](benchmark::State& s) { file_writer_case(s, directory); })
        ->Iterations(WRITER_RUNS)->UseManualTime()->Unit(benchmark::kMillisecond);
    std::vector<ToolSource> tools;
    for (const BenchFile& file : files)
        if (file.label == "BMP 24-bit" || file.label == "GIF" || file.label == "PNG RGB" ||
            file.label.rfind("JPEG", 0) == 0)
            tools.push_back({file.label, file.path, BENCH_SIDE});
    for (const int32_t side : {1024, 512}) {
        const std::string path = small_bmp(directory, side);
        if (path.empty()) {
            std::filesystem::remove_all(directory);
            return 1;
        }
        const std::string label = "BMP 24-bit " + std::to_string(side) + "^2";
        tools.push_back({label, path, side});
    }
    for (const ToolSource& tool : tools)
        for (const bool rip : {true, false})
            benchmark::RegisterBenchmark(
                ("tool/" + tool.label + (rip ? "/bi-directional" : "/ordinary")).c_str(),
                [tool, rip, &directory](benchmark::State& s) {
                    tool_case(s, tool, rip, directory);
                })
                ->Iterations(TOOL_RUNS)->UseManualTime()->Unit(benchmark::kMillisecond);
    register_modern_benchmarks();
    register_padding_benchmarks();
    register_bc1_5_benchmarks();
    register_bc7_benchmarks();
    register_exr_benchmarks(directory);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    print_table(files, tools);
    print_modern_table();
    print_padding_table();
    print_exr_table();
    run_gpu_bench();
    print_bc1_5_table();
    print_bc7_table();
    std::filesystem::remove_all(directory);
    return 0;
}
