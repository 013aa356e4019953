// The passes of resample.cpp on rows of three planes. A value's sum starts
// and grows as there (the horizontal one from zero, tap by tap, zero weights
// included; the vertical one from its first product), and the targets these
// are built for have no fused multiply-add to contract the steps into, so
// the plain loops and the AVX2 ones give the same bits as the Linear passes.
// The AVX2 horizontal halving splits each plane into its even and odd values
// first, so that every tap of eight outputs is one load.
#include "builders/planar_rows.h"

#include <algorithm>
#include <cmath>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace orvandel {

namespace {

// As resample.cpp's clamp: a NaN stays a NaN.
inline float clamp_value(float v, float low, float high) {
    v = v < low ? low : v;
    return v > high ? high : v;
}

// Outputs [begin, end) of one plane, value 0 at `plane`.
void halve_plane_plain(const float* plane, const Taps& taps, const PassMode& mode, int32_t begin, int32_t end,
                       float* out) {
    for (int32_t i = begin; i < end; ++i) {
        const float* w = weights_of(taps, i);
        const float* in = plane + first_of(taps, i);
        float sum = 0;
        for (int32_t t = 0; t < taps.count; ++t) sum += w[t] * in[t];
        out[i] = mode.clamped ? clamp_value(sum, mode.colour_low, mode.colour_high) : sum;
    }
}

void sum_plane_plain(const ColumnSum& sum, int64_t offset, int32_t begin, int32_t end, const PassMode& mode) {
    for (int32_t x = begin; x < end; ++x) {
        float total = sum.weights[0] * sum.rows[0][offset + x];
        for (int32_t t = 1; t < sum.count; ++t) total += sum.weights[t] * sum.rows[t][offset + x];
        sum.out[offset + x] = mode.clamped ? clamp_value(total, mode.colour_low, mode.colour_high) : total;
    }
}

#if defined(__x86_64__)
// Taps of a halving: Kaiser's of n = 3 reach furthest (resample.cpp).
constexpr int32_t MAX_TAPS = 24;

__attribute__((target("avx2"))) inline __m256 clamp8(__m256 v, __m256 low, __m256 high) {
    v = _mm256_blendv_ps(v, low, _mm256_cmp_ps(v, low, _CMP_LT_OQ));
    return _mm256_blendv_ps(v, high, _mm256_cmp_ps(v, high, _CMP_GT_OQ));
}

// Shared taps only (an even size): output i's tap t reads value
// first0 + 2 i + t, which is the (first0 + t) / 2 + i-th of the even or of
// the odd values.
__attribute__((target("avx2"))) void halve_plane_avx2(const float* plane, int32_t pad, const Taps& taps,
                                                      const PassMode& mode, float* split, int64_t half,
                                                      float* out) {
    const int32_t count = taps.count, outputs = taps.out_size;
    const float* start = plane - pad;
    // Values [q0, q1) of the padded plane are read; their pairs [m0, m1).
    const int32_t q0 = pad + taps.first0, q1 = q0 + 2 * (outputs - 1) + count;
    const int32_t m0 = q0 >> 1, m1 = (q1 + 1) >> 1;
    float* even = split;
    float* odd = split + half;
    for (int32_t m = m0; m < m1; m += 8) {
        // Values 0-3 and 8-11 in a, 4-7 and 12-15 in b: the in-lane shuffles
        // then give the even (odd) values in order, with no shuffle across lanes.
        const float* p = start + 2 * m;
        const __m256 a = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(p)), _mm_loadu_ps(p + 8), 1);
        const __m256 b = _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_loadu_ps(p + 4)), _mm_loadu_ps(p + 12), 1);
        _mm256_storeu_ps(even + m, _mm256_shuffle_ps(a, b, 0x88));
        _mm256_storeu_ps(odd + m, _mm256_shuffle_ps(a, b, 0xDD));
    }
    const float* source[MAX_TAPS];
    __m256 w[MAX_TAPS];
    for (int32_t t = 0; t < count; ++t) {
        const int32_t q = q0 + t;
        source[t] = ((q & 1) ? odd : even) + (q >> 1);
        w[t] = _mm256_set1_ps(taps.weights[size_t(t)]);
    }
    const __m256 low = _mm256_set1_ps(mode.colour_low), high = _mm256_set1_ps(mode.colour_high);
    int32_t i = 0;
    // Eight sums side by side: an addition takes three or four cycles, so
    // one chain of them alone would leave the adders idle most of the time.
    for (; i + 64 <= outputs; i += 64) {
        __m256 sum[8];
        for (__m256& v : sum) v = _mm256_setzero_ps();
        for (int32_t t = 0; t < count; ++t) {
            const float* p = source[t] + i;
            for (int k = 0; k < 8; ++k) sum[k] = _mm256_add_ps(sum[k], _mm256_mul_ps(w[t], _mm256_loadu_ps(p + 8 * k)));
        }
        for (int k = 0; k < 8; ++k) _mm256_storeu_ps(out + i + 8 * k, mode.clamped ? clamp8(sum[k], low, high) : sum[k]);
    }
    for (; i + 8 <= outputs; i += 8) {
        __m256 s = _mm256_setzero_ps();
        for (int32_t t = 0; t < count; ++t) s = _mm256_add_ps(s, _mm256_mul_ps(w[t], _mm256_loadu_ps(source[t] + i)));
        _mm256_storeu_ps(out + i, mode.clamped ? clamp8(s, low, high) : s);
    }
    halve_plane_plain(plane, taps, mode, i, outputs, out);
}

