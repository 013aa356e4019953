// Working values and the one-axis halvings of the modern builders. Filters
// are weight tables made once per input size (in double, then stored as
// float), so the passes themselves are plain multiply-adds over consecutive
// pixels. Kaiser results are clamped after every pass, as the negative lobes
// can overshoot; box weights are positive and need no clamp.
#include "builders/resample.h"


#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <new>
#include <thread>
#include <type_traits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace orvandel {

namespace {

constexpr double PI = 3.14159265358979323846;

double srgb_to_linear(double c) { return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); }

struct DecodeTables {
    float srgb[256];
    float unit[256];
    float normal[256];
};

const DecodeTables& decode_tables() {
    static const DecodeTables tables = [] {
        DecodeTables t{};
        for (int v = 0; v < 256; ++v) {
            t.srgb[v] = static_cast<float>(srgb_to_linear(v / 255.0));
            t.unit[v] = static_cast<float>(v / 255.0);
            t.normal[v] = static_cast<float>(2.0 * v / 255.0 - 1.0);
        }
        return t;
    }();
    return tables;
}

// Encoding through a coarse table alone would be off by one near black,
// where the curve is steep. The table's guess is never above the answer, and
// the curve rises by at most 12.92 * 255 / 4095 < 1 output step within one of
// its steps, so one compare with the exact threshold finishes it. 4096
// entries keep both tables in the first-level cache.
constexpr int COARSE_STEPS = 4095;
struct SrgbEncoder {
    uint8_t coarse[COARSE_STEPS + 1];
    float threshold[257];  // the least linear value that encodes to v
};

const SrgbEncoder& srgb_encoder() {
    static const SrgbEncoder encoder = [] {
        SrgbEncoder e{};
        double threshold[257];
        // Halves round up: v starts where the encoded value reaches v - 0.5,
        // the decode of that value since the two curves are inverses.
        threshold[0] = -HUGE_VAL;
        for (int v = 1; v < 256; ++v) threshold[v] = srgb_to_linear((v - 0.5) / 255.0);
        threshold[256] = HUGE_VAL;
        for (int v = 0; v < 257; ++v) e.threshold[v] = static_cast<float>(threshold[v]);
        int v = 0;
        for (int i = 0; i <= COARSE_STEPS; ++i) {
            const double l = double(i) / COARSE_STEPS;
            while (v < 255 && l >= threshold[v + 1]) ++v;
            e.coarse[i] = static_cast<uint8_t>(v);
        }
        return e;
    }();
    return encoder;
}

uint8_t encode_normal(float n) {
    const float v = (n + 1.0f) * 127.5f + 0.5f;
    return v <= 0 ? 0 : v >= 255 ? 255 : static_cast<uint8_t>(v);
}

double bessel_i0(double x) {
    double sum = 1, term = 1;
    const double q = x * x / 4;
    for (int k = 1; k < 64 && term > 1e-17 * sum; ++k) {
        term *= q / (double(k) * k);
        sum += term;
    }
    return sum;
}

double kaiser(double x) {
    if (std::fabs(x) >= 3) return 0;
    const double sinc = x == 0 ? 1 : std::sin(PI * x) / (PI * x);
    return sinc * bessel_i0(4 * std::sqrt(1 - (x / 3) * (x / 3))) / bessel_i0(4);
}

// One pixel's four channels as one vector (GCC and clang vector types), so
// every sum below is one multiply-add per tap whatever the compiler's
// vectoriser makes of the loops.
typedef float F4 __attribute__((vector_size(16)));
typedef int32_t I4 __attribute__((vector_size(16)));

inline F4 load(const Linear& p) {
    F4 v;
    std::memcpy(&v, p.v, sizeof v);
    return v;
}
inline void store(Linear* p, F4 v) { std::memcpy(p->v, &v, sizeof v); }
inline F4 splat(float x) { return F4{x, x, x, x}; }
inline F4 select(I4 mask, F4 a, F4 b) { return F4(((I4)a & mask) | ((I4)b & ~mask)); }

// The colour range [low, high] (low is -1 for normal maps, high unbounded
// for float sources), alpha [0, 1].
struct Range {
    F4 low, high;
};
inline Range range_of(const PassMode& mode) {
    const float low = mode.colour_low, high = mode.colour_high;
    return Range{F4{low, low, low, 0}, F4{high, high, high, 1}};
}
inline F4 clamp(F4 v, const Range& r) {
    v = select(v < r.low, r.low, v);
    return select(v > r.high, r.high, v);
}

const I4 ALPHA_LANE = {0, 0, 0, -1};

// Sum of w a c over sum of w a, or the plain weighted sum where the alpha is
// too small to divide by. `weighted` holds sum w a in its alpha lane.
template <bool Clamped>
inline F4 finish_weighted(F4 weighted, F4 plain, const Range& range) {
    const float alpha = weighted[3];
    const F4 colour = alpha >= 1.0f / 4096 ? weighted / splat(alpha) : plain;
    const F4 out = select(ALPHA_LANE, splat(alpha), colour);
    return Clamped ? clamp(out, range) : out;
}

template <bool Clamped>
inline F4 finish_plain(F4 sum, const Range& range) {
    return Clamped ? clamp(sum, range) : sum;
}

// A pixel with its alpha lane set to 1: times w a it gives w a c and w a.
inline F4 with_unit_alpha(F4 v) { return select(ALPHA_LANE, splat(1), v); }

// Outputs [begin, end) of a halving into out[0 .. end - begin), input pixel j
// read at window[j - window_first]. FixedCount: the tap count known at
// compile time (the usual box and Kaiser halvings of even sizes), so the
// compiler unrolls the sum; 0 for any.
template <bool Weighted, bool Clamped, int FixedCount>
void halve_row_with(const Linear* window, int32_t window_first, const Taps& taps, const Range& range, int32_t begin,
                    int32_t end, Linear* out) {
    const int32_t count = FixedCount > 0 ? FixedCount : taps.count;
    for (int32_t i = begin; i < end; ++i) {
        const float* w = weights_of(taps, i);
        const Linear* in = window + (first_of(taps, i) - window_first);
        F4 sum = splat(0), plain = splat(0);
        for (int32_t t = 0; t < count; ++t) {
            const F4 v = load(in[t]);
            if (Weighted) {
                sum += splat(w[t] * v[3]) * with_unit_alpha(v);
                plain += splat(w[t]) * v;
            } else {
                sum += splat(w[t]) * v;
            }
        }
        store(&out[i - begin],
              Weighted ? finish_weighted<Clamped>(sum, plain, range) : finish_plain<Clamped>(sum, range));
    }
}

template <bool Weighted>
void accumulate_row(const Linear* in, float w, int32_t width, Linear* sum, Linear* plain) {
    for (int32_t x = 0; x < width; ++x) {
        const F4 v = load(in[x]);
        if (Weighted) {
            store(&sum[x], load(sum[x]) + splat(w * v[3]) * with_unit_alpha(v));
            store(&plain[x], load(plain[x]) + splat(w) * v);
        } else {
            store(&sum[x], load(sum[x]) + splat(w) * v);
        }
    }
}

