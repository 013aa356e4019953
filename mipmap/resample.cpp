// Working values and the one-axis halvings of the modern builders. Filters
// are weight tables made once per input size (in double, then stored as
// float), so the passes themselves are plain multiply-adds over consecutive
// pixels. Results are clamped after every pass, as negative Kaiser lobes can
// overshoot.
#include "mipmap/resample.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <thread>

namespace orvandel {

namespace {

constexpr double PI = 3.14159265358979323846;

double srgb_to_linear(double c) { return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); }

struct DecodeTables {
    float srgb[256];
    float unit[256];
    float normal[256];
};

const DecodeTables& decode_tables() {
    static const DecodeTables tables = [] {
        DecodeTables t{};
        for (int v = 0; v < 256; ++v) {
            t.srgb[v] = static_cast<float>(srgb_to_linear(v / 255.0));
            t.unit[v] = static_cast<float>(v / 255.0);
            t.normal[v] = static_cast<float>(2.0 * v / 255.0 - 1.0);
        }
        return t;
    }();
    return tables;
}

// Encoding through a coarse table alone would be off by one near black,
// where the curve is steep; the table's guess is never above the answer and
// at most one threshold lies inside one of its 65536 steps, so one compare
// with the exact threshold finishes it.
constexpr int COARSE_STEPS = 65535;
struct SrgbEncoder {
    uint8_t coarse[COARSE_STEPS + 1];
    float threshold[257];  // the least linear value that encodes to v
};

const SrgbEncoder& srgb_encoder() {
    static const SrgbEncoder encoder = [] {
        SrgbEncoder e{};
        double threshold[257];
        // Halves round up: v starts where the encoded value reaches v - 0.5,
        // the decode of that value since the two curves are inverses.
        threshold[0] = -HUGE_VAL;
        for (int v = 1; v < 256; ++v) threshold[v] = srgb_to_linear((v - 0.5) / 255.0);
        threshold[256] = HUGE_VAL;
        for (int v = 0; v < 257; ++v) e.threshold[v] = static_cast<float>(threshold[v]);
        int v = 0;
        for (int i = 0; i <= COARSE_STEPS; ++i) {
            const double l = double(i) / COARSE_STEPS;
            while (v < 255 && l >= threshold[v + 1]) ++v;
            e.coarse[i] = static_cast<uint8_t>(v);
        }
        return e;
    }();
    return encoder;
}

uint8_t encode_normal(float n) {
    const float v = (n + 1.0f) * 127.5f + 0.5f;
    return v <= 0 ? 0 : v >= 255 ? 255 : static_cast<uint8_t>(v);
}

double bessel_i0(double x) {
    double sum = 1, term = 1;
    const double q = x * x / 4;
    for (int k = 1; k < 64 && term > 1e-17 * sum; ++k) {
        term *= q / (double(k) * k);
        sum += term;
    }
    return sum;
}

double kaiser(double x) {
    if (std::fabs(x) >= 3) return 0;
    const double sinc = x == 0 ? 1 : std::sin(PI * x) / (PI * x);
    return sinc * bessel_i0(4 * std::sqrt(1 - (x / 3) * (x / 3))) / bessel_i0(4);
}

inline void clamp_result(Linear* p, float low) {
    for (int c = 0; c < 3; ++c) p->v[c] = std::min(1.0f, std::max(low, p->v[c]));
    p->v[3] = std::min(1.0f, std::max(0.0f, p->v[3]));
}

// Sum of w a c over sum of w a, or the plain weighted sum where the alpha is
// too small to divide by.
inline Linear finish_weighted(const Linear& weighted, const Linear& plain, float low) {
    Linear out = plain;
    const float alpha = weighted.v[3];
    if (alpha >= 1.0f / 4096) {
        const float inverse = 1.0f / alpha;
        for (int c = 0; c < 3; ++c) out.v[c] = weighted.v[c] * inverse;
    }
    out.v[3] = alpha;
    clamp_result(&out, low);
    return out;
}

template <bool Weighted>
void halve_row_with(const Linear* padded, const Taps& taps, float low, Linear* out) {
    const int32_t count = taps.count;
    const float* w = taps.weights.data();
    for (int32_t i = 0; i < taps.out_size; ++i, w += count) {
        const Linear* in = padded + taps.pad + taps.first[i];
        Linear sum = {}, plain = {};
        for (int32_t t = 0; t < count; ++t) {
            if (Weighted) {
                const float wa = w[t] * in[t].v[3];
                for (int c = 0; c < 3; ++c) {
                    sum.v[c] += wa * in[t].v[c];
                    plain.v[c] += w[t] * in[t].v[c];
                }
                sum.v[3] += wa;
            } else {
                for (int c = 0; c < 4; ++c) sum.v[c] += w[t] * in[t].v[c];
            }
        }
        if (Weighted) {
            out[i] = finish_weighted(sum, plain, low);
        } else {
            clamp_result(&sum, low);
            out[i] = sum;
        }
    }
}

template <bool Weighted>
void accumulate_row(const Linear* in, float w, int32_t width, Linear* sum, Linear* plain) {
    for (int32_t x = 0; x < width; ++x) {
        if (Weighted) {
            const float wa = w * in[x].v[3];
            for (int c = 0; c < 3; ++c) {
                sum[x].v[c] += wa * in[x].v[c];
                plain[x].v[c] += w * in[x].v[c];
            }
            sum[x].v[3] += wa;
        } else {
            for (int c = 0; c < 4; ++c) sum[x].v[c] += w * in[x].v[c];
        }
    }
}

// Rows of an 8-bit block decoded as the vertical pass asks for them, in a
// small ring. A pass asks for rows in rising order but for the edges, where
// a collision only costs a second decode: each row is used at once.
struct RowCache {
    std::vector<Linear> rows;
    std::vector<int32_t> tags;
    int32_t width;
};

const Linear* fetch_row(const BlockView& block, const Coding& coding, RowCache* cache, int32_t row) {
    if (block.values) return block.values + row * block.stride;
    const size_t slot = size_t(row) % cache->tags.size();
    Linear* out = cache->rows.data() + slot * size_t(cache->width);
    if (cache->tags[slot] != row) {
        decode_row(block.pixels + row * block.stride, block.width, coding, out);
        cache->tags[slot] = row;
    }
    return out;
}

template <bool Weighted>
void halve_columns_band(const BlockView& block, const Coding& coding, const Taps& taps, float low, int32_t begin,
                        int32_t end, std::vector<Linear>* scratch, RowCache* cache, Linear* out) {
    const int32_t width = block.width;
    Linear* sum = scratch->data();
    Linear* plain = sum + width;
    for (int32_t i = begin; i < end; ++i) {
        std::fill(sum, sum + 2 * size_t(width), Linear{});
        const float* w = taps.weights.data() + size_t(i) * taps.count;
        for (int32_t t = 0; t < taps.count; ++t) {
            if (w[t] == 0) continue;
            const int32_t row = edge_index(taps.edge, taps.first[i] + t, taps.in_size);
            accumulate_row<Weighted>(fetch_row(block, coding, cache, row), w[t], width, sum, plain);
        }
        Linear* target = out + int64_t(i) * width;
        for (int32_t x = 0; x < width; ++x) {
            if (Weighted) {
                target[x] = finish_weighted(sum[x], plain[x], low);
            } else {
                target[x] = sum[x];
                clamp_result(&target[x], low);
            }
        }
    }
}

}  // namespace

