// Deflate blocks of one piece of filtered PNG rows. Writes dynamic-Huffman
// blocks (literals and runs at distance one) and stored blocks; never the
// fixed codes, which lose to a block's own codes on every sizeable block.
// Declines nothing: any bytes make a valid piece, in the worst case stored.
// The codes are complete, as zlib's inflate requires, and no longer than
// 15 bits (7 for the code lengths' own code).
//
// Matches look only within the piece, never into the piece before it: the
// pieces are made apart, and on filtered texture rows the runs a longer
// search would find are rare enough that literals cost about the same.
#include "writers/deflate.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace orvandel {

namespace {

// Raw bytes a block codes, about: small enough that the codes follow the
// picture's changes down a piece, large enough that a block's code table
// (some 80 bytes) is lost in its size.
constexpr size_t BLOCK_BYTES = size_t(1) << 17;
constexpr size_t STORED_MAX = 65535;
constexpr int MIN_MATCH = 3, MAX_MATCH = 258;
constexpr int LITLEN_SYMBOLS = 286, DIST_SYMBOLS = 30, CODE_LENGTH_SYMBOLS = 19;
constexpr int END_OF_BLOCK = 256;
// Token values: a literal byte, or 256 + a match's length less MIN_MATCH.
constexpr int TOKEN_VALUES = 256 + MAX_MATCH - MIN_MATCH + 1;

// A length's symbol and extra bits (RFC 1951, 3.2.5).
struct LengthCode {
    uint16_t symbol = 0;
    uint8_t extra_bits = 0;
    uint8_t extra_value = 0;
};

constexpr std::array<LengthCode, MAX_MATCH + 1> make_length_codes() {
    constexpr uint16_t base[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                   31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
    constexpr uint8_t extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    std::array<LengthCode, MAX_MATCH + 1> codes{};
    int s = 0;
    for (int length = MIN_MATCH; length <= MAX_MATCH; ++length) {
        // 258 has a symbol of its own (285), though 284's extra bits could reach it.
        while (s + 1 < 29 && base[s + 1] <= length) ++s;
        codes[length].symbol = uint16_t(257 + s);
        codes[length].extra_bits = extra[s];
        codes[length].extra_value = uint8_t(length - base[s]);
    }
    return codes;
}
constexpr std::array<LengthCode, MAX_MATCH + 1> LENGTH_CODES = make_length_codes();

// The order the code lengths' own code lengths are written in (3.2.7).
constexpr uint8_t CODE_LENGTH_ORDER[CODE_LENGTH_SYMBOLS] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5,
                                                            11, 4,  12, 3, 13, 2, 14, 1, 15};

uint64_t load_le64(const uint8_t* p) {
    uint64_t v;
    std::memcpy(&v, p, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    return v;
}

void store_le64(uint8_t* p, uint64_t v) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap64(v);
#endif
    std::memcpy(p, &v, 8);
}

// Bits go out least significant first (3.1.1). Between flushes at most
// 57 bits may be put; a flush writes 8 bytes, so the output needs 8 bytes
// of room beyond what it keeps.
struct BitWriter {
    uint8_t* at = nullptr;
    uint64_t bits = 0;
    unsigned count = 0;
};

inline void put_bits(BitWriter* w, uint64_t value, unsigned n) {
    w->bits |= value << w->count;
    w->count += n;
}

inline void flush_bits(BitWriter* w) {
    store_le64(w->at, w->bits);
    w->at += w->count >> 3;
    w->bits >>= w->count & 56;
    w->count &= 7;
}

// To the next byte boundary, the pad bits zero.
void align_bits(BitWriter* w) {
    store_le64(w->at, w->bits);
    w->at += (w->count + 7) >> 3;
    w->bits = 0;
    w->count = 0;
}

// Where the run of data[at - 1] that starts at `at` ends, at most at `limit`.
size_t run_end(const uint8_t* data, size_t at, size_t limit) {
    const uint64_t pattern = data[at - 1] * 0x0101010101010101ull;
    for (; at + 8 <= limit; at += 8) {
        const uint64_t differ = load_le64(data + at) ^ pattern;
        if (differ) return at + size_t(__builtin_ctzll(differ) >> 3);
    }
    while (at < limit && data[at] == data[at - 1]) ++at;
    return at;
}

// Tokens for data[begin, end) of a piece starting at data: runs of at least
// MIN_MATCH bytes equal to the one before them as matches at distance one,
// the rest literals. Adds each token's count to `counts`; returns how many.
size_t tokenize(const uint8_t* data, size_t begin, size_t end, uint16_t* tokens, uint32_t* counts) {
    size_t n = 0;
    size_t i = begin;
    const auto literal = [&](size_t at) {
        tokens[n++] = data[at];
        ++counts[data[at]];
    };
    const auto match = [&](size_t at) {
        const size_t stop = run_end(data, at, std::min(end, at + MAX_MATCH));
        const uint16_t token = uint16_t(256 + (stop - at) - MIN_MATCH);
        tokens[n++] = token;
        ++counts[token];
        return stop;
    };
    if (i == 0 && i < end) literal(i++);
    constexpr uint64_t LOW7 = 0x7F7F7F7F7F7F7F7Full;
    while (i + 8 <= end) {
        // Byte k of `same` has its top bit set where data[i + k] equals the
        // byte before it; a run starts at k where bytes k, k + 1 and k + 2 do.
        const uint64_t x = load_le64(data + i) ^ load_le64(data + i - 1);
        const uint64_t same = ~(((x & LOW7) + LOW7) | x | LOW7);
        const uint64_t starts = same & (same >> 8) & (same >> 16);
        if (starts == 0) {
            // Bytes 6 and 7 may yet start a run: their look-ahead lies beyond.
            for (int k = 0; k < 6; ++k) literal(i + size_t(k));
            i += 6;
            continue;
        }
        const size_t first = size_t(__builtin_ctzll(starts) >> 3);
        for (size_t k = 0; k < first; ++k) literal(i + k);
        i = match(i + first);
    }
    while (i < end) {
        if (i + 2 < end && data[i] == data[i - 1] && data[i + 1] == data[i - 1] && data[i + 2] == data[i - 1])
            i = match(i);
        else
            literal(i++);
    }
    return n;
}

// Code lengths for `count` symbols of frequencies `freq`, none longer than
// `limit`: a Huffman code, its deepest leaves lifted to `limit` and the
// overfull code mended. The code is always complete (zlib refuses
// incomplete ones) and has at least two codes.
void code_lengths(const uint32_t* freq, int count, int limit, uint8_t* lengths) {
    std::fill(lengths, lengths + count, uint8_t(0));
    int order[LITLEN_SYMBOLS];
    int n = 0;
    for (int s = 0; s < count; ++s)
        if (freq[s] > 0) order[n++] = s;
    if (n < 2) {
        const int used = n == 1 ? order[0] : 0;
        lengths[used] = 1;
        lengths[used == 0 ? 1 : 0] = 1;
        return;
    }
    // Rarest first, ties by symbol: the same code on every machine.
    std::sort(order, order + n, [freq](int a, int b) { return freq[a] != freq[b] ? freq[a] < freq[b] : a < b; });

    // Two queues: the leaves in order, then the joined nodes, which are made
    // in order of weight; node n + k is the k-th joined.
    uint64_t weight[2 * LITLEN_SYMBOLS];
    int parent[2 * LITLEN_SYMBOLS];
    for (int i = 0; i < n; ++i) weight[i] = freq[order[i]];
    int leaf = 0, joined = n, made = n;
    for (int k = 0; k + 1 < n; ++k) {
        int pick[2];
        for (int& p : pick)
            p = leaf < n && (joined == made || weight[leaf] <= weight[joined]) ? leaf++ : joined++;
        weight[made] = weight[pick[0]] + weight[pick[1]];
        parent[pick[0]] = parent[pick[1]] = made;
        ++made;
    }
    int depth[2 * LITLEN_SYMBOLS];
    depth[made - 1] = 0;
    for (int k = made - 2; k >= 0; --k) depth[k] = depth[parent[k]] + 1;

    int per_length[16] = {};
    for (int i = 0; i < n; ++i) ++per_length[std::min(depth[i], limit)];
    // Leaves lifted to `limit` overfill the code by `excess` leaves of that
    // length. Each step takes the deepest shorter leaf down a level and
    // gives it a leaf of `limit` as its sibling: one less. A leaf of `limit`
    // is always there to take (there are at least `excess` + 1 of them).
    int64_t excess = -(int64_t(1) << limit);
    for (int l = 1; l <= limit; ++l) excess += int64_t(per_length[l]) << (limit - l);
    for (; excess > 0; --excess) {
        int l = limit - 1;
        while (per_length[l] == 0) --l;
        --per_length[l];
        per_length[l + 1] += 2;
        --per_length[limit];
    }
    // The longest codes to the rarest symbols.
    int i = 0;
    for (int l = limit; l >= 1; --l)
        for (int c = 0; c < per_length[l]; ++c) lengths[order[i++]] = uint8_t(l);
}

// Canonical codes for the lengths (3.2.2), bit-reversed: Huffman codes go
// out most significant bit first into a stream filled from the bottom.
void canonical_codes(const uint8_t* lengths, int count, uint16_t* codes) {
    int per_length[16] = {};
    for (int s = 0; s < count; ++s) ++per_length[lengths[s]];
    per_length[0] = 0;
    int next[16] = {};
    for (int l = 1, code = 0; l < 16; ++l) {
        code = (code + per_length[l - 1]) << 1;
        next[l] = code;
    }
    for (int s = 0; s < count; ++s) {
        const int length = lengths[s];
        if (length == 0) continue;
        const int code = next[length]++;
        int reversed = 0;
        for (int b = 0; b < length; ++b) reversed |= ((code >> b) & 1) << (length - 1 - b);
        codes[s] = uint16_t(reversed);
    }
}

// A code length or repeat (symbols 16 to 18) with its extra bits' value.
struct CodeLengthOp {
    uint8_t symbol, extra;
};

// The code lengths of both codes as the code length alphabet's runs (3.2.7).
int code_length_ops(const uint8_t* lengths, int total, CodeLengthOp* ops) {
    int n = 0;
    for (int i = 0; i < total;) {
        const uint8_t v = lengths[i];
        int run = 1;
        while (i + run < total && lengths[i + run] == v) ++run;
        i += run;
        if (v == 0) {
            for (; run >= 11; run -= std::min(run, 138)) ops[n++] = {18, uint8_t(std::min(run, 138) - 11)};
            if (run >= 3) ops[n++] = {17, uint8_t(run - 3)}, run = 0;
        } else {
            ops[n++] = {v, 0};
            for (--run; run >= 3; run -= std::min(run, 6)) ops[n++] = {16, uint8_t(std::min(run, 6) - 3)};
        }
        for (; run > 0; --run) ops[n++] = {v, 0};
    }
    return n;
}

constexpr uint8_t CODE_LENGTH_EXTRA_BITS[CODE_LENGTH_SYMBOLS] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                                                 0, 0, 0, 0, 0, 0, 2, 3, 7};