void scale_row(const Linear* in, float w, int32_t width, Linear* out) {
    for (int32_t x = 0; x < width; ++x) store(&out[x], splat(w) * load(in[x]));
}

// Rows of an 8-bit block decoded as the vertical pass asks for them, in a
// small ring. A pass asks for rows in rising order but for the edges, where
// a collision only costs a second decode: each row is used at once.
struct RowCache {
    std::vector<Linear> rows;
    std::vector<int32_t> tags;
    int32_t width;
};

const Linear* fetch_row(const BlockView& block, const Coding& coding, RowCache* cache, int32_t row) {
    if (block.values) return block.values + row * block.stride;
    const size_t slot = size_t(row) % cache->tags.size();
    Linear* out = cache->rows.data() + slot * size_t(cache->width);
    if (cache->tags[slot] != row) {
        decode_row(block.pixels + row * block.stride, block.width, coding, out);
        cache->tags[slot] = row;
    }
    return out;
}

// Calls run(weighted, clamped) with the mode's two choices as types, so that
// each combination is a pass compiled for it.
template <typename Run>
void run_in_mode(const PassMode& mode, Run&& run) {
    using Yes = std::true_type;
    using No = std::false_type;
    if (mode.alpha_weighted)
        mode.clamped ? run(Yes(), Yes()) : run(Yes(), No());
    else
        mode.clamped ? run(No(), Yes()) : run(No(), No());
}

// Output rows [begin, end) of a vertical halving over input rows of `width`
// values, each input row from fetch(row).
template <bool Weighted, bool Clamped, typename Fetch>
void halve_columns_band(int32_t width, const Taps& taps, const Range& range, int32_t begin, int32_t end,
                        std::vector<Linear>* scratch, Fetch&& fetch, Linear* out) {
    Linear* sum = scratch->data();
    Linear* plain = sum + width;
    for (int32_t i = begin; i < end; ++i) {
        Linear* target = out + int64_t(i) * width;
        // Without alpha weighting the output row itself is the sum, begun by
        // the first tap.
        Linear* total = Weighted ? sum : target;
        if (Weighted) std::fill(sum, sum + 2 * size_t(width), Linear{});
        bool begun = Weighted;
        const float* w = weights_of(taps, i);
        for (int32_t t = 0; t < taps.count; ++t) {
            if (w[t] == 0) continue;
            const int32_t row = edge_index(taps.edge, first_of(taps, i) + t, taps.in_size);
            const Linear* in = fetch(row);
            if (begun)
                accumulate_row<Weighted>(in, w[t], width, total, plain);
            else
                scale_row(in, w[t], width, total);
            begun = true;
        }
        for (int32_t x = 0; x < width; ++x)
            store(&target[x], Weighted ? finish_weighted<Clamped>(load(sum[x]), load(plain[x]), range)
                                       : finish_plain<Clamped>(load(total[x]), range));
    }
}

}  // namespace

ValueKind value_kind(const FilterOptions& options) {
    if (options.normal_map) return ValueKind::normal;
    return options.colour == ColourSpace::srgb ? ValueKind::srgb : ValueKind::linear;
}

Coding make_coding(ValueKind kind, bool alpha) {
    const DecodeTables& t = decode_tables();
    const float* table = kind == ValueKind::srgb ? t.srgb : kind == ValueKind::normal ? t.normal : t.unit;
    return Coding{kind, alpha, table};
}

void decode_row(const Pixel* in, int32_t count, const Coding& coding, Linear* out) {
    const float* table = coding.colour_table;
    const float* unit = decode_tables().unit;
    for (int32_t x = 0; x < count; ++x) {
        const Pixel p = in[x];
        out[x] = Linear{{table[p & 0xFF], table[(p >> 8) & 0xFF], table[(p >> 16) & 0xFF],
                         coding.alpha ? unit[p >> 24] : 1.0f}};
    }
}

namespace {

// Branch-free: the final compare goes either way about as often on real
// pictures, so a branch there would be mispredicted half the time.
inline uint8_t encode_srgb_with(const SrgbEncoder& e, float l) {
    l = std::min(1.0f, std::max(0.0f, l));
    const int v = e.coarse[static_cast<int>(l * COARSE_STEPS)];
    return static_cast<uint8_t>(v + (l >= e.threshold[v + 1]));
}

}  // namespace

uint8_t encode_srgb(float l) { return encode_srgb_with(srgb_encoder(), l); }

uint8_t encode_unit(float value) {
    const float v = value * 255.0f + 0.5f;
    return v <= 0 ? 0 : v >= 255 ? 255 : static_cast<uint8_t>(v);
}

