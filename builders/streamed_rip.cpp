// The modern rip-map of an opaque picture, built where its 24-bit BMP file's
// bytes are (the canvas the classic run builds in), with the same bytes as
// build_atlas gives that file. Instead of whole blocks of working values,
// every block row (0, j) is made from a few rows of block (0, j - 1) held in
// a small ring per level, pulled through the levels as the deepest one asks
// for them; each row, once made, goes out with its chain of horizontal
// halvings at once. Memory is the canvas and a few rows per level, each
// row three planes of floats (planar_rows.h): the alpha an opaque picture's
// values would carry is never needed. Threads
// take stripes of rows: a stripe makes the rows it owns and, where a filter
// reaches past the stripe's edge, the rows of the level above that those
// need (made twice, never written twice). Edges that wrap read the far end
// of a block first, so those builds, and shapes the rings do not suit, go
// through build_atlas and are copied in.
#include <algorithm>
#include <climits>
#include <cstring>

#include "builders/modern.h"
#include "builders/atlas_layout.h"
#include "builders/planar_rows.h"
#include "builders/resample.h"

namespace orvandel {

namespace {

// A stripe streams while the level it ends on keeps this many rows a
// thread: deeper, the halos a Kaiser filter needs grow to the whole level,
// so the next levels start again from that level, kept whole.
constexpr int32_t MIN_STREAM_ROWS = 64;

struct Rows {
    int32_t lo = 0, hi = 0;  // [lo, hi)
    bool empty() const { return lo >= hi; }
    bool has(int32_t k) const { return k >= lo && k < hi; }
};

Rows hull(Rows a, Rows b) {
    if (a.empty()) return b;
    if (b.empty()) return a;
    return Rows{std::min(a.lo, b.lo), std::max(a.hi, b.hi)};
}

struct Geometry {
    int32_t width = 0;
    std::vector<int32_t> widths, heights, xs, ys;
    std::vector<Taps> across;  // halving of widths[i], for i + 1 < widths.size()
    std::vector<Taps> down;    // halving of heights[j - 1] to heights[j]; down[0] unused
    int32_t widest_pad = 0;
    PlaneLayout layout;
};

Geometry geometry(int32_t width, int32_t height, FilterKind filter, EdgeMode edge) {
    Geometry g;
    g.width = width;
    g.widths = halvings(width);
    g.heights = halvings(height);
    g.xs = offsets(g.widths);
    g.ys = offsets(g.heights);
    for (size_t i = 0; i + 1 < g.widths.size(); ++i) {
        g.across.push_back(make_taps(filter, edge, g.widths[i]));
        g.widest_pad = std::max(g.widest_pad, g.across.back().pad);
    }
    g.down.resize(g.heights.size());
    for (size_t j = 1; j < g.heights.size(); ++j) g.down[j] = make_taps(filter, edge, g.heights[j - 1]);
    g.layout = plane_layout(width, g.widest_pad);
    return g;
}

// The rows of the level above that outputs `rows` of a vertical halving read.
Rows rows_read(const Taps& taps, Rows rows) {
    Rows read{INT32_MAX, INT32_MIN};
    for (int32_t i = rows.lo; i < rows.hi; ++i) {
        const float* w = weights_of(taps, i);
        for (int32_t t = 0; t < taps.count; ++t) {
            if (w[t] == 0) continue;
            const int32_t k = edge_index(taps.edge, first_of(taps, i) + t, taps.in_size);
            read.lo = std::min(read.lo, k);
            read.hi = std::max(read.hi, k + 1);
        }
    }
    return read.empty() ? Rows{} : read;
}

struct Settings {
    Coding coding;
    PassMode mode;
    bool normal;
};

// The rows of one level a stripe has made lately: row k in slot k % slots.
struct Ring {
    std::vector<float> rows;
    std::vector<int32_t> tags;
    int32_t next = 0;  // the next row to make
    int32_t end = 0;   // past the last row the stripe needs
};

// One stripe's work on levels [base, last]: the rows it owns of each level
// go out, and level `last`'s also to `keep` when set.
struct Stripe {
    const Geometry* g = nullptr;
    const Settings* s = nullptr;
    BgrImage* canvas = nullptr;
    size_t base = 0, last = 0;
    const float* base_values = nullptr;  // level `base` kept whole, or null: the source, in the canvas
    float* keep = nullptr;
    std::vector<Rows> own;  // per level, from base on
    std::vector<Ring> rings;
    std::vector<float> chain_a, chain_b, split;
    bool missed = false;  // a row was asked for after its slot was reused
};

void put_row(Stripe* st, const float* row, int32_t width, int32_t x, int32_t y) {
    encode_planes(row, width, st->s->coding, st->g->layout, bgr_at(st->canvas, x, y));
}

// Blocks (1, j), (2, j), ... of atlas row y from a row of block (0, j), as
// fill_chain in modern.cpp makes them. The row's padding is put in place:
// the vertical passes read only its values.
void put_chain(Stripe* st, float* row, int32_t y) {
    const Geometry& g = *st->g;
    const size_t columns = g.widths.size();
    float* in = row;
    float* out = st->chain_a.data();
    float* spare = st->chain_b.data();
    if (columns > 1) pad_planes(row, g.layout, g.across[0]);
    for (size_t i = 1; i < columns; ++i) {
        halve_planes(in, g.layout, g.across[i - 1], st->s->mode, st->split.data(), out);
        if (st->s->normal) renormalise_planes(out, g.widths[i], g.layout);
        put_row(st, out, g.widths[i], g.xs[i], y);
        if (i + 1 < columns) pad_planes(out, g.layout, g.across[i]);
        in = out;
        std::swap(out, spare);
    }
}

void emit(Stripe* st, size_t j, int32_t m, float* row) {
    const Geometry& g = *st->g;
    const int32_t y = g.ys[j] + m;
    if (j > 0) put_row(st, row, g.width, 0, y);
    put_chain(st, row, y);
    if (j == st->last && st->keep) {
        const int64_t floats = row_floats(g.layout);
        std::memcpy(st->keep + int64_t(m) * floats, row, sizeof(float) * size_t(floats));
    }
}

const float* row_of(Stripe* st, size_t j, int32_t k);

// Rows [m, m + n) of level j into outs[0 .. n). Two rows of a level are
// made in one pass where they can be: they read twelve of the same fourteen
// rows above (Kaiser), which then come from the first-level cache for the
// second row instead of from further out.
constexpr int32_t BATCH = 2;

void make_rows(Stripe* st, size_t j, int32_t m, int32_t n, float* const* outs) {
    const Geometry& g = *st->g;
    if (j == 0) {
        for (int32_t r = 0; r < n; ++r)
            decode_bgr_planes(bgr_at(st->canvas, 0, m + r), g.width, st->s->coding, g.layout, outs[r]);
        return;
    }
    const Taps& taps = g.down[j];
    // Taps of non-zero weight only, as halve_columns takes them.
    const float* rows[BATCH][64];
    float weights[BATCH][64];
    ColumnSum sums[BATCH];
    for (int32_t r = 0; r < n; ++r) {
        const float* w = weights_of(taps, m + r);
        int32_t count = 0;
        for (int32_t t = 0; t < taps.count; ++t) {
            if (w[t] == 0) continue;
            const float* in = row_of(st, j - 1, edge_index(taps.edge, first_of(taps, m + r) + t, taps.in_size));
            if (!in) return;
            rows[r][count] = in;
            weights[r][count++] = w[t];
        }
        sums[r] = ColumnSum{rows[r], weights[r], count, outs[r]};
    }
    // Rows asked for later may have made further rows; every one read must
    // still be in its slot.
    for (int32_t r = 0; r < n; ++r) {
        const float* w = weights_of(taps, m + r);
        for (int32_t t = 0, c = 0; t < taps.count; ++t) {
            if (w[t] == 0) continue;
            if (row_of(st, j - 1, edge_index(taps.edge, first_of(taps, m + r) + t, taps.in_size)) != rows[r][c++]) {
                st->missed = true;
                return;
            }
        }
    }
    sum_planes(sums, n, g.width, g.layout, st->s->mode);
    if (st->s->normal)
        for (int32_t r = 0; r < n; ++r) renormalise_planes(outs[r], g.width, g.layout);
}

// Row k of level j, made (with every row before it not yet made) if need be;
// null when it was made and its slot has been reused since.
const float* row_of(Stripe* st, size_t j, int32_t k) {
    const int64_t floats = row_floats(st->g->layout);
    if (j == st->base && st->base_values) return st->base_values + int64_t(k) * floats;
    Ring& ring = st->rings[j - st->base];
    const size_t slots = ring.tags.size();
    float* slot = ring.rows.data() + (size_t(k) % slots) * size_t(floats);
    if (ring.tags[size_t(k) % slots] == k) return slot;
    if (k < ring.next) {
        st->missed = true;
        return nullptr;
    }
    while (ring.next <= k && !st->missed) {
        const int32_t m = ring.next;
        const int32_t n = std::min(BATCH, ring.end - m);
        ring.next += n;
        float* targets[BATCH];
        for (int32_t r = 0; r < n; ++r) {
            targets[r] = ring.rows.data() + (size_t(m + r) % slots) * size_t(floats);
            ring.tags[size_t(m + r) % slots] = -1;
        }
        make_rows(st, j, m, n, targets);
        if (st->missed) return nullptr;
        for (int32_t r = 0; r < n; ++r) {
            ring.tags[size_t(m + r) % slots] = m + r;
            if (st->own[j - st->base].has(m + r)) emit(st, j, m + r, targets[r]);
        }
    }
    return slot;
}

// Sets up a stripe's rings: each level from the first row it must make.
bool prepare(Stripe* st) {
    const Geometry& g = *st->g;
    const size_t levels = st->last - st->base + 1;
    std::vector<Rows> wanted(st->own);
    for (size_t j = st->last; j > st->base; --j)
        wanted[j - 1 - st->base] = hull(st->own[j - 1 - st->base], rows_read(g.down[j], wanted[j - st->base]));
    st->rings.resize(levels);
    try {
        for (size_t j = st->base; j <= st->last; ++j) {
            if (j == st->base && st->base_values) continue;
            // The rows a batch of the level below reads are all held at once:
            // a window moves by at most three rows from one output row to the
            // next (two for even sizes), and a batch here may run one row past
            // the one asked for. No more slots than rows the stripe makes.
            const int32_t rows = wanted[j - st->base].hi - wanted[j - st->base].lo;
            const size_t slots = size_t(std::max(
                1, std::min(rows, (j + 1 < g.heights.size() ? g.down[j + 1].count : 1) + 4 * (BATCH - 1))));
            Ring& ring = st->rings[j - st->base];
            ring.tags.assign(slots, -1);
            ring.rows.resize(slots * size_t(row_floats(g.layout)));
            ring.next = wanted[j - st->base].lo;
            ring.end = wanted[j - st->base].hi;
        }
        st->chain_a.resize(size_t(row_floats(g.layout)));
        st->chain_b.resize(st->chain_a.size());
        st->split.resize(size_t(split_floats(g.layout)));
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

bool run_stripe(Stripe* st) {
    if (!prepare(st)) return false;
    // The deepest level first: it pulls the rows of every level above it in
    // order; what is left of each level's own rows follows.
    for (size_t j = st->last + 1; j-- > st->base;) {
        const Rows own = st->own[j - st->base];
        if (own.empty() || (!st->rings[j - st->base].tags.empty() && st->rings[j - st->base].next >= own.hi)) continue;
        if (!row_of(st, j, own.hi - 1)) return false;
    }
    return !st->missed;
}

// Levels [base, last] over `stripes` stripes on `threads` threads; level
// `last` also to `keep` when set.
bool stream_levels(const Geometry& g, const Settings& s, BgrImage* canvas, size_t base, size_t last,
                   const float* base_values, float* keep, int stripes, int threads) {
    std::vector<Stripe> work(static_cast<size_t>(stripes));
    for (int t = 0; t < stripes; ++t) {
        Stripe& st = work[size_t(t)];
        st = Stripe{&g, &s, canvas, base, last, base_values, keep, {}, {}, {}, {}, {}, false};
        for (size_t j = base; j <= last; ++j) {
            const int64_t n = g.heights[j];
            // A kept level's rows went out with the stripes before.
            st.own.push_back(j == base && base_values ? Rows{}
                                                      : Rows{int32_t(n * t / stripes), int32_t(n * (t + 1) / stripes)});
        }
    }
    std::vector<char> done(size_t(stripes), 0);
    run_bands(std::min(threads, stripes), stripes, [&](int, int32_t begin, int32_t end) {
        for (int32_t t = begin; t < end; ++t) {
            done[size_t(t)] = run_stripe(&work[size_t(t)]) ? 1 : 0;
            Stripe released;
            std::swap(work[size_t(t)], released);
        }
    });
    return std::all_of(done.begin(), done.end(), [](char d) { return d != 0; });
}

// Through build_atlas, for what the rings do not suit: the source from the
// canvas's corner, the atlas's rows back into the canvas.
bool build_through_pixels(BgrImage* canvas, const FilterOptions& options) {
    const int32_t width = canvas->width / 2, height = canvas->height / 2;
    ImagePtr source(new_image(width, height));
    if (!source) return false;
    for (int32_t y = 0; y < height; ++y)
        pixels_from_bgr(bgr_at(canvas, 0, y), source->pixels + int64_t(y) * width, width);
    const Atlas atlas = build_atlas(*source, false, options);
    source.reset();
    if (!atlas.image || atlas.image->width != canvas->width || atlas.image->height != canvas->height) return false;
    for (int32_t y = 0; y < canvas->height; ++y)
        bgr_from_pixels(atlas.image->pixels + int64_t(y) * canvas->width, bgr_at(canvas, 0, y), canvas->width);
    return true;
}

}  // namespace

bool rip_streams(int32_t width, int32_t height, const FilterOptions& options) {
    // Narrow pictures pay for a row at a time; very wide ones for rings of
    // whole rows; the last row of a one-row picture is one level's row.
    return options.filter != FilterKind::classic && options.edge != EdgeMode::wrap && options.layout == AtlasLayout::rip &&
           options.padding == 0 && options.alignment <= 1 && width >= 8 && width <= 65536 && height >= 2;
}

bool build_rip_in_file(BgrImage* canvas, const FilterOptions& options, bool* streamed) {
    if (streamed) *streamed = false;
    if (!canvas || canvas->width < 2 || canvas->height < 2) return false;
    const int32_t width = canvas->width / 2, height = canvas->height / 2;
    if (!rip_streams(width, height, options)) return build_through_pixels(canvas, options);
    try {
        const Geometry g = geometry(width, height, options.filter, options.edge);
        const ValueKind kind = value_kind(options);
        const Settings s{make_coding(kind, false),
                         PassMode{false, kind == ValueKind::normal ? -1.0f : 0.0f, options.filter == FilterKind::kaiser},
                         kind == ValueKind::normal};
        const size_t deepest = g.heights.size() - 1;
        const int threads = std::max(1, options.threads);
        ZeroedPtr<float[]> kept;
        size_t base = 0;
        while (true) {
            // The deepest level a stripe per thread can end on, or all of them on one.
            size_t last = deepest;
            int stripes = 1;
            if (threads > 1) {
                size_t j = base + 1;
                while (j <= deepest && g.heights[j] >= MIN_STREAM_ROWS * threads) ++j;
                if (j > base + 1) {
                    last = j - 1;
                    stripes = threads;
                }
            }
            ZeroedPtr<float[]> keep;
            if (last < deepest) {
                size_t bytes = 0;
                if (!checked_byte_count(g.heights[last], row_floats(g.layout), sizeof(float), &bytes)) return false;
                keep.reset(static_cast<float*>(allocate_zeroed(bytes)));
                if (!keep) return false;
            }
            if (!stream_levels(g, s, canvas, base, last, kept.get(), keep.get(), stripes, threads)) {
                return build_through_pixels(canvas, options);
            }
            if (last == deepest) {
                if (streamed) *streamed = true;
                return true;
            }
            kept = std::move(keep);
            base = last;
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
}

}  // namespace orvandel
