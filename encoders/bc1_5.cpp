// BC1, BC3, BC4 and BC5 blocks from 4 x 4 texels, laid out as the Direct3D
// block compression formats store them. Every input has an encoding, so
// nothing is declined and no data can be damaged here.
// Each search minimises the squared difference between the source bytes and
// what a GPU returns with exact interpolation (thirds, halves, sevenths and
// fifths of the expanded endpoints), red, green and blue weighted equally:
// the stored values are what is judged, sRGB-encoded or not, so a perceptual
// weighting would only trade one channel's error for another's.
//   fast    principal axis, endpoints at its extremes, one least-squares refit
//   normal  a cluster fit along the axis (half its splits) with the endpoints
//           snapped to the grid, refits, a hill climb over the grid
//   best    the full cluster fit, reordered along its own answer, a wider
//           climb, and the three-colour palette for opaque blocks too
// With alpha (BC1 cut-outs) texels below the cutoff take the transparent
// entry and the rest are fitted with the three-colour palette.
// BC4 searches the endpoint pairs near the range of the values in both of
// its modes (eight steps, or six with exact 0 and 255), with exact integer
// error, so a block's bytes depend on nothing but its values.
#include "encoders/bc1_5.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace orvandel {

namespace {

// ---------------------------------------------------------------------------
// BC1 colour

// The texels that keep a colour (transparent ones drop out of every error),
// one array a channel so the nearest-entry loop runs four texels at a time.
struct ColourSet {
    float c[3][16];     // red, green, blue, 0..255; past `count`, copies of the first
    int count;
    uint8_t slot[16];   // each texel's place in c, or TRANSPARENT
    bool has_transparent;
};
constexpr uint8_t TRANSPARENT = 255;

// Quantised endpoints: 5, 6 and 5 bits.
struct Ends {
    int e[2][3];
};

constexpr int CHANNEL_MAX[3] = {31, 63, 31};
constexpr float TO_BYTE[3] = {255.0f / 31.0f, 255.0f / 63.0f, 255.0f / 31.0f};
constexpr float FROM_BYTE[3] = {31.0f / 255.0f, 63.0f / 255.0f, 31.0f / 255.0f};

float expand(int v, int channel) { return float(v) * TO_BYTE[channel]; }

// Rounds to the nearest grid step (truncation is floor once negatives are
// clamped, and needs no library call).
int quantise(float v, int channel) {
    const int q = int(std::max(v * FROM_BYTE[channel] + 0.5f, 0.0f));
    return std::min(q, CHANNEL_MAX[channel]);
}

unsigned pack565(const int e[3]) { return unsigned(e[0] << 11 | e[1] << 5 | e[2]); }

struct Fit {
    Ends q;
    bool three;          // three colours: endpoints and their midpoint
    float error;
    uint8_t index[16];   // per entry of the set: 0, 1 endpoints; 2, 3 the blends nearer 0 and nearer 1
};

// The weight of endpoint 0 in each palette entry.
constexpr float FOUR_WEIGHT[4] = {1.0f, 0.0f, 2.0f / 3.0f, 1.0f / 3.0f};
constexpr float THREE_WEIGHT[3] = {1.0f, 0.0f, 0.5f};

// Each texel to its nearest palette entry (the lower index on a tie); the
// summed error. The three-colour palette repeats its midpoint as entry 3,
// which the lower index rule never picks.
void palette(const Ends& q, bool three, float pal[4][3]) {
    for (int ch = 0; ch < 3; ++ch) {
        const float a = expand(q.e[0][ch], ch), b = expand(q.e[1][ch], ch);
        pal[0][ch] = a;
        pal[1][ch] = b;
        pal[2][ch] = three ? (a + b) * 0.5f : (2.0f * a + b) / 3.0f;
        pal[3][ch] = three ? pal[2][ch] : (a + 2.0f * b) / 3.0f;
    }
}

float assign(const ColourSet& s, const Ends& q, bool three, uint8_t index[16]) {
    float pal[4][3];
    palette(q, three, pal);
    float err[16];
    for (int i = 0; i < 16; ++i) {
        float d[4];
        for (int k = 0; k < 4; ++k) {
            const float dr = s.c[0][i] - pal[k][0], dg = s.c[1][i] - pal[k][1], db = s.c[2][i] - pal[k][2];
            d[k] = dr * dr + dg * dg + db * db;
        }
        const float m01 = d[1] < d[0] ? d[1] : d[0], m23 = d[3] < d[2] ? d[3] : d[2];
        const int k01 = d[1] < d[0] ? 1 : 0, k23 = d[3] < d[2] ? 3 : 2;
        index[i] = uint8_t(m23 < m01 ? k23 : k01);
        err[i] = m23 < m01 ? m23 : m01;
    }
    float total = 0;
    for (int i = 0; i < s.count; ++i) total += err[i];
    return total;
}

bool consider(const ColourSet& s, const Ends& q, bool three, Fit& best) {
    uint8_t index[16];
    const float error = assign(s, q, three, index);
    if (error >= best.error) return false;
    best.q = q;
    best.three = three;
    best.error = error;
    std::memcpy(best.index, index, sizeof index);
    return true;
}

Ends quantise_ends(const float a[3], const float b[3]) {
    Ends q;
    for (int ch = 0; ch < 3; ++ch) {
        q.e[0][ch] = quantise(a[ch], ch);
        q.e[1][ch] = quantise(b[ch], ch);
    }
    return q;
}

// Refits from the best fit's indices while they gain: per channel the
// least-squares endpoints, and with a `radius` the grid pair within that
// many steps of them with the least error for those indices (the channels'
// errors are independent once the indices are fixed).
void refit(const ColourSet& s, Fit& best, int rounds, int radius) {
    for (int r = 0; r < rounds; ++r) {
        float aa = 0, ab = 0, bb = 0, ax[3] = {0, 0, 0}, bx[3] = {0, 0, 0};
        for (int i = 0; i < s.count; ++i) {
            const float wa = best.three ? THREE_WEIGHT[best.index[i]] : FOUR_WEIGHT[best.index[i]], wb = 1.0f - wa;
            aa += wa * wa;
            ab += wa * wb;
            bb += wb * wb;
            for (int ch = 0; ch < 3; ++ch) {
                ax[ch] += wa * s.c[ch][i];
                bx[ch] += wb * s.c[ch][i];
            }
        }
        const float det = aa * bb - ab * ab;
        if (std::fabs(det) < 1e-4f) return;
        Ends q;
        for (int ch = 0; ch < 3; ++ch) {
            const int qa = quantise((ax[ch] * bb - bx[ch] * ab) / det, ch);
            const int qb = quantise((bx[ch] * aa - ax[ch] * ab) / det, ch);
            q.e[0][ch] = qa;
            q.e[1][ch] = qb;
            float least = 1e30f;
            for (int da = -radius; da <= radius; ++da)
                for (int db = -radius; db <= radius; ++db) {
                    const int ea = qa + da, eb = qb + db;
                    if (ea < 0 || eb < 0 || ea > CHANNEL_MAX[ch] || eb > CHANNEL_MAX[ch]) continue;
                    const float A = expand(ea, ch), B = expand(eb, ch);
                    const float e = A * A * aa + 2 * A * B * ab + B * B * bb - 2 * (A * ax[ch] + B * bx[ch]);
                    if (e < least) {
                        least = e;
                        q.e[0][ch] = ea;
                        q.e[1][ch] = eb;
                    }
                }
        }
        if (!consider(s, q, best.three, best)) return;
    }
}

// Hill climb over the quantised endpoints: single steps of one channel of
// one endpoint, and (when `wide`) both endpoints of a channel moving
// together or apart; each gain followed by a refit.
void climb(const ColourSet& s, Fit& best, int passes, bool wide, int radius) {
    static const int STEP[8][2] = {{1, 0}, {-1, 0}, {0, 1}, {0, -1}, {1, 1}, {-1, -1}, {1, -1}, {-1, 1}};
    for (int pass = 0; pass < passes; ++pass) {
        bool gained = false;
        for (int ch = 0; ch < 3; ++ch) {
            // The other two channels' share of each texel's distance to each
            // entry is fixed while this channel moves.
            float rest[4][16] = {};
            if (!wide) {
                float pal[4][3];
                palette(best.q, best.three, pal);
                for (int k = 0; k < 4; ++k)
                    for (int i = 0; i < 16; ++i) {
                        float d = 0;
                        for (int c = 0; c < 3; ++c) {
                            const float x = c == ch ? 0.0f : s.c[c][i] - pal[k][c];
                            d += x * x;
                        }
                        rest[k][i] = d;
                    }
            }
            for (int move = 0; move < (wide ? 8 : 4); ++move) {
                Ends q = best.q;
                q.e[0][ch] += STEP[move][0];
                q.e[1][ch] += STEP[move][1];
                if (q.e[0][ch] < 0 || q.e[1][ch] < 0 || q.e[0][ch] > CHANNEL_MAX[ch] || q.e[1][ch] > CHANNEL_MAX[ch])
                    continue;
                if (!wide) {
                    const float a = expand(q.e[0][ch], ch), b = expand(q.e[1][ch], ch);
                    const float p[4] = {a, b, best.three ? (a + b) * 0.5f : (2.0f * a + b) / 3.0f,
                                        best.three ? (a + b) * 0.5f : (a + 2.0f * b) / 3.0f};
                    float err[16];
                    for (int i = 0; i < 16; ++i) {
                        float m = 3e38f;
                        for (int k = 0; k < 4; ++k) {
                            const float x = s.c[ch][i] - p[k];
                            m = std::min(m, rest[k][i] + x * x);
                        }
                        err[i] = m;
                    }
                    float total = 0;
                    for (int i = 0; i < s.count; ++i) total += err[i];
                    // A screen: summed in another order, so a near tie is
                    // settled by the exact sum below.
                    if (total >= best.error * 0.9999f) continue;
                }
                if (consider(s, q, best.three, best)) {
                    gained = true;
                    // From the new endpoints the other moves of this channel are stale.
                    if (!wide) break;
                }
            }
        }
        if (!gained) return;
        refit(s, best, 1, radius);
    }
}

void principal_axis(const ColourSet& s, float mean[3], float axis[3]) {
    mean[0] = mean[1] = mean[2] = 0;
    for (int ch = 0; ch < 3; ++ch) {
        for (int i = 0; i < s.count; ++i) mean[ch] += s.c[ch][i];
        mean[ch] /= float(s.count);
    }
    float cov[6] = {0, 0, 0, 0, 0, 0};  // rr rg rb gg gb bb
    for (int i = 0; i < s.count; ++i) {
        const float r = s.c[0][i] - mean[0], g = s.c[1][i] - mean[1], b = s.c[2][i] - mean[2];
        cov[0] += r * r;
        cov[1] += r * g;
        cov[2] += r * b;
        cov[3] += g * g;
        cov[4] += g * b;
        cov[5] += b * b;
    }
    // Power iteration from the row of the largest variance.
    float v[3];
    if (cov[0] >= cov[3] && cov[0] >= cov[5]) {
        v[0] = cov[0], v[1] = cov[1], v[2] = cov[2];
    } else if (cov[3] >= cov[5]) {
        v[0] = cov[1], v[1] = cov[3], v[2] = cov[4];
    } else {
        v[0] = cov[2], v[1] = cov[4], v[2] = cov[5];
    }
    for (int it = 0; it < 6; ++it) {
        const float x = cov[0] * v[0] + cov[1] * v[1] + cov[2] * v[2];
        const float y = cov[1] * v[0] + cov[3] * v[1] + cov[4] * v[2];
        const float z = cov[2] * v[0] + cov[4] * v[1] + cov[5] * v[2];
        const float m = std::max(std::fabs(x), std::max(std::fabs(y), std::fabs(z)));
        if (m <= 0) break;
        v[0] = x / m, v[1] = y / m, v[2] = z / m;
    }
    const float len = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    if (len <= 0) {
        axis[0] = axis[1] = axis[2] = 0.57735027f;
        return;
    }
    for (int ch = 0; ch < 3; ++ch) axis[ch] = v[ch] / len;
}

// Endpoints at the extremes of the texels' projections on the axis.
Ends axis_extremes(const ColourSet& s, const float mean[3], const float axis[3]) {
    float lo = 1e30f, hi = -1e30f;
    for (int i = 0; i < s.count; ++i) {
        const float t = (s.c[0][i] - mean[0]) * axis[0] + (s.c[1][i] - mean[1]) * axis[1] +
                        (s.c[2][i] - mean[2]) * axis[2];
        lo = std::min(lo, t);
        hi = std::max(hi, t);
    }
    float a[3], b[3];
    for (int ch = 0; ch < 3; ++ch) {
        a[ch] = mean[ch] + hi * axis[ch];
        b[ch] = mean[ch] + lo * axis[ch];
    }
    return quantise_ends(a, b);
}

// The ordered cluster fit: the texels sorted along an axis, and every split
// of that order into the palette's entries (four or three runs) tried with
// its least-squares endpoints snapped to the grid, judged by the error those
// snapped endpoints leave for that split. The normal equations of a split
// depend on its run lengths alone, so their factors come from tables.
struct SplitTables {
    // Per split, in the order the loops below visit them, for every count
    // of texels 1..16: sum over n of C(n + 3, 3) four-run splits and
    // C(n + 2, 2) three-run ones.
    float aa[4844 + 968], bb[4844 + 968], ab[4844 + 968], inverse[4844 + 968], penalty[4844 + 968];
    int four_start[17], three_start[17];
};

void set_split(SplitTables& t, int at, float n0, float n1, float n2, float n3, float w1, float w2) {
    const float aa = n0 + n1 * w1 * w1 + n2 * w2 * w2;
    const float bb = n3 + n1 * (1 - w1) * (1 - w1) + n2 * (1 - w2) * (1 - w2);
    const float ab = n1 * w1 * (1 - w1) + n2 * w2 * (1 - w2);
    const float det = aa * bb - ab * ab;
    t.aa[at] = aa, t.bb[at] = bb, t.ab[at] = ab;
    // A split with every texel on one side has no unique endpoints.
    t.inverse[at] = det < 1e-4f ? 0.0f : 1.0f / det;
    t.penalty[at] = det < 1e-4f ? 1e30f : 0.0f;
}

SplitTables make_split_tables() {
    SplitTables t;
    int at = 0;
    for (int n = 1; n <= 16; ++n) {
        t.four_start[n] = at;
        for (int i = 0; i <= n; ++i)
            for (int j = i; j <= n; ++j)
                for (int k = j; k <= n; ++k)
                    set_split(t, at++, float(i), float(j - i), float(k - j), float(n - k), 2.0f / 3.0f, 1.0f / 3.0f);
    }
    for (int n = 1; n <= 16; ++n) {
        t.three_start[n] = at;
        for (int i = 0; i <= n; ++i)
            for (int j = i; j <= n; ++j) set_split(t, at++, float(i), float(j - i), 0, float(n - j), 0.5f, 0.5f);
    }
    return t;
}

// Prefix sums of the channels in the order along `axis`, largest first.
void sorted_prefix(const ColourSet& s, const float axis[3], float p[3][17], float* total_sq) {
    int order[16];
    float key[16];
    for (int i = 0; i < s.count; ++i) {
        order[i] = i;
        key[i] = s.c[0][i] * axis[0] + s.c[1][i] * axis[1] + s.c[2][i] * axis[2];
    }
    // Insertion sort: 16 keys, stable, so equal keys keep their places.
    for (int i = 1; i < s.count; ++i) {
        const int o = order[i];
        int j = i;
        for (; j > 0 && key[order[j - 1]] < key[o]; --j) order[j] = order[j - 1];
        order[j] = o;
    }
    *total_sq = 0;
    for (int ch = 0; ch < 3; ++ch) {
        p[ch][0] = 0;
        for (int i = 0; i < s.count; ++i) {
            const float v = s.c[ch][order[i]];
            p[ch][i + 1] = p[ch][i] + v;
            *total_sq += v * v;
        }
    }
}

// A channel's least-squares endpoint snapped to the grid, as a float. The
// clamps are on integers: float selects are not if-converted (they could
// trap), and the split loop would not vectorise. Truncation rounds as floor
// does once negatives become 0; |v| stays far below the int range.
inline float snap(float v, int ch) {
    int q = int(v * FROM_BYTE[ch] + 0.5f);
    q = q < 0 ? 0 : q;
    q = q > CHANNEL_MAX[ch] ? CHANNEL_MAX[ch] : q;
    return float(q);
}

// One split's endpoint 0 sums are `base` from the fixed runs plus `weight`
// times the prefix at the moving boundary; the snapped endpoints' error for
// `len` consecutive splits. Written for the vectoriser: no branches.
void split_errors(const float* const moving[3], const float base[3], const float total[3], float weight,
                  float total_sq, const SplitTables& t, int at, int len, float* errors) {
    for (int x = 0; x < len; ++x) {
        const float aa = t.aa[at + x], bb = t.bb[at + x], ab = t.ab[at + x], inv = t.inverse[at + x];
        float error = total_sq + t.penalty[at + x];
        for (int ch = 0; ch < 3; ++ch) {
            const float ax = base[ch] + weight * moving[ch][x], bx = total[ch] - ax;
            const float ea = snap((ax * bb - bx * ab) * inv, ch) * TO_BYTE[ch];
            const float eb = snap((bx * aa - ax * ab) * inv, ch) * TO_BYTE[ch];
            error += ea * (ea * aa - 2 * ax) + eb * (eb * bb - 2 * bx) + 2 * ea * eb * ab;
        }
        errors[x] = error;
    }
}

Ends split_ends(const float* const moving[3], const float base[3], const float total[3], float weight,
                const SplitTables& t, int at) {
    Ends q;
    for (int ch = 0; ch < 3; ++ch) {
        const float ax = base[ch] + weight * moving[ch][0], bx = total[ch] - ax;
        q.e[0][ch] = int(snap((ax * t.bb[at] - bx * t.ab[at]) * t.inverse[at], ch));
        q.e[1][ch] = int(snap((bx * t.aa[at] - ax * t.ab[at]) * t.inverse[at], ch));
    }
    return q;
}

// `stride` 1 tries every split; 2 only those whose first boundaries fall on
// even places. With a `refine`, the four-colour search then tries every split
// whose first two boundaries lie within that many places of the best found.
Ends cluster_fit(const ColourSet& s, const float axis[3], bool three, int stride, int refine = 0) {
    static const SplitTables tables = make_split_tables();
    const int n = s.count;
    float p[3][17], total_sq;
    sorted_prefix(s, axis, p, &total_sq);
    const float total[3] = {p[0][n], p[1][n], p[2][n]};
    float best_error = 3e30f;
    int best_at = 0, best_x = 0;
    const float* best_moving[3] = {p[0], p[1], p[2]};
    float best_base[3] = {0, 0, 0};
    int at = three ? tables.three_start[n] : tables.four_start[n];
    float errors[17];
    int best_i = 0, best_j = 0;
    auto four = [&](int i, int j, int at) {
        // Runs: [0, i) endpoint 0, [i, j) two thirds, [j, k) one third, the rest endpoint 1.
        const float* moving[3] = {p[0] + j, p[1] + j, p[2] + j};
        const float base[3] = {(p[0][i] + p[0][j]) / 3.0f, (p[1][i] + p[1][j]) / 3.0f, (p[2][i] + p[2][j]) / 3.0f};
        const int len = n - j + 1;
        split_errors(moving, base, total, 1.0f / 3.0f, total_sq, tables, at, len, errors);
        for (int x = 0; x < len; ++x)
            if (errors[x] < best_error) {
                best_error = errors[x], best_at = at, best_x = x, best_i = i, best_j = j;
                std::copy(moving, moving + 3, best_moving);
                std::copy(base, base + 3, best_base);
            }
    };
    for (int i = 0; i <= n; ++i) {
        if (three && i % stride != 0) {
            at += n - i + 1;
            continue;
        }
        if (three) {
            // Runs: [0, i) on endpoint 0, [i, j) on the midpoint, the rest on endpoint 1.
            const float* moving[3] = {p[0] + i, p[1] + i, p[2] + i};
            const float base[3] = {p[0][i] * 0.5f, p[1][i] * 0.5f, p[2][i] * 0.5f};
            const int len = n - i + 1;
            split_errors(moving, base, total, 0.5f, total_sq, tables, at, len, errors);
            for (int x = 0; x < len; ++x)
                if (errors[x] < best_error) {
                    best_error = errors[x], best_at = at, best_x = x;
                    std::copy(moving, moving + 3, best_moving);
                    std::copy(base, base + 3, best_base);
                }
            at += len;
            continue;
        }
        for (int j = i; j <= n; ++j) {
            if (i % stride != 0 || j % stride != 0) {
                at += n - j + 1;
                continue;
            }
            four(i, j, at);
            at += n - j + 1;
        }
    }
    if (!three && refine > 0) {
        const int bi = best_i, bj = best_j;
        at = tables.four_start[n];
        for (int i = 0; i <= n; ++i)
            for (int j = i; j <= n; ++j) {
                if (std::abs(i - bi) <= refine && std::abs(j - bj) <= refine && (i % stride != 0 || j % stride != 0))
                    four(i, j, at);
                at += n - j + 1;
            }
    }
    const float* moving[3] = {best_moving[0] + best_x, best_moving[1] + best_x, best_moving[2] + best_x};
    return split_ends(moving, best_base, total, three ? 0.5f : 1.0f / 3.0f, tables, best_at + best_x);
}

// For one channel value: the endpoint pair whose blend at index 2 comes
// nearest, for each palette kind and channel width (the best a block of one
// colour can do).
struct SingleEntry {
    uint8_t e0, e1;
    float error;
};
struct SingleTables {
    SingleEntry entry[2][2][256];   // [three][six bits][value]
};

SingleTables make_single_tables() {
    SingleTables t;
    for (int three = 0; three < 2; ++three)
        for (int six = 0; six < 2; ++six) {
            const int ch = six ? 1 : 0;
            for (int v = 0; v < 256; ++v) {
                SingleEntry best{0, 0, 1e30f};
                for (int e0 = 0; e0 <= CHANNEL_MAX[ch]; ++e0)
                    for (int e1 = 0; e1 <= CHANNEL_MAX[ch]; ++e1) {
                        const float a = expand(e0, ch), b = expand(e1, ch);
                        const float blend = three ? (a + b) / 2.0f : (2.0f * a + b) / 3.0f;
                        const float d = (blend - float(v)) * (blend - float(v));
                        if (d < best.error) best = {uint8_t(e0), uint8_t(e1), d};
                    }
                t.entry[three][six][v] = best;
            }
        }
    return t;
}

void single_colour(const ColourSet& s, bool three, Fit& best) {
    static const SingleTables tables = make_single_tables();
    Fit fit;
    fit.three = three;
    fit.error = 0;
    for (int ch = 0; ch < 3; ++ch) {
        const SingleEntry& e = tables.entry[three][ch == 1][int(s.c[ch][0])];
        fit.q.e[0][ch] = e.e0;
        fit.q.e[1][ch] = e.e1;
        fit.error += e.error * float(s.count);
    }
    std::memset(fit.index, 2, sizeof fit.index);
    if (fit.error < best.error) best = fit;
}

bool one_colour(const ColourSet& s) {
    for (int i = 1; i < s.count; ++i)
        if (s.c[0][i] != s.c[0][0] || s.c[1][i] != s.c[1][0] || s.c[2][i] != s.c[2][0]) return false;
    return true;
}

// The best fit of one palette kind.
void fit_mode(const ColourSet& s, CompressQuality quality, bool three, Fit& best) {
    if (one_colour(s)) {
        single_colour(s, three, best);
        return;
    }
    float mean[3], axis[3];
    principal_axis(s, mean, axis);
    Fit fit;
    fit.error = 1e30f;
    consider(s, axis_extremes(s, mean, axis), three, fit);
    if (quality == CompressQuality::fast) {
        refit(s, fit, 1, 0);
    } else if (quality == CompressQuality::normal) {
        // One refit from the extremes leaves most smooth blocks within 4
        // (squared, summed over the channels) a texel: little for the
        // searches to gain in the image's total error, for most of their cost.
        refit(s, fit, 1, 0);
        if (fit.error > 4.0f * float(s.count)) {
            // Every fourth boundary of the split search, then every split
            // within one place of the best of those (the three-colour search
            // is small: every other boundary).
            consider(s, cluster_fit(s, axis, three, three ? 2 : 4, 1), three, fit);
        }
        refit(s, fit, 4, 1);
        if (fit.error > 4.0f * float(s.count)) climb(s, fit, 8, false, 1);
    } else {
        // Reorder along the direction of each round's best endpoints.
        float dir[3] = {axis[0], axis[1], axis[2]};
        for (int round = 0; round < 3; ++round) {
            if (!consider(s, cluster_fit(s, dir, three, 1), three, fit) && round > 0) break;
            float len = 0;
            for (int ch = 0; ch < 3; ++ch) {
                dir[ch] = expand(fit.q.e[0][ch], ch) - expand(fit.q.e[1][ch], ch);
                len += dir[ch] * dir[ch];
            }
            if (len <= 0) break;
        }
        refit(s, fit, 8, 2);
        climb(s, fit, 32, true, 2);
    }
    if (fit.error < best.error) best = fit;
}

// The block's bytes for a fit: four colours need colour0 > colour1, three
// colours (and the transparent texel) colour0 <= colour1.
void write_bc1(const ColourSet& s, const Fit& fit, uint8_t out[8]) {
    unsigned c0 = pack565(fit.q.e[0]), c1 = pack565(fit.q.e[1]);
    uint8_t remap[4] = {0, 1, 2, 3};
    if (!fit.three && c0 < c1) {
        std::swap(c0, c1);
        remap[0] = 1, remap[1] = 0, remap[2] = 3, remap[3] = 2;
    } else if (fit.three && c0 > c1) {
        std::swap(c0, c1);
        remap[0] = 1, remap[1] = 0;
    }
    // Equal endpoints decode in the three-colour mode whatever was meant:
    // every entry but the transparent one is that colour.
    const bool equal = c0 == c1;
    uint32_t bits = 0;
    for (int i = 0; i < 16; ++i) {
        const unsigned index = s.slot[i] == TRANSPARENT ? 3 : equal ? 0 : remap[fit.index[s.slot[i]]];
        bits |= uint32_t(index) << (2 * i);
    }
    write_le16(out, uint16_t(c0));
    write_le16(out + 2, uint16_t(c1));
    write_le32(out + 4, bits);
}

ColourSet colour_set(const Pixel texels[16], bool cut_out, int cutoff) {
    ColourSet s;
    s.count = 0;
    s.has_transparent = false;
    for (int i = 0; i < 16; ++i) {
        if (cut_out && int(texels[i] >> 24) < cutoff) {
            s.slot[i] = TRANSPARENT;
            s.has_transparent = true;
            continue;
        }
        s.slot[i] = uint8_t(s.count);
        for (int ch = 0; ch < 3; ++ch) s.c[ch][s.count] = float(texels[i] >> (8 * ch) & 0xFF);
        ++s.count;
    }
    for (int i = s.count; i < 16; ++i)
        for (int ch = 0; ch < 3; ++ch) s.c[ch][i] = s.count ? s.c[ch][0] : 0.0f;
    return s;
}

// `four_only`: the colour block of BC3, which GPUs always read with four colours.
void encode_colour(const Pixel texels[16], const BlockSettings& settings, bool four_only, uint8_t out[8]) {
    const ColourSet s = colour_set(texels, settings.alpha && !four_only, settings.alpha_cutoff);
    Fit best;
    best.error = 1e30f;
    if (s.count == 0) {
        best.q = Ends{};
        best.three = true;
        best.error = 0;
    } else {
        if (!s.has_transparent) fit_mode(s, settings.quality, false, best);
        // The three-colour palette seldom wins for opaque blocks (about 0.03 dB
        // over the test textures) and doubles the time: best alone tries it there.
        if (s.has_transparent || (!four_only && settings.quality == CompressQuality::best))
            fit_mode(s, settings.quality, true, best);
    }
    write_bc1(s, best, out);
}

// ---------------------------------------------------------------------------
// BC4 values

// Errors are exact integers: the eight-step palette's in 49ths, the six-step
// one's in 25ths, both scaled to 1225ths.
int64_t error_eight(const int v[16], int hi, int lo) {
    const int d = hi - lo;
    int64_t total = 0;
    for (int i = 0; i < 16; ++i) {
        const int num = 7 * (hi - v[i]);
        const int t = num <= 0 ? 0 : std::min(7, (2 * num + d) / (2 * d));
        const int e = 7 * v[i] - (7 * hi - t * d);
        total += e * e;
    }
    return total * 25;
}

int64_t error_six(const int v[16], int lo, int hi) {
    const int d = hi - lo;
    int64_t total = 0;
    for (int i = 0; i < 16; ++i) {
        int e;
        if (v[i] <= lo) {
            e = std::min(5 * v[i], 5 * (lo - v[i]));
        } else if (v[i] >= hi) {
            e = std::min(5 * (255 - v[i]), 5 * (v[i] - hi));
        } else {
            const int t = (2 * 5 * (v[i] - lo) + d) / (2 * d);
            e = 5 * v[i] - (5 * lo + t * d);
        }
        total += int64_t(e) * e;
    }
    return total * 49;
}

struct Bc4Fit {
    int lo, hi;
    bool six;
    int64_t error;
};

void try_eight(const int v[16], int lo, int hi, Bc4Fit& best) {
    if (lo < 0 || hi > 255 || lo >= hi) return;
    const int64_t e = error_eight(v, hi, lo);
    if (e < best.error) best = {lo, hi, false, e};
}

void try_six(const int v[16], int lo, int hi, Bc4Fit& best) {
    if (lo < 0 || hi > 255 || lo > hi) return;
    const int64_t e = error_six(v, lo, hi);
    if (e < best.error) best = {lo, hi, true, e};
}

// Least-squares endpoints for the eight-step palette's current indices.
bool bc4_refit(const int v[16], Bc4Fit& best) {
    const int d = best.hi - best.lo;
    float aa = 0, ab = 0, bb = 0, ax = 0, bx = 0;
    for (int i = 0; i < 16; ++i) {
        const int num = 7 * (best.hi - v[i]);
        const int t = num <= 0 ? 0 : std::min(7, (2 * num + d) / (2 * d));
        const float wa = float(7 - t) / 7.0f, wb = 1.0f - wa;  // weights of hi and lo
        aa += wa * wa, ab += wa * wb, bb += wb * wb;
        ax += wa * float(v[i]), bx += wb * float(v[i]);
    }
    const float det = aa * bb - ab * ab;
    if (det < 1e-4f) return false;
    const int hi = int(std::floor((ax * bb - bx * ab) / det + 0.5f));
    const int lo = int(std::floor((bx * aa - ax * ab) / det + 0.5f));
    const int64_t before = best.error;
    try_eight(v, std::max(lo, 0), std::min(hi, 255), best);
    return best.error < before;
}

Bc4Fit fit_bc4(const uint8_t values[16], CompressQuality quality) {
    int v[16];
    int lo = 255, hi = 0, lo6 = 255, hi6 = 0;
    for (int i = 0; i < 16; ++i) {
        v[i] = values[i];
        lo = std::min(lo, v[i]);
        hi = std::max(hi, v[i]);
        if (v[i] != 0) lo6 = std::min(lo6, v[i]);
        if (v[i] != 255) hi6 = std::max(hi6, v[i]);
    }
    Bc4Fit best{lo, lo, true, 0};
    if (lo == hi) return best;
    best.error = INT64_MAX;
    try_eight(v, lo, hi, best);
    const int radius = quality == CompressQuality::fast ? 1 : quality == CompressQuality::normal ? 3 : 8;
    for (int dl = 0; dl <= radius; ++dl)
        for (int dh = 0; dh <= radius; ++dh) try_eight(v, lo + dl, hi - dh, best);
    for (int r = 0; r < 3 && bc4_refit(v, best); ++r) {
    }
    // The six-step palette: its exact 0 and 255 take the extremes.
    if (quality != CompressQuality::fast || lo == 0 || hi == 255) {
        if (lo6 > hi6) lo6 = hi6 = lo;  // only 0 and 255
        try_six(v, lo6, hi6, best);
        for (int dl = 0; dl <= radius; ++dl)
            for (int dh = 0; dh <= radius; ++dh) try_six(v, lo6 + dl, hi6 - dh, best);
    }
    return best;
}

void write_bc4(const uint8_t values[16], const Bc4Fit& fit, uint8_t out[8]) {
    uint64_t bits = 0;
    if (!fit.six) {
        const int d = fit.hi - fit.lo;
        for (int i = 0; i < 16; ++i) {
            const int num = 7 * (fit.hi - values[i]);
            const int t = num <= 0 ? 0 : std::min(7, (2 * num + d) / (2 * d));
            const int index = t == 0 ? 0 : t == 7 ? 1 : t + 1;
            bits |= uint64_t(index) << (3 * i);
        }
        out[0] = uint8_t(fit.hi);
        out[1] = uint8_t(fit.lo);
    } else {
        const int d = fit.hi - fit.lo;
        for (int i = 0; i < 16; ++i) {
            const int x = values[i];
            int index;
            if (x <= fit.lo) {
                index = x < fit.lo - x ? 6 : 0;
            } else if (x >= fit.hi) {
                index = 255 - x < x - fit.hi ? 7 : 1;
            } else {
                const int t = (2 * 5 * (x - fit.lo) + d) / (2 * d);
                index = t == 0 ? 0 : t == 5 ? 1 : t + 1;
            }
            bits |= uint64_t(index) << (3 * i);
        }
        out[0] = uint8_t(fit.lo);
        out[1] = uint8_t(fit.hi);
    }
    for (int i = 0; i < 6; ++i) out[2 + i] = uint8_t(bits >> (8 * i));
}

}  // namespace

void encode_bc1_block(const Pixel texels[16], const BlockSettings& settings, uint8_t out[8]) {
    encode_colour(texels, settings, false, out);
}

void encode_bc3_block(const Pixel texels[16], const BlockSettings& settings, uint8_t out[16]) {
    uint8_t alpha[16];
    for (int i = 0; i < 16; ++i) alpha[i] = settings.alpha ? uint8_t(texels[i] >> 24) : 255;
    encode_bc4_block(alpha, settings.quality, out);
    encode_colour(texels, settings, true, out + 8);
}

void encode_bc4_block(const uint8_t values[16], CompressQuality quality, uint8_t out[8]) {
    write_bc4(values, fit_bc4(values, quality), out);
}

void encode_bc5_block(const uint8_t red[16], const uint8_t green[16], CompressQuality quality, uint8_t out[16]) {
    encode_bc4_block(red, quality, out);
    encode_bc4_block(green, quality, out + 8);
}

}  // namespace orvandel
