// Damaged copies of every test file and sample: each byte changed in a few
// ways and the file cut at every length (sampled for large files). Every
// copy must load or be declined, and what loads goes through the whole tool,
// without a sanitizer report or a hang (ctest's timeout stands for the hang).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "builders/classic.h"
#include "builders/float_levels.h"
#include "cli/common.h"
#include "readers/bmp.h"
#include "writers/bmp_writer.h"
#include "readers/load_image.h"
#include "builders/classic.h"
#include "test_util.h"

using namespace orvandel;

namespace {

namespace fs = std::filesystem;

// Pictures up to this size also get both atlases built and written.
constexpr int64_t MAX_PIPELINE_PIXELS = 1 << 12;
// Every offset of a file up to this size is damaged; beyond it, the first
// bytes (the headers) and an even sample of the rest.
constexpr size_t FULL_SWEEP_BYTES = 4096;
constexpr size_t SAMPLED_OFFSETS = 512;

struct SweepCounts {
    int copies = 0;
    int loaded = 0;
};

void run_pipeline(const std::vector<uint8_t>& bytes, const std::string& extension, SweepCounts* counts) {
    const std::string path = test::scratch_path("damaged" + extension);
    test::write_file(path, bytes);
    LoadOptions options;
    options.high_precision = true;
    // A damaged size field in a float file would otherwise have each copy
    // fill a picture of up to 2^28 float pixels before its data is found wanting.
    if (extension == ".exr" || extension == ".hdr" || extension == ".tif") options.max_pixels = 1 << 16;
    LoadResult loaded = load_image_file(path, options);
    ++counts->copies;
    if (loaded.picture) {
        // Pictures of more than 8 bits go through the float levels instead.
        ++counts->loaded;
        FloatImage& picture = *loaded.picture;
        ASSERT_GT(picture.width, 0);
        ASSERT_GT(picture.height, 0);
        if (int64_t(picture.width) * picture.height > MAX_PIPELINE_PIXELS) return;
        FilterOptions filter;
        filter.filter = FilterKind::kaiser;
        prepare_float_source(&picture, picture.alpha, filter);
        ASSERT_TRUE(build_float_mip(picture, picture.alpha, filter, [](const FloatLevel&) { return true; }));
        return;
    }
    test::ImagePtr image = std::move(loaded.image);
    if (!image) return;
    ++counts->loaded;
    ASSERT_GT(image->width, 0);
    ASSERT_GT(image->height, 0);
    if (int64_t(image->width) * image->height > MAX_PIPELINE_PIXELS) return;
    for (bool rip : {true, false}) {
        test::ImagePtr canvas = new_canvas(image.get(), rip);
        ASSERT_TRUE(canvas);
        rip ? build_classic_rip(canvas.get()) : build_classic_mip(canvas.get());
        ASSERT_TRUE(write_bmp24(test::scratch_path("damaged_mip.bmp").c_str(), canvas.get()));
    }
}

std::vector<size_t> offsets_to_damage(size_t size) {
    std::vector<size_t> offsets;
    const size_t head = std::min(size, FULL_SWEEP_BYTES / 4);
    for (size_t i = 0; i < head; ++i) offsets.push_back(i);
    if (size <= FULL_SWEEP_BYTES) {
        for (size_t i = head; i < size; ++i) offsets.push_back(i);
    } else {
        const size_t step = (size - head) / SAMPLED_OFFSETS + 1;
        for (size_t i = head; i < size; i += step) offsets.push_back(i);
        offsets.push_back(size - 1);
    }
    return offsets;
}

SweepCounts sweep_file(const fs::path& file) {
    SweepCounts counts;
    const std::vector<uint8_t> original = test::read_file(file.string());
    const std::string extension = file.extension().string();
    const std::vector<size_t> offsets = offsets_to_damage(original.size());
    std::vector<uint8_t> copy = original;
    for (size_t offset : offsets) {
        for (int pattern = 0; pattern < 3; ++pattern) {
            const uint8_t was = copy[offset];
            const uint8_t now = pattern == 0 ? uint8_t(~was) : pattern == 1 ? 0 : uint8_t(was ^ 0x80);
            if (now == was) continue;
            copy[offset] = now;
            run_pipeline(copy, extension, &counts);
            copy[offset] = was;
            if (::testing::Test::HasFatalFailure()) return counts;
        }
    }
    for (size_t length : offsets) {
        run_pipeline(std::vector<uint8_t>(original.begin(), original.begin() + length), extension, &counts);
        if (::testing::Test::HasFatalFailure()) return counts;
    }
    return counts;
}

bool is_image_file(const fs::path& path) {
    const std::string ext = path.extension().string();
    const std::string name = path.filename().string();
    if (name.size() > 8 && name.compare(name.size() - 8, 8, "_mip.bmp") == 0) return false;
    return ext == ".bmp" || ext == ".pcx" || ext == ".tga" || ext == ".gif" || ext == ".png" || ext == ".jpg" ||
           ext == ".bin" || ext == ".exr" || ext == ".hdr" || ext == ".tif";
}

void sweep_directory(const std::string& dir) {
    if (!fs::exists(dir)) GTEST_SKIP() << "no files in " << dir;
    std::vector<fs::path> files;
    for (const auto& entry : fs::recursive_directory_iterator(dir))
        if (entry.is_regular_file() && is_image_file(entry.path())) files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    if (files.empty()) GTEST_SKIP() << "no files in " << dir;
    SweepCounts total;
    for (const fs::path& file : files) {
        const SweepCounts counts = sweep_file(file);
        total.copies += counts.copies;
        total.loaded += counts.loaded;
        if (::testing::Test::HasFatalFailure()) FAIL() << "while sweeping " << file;
    }
    std::printf("%s: %zu files, %d damaged copies, %d loaded\n", dir.c_str(), files.size(), total.copies,
                total.loaded);
}

TEST(DamageSweep, BmpFiles) { sweep_directory(std::string(TEST_DATA_DIR) + "/bmp"); }
TEST(DamageSweep, PcxFiles) { sweep_directory(std::string(TEST_DATA_DIR) + "/pcx"); }
TEST(DamageSweep, TgaFiles) { sweep_directory(std::string(TEST_DATA_DIR) + "/tga"); }
TEST(DamageSweep, GifFiles) { sweep_directory(std::string(TEST_DATA_DIR) + "/gif"); }
TEST(DamageSweep, PngFiles) { sweep_directory(std::string(TEST_DATA_DIR) + "/png"); }
TEST(DamageSweep, JpegFiles) { sweep_directory(std::string(TEST_DATA_DIR) + "/jpeg"); }
TEST(DamageSweep, FloatFiles) { sweep_directory(std::string(TEST_DATA_DIR) + "/float"); }
TEST(DamageSweep, Samples) { sweep_directory(SAMPLES_DIR); }
// Every input that ever crashed the tool, kept so that it never does again.
TEST(DamageSweep, FormerCrashes) { sweep_directory(std::string(TEST_DATA_DIR) + "/crashes"); }

}  // namespace
