#include <gtest/gtest.h>

#include <cstdio>
#include <random>

#include "readers/gif_state.h"
#include "gif_lzw_encoder.h"
#include "test_util.h"

using namespace orvandel;

namespace {

using gif_encoder::lzw_encode;
using gif_encoder::pack_codes;
using gif_encoder::sub_blocks;

// Pixels the decoder never wrote keep this value.
constexpr Pixel UNTOUCHED = 0xEEEEEEEE;

struct Decoded {
    int result;
    long position;  // where the stream stands afterwards
    std::vector<Pixel> pixels;
    int64_t rows_stored;
};

// Decodes `chain` from memory into a frame of row_length x frame_height
// Pixels that follows `lead` Pixels of earlier frames. The palette maps index
// n to the Pixel n (red n), so the Pixels read as the colour indices.
Decoded decode(const std::vector<uint8_t>& chain, int min_code_size, int32_t row_length,
               int32_t frame_height, int flags = 0, int64_t lead = 0) {
    ByteReader in = make_reader(chain.data(), chain.size());
    const int64_t count = lead + int64_t(row_length) * frame_height;
    std::vector<Pixel> pixels(static_cast<size_t>(count > 0 ? count : 1), UNTOUCHED);
    GifLoadState state{};
    for (int n = 0; n < 256; ++n) state.palette[3 * n] = static_cast<uint8_t>(n);
    state.width = row_length;
    state.pixels = pixels.data();
    state.total_height = frame_height + 1;
    state.frame_start = lead;
    state.pixel_count = count;
    state.allocated = count;
    state.transparent_index = -1;
    Decoded out;
    out.result = decode_gif_raster(&state, &in, min_code_size, row_length, frame_height, flags);
    out.position = static_cast<long>(in.pos);
    out.pixels = std::vector<Pixel>(pixels.begin(), pixels.begin() + count);
    out.rows_stored = state.rows_stored;
    return out;
}

std::vector<Pixel> as_pixels(const std::vector<uint8_t>& indices) {
    return std::vector<Pixel>(indices.begin(), indices.end());
}

std::vector<uint8_t> random_indices(size_t count, int colours, unsigned stream_number) {
    std::mt19937 random(stream_number);
    std::vector<uint8_t> out(count);
    for (uint8_t& v : out) v = static_cast<uint8_t>(random() % static_cast<unsigned>(colours));
    return out;
}

// Hand-packed streams, each code at the width the decoder must be reading.
struct PackedCase {
    const char* name;
    int min_code_size;
    std::vector<std::pair<int, int>> codes;
    int32_t row_length;
    int32_t frame_height;
    int result;
    std::vector<Pixel> pixels;  // the whole frame, UNTOUCHED where no row was stored
};

std::vector<std::pair<int, int>> codes_growing_at_512() {
    // Literals 0 to 254 at 9 bits add entries 258 to 511; the 255th makes next
    // free 512, so code 300 (entry 258 + 42: the string 42, 43) and the end
    // code are 10 bits wide.
    std::vector<std::pair<int, int>> codes = {{256, 9}};
    for (int i = 0; i < 255; ++i) codes.push_back({i, 9});
    codes.push_back({300, 10});
    codes.push_back({257, 10});
    return codes;
}

std::vector<Pixel> pixels_growing_at_512() {
    std::vector<Pixel> out;
    for (Pixel i = 0; i < 255; ++i) out.push_back(i);
    out.push_back(42);
    out.push_back(43);
    return out;
}

TEST(GifLzw, HandPackedCodes) {
    const Pixel U = UNTOUCHED;
    const PackedCase cases[] = {
        {"next free code repeats the previous string and its first byte", 2,
         {{4, 3}, {0, 3}, {1, 3}, {6, 3}, {8, 4}, {5, 4}}, 7, 1, 1, {0, 1, 0, 1, 0, 1, 0}},
        {"next free code right after the first code", 2, {{4, 3}, {1, 3}, {6, 3}, {5, 3}}, 3, 1, 1, {1, 1, 1}},
        {"stream without a leading clear code", 2, {{3, 3}, {2, 3}, {6, 3}, {5, 4}}, 4, 1, 1, {3, 2, 3, 2}},
        {"codes widen to 10 bits when next free reaches 512", 8, codes_growing_at_512(), 257, 1, 1,
         pixels_growing_at_512()},
        {"codes widen to 5 bits when next free reaches 16", 2,
         {{4, 3}, {0, 3}, {1, 3}, {2, 3}, {3, 4}, {0, 4}, {1, 4}, {2, 4}, {3, 4}, {0, 4}, {1, 4},
          {15, 4}, {5, 5}},
         12, 1, 1, {0, 1, 2, 3, 0, 1, 2, 3, 0, 1, 1, 1}},
        {"end code in the middle of a row", 2, {{4, 3}, {0, 3}, {1, 3}, {2, 3}, {5, 4}}, 2, 2, 1,
         {0, 1, U, U}},
        {"code above next free", 2, {{4, 3}, {2, 3}, {7, 3}, {5, 3}}, 1, 2, 0, {2, U}},
        {"next free code as the first code", 2, {{4, 3}, {6, 3}, {5, 3}}, 1, 1, 0, {U}},
        {"next free code first after a clear", 2, {{4, 3}, {1, 3}, {4, 3}, {6, 3}, {5, 3}}, 1, 2, 0,
         {1, U}},
        {"clear code restarts the dictionary and width", 2,
         {{4, 3}, {0, 3}, {1, 3}, {2, 3}, {4, 4}, {3, 3}, {6, 3}, {5, 3}}, 6, 1, 1, {0, 1, 2, 3, 3, 3}},
    };
    for (const PackedCase& c : cases) {
        const Decoded d = decode(sub_blocks(pack_codes(c.codes)), c.min_code_size, c.row_length, c.frame_height);
        EXPECT_EQ(d.result, c.result) << c.name;
        EXPECT_EQ(d.pixels, c.pixels) << c.name;
    }
}

TEST(GifLzw, WorkedExampleAndItsStreamPosition) {
    const std::vector<uint8_t> chain = {0x03, 0x44, 0x2C, 0x05, 0x00, 0x3B};
    const Decoded whole = decode(chain, 2, 5, 1);
    EXPECT_EQ(whole.result, 1);
    EXPECT_EQ(whole.pixels, (std::vector<Pixel>{0, 1, 0, 1, 2}));
    EXPECT_EQ(whole.position, 4);  // before the zero length byte

    // The same bytes one per sub-block: codes straddle every border.
    const Decoded split = decode({0x01, 0x44, 0x01, 0x2C, 0x01, 0x05, 0x00}, 2, 5, 1);
    EXPECT_EQ(split.result, 1);
    EXPECT_EQ(split.pixels, whole.pixels);
    EXPECT_EQ(split.position, 6);
}

TEST(GifLzw, RefusedMinimumCodeSizesReadNothing) {
    const std::vector<uint8_t> chain = {0x03, 0x44, 0x2C, 0x05, 0x00};
    for (int size : {0, 1, 9, 12, 255}) {
        const Decoded d = decode(chain, size, 5, 1);
        EXPECT_EQ(d.result, 0) << size;
        EXPECT_EQ(d.position, 0) << size;
        EXPECT_EQ(d.pixels, std::vector<Pixel>(5, UNTOUCHED)) << size;
    }
}

// Encoded round trips: every minimum code size, long data that fills the
// dictionary, and sub-blocks of every awkward size.
TEST(GifLzw, RoundTrips) {
    struct Case {
        const char* name;
        int min_code_size;
        int colours;
        size_t count;
        bool clear_when_full;
        size_t block;
    };
    const Case cases[] = {
        {"2 bits, short", 2, 4, 400, true, 255},
        {"2 bits, dictionary full, cleared", 2, 4, 30000, true, 255},
        {"2 bits, dictionary full, 12-bit codes go on", 2, 4, 30000, false, 255},
        {"3 bits", 3, 8, 5000, true, 7},
        {"4 bits, one-byte sub-blocks", 4, 16, 3000, true, 1},
        {"5 bits, two-byte sub-blocks", 5, 32, 3000, true, 2},
        {"6 bits", 6, 64, 9000, false, 3},
        {"7 bits", 7, 128, 9000, true, 254},
        {"8 bits, dictionary full, cleared", 8, 256, 40000, true, 255},
        {"8 bits, dictionary full, 12-bit codes go on", 8, 256, 40000, false, 100},
        {"2 bits used with few colours", 8, 2, 20000, false, 255},
    };
    unsigned stream_number = 1;
    for (const Case& c : cases) {
        const std::vector<uint8_t> indices = random_indices(c.count, c.colours, stream_number++);
        gif_encoder::EncodeOptions options;
        options.clear_when_full = c.clear_when_full;
        const std::vector<uint8_t> chain = sub_blocks(lzw_encode(indices, c.min_code_size, options), c.block);
        const int32_t row_length = 100;
        const int32_t height = static_cast<int32_t>(c.count / row_length);
        const Decoded d = decode(chain, c.min_code_size, row_length, height);
        EXPECT_EQ(d.result, 1) << c.name;
        EXPECT_EQ(d.pixels, as_pixels(std::vector<uint8_t>(indices.begin(), indices.begin() + row_length * height)))
            << c.name;
        EXPECT_EQ(d.position, static_cast<long>(chain.size()) - 1) << c.name;
    }
}

TEST(GifLzw, InterlacedRowsGoToTheirPasses) {
    // Data row k holds the index k; after the frame's rows comes one more
    // data row, which must be dropped.
    const std::vector<std::vector<int>> row_of_data = {
        {0}, {0, 1}, {0, 2, 1}, {0, 2, 1, 3}, {0, 4, 2, 1, 3}, {0, 4, 2, 1, 3, 5},
        {0, 4, 2, 6, 1, 3, 5}, {0, 4, 2, 6, 1, 3, 5, 7}, {0, 8, 4, 2, 6, 1, 3, 5, 7},
        {0, 8, 4, 2, 6, 1, 3, 5, 7, 9},
    };
    const int32_t row_length = 3;
    for (const std::vector<int>& order : row_of_data) {
        const int32_t height = static_cast<int32_t>(order.size());
        std::vector<uint8_t> data;
        for (int32_t k = 0; k <= height; ++k) data.insert(data.end(), row_length, static_cast<uint8_t>(k));
        const std::vector<uint8_t> chain = sub_blocks(lzw_encode(data, 4));
        std::vector<Pixel> expected(static_cast<size_t>(row_length) * height);
        for (int32_t k = 0; k < height; ++k)
            for (int32_t x = 0; x < row_length; ++x) expected[order[k] * row_length + x] = static_cast<Pixel>(k);
        const Decoded d = decode(chain, 4, row_length, height, GIF_FLAG_INTERLACED);
        EXPECT_EQ(d.result, 1) << height << " rows";
        EXPECT_EQ(d.pixels, expected) << height << " rows";
        EXPECT_EQ(d.rows_stored, height) << height << " rows";
        EXPECT_EQ(d.position, static_cast<long>(chain.size()) - 1) << height << " rows";
    }
}

TEST(GifLzw, FrameBoundsAndDamagedData) {
    const std::vector<uint8_t> indices = random_indices(24, 16, 7);  // 6 rows of 4
    const std::vector<uint8_t> codes = lzw_encode(indices, 4);
    gif_encoder::EncodeOptions no_end;
    no_end.end_code = false;
    const std::vector<uint8_t> chain = sub_blocks(codes);
    const std::vector<Pixel> all = as_pixels(indices);
    const std::vector<Pixel> untouched_row(4, UNTOUCHED);
    auto rows = [&](int from, int to) {
        return std::vector<Pixel>(all.begin() + from * 4, all.begin() + to * 4);
    };
    auto join = [](std::vector<Pixel> a, const std::vector<Pixel>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };

    {   // more rows in the data than the frame holds: the rest is dropped
        const Decoded d = decode(chain, 4, 4, 4);
        EXPECT_EQ(d.result, 1);
        EXPECT_EQ(d.pixels, rows(0, 4));
        EXPECT_EQ(d.position, static_cast<long>(chain.size()) - 1);
    }
    {   // a frame of height 0 stores nothing but still reads its data
        const Decoded d = decode(chain, 4, 4, 0, 0, 4);
        EXPECT_EQ(d.result, 1);
        EXPECT_EQ(d.pixels, untouched_row);
        EXPECT_EQ(d.position, static_cast<long>(chain.size()) - 1);
    }
    {   // a frame after earlier ones leaves them alone
        const Decoded d = decode(sub_blocks(lzw_encode({1, 2, 3, 4, 5, 6}, 4)), 4, 3, 2, 0, 5);
        const Pixel U = UNTOUCHED;
        EXPECT_EQ(d.result, 1);
        EXPECT_EQ(d.pixels, (std::vector<Pixel>{U, U, U, U, U, 1, 2, 3, 4, 5, 6}));
    }
    {   // data without an end code: finished rows stay, the stream stands after the zero byte
        std::vector<uint8_t> cut = sub_blocks(lzw_encode(std::vector<uint8_t>(indices.begin(), indices.begin() + 10), 4, no_end));
        cut.push_back(0x3B);
        const Decoded d = decode(cut, 4, 4, 6);
        EXPECT_EQ(d.result, 0);
        EXPECT_EQ(d.pixels, join(join(rows(0, 2), untouched_row), join(join(untouched_row, untouched_row), untouched_row)));
        EXPECT_EQ(d.position, static_cast<long>(cut.size()) - 1);
    }
    {   // the file ends inside a sub-block, or where the next one should begin
        for (size_t keep = 0; keep < chain.size() - 1; ++keep) {
            const Decoded d = decode(std::vector<uint8_t>(chain.begin(), chain.begin() + static_cast<long>(keep)), 4, 4, 6);
            EXPECT_EQ(d.result, 0) << keep;
            EXPECT_LE(d.rows_stored, 5) << keep;
        }
    }
    {   // the frame is interlaced and its data holds more rows than the last pass
        const Decoded d = decode(chain, 4, 4, 3, GIF_FLAG_INTERLACED);
        EXPECT_EQ(d.result, 1);
        EXPECT_EQ(d.pixels, join(join(rows(0, 1), rows(2, 3)), rows(1, 2)));
    }
}

// Every damaged copy of a good stream decodes without reading or writing
// outside its buffers and without storing more rows than the frame holds.
TEST(GifLzw, FlippedBytesStayInsideTheFrame) {
    const std::vector<uint8_t> indices = random_indices(600, 8, 11);
    const std::vector<uint8_t> chain = sub_blocks(lzw_encode(indices, 3), 50);
    for (size_t i = 0; i < chain.size(); ++i) {
        for (uint8_t mask : {0x01, 0x10, 0xFF}) {
            std::vector<uint8_t> damaged = chain;
            damaged[i] ^= mask;
            for (int flags : {0, GIF_FLAG_INTERLACED}) {
                const Decoded d = decode(damaged, 3, 20, 30, flags);
                EXPECT_LE(d.rows_stored, 30);
            }
        }
    }
}

}  // namespace
