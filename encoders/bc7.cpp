// BC7 block encoder: 16 RGBA texels to one 16-byte block in whichever of the
// format's eight modes stores them with the least squared error on the byte
// values as stored (sRGB-encoded values stay encoded, as the GPU returns them).
// Every channel counts alike, so colour, data maps and normal maps are treated
// the same; alpha counts as a fourth channel when the settings keep it, and
// without it every block decodes to alpha 255 exactly, in every mode.
//
// Modes: a block whose texels are all one colour is written in mode 5, which
// reaches every RGBA value exactly. Opaque blocks try modes 6 (one line, 4-bit
// indices), 1 and 3 (two subsets), 0 and 2 (three subsets) and 4/5 (a colour
// channel rotated into the separately indexed scalar); blocks with alpha try
// modes 6, 5, 4 and 7. Partitioned modes shortlist the partitions by how far
// apart their subsets' means lie, rank the shortlist by the residual of a
// line through each subset, and fit only the best few.
//
// Every candidate gets a quick fit (principal axis, one quantisation, indices
// by projection); the best few get the full one: p-bit choices, least-squares
// endpoints for the indices and indices for the endpoints in turn.
//
// Quality: fast fits mode 6 and one partition of modes 1 and 3 (rotation 0 of
// modes 4 and 5 with alpha); normal two partitions and every rotation, with
// more refinement; best adds three subsets and more partitions and finalists,
// seeks every index and nudges endpoints one step at a time.
// The encoder holds no state between calls: any number of threads may call it.
#include "encoders/bc7.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace orvandel {
namespace {

struct ModeInfo {
    int subsets;
    int partition_bits;
    int rotation_bits;
    int selection_bits;
    int colour_bits;
    int alpha_bits;
    int endpoint_pbits;  // one p-bit per endpoint
    int shared_pbits;    // one p-bit per subset
    int index_bits;
    int index_bits2;
};

constexpr ModeInfo MODES[8] = {
    {3, 4, 0, 0, 4, 0, 1, 0, 3, 0}, {2, 6, 0, 0, 6, 0, 0, 1, 3, 0},
    {3, 6, 0, 0, 5, 0, 0, 0, 2, 0}, {2, 6, 0, 0, 7, 0, 1, 0, 2, 0},
    {1, 0, 2, 1, 5, 6, 0, 0, 2, 3}, {1, 0, 2, 0, 7, 8, 0, 0, 2, 2},
    {1, 0, 0, 0, 7, 7, 1, 0, 4, 0}, {2, 6, 0, 0, 5, 5, 1, 0, 2, 0},
};

// Bit i is the subset of texel i (row-major) in the two-subset partitions.
constexpr uint16_t PARTITIONS2[64] = {
    0xCCCC, 0x8888, 0xEEEE, 0xECC8, 0xC880, 0xFEEC, 0xFEC8, 0xEC80,
    0xC800, 0xFFEC, 0xFE80, 0xE800, 0xFFE8, 0xFF00, 0xFFF0, 0xF000,
    0xF710, 0x008E, 0x7100, 0x08CE, 0x008C, 0x7310, 0x3100, 0x8CCE,
    0x088C, 0x3110, 0x6666, 0x366C, 0x17E8, 0x0FF0, 0x718E, 0x399C,
    0xAAAA, 0xF0F0, 0x5A5A, 0x33CC, 0x3C3C, 0x55AA, 0x9696, 0xA55A,
    0x73CE, 0x13C8, 0x324C, 0x3BDC, 0x6996, 0xC33C, 0x9966, 0x0660,
    0x0272, 0x04E4, 0x4E40, 0x2720, 0xC936, 0x936C, 0x39C6, 0x639C,
    0x9336, 0x9CC6, 0x817E, 0xE718, 0xCCF0, 0x0FCC, 0x7744, 0xEE22,
};
// Bits 2i and 2i+1 are the subset of texel i in the three-subset partitions.
constexpr uint32_t PARTITIONS3[64] = {
    0xAA685050, 0x6A5A5040, 0x5A5A4200, 0x5450A0A8, 0xA5A50000, 0xA0A05050,
    0x5555A0A0, 0x5A5A5050, 0xAA550000, 0xAA555500, 0xAAAA5500, 0x90909090,
    0x94949494, 0xA4A4A4A4, 0xA9A59450, 0x2A0A4250, 0xA5945040, 0x0A425054,
    0xA5A5A500, 0x55A0A0A0, 0xA8A85454, 0x6A6A4040, 0xA4A45000, 0x1A1A0500,
    0x0050A4A4, 0xAAA59090, 0x14696914, 0x69691400, 0xA08585A0, 0xAA821414,
    0x50A4A450, 0x6A5A0200, 0xA9A58000, 0x5090A0A8, 0xA8A09050, 0x24242424,
    0x00AA5500, 0x24924924, 0x24499224, 0x50A50A50, 0x500AA550, 0xAAAA4444,
    0x66660000, 0xA5A0A5A0, 0x50A050A0, 0x69286928, 0x44AAAA44, 0x66666600,
    0xAA444444, 0x54A854A8, 0x95809580, 0x96969600, 0xA85454A8, 0x80959580,
    0xAA141414, 0x96960000, 0xAAAA1414, 0xA05050A0, 0xA0A5A5A0, 0x96000000,
    0x40804080, 0xA9A8A9A8, 0xAAAAAA44, 0x2A4A5254,
};
// The texel whose index is stored one bit short, for subsets 1 and 2.
constexpr uint8_t ANCHOR2[64] = {
    15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 15,
    15, 2,  8,  2,  2,  8,  8,  15, 2,  8,  2,  2,  8,  8,  2,  2,
    15, 15, 6,  8,  2,  8,  15, 15, 2,  8,  2,  2,  2,  15, 15, 6,
    6,  2,  6,  8,  15, 15, 2,  2,  15, 15, 15, 15, 15, 2,  2,  15,
};
constexpr uint8_t ANCHOR3_SECOND[64] = {
    3,  3,  15, 15, 8,  3,  15, 15, 8,  8,  6,  6,  6,  5,  3,  3,
    3,  3,  8,  15, 3,  3,  6,  10, 5,  8,  8,  6,  8,  5,  15, 15,
    8,  15, 3,  5,  6,  10, 8,  15, 15, 3,  15, 5,  15, 15, 15, 15,
    3,  15, 5,  5,  5,  8,  5,  10, 5,  10, 8,  13, 15, 12, 3,  3,
};
constexpr uint8_t ANCHOR3_THIRD[64] = {
    15, 8,  8,  3,  15, 15, 3,  8,  15, 15, 15, 15, 15, 15, 15, 8,
    15, 8,  15, 3,  15, 8,  15, 8,  3,  15, 6,  10, 15, 15, 10, 8,
    15, 3,  15, 10, 10, 8,  9,  10, 6,  15, 8,  15, 3,  6,  6,  8,
    15, 3,  15, 15, 15, 15, 15, 15, 15, 15, 15, 15, 3,  15, 15, 8,
};

constexpr uint8_t WEIGHTS2[4] = {0, 21, 43, 64};
constexpr uint8_t WEIGHTS3[8] = {0, 9, 18, 27, 37, 46, 55, 64};
constexpr uint8_t WEIGHTS4[16] = {0, 4, 9, 13, 17, 21, 26, 30, 34, 38, 43, 47, 51, 55, 60, 64};

const uint8_t* weights_for(int index_bits) {
    return index_bits == 2 ? WEIGHTS2 : index_bits == 3 ? WEIGHTS3 : WEIGHTS4;
}

int subset_of(int subsets, int partition, int texel) {
    if (subsets == 2) return PARTITIONS2[partition] >> texel & 1;
    if (subsets == 3) return PARTITIONS3[partition] >> (2 * texel) & 3;
    return 0;
}

int anchor_of(int subsets, int partition, int subset) {
    if (subset == 0) return 0;
    if (subsets == 2) return ANCHOR2[partition];
    return subset == 1 ? ANCHOR3_SECOND[partition] : ANCHOR3_THIRD[partition];
}

// An n-bit stored value widened to a byte by repeating its top bits below it.
int expand(int value, int bits) {
    return bits >= 8 ? value : (value << (8 - bits)) | (value >> (2 * bits - 8));
}

int interpolate(int e0, int e1, int weight) {
    return ((64 - weight) * e0 + weight * e1 + 32) >> 6;
}

// both_set: per-endpoint p-bits held at 1, which mode 6 needs to store an
// alpha of exactly 255.
enum class Pbits { none, per_endpoint, shared, both_set };

// For each field width (4 to 8 bits) and p-bit (none, 0, 1): the stored value
// nearest each byte. Built once, read only.
struct QuantTables {
    uint8_t nearest[5][3][256];
};

const QuantTables& quant_tables() {
    static const QuantTables tables = [] {
        QuantTables t{};
        for (int bits = 4; bits <= 8; ++bits)
            for (int p = 0; p < 3; ++p)
                for (int target = 0; target < 256; ++target) {
                    int best = 0, best_error = 1 << 30;
                    for (int q = 0; q < (1 << bits); ++q) {
                        const int value = p == 0 ? expand(q, bits) : expand(q << 1 | (p - 1), bits + 1);
                        const int error = std::abs(value - target);
                        if (error < best_error) best_error = error, best = q;
                    }
                    t.nearest[bits - 4][p][target] = static_cast<uint8_t>(best);
                }
        return t;
    }();
    return tables;
}

// The mode 5 endpoints for a colour channel value reached exactly at index 1:
// every byte has a pair (checked by the tests through the decoder).
struct SolidTable {
    uint8_t e0[256];
    uint8_t e1[256];
};

const SolidTable& solid_table() {
    static const SolidTable table = [] {
        SolidTable t{};
        for (int target = 0; target < 256; ++target) {
            int best_error = 1 << 30;
            for (int a = 0; a < 128 && best_error; ++a)
                for (int b = 0; b < 128; ++b) {
                    const int error = std::abs(interpolate(expand(a, 7), expand(b, 7), WEIGHTS2[1]) - target);
                    if (error < best_error) {
                        best_error = error;
                        t.e0[target] = static_cast<uint8_t>(a);
                        t.e1[target] = static_cast<uint8_t>(b);
                        if (!error) break;
                    }
                }
        }
        return t;
    }();
    return table;
}

enum class Search { projected, neighbours, exhaustive };

// How hard one fit works.
struct Depth {
    int refine_passes;        // index / least-squares rounds
    bool all_pbits;           // every p-bit choice fitted, not the one nearest the line's ends
    Search search;            // how widely each texel's index is sought
    bool nudge;               // endpoint steps after the refinement
};

// The search effort of one quality level: every candidate (mode, partition,
// rotation) gets a quick fit; the best few get the full one.
struct Effort {
    Depth quick;
    Depth full;
    int finalists;
    int partitions2;     // two-subset partitions given a quick fit
    int partitions3;     // three-subset partitions given a quick fit
    bool three_subsets;  // modes 0 and 2
    bool rotations;      // modes 4 and 5 with a colour channel rotated into the scalar
    // Squared error of a block (summed over texels and channels) at which
    // mode 6 alone is kept: the other modes could gain only a little there.
    int good_enough;
};

Effort effort_for(CompressQuality quality) {
    constexpr Depth quick{0, false, Search::projected, false};
    switch (quality) {
        case CompressQuality::fast: return {quick, {1, false, Search::neighbours, false}, 1, 1, 0, false, false, 16};
        case CompressQuality::normal: break;
        case CompressQuality::best:
            return {quick, {3, true, Search::exhaustive, true}, 4, 12, 8, true, true, 0};
    }
    return {quick, {2, true, Search::neighbours, false}, 1, 2, 0, false, true, 16};
}

using Texels = int[16][4];

// One subset's fit: stored endpoint values (without p-bits), p-bits, and the
// index of each member in member order.
struct SubsetFit {
    int error = 0;
    int q[2][4] = {};
    int p[2] = {};
    uint8_t index[16] = {};
};

// What a fit is asked for: which channels, how they are stored and indexed.
struct FitFormat {
    int first_channel;
    int channels;
    int bits;
    Pbits pbits;
    int index_bits;
};

struct Palette {
    int colour[16][4];
    int count;
};

int endpoint_value(const FitFormat& f, int q, int p) {
    return f.pbits == Pbits::none ? expand(q, f.bits) : expand(q << 1 | p, f.bits + 1);
}

void make_palette(const FitFormat& f, const int q[2][4], const int p[2], Palette* palette) {
    const uint8_t* weights = weights_for(f.index_bits);
    palette->count = 1 << f.index_bits;
    int e[2][4];
    for (int e_i = 0; e_i < 2; ++e_i)
        for (int c = 0; c < f.channels; ++c) e[e_i][c] = endpoint_value(f, q[e_i][c], p[e_i]);
    for (int k = 0; k < palette->count; ++k)
        for (int c = 0; c < f.channels; ++c) palette->colour[k][c] = interpolate(e[0][c], e[1][c], weights[k]);
}

int texel_error(const int* texel, const int* colour, int channels) {
    int error = 0;
    for (int c = 0; c < channels; ++c) {
        const int d = texel[c] - colour[c];
        error += d * d;
    }
    return error;
}

// Picks each member's index against the palette and gives the total error.
// The projection onto the line gives an index; the neighbours search also
// checks the entries beside it, since rounding of the palette and of the
// endpoints moves entries off even spacing.
template <int n>
int assign_indices_of(const Texels& texels, const uint8_t* members, int count, const FitFormat& f,
                   const Palette& palette, Search search, uint8_t* index) {
    const bool exhaustive = search == Search::exhaustive, projected_only = search == Search::projected;
    const int c0 = f.first_channel;
    int total = 0;
    if (exhaustive) {
        for (int i = 0; i < count; ++i) {
            const int* t = texels[members[i]] + c0;
            int best = 0, best_error = texel_error(t, palette.colour[0], n);
            for (int k = 1; k < palette.count; ++k) {
                const int error = texel_error(t, palette.colour[k], n);
                if (error < best_error) best_error = error, best = k;
            }
            index[i] = static_cast<uint8_t>(best);
            total += best_error;
        }
        return total;
    }
    const int last = palette.count - 1;
    int dir[4], dd = 0;
    for (int c = 0; c < n; ++c) {
        dir[c] = palette.colour[last][c] - palette.colour[0][c];
        dd += dir[c] * dir[c];
    }
    const float scale = dd > 0 ? float(last) / float(dd) : 0.0f;
    for (int i = 0; i < count; ++i) {
        const int* t = texels[members[i]] + c0;
        int dot = 0;
        for (int c = 0; c < n; ++c) dot += (t[c] - palette.colour[0][c]) * dir[c];
        const int k = std::min(std::max(static_cast<int>(float(dot) * scale + 0.5f), 0), last);
        int best = k, best_error = texel_error(t, palette.colour[k], n);
        if (!projected_only) {
            if (k > 0) {
                const int error = texel_error(t, palette.colour[k - 1], n);
                if (error < best_error) best_error = error, best = k - 1;
            }
            if (k < last && best == k) {
                const int error = texel_error(t, palette.colour[k + 1], n);
                if (error < best_error) best_error = error, best = k + 1;
            }
        }
        index[i] = static_cast<uint8_t>(best);
        total += best_error;
    }
    return total;
}

int assign_indices(const Texels& texels, const uint8_t* members, int count, const FitFormat& f,
                   const Palette& palette, Search search, uint8_t* index) {
    switch (f.channels) {
        case 1: return assign_indices_of<1>(texels, members, count, f, palette, search, index);
        case 3: return assign_indices_of<3>(texels, members, count, f, palette, search, index);
        default: return assign_indices_of<4>(texels, members, count, f, palette, search, index);
    }
}

// Quantises float endpoints with every p-bit choice the format allows and
// keeps the best, with its indices, in `fit` when it beats fit->error.
void quantise_and_index(const Texels& texels, const uint8_t* members, int count, const FitFormat& f,
                        const float ends[2][4], bool all_pbits, Search search, SubsetFit* fit) {
    const QuantTables& tables = quant_tables();
    int target[2][4];
    for (int e = 0; e < 2; ++e)
        for (int c = 0; c < f.channels; ++c)
            target[e][c] = static_cast<int>(std::min(std::max(ends[e][c], 0.0f), 255.0f) + 0.5f);
    // Without the full search, each p-bit is the one that brings its endpoint
    // (or, shared, both) nearest the unquantised line.
    int guess = f.pbits == Pbits::both_set ? 3 : 0;
    if (!all_pbits && (f.pbits == Pbits::per_endpoint || f.pbits == Pbits::shared)) {
        int miss[2][2] = {};
        for (int e = 0; e < 2; ++e)
            for (int p = 0; p < 2; ++p)
                for (int c = 0; c < f.channels; ++c) {
                    const int q = tables.nearest[f.bits - 4][1 + p][target[e][c]];
                    const int d = endpoint_value(f, q, p) - target[e][c];
                    miss[e][p] += d * d;
                }
        if (f.pbits == Pbits::per_endpoint)
            guess = (miss[0][1] < miss[0][0] ? 1 : 0) | (miss[1][1] < miss[1][0] ? 2 : 0);
        else
            guess = miss[0][1] + miss[1][1] < miss[0][0] + miss[1][0] ? 1 : 0;
    }
    const bool try_all = all_pbits && (f.pbits == Pbits::per_endpoint || f.pbits == Pbits::shared);
    const int combinations = !try_all ? 1 : f.pbits == Pbits::per_endpoint ? 4 : 2;
    for (int i = 0; i < combinations; ++i) {
        const int combo = try_all ? i : guess;
        SubsetFit trial;
        if (f.pbits == Pbits::per_endpoint || f.pbits == Pbits::both_set) trial.p[0] = combo & 1, trial.p[1] = combo >> 1;
        else if (f.pbits == Pbits::shared) trial.p[0] = trial.p[1] = combo;
        for (int e = 0; e < 2; ++e) {
            const int table = f.pbits == Pbits::none ? 0 : 1 + trial.p[e];
            for (int c = 0; c < f.channels; ++c) trial.q[e][c] = tables.nearest[f.bits - 4][table][target[e][c]];
        }
        Palette palette;
        make_palette(f, trial.q, trial.p, &palette);
        trial.error = assign_indices(texels, members, count, f, palette, search, trial.index);
        if (trial.error < fit->error) *fit = trial;
    }
}

// Endpoints minimising the squared error for the given indices; false when
// every member has the same weight, which leaves them undetermined.
bool least_squares(const Texels& texels, const uint8_t* members, int count, const FitFormat& f,
                   const uint8_t* index, float ends[2][4]) {
    const uint8_t* weights = weights_for(f.index_bits);
    float aa = 0, ab = 0, bb = 0, xa[4] = {}, xb[4] = {};
    for (int i = 0; i < count; ++i) {
        const float t = weights[index[i]] / 64.0f, s = 1.0f - t;
        aa += s * s;
        ab += s * t;
        bb += t * t;
        const int* texel = texels[members[i]] + f.first_channel;
        for (int c = 0; c < f.channels; ++c) {
            xa[c] += s * texel[c];
            xb[c] += t * texel[c];
        }
    }
    const float det = aa * bb - ab * ab;
    if (det < 1e-3f) return false;
    for (int c = 0; c < f.channels; ++c) {
        ends[0][c] = (bb * xa[c] - ab * xb[c]) / det;
        ends[1][c] = (aa * xb[c] - ab * xa[c]) / det;
    }
    return true;
}

// The line through the members' mean along their principal axis, cut at the
// extreme projections.
template <int n>
void principal_ends_of(const Texels& texels, const uint8_t* members, int count, int c0, float ends[2][4]) {
    int sum[4] = {0, 0, 0, 0}, products[16] = {};
    for (int i = 0; i < count; ++i) {
        const int* t = texels[members[i]] + c0;
        for (int r = 0; r < n; ++r) {
            sum[r] += t[r];
            for (int c = r; c < n; ++c) products[4 * r + c] += t[r] * t[c];
        }
    }
    const float inverse = 1.0f / float(count);
    float mean[4], cov[4][4];
    for (int r = 0; r < n; ++r) mean[r] = float(sum[r]) * inverse;
    for (int r = 0; r < n; ++r)
        for (int c = r; c < n; ++c) cov[r][c] = cov[c][r] = float(products[4 * r + c]) - float(sum[r]) * mean[c];
    // Power iteration from the channel of widest spread; rescaled only at
    // the end, as four steps cannot leave float's range.
    int widest = 0;
    for (int c = 1; c < n; ++c)
        if (cov[c][c] > cov[widest][widest]) widest = c;
    float axis[4];
    for (int c = 0; c < n; ++c) axis[c] = cov[widest][c] * (1.0f / 65536.0f);
    for (int iteration = 0; iteration < 3; ++iteration) {
        float next[4] = {};
        for (int r = 0; r < n; ++r)
            for (int c = 0; c < n; ++c) next[r] += cov[r][c] * axis[c] * (1.0f / 65536.0f);
        std::copy(next, next + n, axis);
    }
    float length = 0;
    for (int c = 0; c < n; ++c) length += axis[c] * axis[c];
    if (!(length > 1e-30f)) {
        for (int c = 0; c < n; ++c) ends[0][c] = ends[1][c] = mean[c];
        return;
    }
    length = 1.0f / std::sqrt(length);
    for (int c = 0; c < n; ++c) axis[c] *= length;
    float low = 0, high = 0;
    for (int i = 0; i < count; ++i) {
        const int* t = texels[members[i]] + c0;
        float projection = 0;
        for (int c = 0; c < n; ++c) projection += (float(t[c]) - mean[c]) * axis[c];
        low = std::min(low, projection);
        high = std::max(high, projection);
    }
    for (int c = 0; c < n; ++c) {
        ends[0][c] = mean[c] + low * axis[c];
        ends[1][c] = mean[c] + high * axis[c];
    }
}

void principal_ends(const Texels& texels, const uint8_t* members, int count, const FitFormat& f, float ends[2][4]) {
    switch (f.channels) {
        case 1: principal_ends_of<1>(texels, members, count, f.first_channel, ends); break;
        case 3: principal_ends_of<3>(texels, members, count, f.first_channel, ends); break;
        default: principal_ends_of<4>(texels, members, count, f.first_channel, ends); break;
    }
}

// Tries each stored endpoint value one step up and down, keeping any step
// that lowers the error, until no step does or the budget runs out.
void nudge_endpoints(const Texels& texels, const uint8_t* members, int count, const FitFormat& f,
                     Search search, SubsetFit* fit) {
    const int top = (1 << f.bits) - 1;
    // A channel every member shares is already stored as near as it can be
    // (an opaque block's alpha among them, which must stay exactly 255).
    bool constant[4];
    for (int c = 0; c < f.channels; ++c) {
        constant[c] = true;
        for (int i = 1; i < count; ++i)
            constant[c] = constant[c] && texels[members[i]][f.first_channel + c] == texels[members[0]][f.first_channel + c];
    }
    for (int round = 0; round < 4; ++round) {
        bool improved = false;
        for (int e = 0; e < 2; ++e)
            for (int c = 0; c < f.channels; ++c)
                for (int step = -1; step <= 1; step += 2) {
                    if (constant[c]) continue;
                    SubsetFit trial = *fit;
                    trial.q[e][c] += step;
                    if (trial.q[e][c] < 0 || trial.q[e][c] > top) continue;
                    Palette palette;
                    make_palette(f, trial.q, trial.p, &palette);
                    trial.error = assign_indices(texels, members, count, f, palette, search, trial.index);
                    if (trial.error < fit->error) *fit = trial, improved = true;
                }
        if (!improved) break;
    }
}

// A subset's principal-axis line, kept so that modes sharing a partition (or
// a rotation) and differing only in how they store it compute it once.
struct Start {
    bool known = false;
    float ends[2][4];
};

SubsetFit fit_subset(const Texels& texels, const uint8_t* members, int count, const FitFormat& f,
                     const Depth& depth, Start* start) {
    SubsetFit fit;
    fit.error = 1 << 30;
    if (!start->known) {
        principal_ends(texels, members, count, f, start->ends);
        start->known = true;
    }
    float ends[2][4];
    std::memcpy(ends, start->ends, sizeof ends);
    quantise_and_index(texels, members, count, f, ends, depth.all_pbits, depth.search, &fit);
    for (int pass = 0; pass < depth.refine_passes && fit.error > 0; ++pass) {
        if (!least_squares(texels, members, count, f, fit.index, ends)) break;
        const int before = fit.error;
        quantise_and_index(texels, members, count, f, ends, depth.all_pbits, depth.search, &fit);
        if (fit.error >= before) break;
    }
    if (depth.nudge && fit.error > 0) nudge_endpoints(texels, members, count, f, depth.search, &fit);
    return fit;
}

// A whole block's choice before packing.
struct Candidate {
    int error = 1 << 30;
    int mode = -1;
    int partition = 0;
    int rotation = 0;
    int selection = 0;
    SubsetFit subset[3];   // modes 4 and 5: [0] colour, [1] the scalar channel
    uint8_t members[3][16];
    int member_count[3] = {};
    Start starts[3];  // the lines the fits started from
};

// Least significant bit first, as the block is read.
struct BitWriter {
    uint8_t* out;
    int position = 0;
    void put(uint32_t value, int bits) {
        for (int i = 0; i < bits; ++i, ++position)
            if (value >> i & 1) out[position >> 3] |= static_cast<uint8_t>(1u << (position & 7));
    }
};

// Swaps a subset's endpoints (and p-bits) and mirrors its indices so that its
// anchor's index has a clear top bit, as the format requires.
void orient(SubsetFit* fit, int anchor_member, int index_bits, int channels) {
    const int top = (1 << index_bits) - 1;
    if (fit->index[anchor_member] <= top >> 1) return;
    for (int c = 0; c < channels; ++c) std::swap(fit->q[0][c], fit->q[1][c]);
    std::swap(fit->p[0], fit->p[1]);
    for (int i = 0; i < 16; ++i) fit->index[i] = static_cast<uint8_t>(top - fit->index[i]);
}

void pack(Candidate c, uint8_t out[16]) {
    const ModeInfo& m = MODES[c.mode];
    std::memset(out, 0, 16);
    BitWriter w{out};
    w.put(1u << c.mode, c.mode + 1);
    w.put(c.partition, m.partition_bits);
    w.put(c.rotation, m.rotation_bits);
    w.put(c.selection, m.selection_bits);
    // Member position of each texel within its subset.
    int subset_of_texel[16], position_of_texel[16];
    for (int s = 0; s < m.subsets; ++s)
        for (int i = 0; i < c.member_count[s]; ++i) {
            subset_of_texel[c.members[s][i]] = s;
            position_of_texel[c.members[s][i]] = i;
        }
    if (m.subsets > 1 || m.alpha_bits == 0 || c.mode == 6) {
        const int channels = m.alpha_bits ? 4 : 3;
        for (int s = 0; s < m.subsets; ++s) {
            const int anchor = anchor_of(m.subsets, c.partition, s);
            orient(&c.subset[s], position_of_texel[anchor], m.index_bits, channels);
        }
        for (int ch = 0; ch < channels; ++ch)
            for (int s = 0; s < m.subsets; ++s)
                for (int e = 0; e < 2; ++e) w.put(c.subset[s].q[e][ch], ch < 3 ? m.colour_bits : m.alpha_bits);
        for (int s = 0; s < m.subsets; ++s)
            for (int e = 0; e < m.endpoint_pbits * 2; ++e) w.put(c.subset[s].p[e], 1);
        for (int s = 0; s < m.subsets && m.shared_pbits; ++s) w.put(c.subset[s].p[0], 1);
        for (int t = 0; t < 16; ++t) {
            const int s = subset_of_texel[t];
            const bool anchor = t == anchor_of(m.subsets, c.partition, s);
            w.put(c.subset[s].index[position_of_texel[t]], m.index_bits - (anchor ? 1 : 0));
        }
        return;
    }
    // Modes 4 and 5: colour and the scalar channel each with their own indices;
    // mode 4's selection bit gives colour the 3-bit set.
    SubsetFit& colour = c.subset[0];
    SubsetFit& scalar = c.subset[1];
    const int colour_index_bits = c.selection ? m.index_bits2 : m.index_bits;
    const int scalar_index_bits = c.selection ? m.index_bits : m.index_bits2;
    orient(&colour, 0, colour_index_bits, 3);
    orient(&scalar, 0, scalar_index_bits, 1);
    for (int ch = 0; ch < 3; ++ch)
        for (int e = 0; e < 2; ++e) w.put(colour.q[e][ch], m.colour_bits);
    for (int e = 0; e < 2; ++e) w.put(scalar.q[e][0], m.alpha_bits);
    const SubsetFit& primary = c.selection ? scalar : colour;
    const SubsetFit& secondary = c.selection ? colour : scalar;
    for (int t = 0; t < 16; ++t) w.put(primary.index[t], m.index_bits - (t == 0 ? 1 : 0));
    for (int t = 0; t < 16; ++t) w.put(secondary.index[t], m.index_bits2 - (t == 0 ? 1 : 0));
}

// Residual of a line fit to one subset from its moments (the channel sums,
// then the products of each channel pair): total variance less the variance
// along an estimate of the principal axis (the covariance row of the widest
// channel, whose Rayleigh quotient is one power step from that channel's
// axis). Cheap enough to run on all 64 partitions; it errs high, never low.
template <int Channels>
float line_residual(const int* moments, int count) {
    if (count < 2) return 0;
    float cov[Channels][Channels];
    const int* sums = moments;
    const int* products = moments + Channels;
    const float inverse = 1.0f / float(count);
    for (int r = 0, k = 0; r < Channels; ++r)
        for (int c = r; c < Channels; ++c, ++k)
            cov[r][c] = cov[c][r] = float(products[k]) - float(sums[r]) * float(sums[c]) * inverse;
    float trace = 0;
    int widest = 0;
    for (int c = 0; c < Channels; ++c) {
        trace += cov[c][c];
        if (cov[c][c] > cov[widest][widest]) widest = c;
    }
    if (trace <= 0) return 0;
    float w[Channels] = {}, vv = 0, vw = 0;
    for (int r = 0; r < Channels; ++r) {
        for (int c = 0; c < Channels; ++c) w[r] += cov[r][c] * cov[widest][c];
        vv += cov[widest][r] * cov[widest][r];
        vw += cov[widest][r] * w[r];
    }
    if (vv <= 0) return trace;
    return std::max(trace - vw / vv, 0.0f);
}

// Which texels (bit t) each subset of each partition holds, for both kinds.
struct PartitionMasks {
    uint16_t two[64][2];
    uint16_t three[64][3];
    uint8_t two_count[64][2];  // texels in each subset
    uint8_t three_count[64][3];
};

const PartitionMasks& partition_masks() {
    static const PartitionMasks masks = [] {
        PartitionMasks m{};
        for (int p = 0; p < 64; ++p)
            for (int t = 0; t < 16; ++t) {
                m.two[p][subset_of(2, p, t)] |= static_cast<uint16_t>(1u << t);
                m.three[p][subset_of(3, p, t)] |= static_cast<uint16_t>(1u << t);
                ++m.two_count[p][subset_of(2, p, t)];
                ++m.three_count[p][subset_of(3, p, t)];
            }
        return m;
    }();
    return masks;
}

// The `keep` smallest of 0 .. count-1 by `better`, in order, into `out`:
// insertion into a short sorted list, cheaper than a heap for so few.
template <typename Better>
int best_few(int count, int keep, Better better, int* out) {
    int kept = 0;
    for (int i = 0; i < count; ++i) {
        if (kept == keep && !better(i, out[kept - 1])) continue;
        int at = kept < keep ? kept++ : kept - 1;
        while (at > 0 && better(i, out[at - 1])) {
            out[at] = out[at - 1];
            --at;
        }
        out[at] = i;
    }
    return kept;
}

// The `keep` partitions (of the first `available`) with the smallest summed
// line residuals among a shortlist, best first. Integer moments make every
// sum exact.
template <int Channels>
int rank_partitions(const Texels& texels, int subsets, int available, int keep, int* chosen) {
    constexpr int terms = Channels + Channels * (Channels + 1) / 2;
    int moments[16][terms], total[terms] = {};
    for (int t = 0; t < 16; ++t) {
        int k = 0;
        for (int c = 0; c < Channels; ++c) moments[t][k++] = texels[t][c];
        for (int r = 0; r < Channels; ++r)
            for (int c = r; c < Channels; ++c) moments[t][k++] = texels[t][r] * texels[t][c];
        for (int i = 0; i < terms; ++i) total[i] += moments[t][i];
    }
    // The moments of every subset of each row's four texels, by the row's
    // four bits of a partition mask: four additions a subset instead of one
    // a texel.
    int rows[4][16][terms];
    for (int row = 0; row < 4; ++row) {
        std::fill(rows[row][0], rows[row][0] + terms, 0);
        for (int nibble = 1; nibble < 16; ++nibble) {
            const int low = __builtin_ctz(nibble);
            for (int i = 0; i < terms; ++i) rows[row][nibble][i] = rows[row][nibble & (nibble - 1)][i] + moments[4 * row + low][i];
        }
    }
    const PartitionMasks& masks = partition_masks();
    auto subset_moments = [&](int partition, int count_terms, int part[3][terms], int count[3]) {
        for (int s = 1; s < subsets; ++s) {
            const unsigned mask = subsets == 2 ? masks.two[partition][s] : masks.three[partition][s];
            count[s] = subsets == 2 ? masks.two_count[partition][s] : masks.three_count[partition][s];
            for (int row = 0; row < 4; ++row) {
                const int* add = rows[row][mask >> (4 * row) & 15];
                for (int i = 0; i < count_terms; ++i) part[s][i] += add[i];
            }
        }
        count[0] = 16 - count[1] - count[2];
        for (int i = 0; i < count_terms; ++i) part[0][i] = total[i] - part[1][i] - part[2][i];
    };
    // First every partition by how far apart its subsets' means lie (the
    // squared error to those means, less the part every partition shares),
    // which needs the sums alone; then the best of those by line residual.
    float score[64];
    for (int partition = 0; partition < available; ++partition) {
        int part[3][terms] = {}, count[3] = {};
        subset_moments(partition, Channels, part, count);
        score[partition] = 0;
        for (int s = 0; s < subsets; ++s) {
            if (!count[s]) continue;
            float squared = 0;
            for (int c = 0; c < Channels; ++c) squared += float(part[s][c]) * float(part[s][c]);
            score[partition] -= squared / float(count[s]);
        }
    }
    // Ties keep the lower partition number, so the choice is the same everywhere.
    auto better = [&](int a, int b) { return score[a] < score[b] || (score[a] == score[b] && a < b); };
    int order[64];
    const int shortlist = best_few(available, std::min(available, std::max(16, 2 * keep)), better, order);
    for (int i = 0; i < shortlist; ++i) {
        const int partition = order[i];
        int part[3][terms] = {}, count[3] = {};
        subset_moments(partition, terms, part, count);
        score[partition] = 0;
        for (int s = 0; s < subsets; ++s) score[partition] += line_residual<Channels>(part[s], count[s]);
    }
    int shortlisted[64];
    std::copy(order, order + shortlist, shortlisted);
    int picked[64];
    keep = best_few(shortlist, std::min(keep, shortlist), [&](int a, int b) { return better(shortlisted[a], shortlisted[b]); }, picked);
    for (int i = 0; i < keep; ++i) chosen[i] = shortlisted[picked[i]];
    return keep;
}

// One way to store a block: the mode and its partition, rotation and index
// selection.
struct Layout {
    int mode;
    int partition;
    int rotation;
    int selection;
};

// Fits a block as `layout` says. Stops early, with an error at or above
// `bound`, once the running sum reaches it.
// `starts` holds the lines of the subsets (modes 4 and 5: colour, then the
// scalar) for candidates of the same partition or rotation.
Candidate evaluate(const Texels& texels, const Layout& layout, const Depth& depth, int bound, Start starts[3]) {
    const ModeInfo& m = MODES[layout.mode];
    Candidate c;
    c.mode = layout.mode;
    c.partition = layout.partition;
    c.rotation = layout.rotation;
    c.selection = layout.selection;
    c.error = 0;
    if (layout.mode == 4 || layout.mode == 5) {
        // The rotation swaps a colour channel with alpha before the fit (the
        // decoder swaps it back), so any one channel can have its own indices.
        Texels rotated;
        std::memcpy(rotated, texels, sizeof rotated);
        if (layout.rotation)
            for (int t = 0; t < 16; ++t) std::swap(rotated[t][layout.rotation - 1], rotated[t][3]);
        c.member_count[0] = 16;
        for (int t = 0; t < 16; ++t) c.members[0][t] = static_cast<uint8_t>(t);
        const int colour_index_bits = layout.selection ? m.index_bits2 : m.index_bits;
        const int scalar_index_bits = layout.selection ? m.index_bits : m.index_bits2;
        const FitFormat scalar{3, 1, m.alpha_bits, Pbits::none, scalar_index_bits};
        c.subset[1] = fit_subset(rotated, c.members[0], 16, scalar, depth, &starts[1]);
        c.error = c.subset[1].error;
        if (c.error >= bound) return c;
        const FitFormat colour{0, 3, m.colour_bits, Pbits::none, colour_index_bits};
        c.subset[0] = fit_subset(rotated, c.members[0], 16, colour, depth, &starts[0]);
        c.error += c.subset[0].error;
        std::copy(starts, starts + 3, c.starts);
        return c;
    }
    for (int t = 0; t < 16; ++t) {
        const int s = subset_of(m.subsets, layout.partition, t);
        c.members[s][c.member_count[s]++] = static_cast<uint8_t>(t);
    }
    Pbits pbits = m.endpoint_pbits ? Pbits::per_endpoint : m.shared_pbits ? Pbits::shared : Pbits::none;
    int channels = m.alpha_bits ? 4 : 3;
    // An opaque block in mode 6 keeps alpha out of the fit and stores it as
    // 127 with p-bit 1 at both ends: 255, exactly.
    const bool opaque_single = layout.mode == 6 && std::all_of(texels, texels + 16, [](const int* t) { return t[3] == 255; });
    if (opaque_single) pbits = Pbits::both_set, channels = 3;
    const FitFormat f{0, channels, m.colour_bits, pbits, m.index_bits};
    for (int s = 0; s < m.subsets; ++s) {
        c.subset[s] = fit_subset(texels, c.members[s], c.member_count[s], f, depth, &starts[s]);
        c.error += c.subset[s].error;
        if (c.error >= bound) return c;
    }
    if (opaque_single) c.subset[0].q[0][3] = c.subset[0].q[1][3] = 127;
    std::copy(starts, starts + 3, c.starts);
    return c;
}

// The best few candidates of the quick round, lowest error first.
struct Finalists {
    Candidate entry[4];
    int count = 0;
    int capacity = 1;

