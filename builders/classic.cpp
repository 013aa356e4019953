// Mip-map atlas: three halving filters that work in place on the canvas, and
// the two builders (rip grid, mip box strip) that chain them.
// Nothing is allocated and no block is copied: every pixel written is computed
// from two or four pixels read from the canvas at that moment. An odd block
// size pairs the block's last column (row) with the one just beyond it, which
// may be a pixel the same call wrote a moment earlier or the zero of the
// cleared canvas. Past the canvas edge a read gives zero and a write is
// dropped, so no call can reach memory outside the canvas.
#include "builders/classic.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace orvandel {

namespace {

// Two lanes per Pixel: green alone, red and blue together. A sum of four 8-bit
// channels needs 10 bits, so red (bits 0-9) and blue (bits 16-25) never meet,
// and the mask after the shift clears what each lane pushes below itself. The
// top byte lies under neither mask and never reaches a copy.
constexpr Pixel GREEN_LANE = 0xff00;
constexpr Pixel RED_BLUE_LANE = 0xff00ff;

inline Pixel pair_average(Pixel a, Pixel b) {
    const Pixel green = (((a & GREEN_LANE) + (b & GREEN_LANE)) >> 1) & GREEN_LANE;
    const Pixel red_blue = (((a & RED_BLUE_LANE) + (b & RED_BLUE_LANE)) >> 1) & RED_BLUE_LANE;
    return green | red_blue;
}

inline Pixel box_average(Pixel a, Pixel b, Pixel c, Pixel d) {
    const Pixel green =
        (((a & GREEN_LANE) + (b & GREEN_LANE) + (c & GREEN_LANE) + (d & GREEN_LANE)) >> 2) &
        GREEN_LANE;
    const Pixel red_blue = (((a & RED_BLUE_LANE) + (b & RED_BLUE_LANE) + (c & RED_BLUE_LANE) +
                             (d & RED_BLUE_LANE)) >>
                            2) &
                           RED_BLUE_LANE;
    return green | red_blue;
}

// The builders run on two forms of canvas: an Image of Pixels, and the atlas
// held as its BMP file (BgrImage: three bytes a pixel, rows bottom-up). Every
// average is per channel, so the same steps give the same bytes in both. A
// view gives the rows; at() steps along a row by pixels, get() and put() read
// and write one pixel as a Pixel, and the row kernels below come in both forms.
struct PixelView {
    using Ptr = Pixel*;
    Pixel* top;
    int64_t step;  // Pixels from one row to the next
    int32_t width;
    int32_t height;
};
struct BgrView {
    using Ptr = uint8_t*;
    uint8_t* top;
    int64_t step;  // bytes from one row to the next: negative, the rows being bottom-up
    int32_t width;
    int32_t height;
};

PixelView view_of(Image* canvas) { return {canvas->pixels, canvas->width, canvas->width, canvas->height}; }
BgrView view_of(BgrImage* canvas) {
    return {canvas->rows + (int64_t(canvas->height) - 1) * canvas->stride, -canvas->stride, canvas->width,
            canvas->height};
}

template <class View>
typename View::Ptr row_at(const View& canvas, int64_t row) {
    return canvas.top + row * canvas.step;
}

inline Pixel* at(Pixel* p, int64_t k) { return p + k; }
inline uint8_t* at(uint8_t* p, int64_t k) { return p + 3 * k; }
inline Pixel get(const Pixel* p, int64_t k) { return p[k]; }
inline Pixel get(const uint8_t* p, int64_t k) { return pixel_from_bgr(p + 3 * k); }
inline void put(Pixel* p, int64_t k, Pixel v) { p[k] = v; }
inline void put(uint8_t* p, int64_t k, Pixel v) {
    p[3 * k] = static_cast<uint8_t>(v >> 16);
    p[3 * k + 1] = static_cast<uint8_t>(v >> 8);
    p[3 * k + 2] = static_cast<uint8_t>(v);
}

// Row kernels over straight pairs: what they read never overlaps what they
// write, so the compiler is free to vectorise them. The odd last pair, which
// may read a pixel written in the same call, is left to the callers.
void halve_row_pairs(const Pixel* in, Pixel* out, int32_t pairs) {
    for (int32_t k = 0; k < pairs; ++k) out[k] = pair_average(in[2 * k], in[2 * k + 1]);
}

void average_rows(const Pixel* upper, const Pixel* lower, Pixel* out, int32_t count) {
    for (int32_t j = 0; j < count; ++j) out[j] = pair_average(upper[j], lower[j]);
}

void box_rows(const Pixel* upper, const Pixel* lower, Pixel* out, int32_t pairs) {
    for (int32_t k = 0; k < pairs; ++k)
        out[k] = box_average(upper[2 * k], upper[2 * k + 1], lower[2 * k], lower[2 * k + 1]);
}

// The last pair of rows of an odd block standing on the canvas's bottom edge:
// the row below the canvas counts as zero, as a cleared canvas row would.
void box_row_over_zero(const Pixel* upper, Pixel* out, int32_t pairs) {
    for (int32_t k = 0; k < pairs; ++k) out[k] = box_average(upper[2 * k], upper[2 * k + 1], 0, 0);
}

// The same kernels on bytes: each channel is one byte, averaged on its own,
// truncated, as the lanes above do. The plain loops are the definition; where
// the processor can shuffle bytes (SSSE3), the pair loops run sixteen bytes
// at a time, the compiler vectorising the stride-6 reads poorly on its own.
void halve_row_pairs_plain(const uint8_t* in, uint8_t* out, int32_t from, int32_t pairs) {
    for (int32_t k = from; k < pairs; ++k)
        for (int c = 0; c < 3; ++c)
            out[3 * k + c] = static_cast<uint8_t>((in[6 * k + c] + in[6 * k + 3 + c]) >> 1);
}

void box_rows_plain(const uint8_t* upper, const uint8_t* lower, uint8_t* out, int32_t from, int32_t pairs) {
    for (int32_t k = from; k < pairs; ++k)
        for (int c = 0; c < 3; ++c)
            out[3 * k + c] = static_cast<uint8_t>(
                (upper[6 * k + c] + upper[6 * k + 3 + c] + lower[6 * k + c] + lower[6 * k + 3 + c]) >> 2);
}

#if defined(__x86_64__)
// Eight pairs a step: the per-byte results t[i] for i in [0, 48) of the two
// pixels' bytes i and i + 3, of which bytes 6k, 6k+1, 6k+2 are pair k's.
// Every load stays within the 6 x pairs input bytes; the last pairs go to the
// plain loop.
constexpr int32_t PAIRS_PER_STEP = 8;
int32_t vector_steps(int32_t pairs) { return pairs >= PAIRS_PER_STEP + 1 ? (pairs - 1) / PAIRS_PER_STEP : 0; }

__attribute__((target("ssse3"))) inline void store_pairs(__m128i t0, __m128i t1, __m128i t2, uint8_t* out) {
    const __m128i lo = _mm_or_si128(
        _mm_shuffle_epi8(t0, _mm_setr_epi8(0, 1, 2, 6, 7, 8, 12, 13, 14, -1, -1, -1, -1, -1, -1, -1)),
        _mm_shuffle_epi8(t1, _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, 2, 3, 4, 8, 9, 10, 14)));
    const __m128i hi = _mm_or_si128(
        _mm_shuffle_epi8(t1, _mm_setr_epi8(15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1)),
        _mm_shuffle_epi8(t2, _mm_setr_epi8(-1, 0, 4, 5, 6, 10, 11, 12, -1, -1, -1, -1, -1, -1, -1, -1)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), lo);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 16), hi);
}

