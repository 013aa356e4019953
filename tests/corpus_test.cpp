// Files written by other programs, from ../shared/corpus when it is there.
// INDEX.tsv classes each file: `load` (must give the CRC of the picture an
// independent decoder reads, unless a note says the picture differs on
// purpose), `decline`, or `either` (damaged on purpose:
// either outcome, but no crash and no sanitizer report).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "formats/load_image.h"
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

std::vector<CorpusRow> read_index(const std::string& dir) {
    std::vector<CorpusRow> rows;
    std::ifstream in(dir + "/INDEX.tsv");
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

TEST(Corpus, EveryFileGivesItsExpectedResult) {
    const std::string dir = SHARED_CORPUS_DIR;
    if (!std::filesystem::exists(dir + "/INDEX.tsv")) GTEST_SKIP() << "no corpus at " << dir;
    const std::vector<CorpusRow> rows = read_index(dir);
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
        } else if (row.expect == "decline") {
            EXPECT_FALSE(image) << row.file;
        }
    }
    std::printf("corpus: %d files loaded, %d declined\n", loaded, declined);
}

}  // namespace