__attribute__((target("avx2"))) void sum_planes_avx2(const ColumnSum* sums, int32_t n, int64_t offset, int32_t width,
                                                     const PassMode& mode) {
    const __m256 low = _mm256_set1_ps(mode.colour_low), high = _mm256_set1_ps(mode.colour_high);
    int32_t x = 0;
    // Eight sums side by side, as in the halving above.
    for (; x + 64 <= width; x += 64)
        for (int32_t r = 0; r < n; ++r) {
            const ColumnSum& sum = sums[r];
            __m256 total[8];
            const __m256 w0 = _mm256_set1_ps(sum.weights[0]);
            for (int k = 0; k < 8; ++k) total[k] = _mm256_mul_ps(w0, _mm256_loadu_ps(sum.rows[0] + offset + x + 8 * k));
            for (int32_t t = 1; t < sum.count; ++t) {
                const __m256 w = _mm256_set1_ps(sum.weights[t]);
                const float* p = sum.rows[t] + offset + x;
                for (int k = 0; k < 8; ++k) total[k] = _mm256_add_ps(total[k], _mm256_mul_ps(w, _mm256_loadu_ps(p + 8 * k)));
            }
            float* out = sum.out + offset + x;
            for (int k = 0; k < 8; ++k) _mm256_storeu_ps(out + 8 * k, mode.clamped ? clamp8(total[k], low, high) : total[k]);
        }
    for (int32_t r = 0; r < n; ++r) sum_plane_plain(sums[r], offset, x, width, mode);
}
#endif

}  // namespace

PlaneLayout plane_layout(int32_t width, int32_t widest_pad) {
    PlaneLayout layout;
    layout.pad = (std::max(widest_pad, 0) + 7) / 8 * 8;
    // 16 spare floats: the AVX2 halving's split reads up to 16 past its last pair.
    layout.stride = (int64_t(width) + 2 * layout.pad + 7) / 8 * 8 + 16;
    return layout;
}

void decode_bgr_planes(const uint8_t* bgr, int32_t count, const Coding& coding, const PlaneLayout& layout,
                       float* row) {
    const float* table = coding.colour_table;
    float* red = row + layout.pad;
    float* green = red + layout.stride;
    float* blue = green + layout.stride;
    for (int32_t x = 0; x < count; ++x, bgr += 3) {
        red[x] = table[bgr[2]];
        green[x] = table[bgr[1]];
        blue[x] = table[bgr[0]];
    }
}

void encode_planes(const float* row, int32_t count, const Coding& coding, const PlaneLayout& layout, uint8_t* bgr,
                   Isa isa) {
    const float* red = row + layout.pad;
    encode_bgr_planes(red, red + layout.stride, red + 2 * layout.stride, count, coding, bgr, isa);
}

void pad_planes(float* row, const PlaneLayout& layout, const Taps& taps) {
    const int32_t n = taps.in_size;
    for (int c = 0; c < 3; ++c) {
        float* plane = row + c * layout.stride + layout.pad;
        if (taps.edge == EdgeMode::clamp) {
            std::fill(plane - taps.pad, plane, plane[0]);
            std::fill(plane + n, plane + n + taps.pad, plane[n - 1]);
            continue;
        }
        for (int32_t k = 1; k <= taps.pad; ++k) {
            plane[-k] = plane[edge_index(taps.edge, -k, n)];
            plane[n - 1 + k] = plane[edge_index(taps.edge, n - 1 + k, n)];
        }
    }
}

void halve_planes(const float* in, const PlaneLayout& layout, const Taps& taps, const PassMode& mode, float* scratch,
                  float* out, Isa isa) {
    for (int c = 0; c < 3; ++c) {
        const float* plane = in + c * layout.stride + layout.pad;
        float* target = out + c * layout.stride + layout.pad;
#if defined(__x86_64__)
        if (taps.shared && taps.count <= MAX_TAPS && runnable_isa(isa) >= Isa::avx2) {
            halve_plane_avx2(plane, layout.pad, taps, mode, scratch, split_floats(layout) / 2, target);
            continue;
        }
#else
        (void)isa, (void)scratch;
#endif
        halve_plane_plain(plane, taps, mode, 0, taps.out_size, target);
    }
}

void sum_planes(const ColumnSum* sums, int32_t n, int32_t width, const PlaneLayout& layout, const PassMode& mode,
                Isa isa) {
    for (int c = 0; c < 3; ++c) {
        const int64_t offset = c * layout.stride + layout.pad;
#if defined(__x86_64__)
        if (runnable_isa(isa) >= Isa::avx2) {
            sum_planes_avx2(sums, n, offset, width, mode);
            continue;
        }
#else
        (void)isa;
#endif
        for (int32_t r = 0; r < n; ++r) sum_plane_plain(sums[r], offset, 0, width, mode);
    }
}

void renormalise_planes(float* row, int32_t width, const PlaneLayout& layout) {
    float* x = row + layout.pad;
    float* y = x + layout.stride;
    float* z = y + layout.stride;
    for (int32_t k = 0; k < width; ++k) {
        const float length2 = x[k] * x[k] + y[k] * y[k] + z[k] * z[k];
        if (length2 > 1e-20f) {
            const float inverse = 1.0f / std::sqrt(length2);
            x[k] *= inverse;
            y[k] *= inverse;
            z[k] *= inverse;
        } else {
            x[k] = 0;
            y[k] = 0;
            z[k] = 1;
        }
    }
}

}  // namespace orvandel