ValueKind value_kind(const FilterOptions& options) {
    if (options.normal_map) return ValueKind::normal;
    return options.colour == ColourSpace::srgb ? ValueKind::srgb : ValueKind::linear;
}

Coding make_coding(ValueKind kind, bool alpha) {
    const DecodeTables& t = decode_tables();
    const float* table = kind == ValueKind::srgb ? t.srgb : kind == ValueKind::normal ? t.normal : t.unit;
    return Coding{kind, alpha, table};
}

void decode_row(const Pixel* in, int32_t count, const Coding& coding, Linear* out) {
    const float* table = coding.colour_table;
    const float* unit = decode_tables().unit;
    for (int32_t x = 0; x < count; ++x) {
        const Pixel p = in[x];
        out[x] = Linear{{table[p & 0xFF], table[(p >> 8) & 0xFF], table[(p >> 16) & 0xFF],
                         coding.alpha ? unit[p >> 24] : 1.0f}};
    }
}

uint8_t encode_srgb(float l) {
    if (!(l > 0)) return 0;
    if (l >= 1) return 255;
    const SrgbEncoder& e = srgb_encoder();
    int v = e.coarse[static_cast<int>(l * COARSE_STEPS)];
    if (l >= e.threshold[v + 1]) ++v;
    return static_cast<uint8_t>(v);
}

uint8_t encode_unit(float value) {
    const float v = value * 255.0f + 0.5f;
    return v <= 0 ? 0 : v >= 255 ? 255 : static_cast<uint8_t>(v);
}