// One block's codes, and each token's bits ready to put: the bits in the
// low 24, their count above.
struct BlockCode {
    uint8_t litlen_lengths[LITLEN_SYMBOLS];
    uint8_t dist_lengths[DIST_SYMBOLS];
    uint16_t litlen_codes[LITLEN_SYMBOLS];
    uint16_t dist_codes[DIST_SYMBOLS];
    uint32_t token_bits[TOKEN_VALUES];
    int litlen_count, dist_count;  // lengths written, trailing zeros dropped
    CodeLengthOp ops[LITLEN_SYMBOLS + DIST_SYMBOLS];
    int op_count;
    uint8_t cl_lengths[CODE_LENGTH_SYMBOLS];
    uint16_t cl_codes[CODE_LENGTH_SYMBOLS];
    int cl_count;
};

// The codes for the token counts; the block's size in bits, header included.
uint64_t build_code(const uint32_t* counts, BlockCode* code) {
    uint32_t litlen[LITLEN_SYMBOLS] = {};
    uint32_t dist[DIST_SYMBOLS] = {};
    std::copy(counts, counts + 256, litlen);
    litlen[END_OF_BLOCK] = 1;
    for (int length = MIN_MATCH; length <= MAX_MATCH; ++length) {
        litlen[LENGTH_CODES[length].symbol] += counts[256 + length - MIN_MATCH];
        dist[0] += counts[256 + length - MIN_MATCH];
    }
    code_lengths(litlen, LITLEN_SYMBOLS, 15, code->litlen_lengths);
    code_lengths(dist, DIST_SYMBOLS, 15, code->dist_lengths);
    canonical_codes(code->litlen_lengths, LITLEN_SYMBOLS, code->litlen_codes);
    canonical_codes(code->dist_lengths, DIST_SYMBOLS, code->dist_codes);

    code->litlen_count = LITLEN_SYMBOLS;
    while (code->litlen_count > 257 && code->litlen_lengths[code->litlen_count - 1] == 0) --code->litlen_count;
    code->dist_count = DIST_SYMBOLS;
    while (code->dist_count > 1 && code->dist_lengths[code->dist_count - 1] == 0) --code->dist_count;
    uint8_t all[LITLEN_SYMBOLS + DIST_SYMBOLS];
    std::copy(code->litlen_lengths, code->litlen_lengths + code->litlen_count, all);
    std::copy(code->dist_lengths, code->dist_lengths + code->dist_count, all + code->litlen_count);
    code->op_count = code_length_ops(all, code->litlen_count + code->dist_count, code->ops);
    uint32_t cl_freq[CODE_LENGTH_SYMBOLS] = {};
    for (int k = 0; k < code->op_count; ++k) ++cl_freq[code->ops[k].symbol];
    code_lengths(cl_freq, CODE_LENGTH_SYMBOLS, 7, code->cl_lengths);
    canonical_codes(code->cl_lengths, CODE_LENGTH_SYMBOLS, code->cl_codes);
    code->cl_count = CODE_LENGTH_SYMBOLS;
    while (code->cl_count > 4 && code->cl_lengths[CODE_LENGTH_ORDER[code->cl_count - 1]] == 0) --code->cl_count;

    uint64_t bits = 3 + 5 + 5 + 4 + 3 * uint64_t(code->cl_count);
    for (int k = 0; k < code->op_count; ++k)
        bits += code->cl_lengths[code->ops[k].symbol] + CODE_LENGTH_EXTRA_BITS[code->ops[k].symbol];
    for (int t = 0; t < 256; ++t) code->token_bits[t] = code->litlen_codes[t] | uint32_t(code->litlen_lengths[t]) << 24;
    for (int length = MIN_MATCH; length <= MAX_MATCH; ++length) {
        const LengthCode& lc = LENGTH_CODES[length];
        const unsigned symbol_bits = code->litlen_lengths[lc.symbol];
        const unsigned total = symbol_bits + lc.extra_bits + code->dist_lengths[0];
        code->token_bits[256 + length - MIN_MATCH] =
            (code->litlen_codes[lc.symbol] | uint32_t(lc.extra_value) << symbol_bits |
             uint32_t(code->dist_codes[0]) << (symbol_bits + lc.extra_bits)) |
            total << 24;
    }
    for (int t = 0; t < TOKEN_VALUES; ++t) bits += uint64_t(counts[t]) * (code->token_bits[t] >> 24);
    return bits + code->litlen_lengths[END_OF_BLOCK];
}