// (a + b) / 2 rounded down: the rounding-up average less the lost low bit.
__attribute__((target("ssse3"))) inline __m128i floor_average(__m128i a, __m128i b) {
    return _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), _mm_set1_epi8(1)));
}

__attribute__((target("ssse3"))) inline __m128i load(const uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

__attribute__((target("ssse3"))) void halve_row_pairs_ssse3(const uint8_t* in, uint8_t* out, int32_t pairs) {
    const int32_t steps = vector_steps(pairs);
    for (int32_t s = 0; s < steps; ++s, in += 48, out += 24)
        store_pairs(floor_average(load(in), load(in + 3)), floor_average(load(in + 16), load(in + 19)),
                    floor_average(load(in + 32), load(in + 35)), out);
    halve_row_pairs_plain(in, out, 0, pairs - steps * PAIRS_PER_STEP);
}

// (a + b + c + d) / 4 rounded down, in 16-bit lanes.
__attribute__((target("ssse3"))) inline __m128i box_quarter(const uint8_t* upper, const uint8_t* lower) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i a = load(upper), b = load(upper + 3), c = load(lower), d = load(lower + 3);
    const __m128i low = _mm_add_epi16(_mm_add_epi16(_mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero)),
                                      _mm_add_epi16(_mm_unpacklo_epi8(c, zero), _mm_unpacklo_epi8(d, zero)));
    const __m128i high = _mm_add_epi16(_mm_add_epi16(_mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero)),
                                       _mm_add_epi16(_mm_unpackhi_epi8(c, zero), _mm_unpackhi_epi8(d, zero)));
    return _mm_packus_epi16(_mm_srli_epi16(low, 2), _mm_srli_epi16(high, 2));
}