void encode_row(const Linear* in, int32_t count, const Coding& coding, Pixel* out) {
    const auto pack = [&](auto encode) {
        for (int32_t x = 0; x < count; ++x) {
            const Linear& p = in[x];
            const Pixel alpha = coding.alpha ? Pixel(encode_unit(p.v[3])) << 24 : 0;
            out[x] = alpha | Pixel(encode(p.v[2])) << 16 | Pixel(encode(p.v[1])) << 8 | encode(p.v[0]);
        }
    };
    switch (coding.kind) {
        case ValueKind::srgb: pack(encode_srgb); break;
        case ValueKind::linear: pack(encode_unit); break;
        case ValueKind::normal: pack(encode_normal); break;
    }
}

int32_t edge_index(EdgeMode edge, int32_t j, int32_t n) {
    if (j >= 0 && j < n) return j;
    switch (edge) {
        case EdgeMode::clamp: return j < 0 ? 0 : n - 1;
        case EdgeMode::wrap: return ((j % n) + n) % n;
        case EdgeMode::mirror: {
            const int32_t k = ((j % (2 * n)) + 2 * n) % (2 * n);
            return k < n ? k : 2 * n - 1 - k;
        }
    }
    return 0;
}

Taps make_taps(FilterKind filter, EdgeMode edge, int32_t n) {
    Taps taps;
    const int32_t m = std::max(1, n / 2);
    taps.in_size = n;
    taps.out_size = m;
    // Box reads stay inside the row, so its padding (zero weights only) is clamped.
    taps.edge = filter == FilterKind::kaiser ? edge : EdgeMode::clamp;
    std::vector<std::vector<double>> weights(static_cast<size_t>(m));
    taps.first.resize(size_t(m));
    const double s = double(n) / m;
    for (int32_t i = 0; i < m; ++i) {
        std::vector<double>& w = weights[size_t(i)];
        if (filter == FilterKind::kaiser) {
            const double c = (i + 0.5) * s;
            int32_t lo = static_cast<int32_t>(std::floor(c - 3 * s - 0.5));
            const int32_t hi = static_cast<int32_t>(std::ceil(c + 3 * s - 0.5));
            double total = 0;
            for (int32_t j = lo; j <= hi; ++j) {
                w.push_back(kaiser((j + 0.5 - c) / s));
                total += w.back();
            }
            for (double& v : w) v /= total;
            // Drop the zero ends of the support.
            size_t a = 0, b = w.size();
            while (a < b && w[a] == 0) ++a;
            while (b > a && w[b - 1] == 0) --b;
            w = std::vector<double>(w.begin() + long(a), w.begin() + long(b));
            lo += int32_t(a);
            taps.first[size_t(i)] = lo;
        } else {
            // [j, j + 1) against [i s, (i + 1) s), both scaled by m to stay in integers.
            const int64_t lo = int64_t(i) * n, hi = int64_t(i + 1) * n;
            const int32_t j0 = static_cast<int32_t>(lo / m);
            for (int64_t j = j0; j * m < hi; ++j)
                w.push_back(double(std::min((j + 1) * m, hi) - std::max(j * m, lo)) / n);
            taps.first[size_t(i)] = j0;
        }
        taps.count = std::max(taps.count, int32_t(w.size()));
    }
    taps.weights.assign(size_t(m) * size_t(taps.count), 0.0f);
    for (int32_t i = 0; i < m; ++i) {
        const std::vector<double>& w = weights[size_t(i)];
        for (size_t t = 0; t < w.size(); ++t) taps.weights[size_t(i) * taps.count + t] = static_cast<float>(w[t]);
        taps.pad = std::max({taps.pad, -taps.first[size_t(i)], taps.first[size_t(i)] + taps.count - n});
    }
    return taps;
}

void pad_row(Linear* row, const Taps& taps) {
    const int32_t n = taps.in_size, pad = taps.pad;
    for (int32_t k = 1; k <= pad; ++k) {
        row[pad - k] = row[pad + edge_index(taps.edge, -k, n)];
        row[pad + n - 1 + k] = row[pad + edge_index(taps.edge, n - 1 + k, n)];
    }
}

void load_padded_row(const BlockView& block, int32_t row, const Coding& coding, const Taps& taps, Linear* out) {
    if (block.values)
        std::memcpy(static_cast<void*>(out + taps.pad), block.values + row * block.stride,
                    sizeof(Linear) * size_t(block.width));
    else
        decode_row(block.pixels + row * block.stride, block.width, coding, out + taps.pad);
    pad_row(out, taps);
}