void write_dynamic(BitWriter* w, const BlockCode& code, const uint16_t* tokens, size_t count, bool final) {
    put_bits(w, final ? 1 : 0, 1);
    put_bits(w, 2, 2);
    put_bits(w, unsigned(code.litlen_count - 257), 5);
    put_bits(w, unsigned(code.dist_count - 1), 5);
    put_bits(w, unsigned(code.cl_count - 4), 4);
    flush_bits(w);
    for (int k = 0; k < code.cl_count; ++k) {
        put_bits(w, code.cl_lengths[CODE_LENGTH_ORDER[k]], 3);
        flush_bits(w);
    }
    for (int k = 0; k < code.op_count; ++k) {
        const CodeLengthOp op = code.ops[k];
        put_bits(w, code.cl_codes[op.symbol], code.cl_lengths[op.symbol]);
        put_bits(w, op.extra, CODE_LENGTH_EXTRA_BITS[op.symbol]);
        flush_bits(w);
    }
    // Two tokens of at most 21 bits each between flushes.
    size_t k = 0;
    for (; k + 2 <= count; k += 2) {
        const uint32_t a = code.token_bits[tokens[k]], b = code.token_bits[tokens[k + 1]];
        put_bits(w, a & 0xFFFFFF, a >> 24);
        put_bits(w, b & 0xFFFFFF, b >> 24);
        flush_bits(w);
    }
    if (k < count) {
        const uint32_t a = code.token_bits[tokens[k]];
        put_bits(w, a & 0xFFFFFF, a >> 24);
        flush_bits(w);
    }
    put_bits(w, code.litlen_codes[END_OF_BLOCK], code.litlen_lengths[END_OF_BLOCK]);
    flush_bits(w);
}

