// Whole runs of the tool against a reference run in the same rounds (run by
// `make bench` after the batch benchmark): the modern default against the
// classic run, a PNG atlas against the BMP one, the DDS mip chain against
// the free peers that make one (nvcompress -rgb, maketx; rows without them
// where they are not installed), and a batch on both cores against one.
// Sources are made here, in memory-backed /dev/shm where there is one, so
// that a journaled file system's writes stay out of the figures. Every case
// runs once per round, in turn, RUNS rounds; each figure is a median, and
// processor time (user and system, all threads) stands beside wall time.
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "writers/bmp_writer.h"

using namespace orvandel;

namespace {

constexpr int RUNS = 5;
constexpr int BATCH_FILES = 200;

using Clock = std::chrono::steady_clock;

struct Sample {
    double wall = -1, cpu = 0, peak_mib = 0;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

// One run of `argv` with standard input and output on /dev/null, on core 0
// alone when `one_core`; wall time -1 unless it exited with status 0.
Sample run(std::vector<std::string> argv, bool one_core = false) {
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(&a[0]);
    args.push_back(nullptr);
    Sample s;
    std::fflush(nullptr);  // else the child's reopened stdout would flush our table once more
    const Clock::time_point start = Clock::now();
    const pid_t pid = fork();
    if (pid < 0) return s;
    if (pid == 0) {
        if (one_core) {
            cpu_set_t set;
            CPU_ZERO(&set);
            CPU_SET(0, &set);
            sched_setaffinity(0, sizeof set, &set);
        }
        if (!std::freopen("/dev/null", "r", stdin) || !std::freopen("/dev/null", "w", stdout) ||
            !std::freopen("/dev/null", "w", stderr))
            _exit(127);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) != pid) return s;
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    s.cpu = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
            double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    s.peak_mib = double(usage.ru_maxrss) / 1024;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) s.wall = wall;
    return s;
}

bool have(const char* command) {
    return run({"sh", "-c", std::string("command -v ") + command + " >/dev/null"}).wall >= 0;
}

// A photograph-like texture: smooth shading, and grain on top of it, as
// scanned and painted textures have. `noise`: every byte random instead.
ImagePtr texture(int32_t side, bool noise) {
    ImagePtr image(new_image(side, side));
    if (!image) return image;
    uint32_t state = 2024;
    for (int32_t y = 0; y < side; ++y)
        for (int32_t x = 0; x < side; ++x) {
            state = state * 1103515245u + 12345u;
            Pixel p = 0;
            for (int c = 0; c < 3; ++c) {
                const double u = double(x) / side, v = double(y) / side;
                const double shade = 128 + 60 * std::sin(6.3 * u * (1.5 + 0.3 * c) + 2 * v) +
                                     40 * std::cos(9 * v * (1 + 0.2 * c) - 3 * u) + 20 * std::sin(25 * (u + v));
                const int grain = int((state >> (16 + 4 * c)) % 7) - 3;
                // An LCG's low bits repeat soon: noise takes a fresh top byte a channel.
                if (noise) state = state * 1103515245u + 12345u;
                const int value = noise ? int(state >> 24) : int(shade) + grain;
                p |= Pixel(std::clamp(value, 0, 255)) << (8 * c);
            }
            image->pixels[int64_t(y) * side + x] = p;
        }
    return image;
}

// The same picture as an uncompressed 24-bit TGA, which nvcompress reads.
bool write_tga(const std::string& path, const Image& image) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    uint8_t header[18] = {};
    header[2] = 2;
    header[12] = uint8_t(image.width), header[13] = uint8_t(image.width >> 8);
    header[14] = uint8_t(image.height), header[15] = uint8_t(image.height >> 8);
    header[16] = 24;
    header[17] = 0x20;  // top row first
    bool ok = std::fwrite(header, 1, sizeof header, f) == sizeof header;
    std::vector<uint8_t> row(3 * size_t(image.width));
    for (int32_t y = 0; y < image.height && ok; ++y) {
        bgr_from_pixels(image.pixels + int64_t(y) * image.width, row.data(), image.width);
        ok = std::fwrite(row.data(), 1, row.size(), f) == row.size();
    }
    return std::fclose(f) == 0 && ok;
}

int64_t file_size(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? int64_t(st.st_size) : -1;
}

