// Pictures of more than 8 bits a channel (16-bit PNG and TIFF, OpenEXR,
// Radiance, float TIFF) as four floats a pixel, and the 16-bit RGBA raster
// the 16-bit PNG atlas and half-float textures are made in. Both come from the one zeroed allocator,
// sized through checked_byte_count.
#ifndef ORVANDEL_PICTURE_FLOAT_IMAGE_H
#define ORVANDEL_PICTURE_FLOAT_IMAGE_H

#include <cstdint>
#include <memory>

#include "picture/image.h"
#include "picture/isa.h"
#include "picture/memory.h"

namespace orvandel {

// One pixel as four floats: red, green, blue, alpha. The builders' working
// values have this form too, so a float picture is filtered where it lies.
struct alignas(16) Linear {
    float v[4];
};

// Where the values of a FloatImage come from, which decides how they are
// filtered: integer samples scaled to [0, 1] and (normally) sRGB-encoded, or
// linear-light floats that may exceed 1.
enum class SampleKind { integer, floating };

struct FloatImage {
    ZeroedPtr<Linear[]> pixels;  // width x height, row-major, top row first; alpha 1 without alpha
    int32_t width = 0;
    int32_t height = 0;
    bool alpha = false;          // the file has alpha (some of it may still be 1 everywhere)
    SampleKind kind = SampleKind::integer;
    int bits = 16;               // bits a sample in the file: 8, 16 or 32
};
using FloatImagePtr = std::unique_ptr<FloatImage>;

// A picture of width x height opaque black pixels, or null for a zero or
// negative size, one over `max_pixels`, or a failed allocation.
FloatImagePtr new_float_image(int32_t width, int32_t height, int64_t max_pixels = MAX_IMAGE_PIXELS);

// Sets every NaN and infinite value to 0; how many there were.
int64_t replace_non_finite(FloatImage* image);

// Colour stored multiplied by alpha divided by it where alpha > 0 (colour
// with alpha 0 is left as it is).
void unpremultiply(FloatImage* image);

// An 8-bit picture as an integer-sourced float one: each byte v as v / 255.
FloatImagePtr float_from_pixels(const Image& image, bool alpha);

// The IEEE 754 half nearest `value`, ties to even, as its bits. Magnitudes
// beyond the largest half (65504) give it rather than infinity, and NaN
// gives 65504 too: a texture of finite values stays finite.
uint16_t half_bits(float value);
// half_bits of `count` floats into `out`, on the vector path `isa` allows
// (F16C beside AVX2) or the plain one: the same bits either way.
void half_row(const float* values, size_t count, uint16_t* out, Isa isa = active_isa());

// 16-bit samples, red, green, blue, alpha a pixel: unsigned integers for
// 16-bit PNG atlases, or half_bits for half-float textures.
struct WideImage {
    ZeroedPtr<uint16_t[]> samples;  // 4 x width x height
    int32_t width = 0;
    int32_t height = 0;
};
using WideImagePtr = std::unique_ptr<WideImage>;

// A zeroed width x height raster within `max_pixels`, or null.
WideImagePtr new_wide_image(int32_t width, int32_t height, int64_t max_pixels);

}  // namespace orvandel

#endif
