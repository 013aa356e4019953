// Files written by other programs, from ../shared/corpus when it is there.
// INDEX.tsv classes each BMP file for the classic readers: its `load` rows
// must give the CRC of the picture an independent decoder reads (unless a note
// says the picture differs on purpose). FULL.tsv classes every BMP and PNG file
// for the readers of every variant: `load` (that RGBA CRC), `decline`, or
// `either` (damaged on purpose: either outcome, but no crash and no sanitizer
// report).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "readers/load_image.h"
#include "test_util.h"

using namespace orvandel;

namespace {

struct CorpusRow {
    std::string file;
    std::string expect;
    std::string crc;
    std::string fields;
    std::string note;
};

std::vector<CorpusRow> read_index(const std::string& path) {
    std::vector<CorpusRow> rows;
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);  // column names
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        CorpusRow row;
        std::getline(fields, row.file, '\t');
        std::getline(fields, row.expect, '\t');
        std::getline(fields, row.crc, '\t');
        std::getline(fields, row.fields, '\t');
        std::getline(fields, row.note, '\t');
        if (!row.file.empty()) rows.push_back(row);
    }
    return rows;
}

TEST(Corpus, ClassicFilesKeepTheirPixels) {
    const std::string dir = SHARED_CORPUS_DIR;
    if (!std::filesystem::exists(dir + "/INDEX.tsv")) GTEST_SKIP() << "no corpus at " << dir;
    const std::vector<CorpusRow> rows = read_index(dir + "/INDEX.tsv");
    ASSERT_FALSE(rows.empty());
    int loaded = 0, declined = 0;
    for (const CorpusRow& row : rows) {
        const std::string path = dir + "/" + row.file;
        test::ImagePtr image = load_image_file(path).image;
        image ? ++loaded : ++declined;
        if (row.expect == "load") {
            ASSERT_TRUE(image) << row.file;
            if (!row.note.empty()) continue;
            char crc[9];
            std::snprintf(crc, sizeof crc, "%08x", test::rgb_crc32(image.get()));
            EXPECT_EQ(crc, row.crc) << row.file;
        }
    }
    std::printf("corpus: %d files loaded, %d declined\n", loaded, declined);
}

TEST(Corpus, EveryVariantGivesItsExpectedResult) {
    const std::string dir = SHARED_CORPUS_DIR;
    if (!std::filesystem::exists(dir + "/FULL.tsv")) GTEST_SKIP() << "no corpus at " << dir;
    // FULL.tsv's columns: file, expect, rgba_crc32, rgba_crc32_scaled, fields, note.
    const std::vector<CorpusRow> rows = read_index(dir + "/FULL.tsv");
    ASSERT_GT(rows.size(), 200u);
    int loaded = 0, declined = 0;
    for (const CorpusRow& row : rows) {
        const std::vector<uint8_t> bytes = test::read_file(dir + "/" + row.file);
        ASSERT_FALSE(bytes.empty()) << row.file;
        const LoadResult result = load_image_from_memory(bytes.data(), bytes.size());
        result.image ? ++loaded : ++declined;
        EXPECT_EQ(result.image == nullptr, !result.reason.empty()) << row.file;
        if (row.expect == "load") {
            ASSERT_TRUE(result.image) << row.file << ": " << result.reason;
            char crc[9];
            std::snprintf(crc, sizeof crc, "%08x", test::rgba_crc32(result.image.get(), result.alpha));
            const std::string& scaled = row.fields;  // the CRC with 16-bit samples rounded
            EXPECT_TRUE(crc == row.crc || crc == scaled) << row.file << " gives " << crc;
        } else if (row.expect == "decline") {
            EXPECT_FALSE(result.image) << row.file;
        }
    }
    std::printf("full corpus: %d files loaded, %d declined\n", loaded, declined);
}

}  // namespace
