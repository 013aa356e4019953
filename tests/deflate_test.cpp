// The default PNG writer's deflate pieces, read back by zlib's inflate: every
// piece joins the next into one raw deflate stream, whatever the bytes.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <vector>

#include "writers/deflate.h"

using namespace orvandel;

namespace {

// The pieces cut at `cuts`, deflated apart, joined and inflated by zlib;
// empty unless zlib reads the stream to its final block, exactly.
std::vector<uint8_t> round_trip(const std::vector<uint8_t>& data, std::vector<size_t> cuts) {
    cuts.push_back(data.size());
    std::vector<uint8_t> stream;
    for (size_t k = 0, begin = 0; k < cuts.size(); begin = cuts[k++]) {
        const size_t before = stream.size();
        deflate_piece(data.data() + begin, cuts[k] - begin, k + 1 == cuts.size(), &stream);
        EXPECT_LE(stream.size() - before, deflate_piece_bound(cuts[k] - begin));
    }
    z_stream z{};
    std::vector<uint8_t> out(data.size() + 1);
    if (inflateInit2(&z, -15) != Z_OK) return {};
    z.next_in = stream.data(), z.avail_in = uInt(stream.size());
    z.next_out = out.data(), z.avail_out = uInt(out.size());
    const bool whole = inflate(&z, Z_FINISH) == Z_STREAM_END && z.avail_in == 0 && z.total_out == data.size();
    inflateEnd(&z);
    out.resize(data.size());
    return whole ? out : std::vector<uint8_t>{};
}

// LCG bytes: noise when `grain` is 0, else small values around zero with a
// rare outlier, as the Up filter leaves of a grainy picture.
std::vector<uint8_t> lcg_bytes(size_t size, int grain, uint32_t state = 7) {
    const auto next = [&state] { return uint8_t((state = state * 1103515245u + 12345u) >> 24); };
    std::vector<uint8_t> v(size);
    for (uint8_t& b : v) b = grain ? uint8_t(next() % (2 * grain + 1) - grain + (next() < 8 ? next() : 0)) : next();
    return v;
}

// Runs of every length from 1 to 700: every length code, runs longer than
// one match, runs across blocks.
std::vector<uint8_t> runs() {
    std::vector<uint8_t> v;
    for (int length = 1; length <= 700; ++length) v.insert(v.end(), size_t(length), uint8_t(length % 3 ? length : 7));
    return v;
}

// Symbol s appears fib(s + 1) times, shuffled: a Huffman code for these
// counts is 24 deep, past the 15 bits allowed.
std::vector<uint8_t> fibonacci_counts() {
    std::vector<uint8_t> v;
    for (uint32_t s = 0, a = 1, b = 1; s < 25; ++s, b = a + b, a = b - a) v.insert(v.end(), a, uint8_t(s * 10));
    const std::vector<uint8_t> order = lcg_bytes(3 * v.size(), 0, 5);
    for (size_t i = v.size() - 1; i > 0; --i)
        std::swap(v[i], v[(size_t(order[3 * i]) << 16 | size_t(order[3 * i + 1]) << 8 | order[3 * i + 2]) % (i + 1)]);
    return v;
}

TEST(DeflatePiece, JoinedPiecesInflateToTheBytes) {
    std::vector<uint8_t> all_values(256), zeros(300000, 0), mixed = lcg_bytes(150000, 0);
    for (int i = 0; i < 256; ++i) all_values[size_t(i)] = uint8_t(i);
    mixed.insert(mixed.end(), 100000, 42);
    const struct {
        const char* name;
        std::vector<uint8_t> data;
        std::vector<size_t> cuts;
    } cases[] = {
        {"empty", {}, {}},
        {"empty pieces between", {1, 1, 1, 1, 2}, {0, 0, 3, 3}},
        {"one byte", {9}, {}},
        {"every byte value", all_values, {}},
        {"runs of every length", runs(), {}},
        {"runs of every length, cut inside runs", runs(), {1, 2, 3, 260, 261, 5000, 5001, 100000}},
        {"zeros", zeros, {}},
        {"zeros cut after one and two of a run", zeros, {1, 3, 131072, 131073}},
        {"noise", lcg_bytes(200000, 0), {}},
        {"noise then a run", mixed, {70000}},
        {"counts past 15-bit codes", fibonacci_counts(), {}},
        {"grain in many pieces", lcg_bytes(1 << 20, 3), {1000, 65535, 65536, 131071, 131072, 400000, 400001}},
    };
    for (const auto& c : cases) EXPECT_TRUE(round_trip(c.data, c.cuts) == c.data) << c.name;
}

// Coded where coding pays, stored where it does not: the size against
// zlib's own Huffman-only coding of the same bytes (no run search helps
// here) and against the raw bytes.
TEST(DeflatePiece, SizesAgainstZlibAndStored) {
    const struct {
        const char* name;
        std::vector<uint8_t> data;
        double most_of_zlib, most_of_raw;
    } cases[] = {
        {"grain", lcg_bytes(1 << 20, 3), 1.02, 0.5},
        {"counts past 15-bit codes", fibonacci_counts(), 1.02, 0.35},
        {"noise", lcg_bytes(1 << 20, 0), 1.01, 1.001},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> ours;
        deflate_piece(c.data.data(), c.data.size(), true, &ours);
        z_stream z{};
        ASSERT_EQ(deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_HUFFMAN_ONLY), Z_OK);
        std::vector<uint8_t> theirs(deflateBound(&z, uLong(c.data.size())));
        z.next_in = const_cast<Bytef*>(c.data.data()), z.avail_in = uInt(c.data.size());
        z.next_out = theirs.data(), z.avail_out = uInt(theirs.size());
        ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
        deflateEnd(&z);
        EXPECT_LE(double(ours.size()), c.most_of_zlib * double(z.total_out)) << c.name;
        EXPECT_LE(double(ours.size()), c.most_of_raw * double(c.data.size())) << c.name;
    }
}

}  // namespace