namespace {

#if defined(__x86_64__)
// Encoding is the largest cost of a box build: three table look-ups per
// output pixel, scalar since vector gathers are slow where microcoded. With
// AVX2 the curve is computed instead, eight floats at a time: for l in
// [2^e, 2^(e+1)), l^(1/2.4) = 2^(e/2.4) m^(1/2.4) with m in [1, 2), the
// first factor from a ten-entry register table (e = -9 .. 0 is all the
// curve's power part reaches), the second a degree-6 polynomial with a
// relative error below 2.5e-7. That is within 8.1e-5 of an output step of
// the exact value at worst over every float in [0, 1] (the slow tests check
// them all), so it rounds as the table does except near a half step, where
// it could round the other way and make the bytes depend on the processor.
// So any eight values with one of them within NEAR_HALF (three times that
// error) of a half step, about one eight in 250, are encoded by the table.
constexpr float NEAR_HALF = 2.5e-4f;

// Out of line, so the rare detour leaves the vector loop's registers alone.
__attribute__((noinline, cold)) void encode_srgb_plain(const float* in, size_t count, uint8_t* out) {
    const SrgbEncoder& encoder = srgb_encoder();
    for (size_t k = 0; k < count; ++k) out[k] = encode_srgb_with(encoder, in[k]);
}

// Chebyshev fit of m^(5/12) on [1, 2), in t = 2m - 3.
constexpr float ROOT_POLY[7] = {1.184053587375209f,     0.16445311923539072f,  -0.01598871792864054f,
                                0.002803009362282806f,  -0.0006028343877495195f, 0.0001636075037416061f,
                                -4.205508959615705e-05f};

// 1.055 * 2^(e / 2.4) for e = -9 .. 0, at e + 9.
struct RootScales {
    float at[16];
};
const RootScales& root_scales() {
    static const RootScales scales = [] {
        RootScales s{};
        for (int e = -9; e <= 0; ++e) s.at[e + 9] = static_cast<float>(1.055 * std::pow(2.0, e / 2.4));
        return s;
    }();
    return scales;
}

__attribute__((target("avx2,fma"))) void encode_srgb_flat_avx2(const float* in, size_t count, uint8_t* out) {
    const __m256 scale_low = _mm256_loadu_ps(root_scales().at), scale_high = _mm256_loadu_ps(root_scales().at + 8);
    const __m256 zero = _mm256_setzero_ps(), one = _mm256_set1_ps(1.0f);
    const __m256i mantissa = _mm256_set1_epi32(0x007FFFFF), unit_exponent = _mm256_set1_epi32(0x3F800000);
    const __m256i exponent_bias = _mm256_set1_epi32(127 - 9), nine = _mm256_set1_epi32(9);
    const __m256i seven = _mm256_set1_epi32(7);
    const __m256 near_half = _mm256_set1_ps(NEAR_HALF), magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF));
    size_t k = 0;
    for (; k + 8 <= count; k += 8) {
        // max(x, 0) gives the 0 for a NaN x, as the plain path's clamp does.
        const __m256 l = _mm256_min_ps(_mm256_max_ps(_mm256_loadu_ps(in + k), zero), one);
        const __m256i bits = _mm256_castps_si256(l);
        const __m256 m = _mm256_castsi256_ps(_mm256_or_si256(_mm256_and_si256(bits, mantissa), unit_exponent));
        const __m256 t = _mm256_fmsub_ps(m, _mm256_set1_ps(2.0f), _mm256_set1_ps(3.0f));
        __m256 p = _mm256_set1_ps(ROOT_POLY[6]);
        for (int d = 5; d >= 0; --d) p = _mm256_fmadd_ps(p, t, _mm256_set1_ps(ROOT_POLY[d]));
        // e + 9, held to 0 .. 9; below that the linear part takes over anyway.
        const __m256i exponent = _mm256_sub_epi32(_mm256_srli_epi32(bits, 23), exponent_bias);
        const __m256i index = _mm256_min_epi32(nine, _mm256_max_epi32(_mm256_setzero_si256(), exponent));
        const __m256 s = _mm256_blendv_ps(_mm256_permutevar8x32_ps(scale_low, index),
                                          _mm256_permutevar8x32_ps(scale_high, index),
                                          _mm256_castsi256_ps(_mm256_cmpgt_epi32(index, seven)));
        __m256 encoded = _mm256_fmsub_ps(s, p, _mm256_set1_ps(0.055f));
        const __m256 near_black = _mm256_cmp_ps(l, _mm256_set1_ps(0.0031308f), _CMP_LE_OQ);
        encoded = _mm256_blendv_ps(encoded, _mm256_mul_ps(l, _mm256_set1_ps(12.92f)), near_black);
        const __m256 scaled = _mm256_fmadd_ps(encoded, _mm256_set1_ps(255.0f), _mm256_set1_ps(0.5f));
        const __m256 whole = _mm256_round_ps(scaled, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
        const __m256 near =
            _mm256_cmp_ps(_mm256_and_ps(_mm256_sub_ps(scaled, whole), magnitude), near_half, _CMP_LT_OQ);
        if (_mm256_movemask_ps(near)) {
            encode_srgb_plain(in + k, 8, out + k);
            continue;
        }
        const __m256i v = _mm256_cvttps_epi32(scaled);
        const __m128i words = _mm_packus_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + k), _mm_packus_epi16(words, words));
    }
    encode_srgb_plain(in + k, count - k, out + k);
}

// The BMP rows' encode needs no curve at all. For l in [0, 1] the float's
// bits rise with l, and a bucket of 2^16 of them (bits >> 16) is at most
// 0.78 % of its l wide, less than any step of the curve (0.89 % at the top,
// where its steps are relatively narrowest): so a bucket holds at most one of
// the thresholds, and its entry is the byte at its start (above bit 17) and
// that threshold's low 16 bits (0x10000 where there is none). One look-up and
// one compare give the table's byte for every float, so no value needs the
// detour near a half step (isa_test's slow test checks every float).
struct SrgbBuckets {
    uint32_t entry[(0x3F800000u >> 16) + 1];
};
const SrgbBuckets& srgb_buckets() {
    static const SrgbBuckets buckets = [] {
        const SrgbEncoder& e = srgb_encoder();
        SrgbBuckets s{};
        uint32_t v = 0;  // the thresholds at or below the bucket's start
        for (uint32_t k = 0; k < sizeof s.entry / sizeof s.entry[0]; ++k) {
            float start;
            const uint32_t start_bits = k << 16;
            std::memcpy(&start, &start_bits, sizeof start);
            while (v < 255 && e.threshold[v + 1] <= start) ++v;
            uint32_t next_bits = 0;
            std::memcpy(&next_bits, &e.threshold[v + 1], sizeof next_bits);
            const uint32_t low = v < 255 && next_bits >> 16 == k ? (next_bits & 0xFFFF) : 0x10000;
            s.entry[k] = v << 17 | low;
        }
        return s;
    }();
    return buckets;
}

// Eight floats' bytes, in the low 8 bytes. max(x, 0) gives 0 for a NaN x and
// +0 for -0, so every index lies in the table. The eight entries are read one
// by one: on the Zen 3 this was measured on, that took 8% less time than a
// vector gather.
__attribute__((target("avx2"))) inline __m128i encode_srgb_eight(__m256 x, const SrgbBuckets& buckets) {
    const __m256 l = _mm256_min_ps(_mm256_max_ps(x, _mm256_setzero_ps()), _mm256_set1_ps(1.0f));
    const __m256i bits = _mm256_castps_si256(l);
    alignas(32) uint32_t index[8];
    _mm256_store_si256(reinterpret_cast<__m256i*>(index), _mm256_srli_epi32(bits, 16));
    const uint32_t* table = buckets.entry;
    __m128i e0 = _mm_cvtsi32_si128(int(table[index[0]]));
    __m128i e1 = _mm_cvtsi32_si128(int(table[index[4]]));
    e0 = _mm_insert_epi32(e0, int(table[index[1]]), 1);
    e1 = _mm_insert_epi32(e1, int(table[index[5]]), 1);
    e0 = _mm_insert_epi32(e0, int(table[index[2]]), 2);
    e1 = _mm_insert_epi32(e1, int(table[index[6]]), 2);
    e0 = _mm_insert_epi32(e0, int(table[index[3]]), 3);
    e1 = _mm_insert_epi32(e1, int(table[index[7]]), 3);
    const __m256i entry = _mm256_inserti128_si256(_mm256_castsi128_si256(e0), e1, 1);
    const __m256i low = _mm256_and_si256(bits, _mm256_set1_epi32(0xFFFF));
    // -1 where l lies below its bucket's threshold, so 1 + that is the step past it.
    const __m256i below = _mm256_cmpgt_epi32(_mm256_and_si256(entry, _mm256_set1_epi32(0x1FFFF)), low);
    const __m256i v = _mm256_add_epi32(_mm256_srli_epi32(entry, 17), _mm256_add_epi32(_mm256_set1_epi32(1), below));
    const __m128i words = _mm_packus_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    return _mm_packus_epi16(words, words);
}

