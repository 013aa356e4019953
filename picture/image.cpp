#include "picture/image.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace orvandel {

bool checked_byte_count(int64_t a, int64_t b, int64_t c, size_t* out, int64_t limit) {
    if (a <= 0 || b <= 0 || c <= 0) return false;
    if (a > limit / b) return false;
    const int64_t ab = a * b;
    if (ab > limit / c) return false;
    const int64_t total = ab * c;
    if (static_cast<uint64_t>(total) > SIZE_MAX) return false;
    *out = static_cast<size_t>(total);
    return true;
}

Image* new_image_within(int32_t width, int32_t height, int64_t max_pixels) {
    size_t bytes = 0;
    if (!checked_byte_count(width, height, sizeof(Pixel), &bytes, max_pixels * int64_t(sizeof(Pixel))))
        return nullptr;
    Image* image = static_cast<Image*>(std::malloc(sizeof(Image)));
    if (!image) return nullptr;
    // Zeroed: pixels a decoder never reaches are black, never old heap contents.
    image->pixels = static_cast<Pixel*>(allocate_zeroed(bytes));
    if (!image->pixels) {
        std::free(image);
        return nullptr;
    }
    image->width = width;
    image->height = height;
    return image;
}

Image* new_image(int32_t width, int32_t height) { return new_image_within(width, height, MAX_IMAGE_PIXELS); }

void free_image(Image* image) {
    if (!image) return;
    release_zeroed(image->pixels);
    std::free(image);
}

// Turning 3-byte file pixels into 4-byte Pixels and back is a byte shuffle,
// which the compiler vectorises only for processors that can shuffle bytes.
// So the loops are built twice on x86-64, and the wider build is chosen at run
// time where the processor has it; the code is the same plain loop in both.
namespace {

inline __attribute__((always_inline)) void pixels_from_bgr_loop(const uint8_t* bgr, Pixel* out, int32_t count) {
    for (int32_t i = 0; i < count; ++i, bgr += 3) out[i] = pixel_from_bgr(bgr);
}

inline __attribute__((always_inline)) void pixels_from_rgb_loop(const uint8_t* rgb, Pixel* out, int32_t count) {
    for (int32_t i = 0; i < count; ++i, rgb += 3) out[i] = pixel_from_rgb(rgb);
}

inline __attribute__((always_inline)) void bgr_from_pixels_loop(const Pixel* in, uint8_t* out, int32_t count) {
    for (int32_t x = 0; x < count; ++x, out += 3) {
        const Pixel p = in[x];
        out[0] = static_cast<uint8_t>(p >> 16);
        out[1] = static_cast<uint8_t>(p >> 8);
        out[2] = static_cast<uint8_t>(p);
    }
}

inline __attribute__((always_inline)) void bgr_from_rgb_loop(const uint8_t* rgb, uint8_t* bgr, int32_t count) {
    for (int32_t i = 0; i < count; ++i, rgb += 3, bgr += 3) {
        const uint8_t red = rgb[0], green = rgb[1], blue = rgb[2];
        bgr[0] = blue;
        bgr[1] = green;
        bgr[2] = red;
    }
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) void bgr_from_rgb_avx2(const uint8_t* rgb, uint8_t* bgr, int32_t count) {
    bgr_from_rgb_loop(rgb, bgr, count);
}
__attribute__((target("avx2"))) void pixels_from_bgr_avx2(const uint8_t* bgr, Pixel* out, int32_t count) {
    pixels_from_bgr_loop(bgr, out, count);
}
__attribute__((target("avx2"))) void pixels_from_rgb_avx2(const uint8_t* rgb, Pixel* out, int32_t count) {
    pixels_from_rgb_loop(rgb, out, count);
}
__attribute__((target("avx2"))) void bgr_from_pixels_avx2(const Pixel* in, uint8_t* out, int32_t count) {
    bgr_from_pixels_loop(in, out, count);
}
#endif

}  // namespace

void pixels_from_bgr(const uint8_t* bgr, Pixel* out, int32_t count, [[maybe_unused]] Isa isa) {
#if defined(__x86_64__)
    if (runnable_isa(isa) >= Isa::avx2) return pixels_from_bgr_avx2(bgr, out, count);
#endif
    pixels_from_bgr_loop(bgr, out, count);
}

void pixels_from_rgb(const uint8_t* rgb, Pixel* out, int32_t count, [[maybe_unused]] Isa isa) {
#if defined(__x86_64__)
    if (runnable_isa(isa) >= Isa::avx2) return pixels_from_rgb_avx2(rgb, out, count);
#endif
    pixels_from_rgb_loop(rgb, out, count);
}

void bgr_from_rgb(const uint8_t* rgb, uint8_t* bgr, int32_t count, [[maybe_unused]] Isa isa) {
#if defined(__x86_64__)
    if (runnable_isa(isa) >= Isa::avx2) return bgr_from_rgb_avx2(rgb, bgr, count);
#endif
    bgr_from_rgb_loop(rgb, bgr, count);
}

void bgr_from_pixels(const Pixel* in, uint8_t* out, int32_t count, [[maybe_unused]] Isa isa) {
#if defined(__x86_64__)
    if (runnable_isa(isa) >= Isa::avx2) return bgr_from_pixels_avx2(in, out, count);
#endif
    bgr_from_pixels_loop(in, out, count);
}

}  // namespace orvandel
