// The default PNG writer's deflate pieces, read back by zlib's inflate: every
// piece joins the next into one raw deflate stream, whatever the bytes.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

#include "writers/deflate.h"

using namespace orvandel;

namespace {

// A raw deflate stream inflated; empty unless zlib reads it to its final
// block and it holds exactly `expected` bytes and nothing follows.
std::vector<uint8_t> inflate_raw(const std::vector<uint8_t>& stream, size_t expected) {
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) return {};
    std::vector<uint8_t> out(expected + 1);
    z.next_in = const_cast<Bytef*>(stream.data());
    z.avail_in = uInt(stream.size());
    z.next_out = out.data();
    z.avail_out = uInt(out.size());
    const int status = inflate(&z, Z_FINISH);
    const bool whole = status == Z_STREAM_END && z.avail_in == 0 && z.total_out == expected;
    inflateEnd(&z);
    if (!whole) return {};
    out.resize(expected);
    return out;
}

// The pieces cut at `cuts`, deflated apart and joined.
std::vector<uint8_t> deflate_pieces(const std::vector<uint8_t>& data, std::vector<size_t> cuts) {
    cuts.push_back(data.size());
    std::vector<uint8_t> stream;
    size_t begin = 0;
    for (size_t k = 0; k < cuts.size(); ++k) {
        const size_t before = stream.size();
        deflate_piece(data.data() + begin, cuts[k] - begin, k + 1 == cuts.size(), &stream);
        EXPECT_LE(stream.size() - before, deflate_piece_bound(cuts[k] - begin));
        begin = cuts[k];
    }
    return stream;
}

struct Lcg {
    uint32_t state;
    uint8_t next() { return uint8_t((state = state * 1103515245u + 12345u) >> 24); }
};

std::vector<uint8_t> noise(size_t size, uint32_t start) {
    Lcg lcg{start};
    std::vector<uint8_t> v(size);
    for (uint8_t& b : v) b = lcg.next();
    return v;
}

// Runs of every length from 1 to 700 of alternating bytes: the matches'
// every length code, runs longer than one match, and runs across blocks.
std::vector<uint8_t> runs() {
    std::vector<uint8_t> v;
    for (int length = 1; length <= 700; ++length) v.insert(v.end(), size_t(length), uint8_t(length % 3 == 0 ? 7 : length));
    return v;
}

// Symbol s appears fib(s + 1) times, shuffled: a Huffman code for these
// counts is 24 deep, far beyond the 15 bits deflate allows.
std::vector<uint8_t> fibonacci_counts() {
    std::vector<uint8_t> v;
    uint32_t a = 1, b = 1;
    for (int s = 0; s < 25; ++s, b = a + b, a = b - a) v.insert(v.end(), a, uint8_t(s * 10));
    Lcg lcg{5};
    for (size_t i = v.size() - 1; i > 0; --i) {
        const size_t j = (size_t(lcg.next()) << 16 | size_t(lcg.next()) << 8 | lcg.next()) % (i + 1);
        std::swap(v[i], v[j]);
    }
    return v;
}

// Small values around zero, as the Up filter leaves of a grainy picture.
std::vector<uint8_t> filtered_grain(size_t size) {
    Lcg lcg{11};
    std::vector<uint8_t> v(size);
    for (uint8_t& b : v) b = uint8_t(int(lcg.next() % 7) - 3 + (lcg.next() < 8 ? lcg.next() : 0));
    return v;
}

TEST(DeflatePiece, JoinedPiecesInflateToTheBytes) {
    std::vector<uint8_t> all_values(256);
    for (int i = 0; i < 256; ++i) all_values[size_t(i)] = uint8_t(i);
    const std::vector<uint8_t> zeros(300000, 0);
    std::vector<uint8_t> mixed = noise(150000, 3);
    mixed.insert(mixed.end(), 100000, 42);
    const std::vector<uint8_t> grain = filtered_grain(1 << 20);
    struct Case {
        const char* name;
        std::vector<uint8_t> data;
        std::vector<size_t> cuts;
    };
    const Case cases[] = {
        {"empty", {}, {}},
        {"empty pieces between", {1, 1, 1, 1, 2}, {0, 0, 3, 3}},
        {"one byte", {9}, {}},
        {"every byte value", all_values, {}},
        {"runs of every length", runs(), {}},
        {"runs of every length, cut inside runs", runs(), {1, 2, 3, 260, 261, 5000, 5001, 100000}},
        {"zeros", zeros, {}},
        {"zeros cut after one and two of a run", zeros, {1, 3, 131072, 131073}},
        {"noise", noise(200000, 1), {}},
        {"noise then a run", mixed, {70000}},
        {"counts past 15-bit codes", fibonacci_counts(), {}},
        {"grain in many pieces", grain, {1000, 65535, 65536, 131071, 131072, 400000, 400001, 1000000}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> stream = deflate_pieces(c.data, c.cuts);
        EXPECT_EQ(inflate_raw(stream, c.data.size()), c.data);
    }
}

// Coded where coding pays, stored where it does not: the size against
// zlib's own Huffman-only coding of the same bytes, which no run search
// helps here, and against the stored form.
TEST(DeflatePiece, SizesAgainstZlibAndStored) {
    const std::vector<uint8_t> grain = filtered_grain(1 << 20), fib = fibonacci_counts(), random = noise(1 << 20, 9);
    struct Case {
        const char* name;
        const std::vector<uint8_t>& data;
        double most_of_zlib;  // our size / zlib's Huffman-only size, at most
        double most_of_raw;   // our size / the raw bytes, at most
    };
    const Case cases[] = {
        {"grain", grain, 1.02, 0.5},
        {"counts past 15-bit codes", fib, 1.02, 0.35},
        {"noise", random, 1.01, 1.001},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> ours;
        deflate_piece(c.data.data(), c.data.size(), true, &ours);
        z_stream z{};
        ASSERT_EQ(deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_HUFFMAN_ONLY), Z_OK);
        std::vector<uint8_t> theirs(deflateBound(&z, uLong(c.data.size())));
        z.next_in = const_cast<Bytef*>(c.data.data());
        z.avail_in = uInt(c.data.size());
        z.next_out = theirs.data();
        z.avail_out = uInt(theirs.size());
        ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
        deflateEnd(&z);
        EXPECT_LE(double(ours.size()), c.most_of_zlib * double(z.total_out));
        EXPECT_LE(double(ours.size()), c.most_of_raw * double(c.data.size()));
    }
}

}  // namespace