__attribute__((target("ssse3"))) void box_rows_ssse3(const uint8_t* upper, const uint8_t* lower, uint8_t* out,
                                                     int32_t pairs) {
    const int32_t steps = vector_steps(pairs);
    for (int32_t s = 0; s < steps; ++s, upper += 48, lower += 48, out += 24)
        store_pairs(box_quarter(upper, lower), box_quarter(upper + 16, lower + 16),
                    box_quarter(upper + 32, lower + 32), out);
    box_rows_plain(upper, lower, out, 0, pairs - steps * PAIRS_PER_STEP);
}

#endif

void halve_row_pairs(const uint8_t* in, uint8_t* out, int32_t pairs, [[maybe_unused]] Isa isa = active_isa()) {
#if defined(__x86_64__)
    if (runnable_isa(isa) >= Isa::ssse3) return halve_row_pairs_ssse3(in, out, pairs);
#endif
    halve_row_pairs_plain(in, out, 0, pairs);
}

// Rows of the same columns: plain SSE2, which every x86-64 processor has.
void average_rows(const uint8_t* upper, const uint8_t* lower, uint8_t* out, int32_t count,
                  [[maybe_unused]] Isa isa = active_isa()) {
    const int64_t bytes = 3 * int64_t(count);
    int64_t i = 0;
#if defined(__x86_64__)
    const __m128i one = _mm_set1_epi8(1);
    const int64_t vector_end = runnable_isa(isa) >= Isa::sse2 ? bytes : 0;
    for (; i + 16 <= vector_end; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(upper + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lower + i));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                         _mm_sub_epi8(_mm_avg_epu8(a, b), _mm_and_si128(_mm_xor_si128(a, b), one)));
    }
#endif
    for (; i < bytes; ++i) out[i] = static_cast<uint8_t>((upper[i] + lower[i]) >> 1);
}

void box_rows(const uint8_t* upper, const uint8_t* lower, uint8_t* out, int32_t pairs,
              [[maybe_unused]] Isa isa = active_isa()) {
#if defined(__x86_64__)
    if (runnable_isa(isa) >= Isa::ssse3) return box_rows_ssse3(upper, lower, out, pairs);
#endif
    box_rows_plain(upper, lower, out, 0, pairs);
}

void box_row_over_zero(const uint8_t* upper, uint8_t* out, int32_t pairs) {
    for (int32_t k = 0; k < pairs; ++k)
        for (int c = 0; c < 3; ++c)
            out[3 * k + c] = static_cast<uint8_t>((upper[6 * k + c] + upper[6 * k + 3 + c]) >> 2);
}

// Bounds-checked access, for the rare calls whose reads or copy reach past the
// canvas edge. Those calls keep the filters' loop order but skip every pair
// whose result would land outside the canvas: such a pair changes nothing.
template <class View>
Pixel read_or_zero(const View& canvas, int64_t column, int64_t row) {
    if (column < 0 || row < 0 || column >= canvas.width || row >= canvas.height) return 0;
    return get(row_at(canvas, row), column);
}

// [first, end) of the copy's columns (rows) k, counted from `start`, that lie
// inside [0, limit) and below `count`.
int64_t first_inside(int64_t start) { return std::max<int64_t>(0, -start); }
int64_t end_inside(int64_t start, int64_t count, int64_t limit) {
    return std::min<int64_t>(count, limit - start);
}