// Working values straight to a BMP row's blue, green, red bytes, eight
// pixels at a time: their 24 colour floats permuted into the file's order,
// so no alpha is encoded and no shuffle of bytes follows.
__attribute__((target("avx2"))) void encode_srgb_bgr_avx2(const Linear* in, int32_t count, uint8_t* out) {
    const SrgbBuckets& buckets = srgb_buckets();
    const SrgbEncoder& encoder = srgb_encoder();
    const __m256i first = _mm256_setr_epi32(2, 1, 0, 6, 5, 4, 2, 1), second = _mm256_setr_epi32(0, 6, 5, 4, 2, 1, 0, 6),
                  third = _mm256_setr_epi32(5, 4, 2, 1, 0, 6, 5, 4);
    int32_t k = 0;
    for (; k + 8 <= count; k += 8, out += 24) {
        const float* f = in[k].v;
        const __m256 v0 = _mm256_loadu_ps(f), v1 = _mm256_loadu_ps(f + 8), v2 = _mm256_loadu_ps(f + 16),
                     v3 = _mm256_loadu_ps(f + 24);
        // B0 G0 R0 B1 G1 R1 B2 G2 | R2 B3 G3 R3 B4 G4 R4 B5 | G5 R5 B6 G6 R6 B7 G7 R7
        const __m256 a = _mm256_blend_ps(_mm256_permutevar8x32_ps(v0, first), _mm256_permutevar8x32_ps(v1, first), 0xC0);
        const __m256 b = _mm256_blend_ps(_mm256_permutevar8x32_ps(v1, second), _mm256_permutevar8x32_ps(v2, second), 0xF0);
        const __m256 c = _mm256_blend_ps(_mm256_permutevar8x32_ps(v2, third), _mm256_permutevar8x32_ps(v3, third), 0xFC);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), encode_srgb_eight(a, buckets));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 8), encode_srgb_eight(b, buckets));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), encode_srgb_eight(c, buckets));
    }
    for (; k < count; ++k, out += 3)
        for (int c3 = 0; c3 < 3; ++c3) out[c3] = encode_srgb_with(encoder, in[k].v[2 - c3]);
}

// The same from three planes: eight reds, greens and blues encoded apart,
// then their bytes interleaved.
__attribute__((target("avx2"))) void encode_srgb_planes_avx2(const float* red, const float* green, const float* blue,
                                                             int32_t count, uint8_t* out) {
    const SrgbBuckets& buckets = srgb_buckets();
    const SrgbEncoder& encoder = srgb_encoder();
    // From blue bytes 0-7 and green 8-15 of one register and red 0-7 of another.
    const __m128i low_bg = _mm_setr_epi8(0, 8, -1, 1, 9, -1, 2, 10, -1, 3, 11, -1, 4, 12, -1, 5);
    const __m128i low_r = _mm_setr_epi8(-1, -1, 0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1);
    const __m128i high_bg = _mm_setr_epi8(13, -1, 6, 14, -1, 7, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i high_r = _mm_setr_epi8(-1, 5, -1, -1, 6, -1, -1, 7, -1, -1, -1, -1, -1, -1, -1, -1);
    int32_t k = 0;
    for (; k + 8 <= count; k += 8, out += 24) {
        const __m128i bg = _mm_unpacklo_epi64(encode_srgb_eight(_mm256_loadu_ps(blue + k), buckets),
                                              encode_srgb_eight(_mm256_loadu_ps(green + k), buckets));
        const __m128i r = encode_srgb_eight(_mm256_loadu_ps(red + k), buckets);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out),
                         _mm_or_si128(_mm_shuffle_epi8(bg, low_bg), _mm_shuffle_epi8(r, low_r)));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16),
                         _mm_or_si128(_mm_shuffle_epi8(bg, high_bg), _mm_shuffle_epi8(r, high_r)));
    }
    for (; k < count; ++k, out += 3) {
        out[0] = encode_srgb_with(encoder, blue[k]);
        out[1] = encode_srgb_with(encoder, green[k]);
        out[2] = encode_srgb_with(encoder, red[k]);
    }
}

// The same sixteen floats at a time: one permute reaches all ten scales, and
// one instruction narrows sixteen results to bytes.
// GCC 12's AVX-512 headers start some results from a deliberately undefined
// register and then warn that it may be uninitialised.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
__attribute__((target("avx512f"))) void encode_srgb_flat_avx512(const float* in, size_t count, uint8_t* out) {
    const __m512 scale = _mm512_loadu_ps(root_scales().at);
    const __m512 zero = _mm512_setzero_ps(), one = _mm512_set1_ps(1.0f);
    const __m512i mantissa = _mm512_set1_epi32(0x007FFFFF), unit_exponent = _mm512_set1_epi32(0x3F800000);
    const __m512i exponent_bias = _mm512_set1_epi32(127 - 9), nine = _mm512_set1_epi32(9);
    const __m512 near_half = _mm512_set1_ps(NEAR_HALF);
    size_t k = 0;
    for (; k + 16 <= count; k += 16) {
        const __m512 l = _mm512_min_ps(_mm512_max_ps(_mm512_loadu_ps(in + k), zero), one);
        const __m512i bits = _mm512_castps_si512(l);
        const __m512 m = _mm512_castsi512_ps(_mm512_or_si512(_mm512_and_si512(bits, mantissa), unit_exponent));
        const __m512 t = _mm512_fmsub_ps(m, _mm512_set1_ps(2.0f), _mm512_set1_ps(3.0f));
        __m512 p = _mm512_set1_ps(ROOT_POLY[6]);
        for (int d = 5; d >= 0; --d) p = _mm512_fmadd_ps(p, t, _mm512_set1_ps(ROOT_POLY[d]));
        const __m512i exponent = _mm512_sub_epi32(_mm512_srli_epi32(bits, 23), exponent_bias);
        const __m512i index = _mm512_min_epi32(nine, _mm512_max_epi32(_mm512_setzero_si512(), exponent));
        __m512 encoded = _mm512_fmsub_ps(_mm512_permutexvar_ps(index, scale), p, _mm512_set1_ps(0.055f));
        const __mmask16 near_black = _mm512_cmp_ps_mask(l, _mm512_set1_ps(0.0031308f), _CMP_LE_OQ);
        encoded = _mm512_mask_mul_ps(encoded, near_black, l, _mm512_set1_ps(12.92f));
        const __m512 scaled = _mm512_fmadd_ps(encoded, _mm512_set1_ps(255.0f), _mm512_set1_ps(0.5f));
        const __m512 whole = _mm512_roundscale_ps(scaled, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
        if (_mm512_cmp_ps_mask(_mm512_abs_ps(_mm512_sub_ps(scaled, whole)), near_half, _CMP_LT_OQ)) {
            encode_srgb_plain(in + k, 16, out + k);
            continue;
        }
        const __m512i v = _mm512_cvttps_epi32(scaled);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), _mm512_cvtusepi32_epi8(v));
    }
    encode_srgb_plain(in + k, count - k, out + k);
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

}  // namespace

