#include "picture/float_image.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

#if defined(__x86_64__)
#include <cpuid.h>
#include <immintrin.h>
#endif

namespace orvandel {

FloatImagePtr new_float_image(int32_t width, int32_t height, int64_t max_pixels) {
    size_t bytes = 0;
    if (!checked_byte_count(width, height, sizeof(Linear), &bytes, max_pixels * int64_t(sizeof(Linear))))
        return nullptr;
    FloatImagePtr image(new (std::nothrow) FloatImage);
    if (!image) return nullptr;
    image->pixels.reset(static_cast<Linear*>(allocate_zeroed(bytes)));
    if (!image->pixels) return nullptr;
    image->width = width;
    image->height = height;
    const int64_t count = int64_t(width) * height;
    for (int64_t k = 0; k < count; ++k) image->pixels[k].v[3] = 1.0f;
    return image;
}

namespace {

constexpr float LARGEST_HALF = 65504.0f;

#if defined(__x86_64__)
// The processor's conversion rounds to nearest even as half_bits does; the
// bounds go first, in the same order, so NaN becomes 65504 here too.
__attribute__((target("avx2,f16c"))) void half_row_f16c(const float* values, size_t count, uint16_t* out) {
    const __m256 high = _mm256_set1_ps(LARGEST_HALF), low = _mm256_set1_ps(-LARGEST_HALF);
    size_t k = 0;
    for (; k + 8 <= count; k += 8) {
        // min(x, high) gives high when x is NaN: its second operand.
        const __m256 v = _mm256_max_ps(_mm256_min_ps(_mm256_loadu_ps(values + k), high), low);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + k), _mm256_cvtps_ph(v, _MM_FROUND_TO_NEAREST_INT));
    }
    for (; k < count; ++k) out[k] = half_bits(values[k]);
}

bool has_f16c() {
    static const bool has = [] {
        unsigned a = 0, b = 0, c = 0, d = 0;
        return __get_cpuid(1, &a, &b, &c, &d) && (c & bit_F16C) != 0;
    }();
    return has;
}
#endif

}  // namespace

void half_row(const float* values, size_t count, uint16_t* out, Isa isa) {
#if defined(__x86_64__)
    if (runnable_isa(isa) >= Isa::avx2 && has_f16c()) return half_row_f16c(values, count, out);
#else
    (void)isa;
#endif
    for (size_t k = 0; k < count; ++k) out[k] = half_bits(values[k]);
}

uint16_t half_bits(float value) {
    // In this order NaN meets the upper bound and stays there.
    const float v = std::max(-LARGEST_HALF, std::min(LARGEST_HALF, value));
    uint32_t f = 0;
    std::memcpy(&f, &v, sizeof f);
    const uint32_t sign = (f >> 16) & 0x8000u;
    const uint32_t magnitude = f & 0x7FFFFFFFu;
    if (magnitude >= 0x38800000u) {  // 2^-14 and above: a normal half
        // Rebiasing the exponent from 127 to 15 is a subtraction; the 13
        // mantissa bits dropped decide the rounding.
        uint32_t h = (magnitude - 0x38000000u) >> 13;
        const uint32_t rest = magnitude & 0x1FFFu;
        if (rest > 0x1000u || (rest == 0x1000u && (h & 1))) ++h;
        return static_cast<uint16_t>(sign | h);
    }
    if (magnitude < 0x33000000u) return static_cast<uint16_t>(sign);  // 2^-25 and below round to zero
    // A subnormal half counts steps of 2^-24; a carry into the exponent
    // gives the smallest normal half, which is right.
    const uint32_t shift = 126 - (magnitude >> 23);
    const uint32_t mantissa = (magnitude & 0x7FFFFFu) | 0x800000u;
    uint32_t h = mantissa >> shift;
    const uint32_t rest = mantissa & ((1u << shift) - 1), halfway = 1u << (shift - 1);
    if (rest > halfway || (rest == halfway && (h & 1))) ++h;
    return static_cast<uint16_t>(sign | h);
}

int64_t replace_non_finite(FloatImage* image) {
    int64_t replaced = 0;
    const int64_t count = int64_t(image->width) * image->height;
    for (int64_t k = 0; k < count; ++k)
        for (float& value : image->pixels[k].v)
            if (!std::isfinite(value)) {
                value = 0;
                ++replaced;
            }
    return replaced;
}

void unpremultiply(FloatImage* image) {
    const int64_t count = int64_t(image->width) * image->height;
    for (int64_t k = 0; k < count; ++k) {
        float* v = image->pixels[k].v;
        if (v[3] > 0)
            for (int c = 0; c < 3; ++c) v[c] /= v[3];
    }
}

FloatImagePtr float_from_pixels(const Image& image, bool alpha) {
    FloatImagePtr out = new_float_image(image.width, image.height, 4 * MAX_IMAGE_PIXELS);
    if (!out) return nullptr;
    out->alpha = alpha;
    out->kind = SampleKind::integer;
    out->bits = 8;
    const int64_t count = int64_t(image.width) * image.height;
    for (int64_t k = 0; k < count; ++k) {
        const Pixel p = image.pixels[k];
        float* v = out->pixels[k].v;
        for (int c = 0; c < 3; ++c) v[c] = float(double((p >> (8 * c)) & 0xFF) / 255.0);
        v[3] = alpha ? float(double(p >> 24) / 255.0) : 1.0f;
    }
    return out;
}

WideImagePtr new_wide_image(int32_t width, int32_t height, int64_t max_pixels) {
    size_t bytes = 0;
    if (!checked_byte_count(width, height, 4 * sizeof(uint16_t), &bytes, max_pixels * 8)) return nullptr;
    WideImagePtr image(new (std::nothrow) WideImage);
    if (!image) return nullptr;
    image->samples.reset(static_cast<uint16_t*>(allocate_zeroed(bytes)));
    if (!image->samples) return nullptr;
    image->width = width;
    image->height = height;
    return image;
}

}  // namespace orvandel