template <class View>
void halve_horizontal_clipped(const View& canvas, int64_t x, int64_t y, int64_t w, int64_t h) {
    const int64_t out_x = x + w;
    const int64_t k_end = end_inside(out_x, (w + 1) / 2, canvas.width);
    for (int64_t r = first_inside(y); r < end_inside(y, h, canvas.height); ++r)
        for (int64_t k = first_inside(out_x); k < k_end; ++k)
            put(row_at(canvas, y + r), out_x + k,
                pair_average(read_or_zero(canvas, x + 2 * k, y + r), read_or_zero(canvas, x + 2 * k + 1, y + r)));
}

template <class View>
void halve_vertical_clipped(const View& canvas, int64_t x, int64_t y, int64_t w, int64_t h) {
    const int64_t out_y = y + h;
    const int64_t j_end = end_inside(x, w, canvas.width);
    for (int64_t k = first_inside(out_y); k < end_inside(out_y, (h + 1) / 2, canvas.height); ++k)
        for (int64_t j = first_inside(x); j < j_end; ++j)
            put(row_at(canvas, out_y + k), x + j,
                pair_average(read_or_zero(canvas, x + j, y + 2 * k), read_or_zero(canvas, x + j, y + 2 * k + 1)));
}

template <class View>
void halve_box_clipped(const View& canvas, int64_t x, int64_t y, int64_t w, int64_t h) {
    const int64_t out_x = x + w;
    const int64_t k_end = end_inside(out_x, (w + 1) / 2, canvas.width);
    for (int64_t i = first_inside(y); i < end_inside(y, (h + 1) / 2, canvas.height); ++i)
        for (int64_t k = first_inside(out_x); k < k_end; ++k) {
            const int64_t column = x + 2 * k, row = y + 2 * i;
            put(row_at(canvas, y + i), out_x + k,
                box_average(read_or_zero(canvas, column, row), read_or_zero(canvas, column + 1, row),
                            read_or_zero(canvas, column, row + 1), read_or_zero(canvas, column + 1, row + 1)));
        }
}

// The fit check shared by the two filters that put their copy to the right of
// the block. It reserves w/2 columns; 64-bit sums keep any argument from
// overflowing it.
template <class View>
bool fits_beside(const View& canvas, int32_t x, int32_t y, int32_t w, int32_t h) {
    return int64_t(x) + w + w / 2 <= canvas.width && int64_t(y) + h <= canvas.height;
}

// Whether a block that passed its fit check can take the row-kernel path:
// its corner is inside, and an odd width's extra column (which the fit check
// does not reserve) is inside too.
template <class View>
bool copy_beside_inside(const View& canvas, int32_t x, int32_t y, int32_t w) {
    return x >= 0 && y >= 0 && (w % 2 == 0 || int64_t(x) + w + w / 2 + 1 <= canvas.width);
}

template <class View>
bool fits_below(const View& canvas, int32_t x, int32_t y, int32_t w, int32_t h) {
    return int64_t(x) + w <= canvas.width && int64_t(y) + h + h / 2 <= canvas.height;
}

// The same for halve_vertical: an odd height's extra row is inside too.
template <class View>
bool copy_below_inside(const View& canvas, int32_t x, int32_t y, int32_t h) {
    return x >= 0 && y >= 0 && (h % 2 == 0 || int64_t(y) + h + h / 2 + 1 <= canvas.height);
}

// halve_horizontal on one row of a block that takes the row-kernel path;
// `row` points at the block's first column. Each row reads only itself.
template <class Ptr>
void halve_horizontal_row(Ptr row, int32_t w) {
    halve_row_pairs(row, at(row, w), w / 2);
    // Column w is the copy's first pixel: written just now when w >= 3.
    if (w % 2 != 0) put(row, w + w / 2, pair_average(get(row, w - 1), get(row, w)));
}

// halve_vertical on the columns [x, x + w) of a block that takes the
// row-kernel path. Each column reads only itself.
template <class View>
void halve_vertical_columns(const View& canvas, int32_t x, int32_t y, int32_t w, int32_t h) {
    for (int32_t i = 0; i + 1 < h; i += 2)
        average_rows(at(row_at(canvas, int64_t(y) + i), x), at(row_at(canvas, int64_t(y) + i + 1), x),
                     at(row_at(canvas, int64_t(y) + h + i / 2), x), w);
    // Row y + h is the copy's first row: written just now when h >= 3.
    if (h % 2 != 0)
        average_rows(at(row_at(canvas, int64_t(y) + h - 1), x), at(row_at(canvas, int64_t(y) + h), x),
                     at(row_at(canvas, int64_t(y) + h + h / 2), x), w);
}