void encode_srgb_flat(const float* in, size_t count, uint8_t* out, Isa isa) {
#if defined(__x86_64__)
    switch (runnable_isa(isa)) {
        case Isa::avx512: return encode_srgb_flat_avx512(in, count, out);
        case Isa::avx2: return encode_srgb_flat_avx2(in, count, out);
        default: break;
    }
#else
    (void)isa;
#endif
    const SrgbEncoder& encoder = srgb_encoder();
    for (size_t k = 0; k < count; ++k) out[k] = encode_srgb_with(encoder, in[k]);
}

namespace {

// Working values are red, green, blue, alpha floats and a Pixel is red,
// green, blue, alpha bytes (in memory, on a little-endian processor), so a
// row encodes as one run of floats to bytes; the alpha bytes are put right
// after. Only the computed curve gains from that: the plain path encodes
// pixel by pixel.
bool encode_srgb_row_fast(const Linear* in, int32_t count, const Coding& coding, Pixel* out) {
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    if (active_isa() < Isa::avx2) return false;
    encode_srgb_flat(in[0].v, 4 * size_t(count), reinterpret_cast<uint8_t*>(out));
    for (int32_t x = 0; x < count; ++x)
        out[x] = (out[x] & 0x00FFFFFFu) | (coding.alpha ? Pixel(encode_unit(in[x].v[3])) << 24 : 0);
    return true;
#else
    (void)in, (void)count, (void)coding, (void)out;
    return false;
#endif
}

}  // namespace

void encode_row(const Linear* in, int32_t count, const Coding& coding, Pixel* out) {
    const auto pack = [&](auto encode) {
        for (int32_t x = 0; x < count; ++x) {
            const Linear& p = in[x];
            const Pixel alpha = coding.alpha ? Pixel(encode_unit(p.v[3])) << 24 : 0;
            out[x] = alpha | Pixel(encode(p.v[2])) << 16 | Pixel(encode(p.v[1])) << 8 | encode(p.v[0]);
        }
    };
    switch (coding.kind) {
        case ValueKind::srgb: {
            if (count > 0 && encode_srgb_row_fast(in, count, coding, out)) break;
            const SrgbEncoder& encoder = srgb_encoder();
            pack([&encoder](float l) { return encode_srgb_with(encoder, l); });
            break;
        }
        case ValueKind::linear: pack(encode_unit); break;
        case ValueKind::normal: pack(encode_normal); break;
    }
}

void encode_bgr_row(const Linear* in, int32_t count, const Coding& coding, uint8_t* out, Isa isa) {
#if defined(__x86_64__)
    if (coding.kind == ValueKind::srgb && runnable_isa(isa) >= Isa::avx2) return encode_srgb_bgr_avx2(in, count, out);
#endif
    // Elsewhere the row's Pixels, a run at a time, then their bytes.
    constexpr int32_t RUN = 256;
    Pixel pixels[RUN];
    const Coding opaque{coding.kind, false, coding.colour_table};
    for (int32_t k = 0; k < count; k += RUN) {
        const int32_t n = std::min(RUN, count - k);
        if (coding.kind == ValueKind::srgb) {
            const SrgbEncoder& encoder = srgb_encoder();
            for (int32_t x = 0; x < n; ++x) {
                const float* v = in[k + x].v;
                pixels[x] = Pixel(encode_srgb_with(encoder, v[2])) << 16 | Pixel(encode_srgb_with(encoder, v[1])) << 8 |
                            encode_srgb_with(encoder, v[0]);
            }
        } else {
            encode_row(in + k, n, opaque, pixels);
        }
        bgr_from_pixels(pixels, out + 3 * int64_t(k), n, isa);
    }
}

void encode_bgr_planes(const float* red, const float* green, const float* blue, int32_t count, const Coding& coding,
                       uint8_t* out, Isa isa) {
#if defined(__x86_64__)
    if (coding.kind == ValueKind::srgb && runnable_isa(isa) >= Isa::avx2)
        return encode_srgb_planes_avx2(red, green, blue, count, out);
#endif
    // Elsewhere a run of opaque working values at a time, through encode_bgr_row.
    constexpr int32_t RUN = 256;
    Linear values[RUN];
    for (int32_t k = 0; k < count; k += RUN) {
        const int32_t n = std::min(RUN, count - k);
        for (int32_t x = 0; x < n; ++x) values[x] = Linear{{red[k + x], green[k + x], blue[k + x], 1.0f}};
        encode_bgr_row(values, n, coding, out + 3 * int64_t(k), isa);
    }
}

void encode_column(const Linear* in, int32_t count, const Coding& coding, Pixel* out, int64_t out_stride) {
    // A row of one pixel fills no vector lane, so encode_row takes it through
    // the scalar encoders: the same ones here, without a call per pixel.
    const auto pack = [&](auto encode) {
        for (int32_t k = 0; k < count; ++k) {
            const Linear& p = in[k];
            const Pixel alpha = coding.alpha ? Pixel(encode_unit(p.v[3])) << 24 : 0;
            out[k * out_stride] = alpha | Pixel(encode(p.v[2])) << 16 | Pixel(encode(p.v[1])) << 8 | encode(p.v[0]);
        }
    };
    switch (coding.kind) {
        case ValueKind::srgb: {
            const SrgbEncoder& encoder = srgb_encoder();
            pack([&encoder](float l) { return encode_srgb_with(encoder, l); });
            break;
        }
        case ValueKind::linear: pack(encode_unit); break;
        case ValueKind::normal: pack(encode_normal); break;
    }
}

int32_t edge_index(EdgeMode edge, int32_t j, int32_t n) {
    if (j >= 0 && j < n) return j;
    switch (edge) {
        case EdgeMode::clamp: return j < 0 ? 0 : n - 1;
        case EdgeMode::wrap: return ((j % n) + n) % n;
        case EdgeMode::mirror: {
            const int32_t k = ((j % (2 * n)) + 2 * n) % (2 * n);
            return k < n ? k : 2 * n - 1 - k;
        }
    }
    return 0;
}

namespace {

// Enough for any halving: Kaiser reaches 3 output pixels each way, at most
// 3 input pixels apart (n = 3).
constexpr int32_t MAX_TAPS = 24;

// The weights of output pixel i of a halving of n to m pixels, normalised,
// from input pixel *first on; returns their number. Zero weights at the ends
// are dropped.
int32_t output_weights(FilterKind filter, int32_t n, int32_t m, int32_t i, int32_t* first, double* w) {
    int32_t count = 0;
    if (filter == FilterKind::kaiser) {
        const double s = double(n) / m, c = (i + 0.5) * s;
        const int32_t lo = static_cast<int32_t>(std::floor(c - 3 * s - 0.5));
        const int32_t hi = static_cast<int32_t>(std::ceil(c + 3 * s - 0.5));
        double total = 0;
        *first = lo;
        for (int32_t j = lo; j <= hi && count < MAX_TAPS; ++j) {
            const double k = kaiser((j + 0.5 - c) / s);
            if (count == 0 && k == 0) {
                ++*first;
                continue;
            }
            w[count++] = k;
            total += k;
        }
        while (count > 0 && w[count - 1] == 0) --count;
        for (int32_t t = 0; t < count; ++t) w[t] /= total;
    } else {
        // [j, j + 1) against [i s, (i + 1) s), both scaled by m to stay in integers.
        const int64_t lo = int64_t(i) * n, hi = int64_t(i + 1) * n;
        *first = static_cast<int32_t>(lo / m);
        for (int64_t j = *first; j * m < hi && count < MAX_TAPS; ++j)
            w[count++] = double(std::min((j + 1) * m, hi) - std::max(j * m, lo)) / n;
    }
    return count;
}

}  // namespace