// Cases of one table, run in turns: label -> samples.
struct Table {
    std::vector<std::string> order;
    std::map<std::string, std::function<Sample()>> cases;
    std::map<std::string, std::vector<Sample>> samples;
    void add(const std::string& label, std::function<Sample()> c) {
        order.push_back(label);
        cases[label] = std::move(c);
    }
    // Each round starts one case further on. A run that follows one which
    // freed much memory (maketx, say) can take twice its time here, in the
    // kernel, handing out pages that were given back to the host; in a
    // fixed order that cost would fall on the same case in every round.
    bool run_rounds() {
        for (int r = 0; r < RUNS; ++r)
            for (size_t k = 0; k < order.size(); ++k) {
                const std::string& label = order[(k + size_t(r)) % order.size()];
                const Sample s = cases[label]();
                if (s.wall < 0) {
                    std::printf("  %s: the run failed\n", label.c_str());
                    return false;
                }
                samples[label].push_back(s);
            }
        return true;
    }
    double wall(const std::string& l) { return pick(l, [](const Sample& s) { return s.wall; }); }
    double cpu(const std::string& l) { return pick(l, [](const Sample& s) { return s.cpu; }); }
    double peak(const std::string& l) { return pick(l, [](const Sample& s) { return s.peak_mib; }); }
    double pick(const std::string& l, double (*f)(const Sample&)) {
        std::vector<double> v;
        for (const Sample& s : samples[l]) v.push_back(f(s));
        return median(v);
    }
};

void verdict(double ratio, double target, bool higher_is_better = false) {
    if (target <= 0) {
        std::printf("\n");
        return;
    }
    const bool met = higher_is_better ? ratio >= target : ratio <= target;
    std::printf(" %7.2f  %s\n", target, met ? "met" : "MISSED");
}

}  // namespace