// Every call the builders make takes the row-kernel path. The one of them that
// meets the canvas edge, the mip strip's first box below a source of odd
// height, does so only in its last row pair, which halve_box handles in place.
// Calls reaching past the edge in any other way take the clipped path.

template <class View>
int halve_horizontal_in(const View& canvas, int32_t x, int32_t y, int32_t w, int32_t h) {
    if (!fits_beside(canvas, x, y, w, h)) return 0;
    if (w <= 0 || h <= 0) return 1;
    if (!copy_beside_inside(canvas, x, y, w)) {
        halve_horizontal_clipped(canvas, x, y, w, h);
        return 1;
    }
    for (int32_t r = 0; r < h; ++r) halve_horizontal_row(at(row_at(canvas, int64_t(y) + r), x), w);
    return 1;
}

template <class View>
int halve_vertical_in(const View& canvas, int32_t x, int32_t y, int32_t w, int32_t h) {
    if (!fits_below(canvas, x, y, w, h)) return 0;
    if (w <= 0 || h <= 0) return 1;
    if (!copy_below_inside(canvas, x, y, h)) {
        halve_vertical_clipped(canvas, x, y, w, h);
        return 1;
    }
    halve_vertical_columns(canvas, x, y, w, h);
    return 1;
}

template <class View>
int halve_box_in(const View& canvas, int32_t x, int32_t y, int32_t w, int32_t h) {
    if (!fits_beside(canvas, x, y, w, h)) return 0;
    if (w <= 0 || h <= 0) return 1;
    if (!copy_beside_inside(canvas, x, y, w)) {
        halve_box_clipped(canvas, x, y, w, h);
        return 1;
    }
    const bool odd = w % 2 != 0;
    for (int32_t i = 0; i < h; i += 2) {
        const auto upper = at(row_at(canvas, int64_t(y) + i), x);
        const auto out = at(row_at(canvas, int64_t(y) + i / 2), int64_t(x) + w);
        // The first pair of rows writes into its own upper row, right of the
        // block, so its odd pair sees the copy's first pixel already written.
        if (int64_t(y) + i + 1 < canvas.height) {
            const auto lower = at(row_at(canvas, int64_t(y) + i + 1), x);
            box_rows(upper, lower, out, w / 2);
            if (odd) put(out, w / 2, box_average(get(upper, w - 1), get(upper, w), get(lower, w - 1), get(lower, w)));
        } else {
            box_row_over_zero(upper, out, w / 2);
            if (odd) put(out, w / 2, box_average(get(upper, w - 1), get(upper, w), 0, 0));
        }
    }
    return 1;
}

template <class View>
void build_ordinary(const View& canvas) {
    if (canvas.width <= 1 || canvas.height <= 1) return;
    int32_t x = 0;
    int32_t w = canvas.width / 2;
    int32_t h = canvas.height;
    // Once one size reaches 0 the calls write nothing, but the strip goes on
    // until both have.
    while (w != 0 || h != 0) {
        halve_box_in(canvas, x, 0, w, h);
        x += w;
        w /= 2;
        h /= 2;
    }
}

// A chain of the rip builder: each block the halving of the one
// before, side by side (horizontal) or stacked (vertical), as long as each
// passes its fit check. `offset` is the column (row) of each call's block.
constexpr int MAX_CHAIN = 64;
struct Chain {
    int32_t offset[MAX_CHAIN];
    int32_t size[MAX_CHAIN];
    int count;
    bool kernels_only;  // every call takes the row-kernel path
};

// The horizontal chain (`across`) halve_horizontal(x', y, c, h) for
// c = w, w/2, ... 1, or the vertical one halve_vertical(x, y', w, c) for
// c = h, h/2, ... 1, up to the first call that does not fit.
template <class View>
Chain make_chain(const View& canvas, int32_t x, int32_t y, int32_t w, int32_t h, bool across) {
    Chain chain = {{}, {}, 0, true};
    int32_t& offset = across ? x : y;
    for (int32_t c = across ? w : h; c != 0 && chain.count < MAX_CHAIN; offset += c, c /= 2) {
        if (across ? !fits_beside(canvas, x, y, c, h) : !fits_below(canvas, x, y, w, c)) break;
        chain.kernels_only = chain.kernels_only &&
                             (across ? copy_beside_inside(canvas, x, y, c) : copy_below_inside(canvas, x, y, c));
        chain.offset[chain.count] = offset;
        chain.size[chain.count++] = c;
    }
    return chain;
}

