// Working rows of the rip-map built in a BMP file's bytes, as three planes of
// floats (red, green, blue), each with room for a filter's padding on both
// sides. An opaque picture's alpha lane is 1 throughout and never written, so
// these rows carry none: a quarter less memory to fill and to read than rows
// of Linear pixels, and a vector lane holds one useful value, not three in
// four. Every value takes the products and sums of resample.h's passes in the
// same order, so its bits are theirs (the tests hold each pass to its Linear
// counterpart on every instruction set level).
#ifndef ORVANDEL_BUILDERS_PLANAR_ROWS_H
#define ORVANDEL_BUILDERS_PLANAR_ROWS_H

#include <cstdint>

#include "builders/resample.h"

namespace orvandel {

// Plane c of a row starts at row + c * stride; its value x is at pad + x, and
// the `pad` floats either side of a row of width n hold what the edge mode
// reads there once pad_planes has put them.
struct PlaneLayout {
    int32_t pad = 0;     // a multiple of 8, at least the widest filter's reach
    int64_t stride = 0;  // a multiple of 8
};

// Rows up to `width` values wide whose filters reach `widest_pad` past an end.
PlaneLayout plane_layout(int32_t width, int32_t widest_pad);
inline int64_t row_floats(const PlaneLayout& layout) { return 3 * layout.stride; }
// Floats of scratch halve_planes needs.
inline int64_t split_floats(const PlaneLayout& layout) { return layout.stride + 16; }

void decode_bgr_planes(const uint8_t* bgr, int32_t count, const Coding& coding, const PlaneLayout& layout,
                       float* row);
// The colours of the first `count` values as blue, green, red bytes.
void encode_planes(const float* row, int32_t count, const Coding& coding, const PlaneLayout& layout, uint8_t* bgr,
                   Isa isa = active_isa());
// Fills the taps.pad values either side of a row of taps.in_size values.
void pad_planes(float* row, const PlaneLayout& layout, const Taps& taps);
// The horizontal halving of a padded row (halve_row's bits) into `out`'s
// first taps.out_size values.
void halve_planes(const float* in, const PlaneLayout& layout, const Taps& taps, const PassMode& mode, float* scratch,
                  float* out, Isa isa = active_isa());
// One output row of a vertical halving: `count` input rows of non-zero
// weight, taken in order (start_column_sum, add_to_column_sum and
// finish_column_sum's bits).
struct ColumnSum {
    const float* const* rows;
    const float* weights;
    int32_t count;
    float* out;
};
// `n` output rows in one pass over their columns, a few vectors of each in
// turn, so that the input rows they share are read from memory once.
void sum_planes(const ColumnSum* sums, int32_t n, int32_t width, const PlaneLayout& layout, const PassMode& mode,
                Isa isa = active_isa());
void renormalise_planes(float* row, int32_t width, const PlaneLayout& layout);

}  // namespace orvandel

#endif