Taps make_taps(FilterKind filter, EdgeMode edge, int32_t n) {
    Taps taps;
    const int32_t m = std::max(1, n / 2);
    taps.in_size = n;
    taps.out_size = m;
    // Box reads stay inside the row, so its padding (zero weights only) is clamped.
    taps.edge = filter == FilterKind::kaiser ? edge : EdgeMode::clamp;
    // An even size halves with s = 2: every output pixel has the same weights,
    // two inputs further on.
    taps.shared = n % 2 == 0;
    double w[MAX_TAPS];
    int32_t first = 0;
    if (taps.shared) {
        taps.count = output_weights(filter, n, m, 0, &taps.first0, w);
        taps.weights.assign(w, w + taps.count);
        taps.pad = std::max(-taps.first0, taps.first0 + 2 * (m - 1) + taps.count - n);
        taps.pad = std::max(taps.pad, 0);
        return taps;
    }
    for (int32_t i = 0; i < m; ++i) taps.count = std::max(taps.count, output_weights(filter, n, m, i, &first, w));
    taps.first.resize(size_t(m));
    taps.weights.assign(size_t(m) * size_t(taps.count), 0.0f);
    for (int32_t i = 0; i < m; ++i) {
        const int32_t count = output_weights(filter, n, m, i, &first, w);
        for (int32_t t = 0; t < count; ++t) taps.weights[size_t(i) * taps.count + t] = static_cast<float>(w[t]);
        taps.first[size_t(i)] = first;
        taps.pad = std::max({taps.pad, -first, first + taps.count - n});
    }
    return taps;
}

void pad_row(Linear* row, const Taps& taps) {
    const int32_t n = taps.in_size, pad = taps.pad;
    for (int32_t k = 1; k <= pad; ++k) {
        row[pad - k] = row[pad + edge_index(taps.edge, -k, n)];
        row[pad + n - 1 + k] = row[pad + edge_index(taps.edge, n - 1 + k, n)];
    }
}

void load_padded_row(const BlockView& block, int32_t row, const Coding& coding, const Taps& taps, Linear* out) {
    if (block.values)
        std::memcpy(static_cast<void*>(out + taps.pad), block.values + row * block.stride,
                    sizeof(Linear) * size_t(block.width));
    else
        decode_row(block.pixels + row * block.stride, block.width, coding, out + taps.pad);
    pad_row(out, taps);
}

template <bool Weighted, bool Clamped>
void halve_span_counted(const Linear* window, int32_t window_first, const Taps& taps, const Range& low, int32_t begin,
                        int32_t end, Linear* out) {
    switch (taps.count) {
        case 2: halve_row_with<Weighted, Clamped, 2>(window, window_first, taps, low, begin, end, out); break;
        case 12: halve_row_with<Weighted, Clamped, 12>(window, window_first, taps, low, begin, end, out); break;
        default: halve_row_with<Weighted, Clamped, 0>(window, window_first, taps, low, begin, end, out); break;
    }
}

#if defined(__x86_64__)
// halve_row_with without alpha weighting, two output pixels a vector (one in
// each half): every lane takes the same products in the same order from the
// same zero, and the target has no fused multiply-add for the compiler to
// contract into, so the bits are the plain loop's. The clamp compares and
// selects as `clamp` does, so a NaN stays a NaN.
template <bool Clamped, int FixedCount>
__attribute__((target("avx2"))) void halve_pairs_avx2(const Linear* window, int32_t window_first, const Taps& taps,
                                                       const Range& range, int32_t begin, int32_t end, Linear* out) {
    const int32_t count = FixedCount > 0 ? FixedCount : taps.count;
    const __m128 low4 = _mm_loadu_ps(reinterpret_cast<const float*>(&range.low));
    const __m128 high4 = _mm_loadu_ps(reinterpret_cast<const float*>(&range.high));
    const __m256 low = _mm256_insertf128_ps(_mm256_castps128_ps256(low4), low4, 1);
    const __m256 high = _mm256_insertf128_ps(_mm256_castps128_ps256(high4), high4, 1);
    int32_t i = begin;
    if constexpr (FixedCount > 0) {
        // One set of weights, and pairs (i, i + 1), (i + 2, i + 3) summed side
        // by side: two chains of additions in flight instead of one.
        __m256 w[FixedCount];
        for (int32_t t = 0; t < FixedCount; ++t) w[t] = _mm256_set1_ps(taps.weights[size_t(t)]);
        for (; taps.shared && i + 4 <= end; i += 4) {
            const float* a = window[first_of(taps, i) - window_first].v;
            __m256 sum0 = _mm256_setzero_ps(), sum1 = _mm256_setzero_ps();
            for (int32_t t = 0; t < count; ++t) {
                const float* p = a + 4 * t;
                const __m256 v0 = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(p)), _mm_loadu_ps(p + 8), 1);
                const __m256 v1 = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(p + 16)), _mm_loadu_ps(p + 24), 1);
                sum0 = _mm256_add_ps(sum0, _mm256_mul_ps(w[t], v0));
                sum1 = _mm256_add_ps(sum1, _mm256_mul_ps(w[t], v1));
            }
            if (Clamped) {
                sum0 = _mm256_blendv_ps(sum0, low, _mm256_cmp_ps(sum0, low, _CMP_LT_OQ));
                sum0 = _mm256_blendv_ps(sum0, high, _mm256_cmp_ps(sum0, high, _CMP_GT_OQ));
                sum1 = _mm256_blendv_ps(sum1, low, _mm256_cmp_ps(sum1, low, _CMP_LT_OQ));
                sum1 = _mm256_blendv_ps(sum1, high, _mm256_cmp_ps(sum1, high, _CMP_GT_OQ));
            }
            _mm256_storeu_ps(out[i - begin].v, sum0);
            _mm256_storeu_ps(out[i + 2 - begin].v, sum1);
        }
    }
    for (; i + 2 <= end; i += 2) {
        const float* a = window[first_of(taps, i) - window_first].v;
        const float* b = window[first_of(taps, i + 1) - window_first].v;
        const float* wa = weights_of(taps, i);
        const float* wb = weights_of(taps, i + 1);
        __m256 sum = _mm256_setzero_ps();
        for (int32_t t = 0; t < count; ++t) {
            const __m256 v = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(a + 4 * t)), _mm_loadu_ps(b + 4 * t), 1);
            const __m256 w = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_set1_ps(wa[t])), _mm_set1_ps(wb[t]), 1);
            sum = _mm256_add_ps(sum, _mm256_mul_ps(w, v));
        }
        if (Clamped) {
            sum = _mm256_blendv_ps(sum, low, _mm256_cmp_ps(sum, low, _CMP_LT_OQ));
            sum = _mm256_blendv_ps(sum, high, _mm256_cmp_ps(sum, high, _CMP_GT_OQ));
        }
        _mm256_storeu_ps(out[i - begin].v, sum);
    }
    halve_row_with<false, Clamped, FixedCount>(window, window_first, taps, range, i, end, out + (i - begin));
}