// Every call of a horizontal chain on one row, in chain order.
template <class Ptr>
void run_chain_on_row(Ptr row, const Chain& chain) {
    for (int n = 0; n < chain.count; ++n)
        if (chain.size[n] > 0) halve_horizontal_row(at(row, chain.offset[n]), chain.size[n]);
}

// One step of the rip builder on the diagonal block (X, Y, w, h):
//   1. the horizontal chain halve_horizontal(x, Y, c, h), c = w, w/2, ... 1,
//      each block beside the last, until one does not fit;
//   2. the vertical chain halve_vertical(X, y, w, c), c = h, h/2, ... 1,
//      each block below the last;
//   3. halve_vertical(X + w, Y, w/2, h): the first horizontal copy halved
//      down, the next step's diagonal block.
// Done call after call, each pass re-reads from memory what the one before
// wrote. The same canvas comes out of fewer passes because each filter reads
// only its own row (horizontal) or column (vertical):
//   - the horizontal chain runs whole on one row before the next row;
//   - the first vertical call and call 3 read the block's rows and the first
//     copy's columns, which no later horizontal call writes, and write rows
//     below the block, which no horizontal call reads; so both run on each
//     pair of rows as soon as the horizontal chain has finished those rows.
//     Their odd last pair reads their own first copied row and runs once all
//     pairs are done, as in the calls;
//   - the rest of the vertical chain reads and writes only the block's
//     columns below it, and runs last.
// When any of these calls would reach past the canvas edge (the filters'
// clipped path), the step makes the plain calls instead.
template <class View>
void bidirectional_step(const View& canvas, int32_t X, int32_t Y, int32_t w, int32_t h) {
    const Chain across = make_chain(canvas, X, Y, w, h, true);
    const Chain down = make_chain(canvas, X, Y, w, h, false);
    const bool next_fits = fits_below(canvas, X + w, Y, w / 2, h);
    const bool fused = across.kernels_only && down.kernels_only && h > 0 && w > 0 &&
                       (!next_fits || copy_below_inside(canvas, X + w, Y, h));
    if (!fused) {
        for (int n = 0; n < across.count; ++n) halve_horizontal_in(canvas, across.offset[n], Y, across.size[n], h);
        for (int n = 0; n < down.count; ++n) halve_vertical_in(canvas, X, down.offset[n], w, down.size[n]);
        halve_vertical_in(canvas, X + w, Y, w / 2, h);
        return;
    }
    // Columns the first vertical call and call 3 average: the block's, then
    // the first copy's right beside them.
    const int32_t first = down.count > 0 ? X : X + w;
    const int32_t columns = (down.count > 0 ? w : 0) + (next_fits ? w / 2 : 0);
    const auto average_pair = [&](int64_t upper, int64_t lower, int64_t out) {
        if (columns > 0)
            average_rows(at(row_at(canvas, upper), first), at(row_at(canvas, lower), first),
                         at(row_at(canvas, out), first), columns);
    };
    for (int32_t i = 0; i < h; i += 2) {
        run_chain_on_row(row_at(canvas, int64_t(Y) + i), across);
        if (i + 1 == h) break;
        run_chain_on_row(row_at(canvas, int64_t(Y) + i + 1), across);
        average_pair(int64_t(Y) + i, int64_t(Y) + i + 1, int64_t(Y) + h + i / 2);
    }
    if (h % 2 != 0) average_pair(int64_t(Y) + h - 1, int64_t(Y) + h, int64_t(Y) + h + h / 2);
    for (int n = 1; n < down.count; ++n) halve_vertical_columns(canvas, X, down.offset[n], w, down.size[n]);
}

template <class View>
void build_bidirectional(const View& canvas) {
    if (canvas.width <= 1 || canvas.height <= 1) return;
    // (X, Y, w, h) is the diagonal block: first the source, then the source
    // halved the same number of times both ways.
    int32_t X = 0, Y = 0;
    int32_t w = canvas.width / 2;
    int32_t h = canvas.height / 2;
    while (w != 0 && h != 0) {
        bidirectional_step(canvas, X, Y, w, h);
        X += w;
        Y += h;
        w /= 2;
        h /= 2;
    }
}