// Stored blocks of at most STORED_MAX bytes each; only the last may be final.
void write_stored(BitWriter* w, const uint8_t* data, size_t size, bool final) {
    size_t done = 0;
    do {
        const size_t n = std::min(STORED_MAX, size - done);
        put_bits(w, final && done + n == size ? 1 : 0, 3);
        align_bits(w);
        const uint8_t head[4] = {uint8_t(n), uint8_t(n >> 8), uint8_t(~n), uint8_t(~n >> 8)};
        std::memcpy(w->at, head, 4);
        if (n > 0) std::memcpy(w->at + 4, data + done, n);
        w->at += 4 + n;
        done += n;
    } while (done < size);
}

uint64_t stored_bits(size_t size) { return 8 * uint64_t(size + 5 * (size / STORED_MAX + 1)) + 7; }

}  // namespace

size_t deflate_piece_bound(size_t size) {
    const size_t blocks = size / BLOCK_BYTES + 1;
    // Each block's stored form with a byte of padding before each stored
    // block (a coded block is chosen only when smaller, give or take a
    // partial byte), and the closing empty block.
    return size + 6 * (size / STORED_MAX + blocks) + 2 * blocks + 6;
}

void deflate_piece(const uint8_t* data, size_t size, bool last, std::vector<uint8_t>* out) {
    const size_t start = out->size();
    out->resize(start + deflate_piece_bound(size) + 8);
    BitWriter w;
    w.at = out->data() + start;
    std::vector<uint16_t> tokens(std::min(size, BLOCK_BYTES));
    BlockCode code;
    for (size_t begin = 0; begin < size;) {
        const size_t end = std::min(size, begin + BLOCK_BYTES);
        const bool final = last && end == size;
        uint32_t counts[TOKEN_VALUES] = {};
        const size_t count = tokenize(data, begin, end, tokens.data(), counts);
        if (build_code(counts, &code) < stored_bits(end - begin))
            write_dynamic(&w, code, tokens.data(), count, final);
        else
            write_stored(&w, data + begin, end - begin, final);
        begin = end;
    }
    if (last && size > 0)
        align_bits(&w);
    else
        write_stored(&w, nullptr, 0, last);
    out->resize(size_t(w.at - out->data()));
}

}  // namespace orvandel