template <bool Clamped>
void halve_pairs_counted_avx2(const Linear* window, int32_t window_first, const Taps& taps, const Range& range,
                              int32_t begin, int32_t end, Linear* out) {
    switch (taps.count) {
        case 2: halve_pairs_avx2<Clamped, 2>(window, window_first, taps, range, begin, end, out); break;
        case 12: halve_pairs_avx2<Clamped, 12>(window, window_first, taps, range, begin, end, out); break;
        default: halve_pairs_avx2<Clamped, 0>(window, window_first, taps, range, begin, end, out); break;
    }
}
#endif

void halve_span(const Linear* window, int32_t window_first, const Taps& taps, const PassMode& mode, int32_t begin,
                int32_t end, Linear* out, Isa isa = active_isa()) {
    const Range low = range_of(mode);
#if defined(__x86_64__)
    if (!mode.alpha_weighted && runnable_isa(isa) >= Isa::avx2)
        return mode.clamped ? halve_pairs_counted_avx2<true>(window, window_first, taps, low, begin, end, out)
                            : halve_pairs_counted_avx2<false>(window, window_first, taps, low, begin, end, out);
#else
    (void)isa;
#endif
    if (mode.alpha_weighted)
        mode.clamped ? halve_span_counted<true, true>(window, window_first, taps, low, begin, end, out)
                     : halve_span_counted<true, false>(window, window_first, taps, low, begin, end, out);
    else
        mode.clamped ? halve_span_counted<false, true>(window, window_first, taps, low, begin, end, out)
                     : halve_span_counted<false, false>(window, window_first, taps, low, begin, end, out);
}

void halve_row(const Linear* padded, const Taps& taps, const PassMode& mode, Linear* out, Isa isa) {
    halve_span(padded, -taps.pad, taps, mode, 0, taps.out_size, out, isa);
}

void start_column_sum(const Linear* in, float weight, int32_t width, Linear* total) {
    scale_row(in, weight, width, total);
}

void add_to_column_sum(const Linear* in, float weight, int32_t width, Linear* total) {
    accumulate_row<false>(in, weight, width, total, nullptr);
}

void finish_column_sum(Linear* total, int32_t width, const PassMode& mode) {
    if (!mode.clamped) return;
    const Range range = range_of(mode);
    for (int32_t x = 0; x < width; ++x) store(&total[x], finish_plain<true>(load(total[x]), range));
}

void decode_bgr_row(const uint8_t* bgr, int32_t count, const Coding& coding, Linear* out) {
    const float* table = coding.colour_table;
    for (int32_t x = 0; x < count; ++x, bgr += 3) out[x] = Linear{{table[bgr[2]], table[bgr[1]], table[bgr[0]], 1.0f}};
}