int main() {
    const std::string binary = ORVANDEL_BINARY;
    const std::string dir = (std::filesystem::is_directory("/dev/shm") ? std::string("/dev/shm") : std::string("/tmp")) +
                            "/orvandel-runs-bench-" + std::to_string(getpid());
    std::filesystem::create_directories(dir);
    const auto path = [&](const std::string& name) { return dir + "/" + name; };
    for (int32_t side : {4096, 1024, 256}) {
        const ImagePtr image = texture(side, false);
        if (!image || !write_bmp24(path("photo" + std::to_string(side) + ".bmp").c_str(), image.get()) ||
            !write_tga(path("photo" + std::to_string(side) + ".tga"), *image)) {
            std::printf("cannot write the sources in %s\n", dir.c_str());
            return 1;
        }
    }
    const ImagePtr noise = texture(4096, true);
    if (!noise || !write_bmp24(path("noise.bmp").c_str(), noise.get())) return 1;
    const std::string photo = path("photo4096.bmp");
    std::printf("\nWhole runs (%s, %d rounds, medians; cpu: user + system of all threads)\n", dir.c_str(), RUNS);

    // The modern default and Kaiser against the classic run.
    Table modern;
    modern.add("classic", [&] { return run({binary, photo}); });
    modern.add("default", [&] { return run({binary, "-q", photo}); });
    modern.add("kaiser", [&] { return run({binary, "-q", "--filter", "kaiser", photo}); });
    if (modern.run_rounds()) {
        std::printf("\n  4096 x 4096 BMP (vs classic run)        wall ms  ratio    cpu ratio  target\n");
        std::printf("  %-38s %8.1f\n", "classic run", 1000 * modern.wall("classic"));
        for (const auto& [label, target] : {std::pair<const char*, double>{"default", 1.3}, {"kaiser", 1.5}}) {
            std::printf("  %-38s %8.1f %6.2f %8.2f", label == std::string("default") ? "modern default (box, sRGB, rip)"
                                                                                      : "--filter kaiser",
                        1000 * modern.wall(label), modern.wall(label) / modern.wall("classic"),
                        modern.cpu(label) / modern.cpu("classic"));
            verdict(modern.wall(label) / modern.wall("classic"), target);
        }
        std::printf("  %-38s %8.1f %6.2f %8s", "peak MiB, modern default", modern.peak("default"),
                    modern.peak("default") / modern.peak("classic"), "");
        verdict(modern.peak("default") / modern.peak("classic"), 1.5);
    }

    // PNG atlases against the BMP run of the same source.
    Table png;
    const std::string noisy = path("noise.bmp");
    png.add("bmp", [&] { return run({binary, "-q", photo}); });
    png.add("png", [&] { return run({binary, "-q", "-f", "png", photo}); });
    png.add("noise bmp", [&] { return run({binary, "-q", noisy}); });
    png.add("noise png", [&] { return run({binary, "-q", "-f", "png", noisy}); });
    if (png.run_rounds()) {
        const int64_t ours = file_size(path("photo4096_mip.png"));
        const Sample six = run({binary, "-q", "-f", "png", "--png-level", "6", "-o", path("six"), photo});
        const int64_t level6 = file_size(path("six/photo4096_mip.png"));
        std::printf("\n  PNG atlas (vs BMP run of the source)    wall ms  ratio    cpu ratio  target\n");
        std::printf("  %-38s %8.1f %6.2f %8.2f", "photograph-like, default PNG", 1000 * png.wall("png"),
                    png.wall("png") / png.wall("bmp"), png.cpu("png") / png.cpu("bmp"));
        verdict(png.wall("png") / png.wall("bmp"), 2.0);
        std::printf("  %-38s %8.1f %6.2f %8.2f", "noise, default PNG", 1000 * png.wall("noise png"),
                    png.wall("noise png") / png.wall("noise bmp"), png.cpu("noise png") / png.cpu("noise bmp"));
        verdict(png.wall("noise png") / png.wall("noise bmp"), 3.0);
        if (ours > 0 && level6 > 0 && six.wall >= 0) {
            std::printf("  %-38s %8.1f %6.3f %8s", "file MiB, vs --png-level 6", double(ours) / (1 << 20),
                        double(ours) / double(level6), "");
            verdict(double(ours) / double(level6), 1.05);
            std::printf("  %-38s %8.1f %6.2f  (level 6's run, once, against the median BMP run)\n",
                        "--png-level 6 run", 1000 * six.wall, six.wall / png.wall("bmp"));
        }
    }

    // The DDS mip chain against the peers, each from the same TGA.
    const bool nvcompress = have("nvcompress"), maketx = have("maketx");
    std::printf("\n  DDS mip chain (peer's time / ours)      ours ms  nvcompress  maketx  fastest  target\n");
    for (int32_t side : {4096, 1024, 256}) {
        const std::string source = path("photo" + std::to_string(side) + ".tga");
        Table peers;
        peers.add("ours", [&] { return run({binary, "-q", "-l", "mip", "-f", "dds", source}); });
        if (nvcompress) peers.add("nvcompress", [&] { return run({"nvcompress", "-rgb", source, path("nv.dds")}); });
        if (maketx) peers.add("maketx", [&] { return run({"maketx", source, "-o", path("peer.tx")}); });
        if (!peers.run_rounds()) continue;
        const double ours = peers.wall("ours");
        const double nv = nvcompress ? peers.wall("nvcompress") / ours : 0, tx = maketx ? peers.wall("maketx") / ours : 0;
        const double fastest = nvcompress && maketx ? std::min(nv, tx) : nvcompress ? nv : tx;
        std::printf("  %4d x %-31d %8.1f %11.2f %7.2f %8.2f", side, side, 1000 * ours, nv, tx, fastest);
        if (nvcompress || maketx)
            verdict(fastest, 1.5, true);
        else
            std::printf("  (neither peer installed)\n");
    }

    // A batch of small textures on both cores against one.
    std::vector<std::string> one{binary, "-q", "-j", "1", "-o", path("one")}, two{binary, "-q", "-j", "2", "-o", path("two")};
    for (int k = 0; k < BATCH_FILES; ++k) {
        const std::string name = path("small" + std::to_string(k) + ".bmp");
        std::filesystem::copy_file(path("photo256.bmp"), name, std::filesystem::copy_options::overwrite_existing);
        one.push_back(name);
        two.push_back(name);
    }
    Table batch;
    batch.add("one", [&] { return run(one, true); });
    batch.add("two", [&] { return run(two); });
    if (batch.run_rounds()) {
        std::printf("\n  Batch, %d x 256 x 256 in memory         wall ms  speed-up  cpu ratio  target\n", BATCH_FILES);
        std::printf("  %-38s %8.1f\n", "-j 1 on core 0 alone", 1000 * batch.wall("one"));
        std::printf("  %-38s %8.1f %9.2f %10.2f", "-j 2 on both cores", 1000 * batch.wall("two"),
                    batch.wall("one") / batch.wall("two"), batch.cpu("two") / batch.cpu("one"));
        verdict(batch.wall("one") / batch.wall("two"), 1.8, true);
    }
    std::filesystem::remove_all(dir);
    return 0;
}
