// The benchmark's sources: one 4096 x 4096 picture in every form the tool
// reads, made here so that the benchmark needs no files of its own.
#ifndef ORVANDEL_BENCH_BENCH_FILES_H
#define ORVANDEL_BENCH_BENCH_FILES_H

#include <cstdint>
#include <string>
#include <vector>

#include "picture/image.h"

using namespace orvandel;

constexpr int32_t BENCH_SIDE = 4096;

struct BenchFile {
    std::string label;            // as the table shows it
    std::string path;
    std::vector<Pixel> expected;  // what a correct decoder makes of it
    bool stb_reads;               // whether stb_image has a decoder for it
    int tolerance = 0;            // stb_image's largest channel difference from `expected` (lossy files)
    bool alpha = false;           // whether `expected` holds the file's alpha in its top byte
};

// Writes every source into `directory`; empty when a file cannot be written.
std::vector<BenchFile> make_bench_files(const std::string& directory);

// Runs this benchmark program again with `args` (after its own path) and
// collects what it prints, up to a few hundred bytes: true when it ran and
// exited with status 0.
bool run_self(const std::vector<std::string>& args, std::string* printed);

#endif