bool usable(const Image* canvas) { return canvas && canvas->pixels; }
bool usable(const BgrImage* canvas) { return canvas && canvas->rows; }

}  // namespace

void halve_bgr_row_pairs(const uint8_t* in, uint8_t* out, int32_t pairs, Isa isa) {
    halve_row_pairs(in, out, pairs, isa);
}
void average_bgr_rows(const uint8_t* upper, const uint8_t* lower, uint8_t* out, int32_t count, Isa isa) {
    average_rows(upper, lower, out, count, isa);
}
void box_bgr_rows(const uint8_t* upper, const uint8_t* lower, uint8_t* out, int32_t pairs, Isa isa) {
    box_rows(upper, lower, out, pairs, isa);
}

int halve_horizontal(Image* canvas, int32_t x, int32_t y, int32_t w, int32_t h) {
    return usable(canvas) ? halve_horizontal_in(view_of(canvas), x, y, w, h) : 0;
}

int halve_vertical(Image* canvas, int32_t x, int32_t y, int32_t w, int32_t h) {
    return usable(canvas) ? halve_vertical_in(view_of(canvas), x, y, w, h) : 0;
}

int halve_box(Image* canvas, int32_t x, int32_t y, int32_t w, int32_t h) {
    return usable(canvas) ? halve_box_in(view_of(canvas), x, y, w, h) : 0;
}

void build_classic_mip(Image* canvas) {
    if (usable(canvas)) build_ordinary(view_of(canvas));
}

void build_classic_rip(Image* canvas) {
    if (usable(canvas)) build_bidirectional(view_of(canvas));
}

void build_classic_mip(BgrImage* canvas) {
    if (usable(canvas)) build_ordinary(view_of(canvas));
}

void build_classic_rip(BgrImage* canvas) {
    if (usable(canvas)) build_bidirectional(view_of(canvas));
}

ImagePtr new_canvas(const Image* source, bool rip) {
    const int64_t width = 2 * int64_t(source->width);
    const int64_t height = (rip ? 2 : 1) * int64_t(source->height);
    if (width > INT32_MAX || height > INT32_MAX) return nullptr;
    if (bmp24_file_size(width, height) > int64_t(UINT32_MAX)) return nullptr;
    ImagePtr canvas(new_image_within(static_cast<int32_t>(width), static_cast<int32_t>(height), INT64_MAX / 8));
    if (!canvas) return nullptr;
    for (int32_t r = 0; r < source->height; ++r)
        std::memcpy(canvas->pixels + int64_t(r) * canvas->width,
                    source->pixels + int64_t(r) * source->width, sizeof(Pixel) * source->width);
    return canvas;
}

BgrImagePtr new_file_canvas(const Image* source, bool rip) {
    BgrImagePtr canvas = new_bmp24_atlas(source->width, source->height, rip);
    if (!canvas) return nullptr;
    for (int32_t r = 0; r < source->height; ++r)
        bgr_from_pixels(source->pixels + int64_t(r) * source->width, bgr_at(canvas.get(), 0, r), source->width);
    return canvas;
}

RowDestination file_canvas_rows(FileCanvasTarget* target) {
    RowDestination destination;
    destination.context = target;
    // The rows of the canvas's corner, top row first: the file stores them
    // bottom-up, so the stride runs backwards.
    destination.open = [](void* context, int32_t width, int32_t height) {
        FileCanvasTarget* t = static_cast<FileCanvasTarget*>(context);
        t->canvas = new_bmp24_atlas(width, height, t->rip);
        if (!t->canvas) return BgrRows{};
        return BgrRows{bgr_at(t->canvas.get(), 0, 0), -t->canvas->stride};
    };
    return destination;
}

BgrImagePtr build_classic_file_atlas(ImagePtr picture, BgrImagePtr canvas, bool rip) {
    if (!canvas && picture) canvas = new_file_canvas(picture.get(), rip);
    picture.reset();
    if (!canvas) return nullptr;
    if (rip)
        build_classic_rip(canvas.get());
    else
        build_classic_mip(canvas.get());
    return canvas;
}

}  // namespace orvandel
