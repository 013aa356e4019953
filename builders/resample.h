// The pieces the modern builders are made of: 8-bit values to linear floats
// and back, the one-axis halving filters as weight tables, the two passes
// that apply them (along rows, across rows), and row bands spread over
// threads. Working values are floats, so no level is ever rounded to 8 bits
// before the output.
#ifndef ORVANDEL_BUILDERS_RESAMPLE_H
#define ORVANDEL_BUILDERS_RESAMPLE_H

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <functional>
#include <vector>

#include "builders/filter_options.h"
#include "picture/float_image.h"
#include "picture/image.h"

namespace orvandel {

// One pixel in working values: red, green, blue, alpha. Colour is linear
// light (srgb), the stored value scaled to [0, 1] (linear), or a vector
// component in [-1, 1] (normal maps); alpha is always the stored value / 255.
// (Linear itself is picture/float_image.h's, so float pictures are read in place.)

enum class ValueKind { srgb, linear, normal };

ValueKind value_kind(const FilterOptions& options);

// How the 8-bit channels of a block become working values and back.
struct Coding {
    ValueKind kind;
    bool alpha;  // the top byte is alpha (else every alpha is 1)
    const float* colour_table;  // 256 entries
};

Coding make_coding(ValueKind kind, bool alpha);

void decode_row(const Pixel* in, int32_t count, const Coding& coding, Linear* out);
// Encodes colours; the top byte is the unscaled alpha when coding.alpha.
void encode_row(const Linear* in, int32_t count, const Coding& coding, Pixel* out);
// The same bytes as encode_row on each of `count` rows of one pixel, the
// k-th put at out[k * out_stride].
void encode_column(const Linear* in, int32_t count, const Coding& coding, Pixel* out, int64_t out_stride);
// The colours of `count` working values as blue, green, red bytes (a BMP
// row's), alpha ignored: encode_row's bytes on every level.
void encode_bgr_row(const Linear* in, int32_t count, const Coding& coding, uint8_t* out, Isa isa = active_isa());
// The same bytes from three planes of `count` values (red, green, blue).
void encode_bgr_planes(const float* red, const float* green, const float* blue, int32_t count, const Coding& coding,
                       uint8_t* out, Isa isa = active_isa());
uint8_t encode_srgb(float linear);
// `count` linear values to sRGB bytes on a chosen level (the rows use the
// level in use): every level gives encode_srgb's bytes, NaN taken as 0.
void encode_srgb_flat(const float* in, size_t count, uint8_t* out, Isa isa = active_isa());
uint8_t encode_unit(float value);  // round(value * 255) for value in [0, 1]

// The halving of n pixels to max(1, n / 2) along one axis as a table: each
// output pixel i reads `count` consecutive inputs from first_of(i) on, with
// the weights at weights_of(i). Reads may reach `pad` pixels before 0 and
// after n - 1; those come from edge_index. Box tables never give weight to
// them. Even sizes share one row of weights (`shared`), so a table stays
// small however wide the picture.
struct Taps {
    int32_t in_size = 0;
    int32_t out_size = 0;
    int32_t count = 0;
    int32_t pad = 0;
    EdgeMode edge = EdgeMode::clamp;
    bool shared = false;
    int32_t first0 = 0;          // shared: output i starts at first0 + 2 i
    std::vector<int32_t> first;  // otherwise, per output pixel
    std::vector<float> weights;  // count per output pixel, or count in all
};

inline int32_t first_of(const Taps& taps, int32_t i) {
    return taps.shared ? taps.first0 + 2 * i : taps.first[size_t(i)];
}
inline const float* weights_of(const Taps& taps, int32_t i) {
    return taps.weights.data() + (taps.shared ? 0 : size_t(i) * size_t(taps.count));
}

Taps make_taps(FilterKind filter, EdgeMode edge, int32_t n);
int32_t edge_index(EdgeMode edge, int32_t j, int32_t n);

// What a pass does to the values: alpha-weighted colour, and whether each
// result is clamped to [colour_low, 1] (alpha to [0, 1]). Box weights are
// positive, so box results never leave the range and need no clamp.
struct PassMode {
    bool alpha_weighted;
    float colour_low;
    bool clamped;
    // Float sources keep light above 1: their colour is clamped below only.
    float colour_high = 1.0f;
};

// A block to read: working values, or 8-bit Pixels decoded as they are read.
struct BlockView {
    const Linear* values = nullptr;
    const Pixel* pixels = nullptr;
    int64_t stride = 0;  // elements per row
    int32_t width = 0;
    int32_t height = 0;
};

// One row of `block` into out[pad .. pad + width), with out[0 .. pad) and the
// pad pixels after it from the edge mode. `out` holds width + 2 * pad.
void load_padded_row(const BlockView& block, int32_t row, const Coding& coding, const Taps& taps, Linear* out);
// Pads a row already in out[pad .. pad + width).
void pad_row(Linear* row, const Taps& taps);
// Halves a padded row (taps.in_size + 2 * taps.pad pixels) into `out`, on a
// chosen level (the builders use the level in use; every level gives the
// same bits).
void halve_row(const Linear* padded, const Taps& taps, const PassMode& mode, Linear* out, Isa isa = active_isa());

// Vertical halving of `block` (taps over its height) into `out`, a
// block.width x taps.out_size buffer, over `threads` threads.
bool halve_columns(const BlockView& block, const Coding& coding, const Taps& taps, const PassMode& mode,
                   int threads, Linear* out);

// Horizontal halving of every row of `block` into `out` (taps.out_size wide).
bool halve_rows(const BlockView& block, const Coding& coding, const Taps& taps, const PassMode& mode, int threads,
                Linear* out);

// Both halvings of `block`, across (taps over its width) and then down
// (taps over its height), into `out`, across.out_size x down.out_size:
// the values halve_rows and then halve_columns give, without a whole
// intermediate block (each band keeps the few rows its outputs read).
bool halve_both(const BlockView& block, const Coding& coding, const Taps& across, const Taps& down,
                const PassMode& mode, int threads, Linear* out);

// One output row of a vertical halving without alpha weighting, its input
// rows taken one tap at a time, as halve_columns takes them: start_column_sum
// for the first tap of non-zero weight, add_to_column_sum for the others,
// then finish_column_sum (the clamp, where the mode asks for one).
void start_column_sum(const Linear* in, float weight, int32_t width, Linear* total);
void add_to_column_sum(const Linear* in, float weight, int32_t width, Linear* total);
void finish_column_sum(Linear* total, int32_t width, const PassMode& mode);

// `count` blue, green, red bytes (a BMP file's row) as working values, alpha 1.
void decode_bgr_row(const uint8_t* bgr, int32_t count, const Coding& coding, Linear* out);

// Unit vectors again; a zero vector becomes (0, 0, 1).
void renormalise(Linear* values, int64_t count);

// Calls work(band, begin, end) over row runs that together cover [0, rows)
// once, on `bands` threads (the calling one included); `band` names the
// thread, for scratch of its own. Fewer threads run when no more can be had.
void run_bands(int bands, int32_t rows, const std::function<void(int, int32_t, int32_t)>& work);
// How many bands are worth it for `rows` rows of `row_work` values each.
int band_count(int threads, int32_t rows, int64_t row_work);

// Blocks of working values, from the one zeroed allocator: fresh pages are
// touched once, when the block is filled, and large ones ask for huge pages.
using LinearPtr = ZeroedPtr<Linear[]>;

// width x height zero values, or null when the size is refused or the
// memory cannot be had.
LinearPtr allocate_linear(int64_t width, int64_t height);

}  // namespace orvandel

#endif