    int bound() const { return count < capacity || count < 1 ? (1 << 30) : entry[count - 1].error; }
    void offer(const Candidate& c) {
        if (c.error >= bound()) return;
        int at = count < capacity ? count++ : count - 1;
        while (at > 0 && entry[at - 1].error > c.error) {
            entry[at] = entry[at - 1];
            --at;
        }
        entry[at] = c;
    }
};

void encode_solid(const int* colour, uint8_t out[16]) {
    const SolidTable& table = solid_table();
    Candidate c;
    c.mode = 5;
    c.member_count[0] = 16;
    for (int t = 0; t < 16; ++t) {
        c.members[0][t] = static_cast<uint8_t>(t);
        c.subset[0].index[t] = 1;
        c.subset[1].index[t] = 0;
    }
    for (int ch = 0; ch < 3; ++ch) {
        c.subset[0].q[0][ch] = table.e0[colour[ch]];
        c.subset[0].q[1][ch] = table.e1[colour[ch]];
    }
    c.subset[1].q[0][0] = c.subset[1].q[1][0] = colour[3];
    pack(c, out);
}

}  // namespace

void encode_bc7_block(const Pixel texels[16], const BlockSettings& settings, uint8_t out[16]) {
    Texels block;
    bool opaque = true, solid = true;
    for (int t = 0; t < 16; ++t) {
        for (int c = 0; c < 3; ++c) block[t][c] = int(texels[t] >> (8 * c) & 0xFF);
        block[t][3] = settings.alpha ? int(texels[t] >> 24) : 255;
        opaque = opaque && block[t][3] == 255;
        solid = solid && std::equal(block[t], block[t] + 4, block[0]);
    }
    if (solid) {
        encode_solid(block[0], out);
        return;
    }
    const Effort effort = effort_for(settings.quality);
    Finalists finalists;
    finalists.capacity = effort.finalists;
    auto consider = [&](int mode, int partition, int rotation, int selection, Start starts[3]) {
        finalists.offer(evaluate(block, Layout{mode, partition, rotation, selection}, effort.quick, finalists.bound(), starts));
    };
    {
        Start starts[3];
        consider(6, 0, 0, 0, starts);
    }
    if (finalists.entry[0].error > effort.good_enough) {
        int chosen[64];
        const int first_rotation = opaque ? 1 : 0;
        if (effort.rotations || !opaque)
            for (int rotation = first_rotation; rotation < (effort.rotations ? 4 : 1); ++rotation) {
                Start starts[3];
                consider(5, 0, rotation, 0, starts);
                consider(4, 0, rotation, 0, starts);
                consider(4, 0, rotation, 1, starts);
            }
        if (opaque) {
            const int two = rank_partitions<3>(block, 2, 64, effort.partitions2, chosen);
            for (int i = 0; i < two; ++i) {
                Start starts[3];
                consider(1, chosen[i], 0, 0, starts);
                consider(3, chosen[i], 0, 0, starts);
            }
            if (effort.three_subsets) {
                const int three = rank_partitions<3>(block, 3, 64, effort.partitions3, chosen);
                for (int i = 0; i < three; ++i) {
                    Start starts[3];
                    consider(2, chosen[i], 0, 0, starts);
                    if (chosen[i] < 16) consider(0, chosen[i], 0, 0, starts);
                }
                const int three0 = rank_partitions<3>(block, 3, 16, effort.partitions3, chosen);
                for (int i = 0; i < three0; ++i) {
                    Start starts[3];
                    consider(0, chosen[i], 0, 0, starts);
                }
            }
        } else {
            const int two = rank_partitions<4>(block, 2, 64, effort.partitions2, chosen);
            for (int i = 0; i < two; ++i) {
                Start starts[3];
                consider(7, chosen[i], 0, 0, starts);
            }
        }
    }
    // The full fit starts where the quick one did and keeps only what it
    // improves, so a finalist's full fit is never worse than its quick one.
    Candidate best = finalists.entry[0];
    for (int i = 0; i < finalists.count && best.error > 0; ++i) {
        const Candidate& f = finalists.entry[i];
        Start starts[3] = {f.starts[0], f.starts[1], f.starts[2]};
        const Candidate c =
            evaluate(block, Layout{f.mode, f.partition, f.rotation, f.selection}, effort.full, best.error, starts);
        if (c.error < best.error) best = c;
    }
    pack(best, out);
}

}  // namespace orvandel