void halve_row(const Linear* padded, const Taps& taps, const PassMode& mode, Linear* out) {
    if (mode.alpha_weighted)
        halve_row_with<true>(padded, taps, mode.colour_low, out);
    else
        halve_row_with<false>(padded, taps, mode.colour_low, out);
}

bool halve_columns(const BlockView& block, const Coding& coding, const Taps& taps, const PassMode& mode,
                   int threads, Linear* out) {
    const int bands = band_count(threads, taps.out_size, int64_t(block.width) * taps.count);
    std::vector<std::vector<Linear>> scratch(static_cast<size_t>(bands));
    std::vector<RowCache> caches(static_cast<size_t>(bands));
    try {
        for (int b = 0; b < bands; ++b) {
            scratch[size_t(b)].resize(2 * size_t(block.width));
            if (!block.values) {
                RowCache& cache = caches[size_t(b)];
                cache.width = block.width;
                cache.tags.assign(size_t(taps.count) + 4, -1);
                cache.rows.resize(cache.tags.size() * size_t(block.width));
            }
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
    run_bands(bands, taps.out_size, [&](int band, int32_t begin, int32_t end) {
        if (mode.alpha_weighted)
            halve_columns_band<true>(block, coding, taps, mode.colour_low, begin, end, &scratch[size_t(band)],
                                     &caches[size_t(band)], out);
        else
            halve_columns_band<false>(block, coding, taps, mode.colour_low, begin, end, &scratch[size_t(band)],
                                      &caches[size_t(band)], out);
    });
    return true;
}

bool halve_rows(const BlockView& block, const Coding& coding, const Taps& taps, const PassMode& mode, int threads,
                Linear* out) {
    const int bands = band_count(threads, block.height, int64_t(taps.out_size) * taps.count);
    std::vector<std::vector<Linear>> rows(static_cast<size_t>(bands));
    try {
        for (auto& row : rows) row.resize(size_t(taps.in_size) + 2 * size_t(taps.pad));
    } catch (const std::bad_alloc&) {
        return false;
    }
    run_bands(bands, block.height, [&](int band, int32_t begin, int32_t end) {
        Linear* padded = rows[size_t(band)].data();
        for (int32_t r = begin; r < end; ++r) {
            load_padded_row(block, r, coding, taps, padded);
            halve_row(padded, taps, mode, out + int64_t(r) * taps.out_size);
        }
    });
    return true;
}

void renormalise(Linear* values, int64_t count) {
    for (int64_t k = 0; k < count; ++k) {
        float* v = values[k].v;
        const float length2 = v[0] * v[0] + v[1] * v[1] + v[2] * v[2];
        if (length2 > 1e-20f) {
            const float inverse = 1.0f / std::sqrt(length2);
            for (int c = 0; c < 3; ++c) v[c] *= inverse;
        } else {
            v[0] = 0;
            v[1] = 0;
            v[2] = 1;
        }
    }
}

void run_bands(int bands, int32_t rows, const std::function<void(int, int32_t, int32_t)>& work) {
    if (bands <= 1) {
        work(0, 0, rows);
        return;
    }
    const auto begin_of = [&](int band) { return int32_t(int64_t(rows) * band / bands); };
    std::vector<std::thread> threads;
    for (int band = 1; band < bands; ++band) {
        try {
            threads.emplace_back([&work, band, begin_of] { work(band, begin_of(band), begin_of(band + 1)); });
        } catch (...) {
            work(band, begin_of(band), begin_of(band + 1));
        }
    }
    work(0, 0, begin_of(1));
    for (std::thread& thread : threads) thread.join();
}

int band_count(int threads, int32_t rows, int64_t row_work) {
    // Below this a thread costs more than it saves.
    constexpr int64_t MIN_BAND_WORK = 1 << 15;
    if (threads <= 1 || rows <= 1 || int64_t(rows) * row_work < 2 * MIN_BAND_WORK) return 1;
    return static_cast<int>(std::min<int64_t>(threads, rows));
}

bool make_linear_buffer(std::vector<Linear>* buffer, int64_t width, int64_t height) {
    size_t bytes = 0;
    if (!checked_byte_count(width, height, sizeof(Linear), &bytes)) return false;
    try {
        buffer->assign(bytes / sizeof(Linear), Linear{});
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

}  // namespace orvandel