bool halve_columns(const BlockView& block, const Coding& coding, const Taps& taps, const PassMode& mode,
                   int threads, Linear* out) {
    const int bands = band_count(threads, taps.out_size, int64_t(block.width) * taps.count);
    std::vector<std::vector<Linear>> scratch(static_cast<size_t>(bands));
    std::vector<RowCache> caches(static_cast<size_t>(bands));
    try {
        for (int b = 0; b < bands; ++b) {
            scratch[size_t(b)].resize(2 * size_t(block.width));
            if (!block.values) {
                RowCache& cache = caches[size_t(b)];
                cache.width = block.width;
                cache.tags.assign(size_t(taps.count) + 4, -1);
                cache.rows.resize(cache.tags.size() * size_t(block.width));
            }
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    const auto run = [&](auto weighted, auto clamped) {
        run_bands(bands, taps.out_size, [&](int band, int32_t begin, int32_t end) {
            RowCache* cache = &caches[size_t(band)];
            halve_columns_band<decltype(weighted)::value, decltype(clamped)::value>(
                block.width, taps, range_of(mode), begin, end, &scratch[size_t(band)],
                [&](int32_t row) { return fetch_row(block, coding, cache, row); }, out);
        });
    };
    run_in_mode(mode, run);
    return true;
}

namespace {

// Rows of more outputs than this are halved a segment at a time, each from
// a window of the inputs it reads: a thread's buffer stays small however long
// the row, and the segments of one long row (an N x 1 picture, or the column
// of a 1 x N one read as a row) are spread over the threads as rows are.
constexpr int32_t SEGMENT_OUTPUTS = 1 << 14;

// The inputs outputs [begin, end) read: [*first, *first + *size).
void segment_window(const Taps& taps, int32_t begin, int32_t end, int32_t* first, int32_t* size) {
    int32_t lo = first_of(taps, begin), hi = first_of(taps, end - 1) + taps.count;
    if (!taps.shared)
        for (int32_t i = begin; i < end; ++i) {
            lo = std::min(lo, first_of(taps, i));
            hi = std::max(hi, first_of(taps, i) + taps.count);
        }
    *first = lo;
    *size = hi - lo;
}

// Inputs [first, first + size) of row `row` into `window`, those past the
// ends from the edge mode, as a padded row holds them.
void load_window(const BlockView& block, int32_t row, const Coding& coding, const Taps& taps, int32_t first,
                 int32_t size, Linear* window) {
    const int32_t inside_begin = std::max(first, 0), inside_end = std::min(first + size, taps.in_size);
    if (inside_begin < inside_end) {
        if (block.values)
            std::memcpy(static_cast<void*>(window + (inside_begin - first)),
                        block.values + row * block.stride + inside_begin,
                        sizeof(Linear) * size_t(inside_end - inside_begin));
        else
            decode_row(block.pixels + row * block.stride + inside_begin, inside_end - inside_begin, coding,
                       window + (inside_begin - first));
    }
    for (int32_t j = first; j < first + size; ++j) {
        if (j >= 0 && j < taps.in_size) continue;
        const int32_t k = edge_index(taps.edge, j, taps.in_size);
        if (block.values)
            window[j - first] = block.values[row * block.stride + k];
        else
            decode_row(block.pixels + row * block.stride + k, 1, coding, window + (j - first));
    }
}

bool halve_rows_in_segments(const BlockView& block, const Coding& coding, const Taps& taps, const PassMode& mode,
                            int threads, Linear* out) {
    const int32_t segments = (taps.out_size + SEGMENT_OUTPUTS - 1) / SEGMENT_OUTPUTS;
    // At most 2^28 pixels a picture, so fewer than 2^15 segments a row and 2^28 / 2^15 units.
    const int32_t units = static_cast<int32_t>(int64_t(block.height) * segments);
    int32_t widest = 0;
    for (int32_t s = 0; s < segments; ++s) {
        int32_t first = 0, size = 0;
        segment_window(taps, s * SEGMENT_OUTPUTS, std::min(taps.out_size, (s + 1) * SEGMENT_OUTPUTS), &first, &size);
        widest = std::max(widest, size);
    }
    const int bands = band_count(threads, units, int64_t(SEGMENT_OUTPUTS) * taps.count);
    std::vector<std::vector<Linear>> windows(static_cast<size_t>(bands));
    try {
        for (auto& window : windows) window.resize(size_t(widest));
    } catch (const std::bad_alloc&) {
        return false;
    }
    run_bands(bands, units, [&](int band, int32_t begin, int32_t end) {
        Linear* window = windows[size_t(band)].data();
        for (int32_t unit = begin; unit < end; ++unit) {
            const int32_t row = unit / segments, segment = unit % segments;
            const int32_t first_out = segment * SEGMENT_OUTPUTS;
            const int32_t end_out = std::min(taps.out_size, first_out + SEGMENT_OUTPUTS);
            int32_t first = 0, size = 0;
            segment_window(taps, first_out, end_out, &first, &size);
            load_window(block, row, coding, taps, first, size, window);
            halve_span(window, first, taps, mode, first_out, end_out,
                       out + int64_t(row) * taps.out_size + first_out);
        }
    });
    return true;
}

}  // namespace

bool halve_rows(const BlockView& block, const Coding& coding, const Taps& taps, const PassMode& mode, int threads,
                Linear* out) {
    if (taps.out_size > SEGMENT_OUTPUTS) return halve_rows_in_segments(block, coding, taps, mode, threads, out);
    const int bands = band_count(threads, block.height, int64_t(taps.out_size) * taps.count);
    std::vector<std::vector<Linear>> rows(static_cast<size_t>(bands));
    try {
        for (auto& row : rows) row.resize(size_t(taps.in_size) + 2 * size_t(taps.pad));
    } catch (const std::bad_alloc&) {
        return false;
    }
    run_bands(bands, block.height, [&](int band, int32_t begin, int32_t end) {
        Linear* padded = rows[size_t(band)].data();
        for (int32_t r = begin; r < end; ++r) {
            load_padded_row(block, r, coding, taps, padded);
            halve_row(padded, taps, mode, out + int64_t(r) * taps.out_size);
        }
    });
    return true;
}

bool halve_both(const BlockView& block, const Coding& coding, const Taps& across, const Taps& down,
                const PassMode& mode, int threads, Linear* out) {
    if (across.out_size > SEGMENT_OUTPUTS || block.height != down.in_size) {
        const LinearPtr rows = allocate_linear(across.out_size, block.height);
        BlockView halved;
        halved.values = rows.get();
        halved.stride = across.out_size;
        halved.width = across.out_size;
        halved.height = block.height;
        return rows && halve_rows(block, coding, across, mode, threads, rows.get()) &&
               halve_columns(halved, coding, down, mode, threads, out);
    }
    const int32_t width = across.out_size;
    const int bands =
        band_count(threads, down.out_size, int64_t(width) * (down.count + 2 * int64_t(across.count)));
    // Each band's ring holds the horizontal halvings its output rows read,
    // made as they are first asked for; its padded row, the input row on
    // its way to a halving.
    struct Band {
        std::vector<Linear> scratch, padded, rows;
        std::vector<int32_t> tags;
    };
    std::vector<Band> state(static_cast<size_t>(bands));
    try {
        for (Band& b : state) {
            b.scratch.resize(2 * size_t(width));
            b.padded.resize(size_t(across.in_size) + 2 * size_t(across.pad));
            b.tags.assign(size_t(down.count) + 4, -1);
            b.rows.resize(b.tags.size() * size_t(width));
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    const auto run = [&](auto weighted, auto clamped) {
        run_bands(bands, down.out_size, [&](int band, int32_t begin, int32_t end) {
            Band& b = state[size_t(band)];
            const auto fetch = [&](int32_t row) -> const Linear* {
                const size_t slot = size_t(row) % b.tags.size();
                Linear* halved = b.rows.data() + slot * size_t(width);
                if (b.tags[slot] != row) {
                    load_padded_row(block, row, coding, across, b.padded.data());
                    halve_row(b.padded.data(), across, mode, halved);
                    b.tags[slot] = row;
                }
                return halved;
            };
            halve_columns_band<decltype(weighted)::value, decltype(clamped)::value>(
                width, down, range_of(mode), begin, end, &b.scratch, fetch, out);
        });
    };
    run_in_mode(mode, run);
    return true;
}

void renormalise(Linear* values, int64_t count) {
    for (int64_t k = 0; k < count; ++k) {
        float* v = values[k].v;
        const float length2 = v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
        if (length2 > 1e-20f) {
            const float inverse = 1.0f / std::sqrt(length2);
            for (int c = 0; c < 3; ++c) v[c] *= inverse;
        } else {
            v[0] = 0;
            v[1] = 0;
            v[2] = 1;
        }
    }
}

void run_bands(int bands, int32_t rows, const std::function<void(int, int32_t, int32_t)>& work) {
    if (bands <= 1) {
        work(0, 0, rows);
        return;
    }
    // Workers take small runs of rows in turn rather than one fixed share
    // each: on a machine that other work shares, a worker that is held up
    // leaves its rows to the others instead of holding up the pass.
    const int32_t runs = static_cast<int32_t>(std::min<int64_t>(rows, int64_t(bands) * 8));
    std::atomic<int32_t> next{0};
    const auto worker = [&work, &next, runs, rows](int band) {
        for (int32_t run = next++; run < runs; run = next++)
            work(band, int32_t(int64_t(rows) * run / runs), int32_t(int64_t(rows) * (run + 1) / runs));
    };
    std::vector<std::thread> threads;
    for (int band = 1; band < bands; ++band) {
        try {
            threads.emplace_back(worker, band);
        } catch (...) {
            break;  // the workers there are take every run
        }
    }
    worker(0);
    for (std::thread& thread : threads) thread.join();
}

int band_count(int threads, int32_t rows, int64_t row_work) {
    // Below this a thread costs more than it saves: starting one takes about
    // 25 us, and the first of a process about 85 us (its stack and its own
    // malloc arena), the time of some 10^5 taps.
    constexpr int64_t MIN_BAND_WORK = 1 << 16;
    if (threads <= 1 || rows <= 1 || int64_t(rows) * row_work < 2 * MIN_BAND_WORK) return 1;
    return static_cast<int>(std::min<int64_t>(threads, rows));
}

LinearPtr allocate_linear(int64_t width, int64_t height) {
    size_t bytes = 0;
    if (!checked_byte_count(width, height, sizeof(Linear), &bytes)) return nullptr;
    return LinearPtr(static_cast<Linear*>(allocate_zeroed(bytes)));
}

}  // namespace orvandel
