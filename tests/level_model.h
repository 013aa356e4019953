// The modern levels in double precision, written straight from the filter
// definitions, for the tests of the 8-bit and the float builders.
#ifndef ORVANDEL_TESTS_LEVEL_MODEL_H
#define ORVANDEL_TESTS_LEVEL_MODEL_H

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>
#include <vector>

#include "builders/filter_options.h"

namespace model {

using namespace orvandel;

// The modern levels again, in double precision and written straight from
// their definitions: one weight list per output pixel, no tables, no bands.

using Px = std::array<double, 4>;
struct Block {
    int w = 0, h = 0;
    std::vector<Px> p;
    Px& at(int x, int y) { return p[size_t(y * w + x)]; }
};

struct Case {
    int w, h;
    FilterKind filter;
    ColourSpace colour;
    EdgeMode edge;
    bool alpha, normal;
    double coverage;
};

inline double to_linear(double c) { return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); }
inline double to_srgb(double l) { return l <= 0.0031308 ? 12.92 * l : 1.055 * std::pow(l, 1 / 2.4) - 0.055; }

inline double decode(int v, const Case& c) {
    if (c.normal) return 2.0 * v / 255 - 1;
    return c.colour == ColourSpace::srgb ? to_linear(v / 255.0) : v / 255.0;
}
// An 8-bit value, and whether the exact value lies so near a half step (1e-3
// of a step) that float arithmetic may round it either way.
struct Step {
    int value;
    bool either;
};
inline Step nearest_step(double x) {
    const double y = x * 255;
    return {int(std::floor(y + 0.5)), std::fabs(y - std::floor(y) - 0.5) < 1e-3};
}
inline Step encode(double x, const Case& c) {
    if (c.normal) x = (x + 1) / 2;
    else if (c.colour == ColourSpace::srgb) x = to_srgb(x);
    return nearest_step(x);
}

inline double bessel_i0(double x) {
    double sum = 0, term = 1;
    for (int k = 1; k < 40; ++k) sum += term, term *= (x / 2) * (x / 2) / (double(k) * k);
    return sum;
}

// (input pixel, weight) pairs of output pixel i of a halving of n pixels.
inline std::vector<std::pair<int, double>> weights(const Case& c, int n, int i) {
    const int m = std::max(1, n / 2);
    const double s = double(n) / m, centre = (i + 0.5) * s;
    std::vector<std::pair<int, double>> out;
    double total = 0;
    for (int j = int(centre - 3 * s) - 2; j < int(centre + 3 * s) + 2; ++j) {
        double w = 0;
        if (c.filter == FilterKind::box) {
            w = std::max(0.0, std::min(j + 1.0, centre + s / 2) - std::max(double(j), centre - s / 2)) / s;
        } else {
            const double x = (j + 0.5 - centre) / s;
            if (std::fabs(x) < 3) {
                const double sinc = x == 0 ? 1 : std::sin(M_PI * x) / (M_PI * x);
                w = sinc * bessel_i0(4 * std::sqrt(1 - x * x / 9)) / bessel_i0(4);
            }
        }
        if (w == 0) continue;
        int k = j;
        if (c.edge == EdgeMode::clamp) k = std::min(n - 1, std::max(0, j));
        if (c.edge == EdgeMode::wrap) k = ((j % n) + n) % n;
        if (c.edge == EdgeMode::mirror) k = ((j % (2 * n)) + 2 * n) % (2 * n), k = k < n ? k : 2 * n - 1 - k;
        out.push_back({k, w});
        total += w;
    }
    for (auto& tap : out) tap.second /= total;
    return out;
}

// `high`: the colour's upper bound (unbounded for float sources).
inline Block halve(Block in, bool across, const Case& c, double high = 1) {
    Block out;
    out.w = across ? std::max(1, in.w / 2) : in.w;
    out.h = across ? in.h : std::max(1, in.h / 2);
    out.p.resize(size_t(out.w * out.h));
    const double low = c.normal ? -1 : 0;
    for (int y = 0; y < out.h; ++y)
        for (int x = 0; x < out.w; ++x) {
            Px sum{}, plain{};
            for (auto [k, w] : weights(c, across ? in.w : in.h, across ? x : y)) {
                const Px& q = across ? in.at(k, y) : in.at(x, k);
                const double wa = c.alpha && !c.normal ? w * q[3] : w;
                for (int ch = 0; ch < 3; ++ch) sum[ch] += wa * q[ch], plain[ch] += w * q[ch];
                sum[3] += w * q[3];
            }
            Px& o = out.at(x, y);
            for (int ch = 0; ch < 3; ++ch) {
                const double weighted = c.alpha && !c.normal ? (sum[3] >= 1.0 / 4096 ? sum[ch] / sum[3] : plain[ch])
                                                             : sum[ch];
                o[ch] = std::min(high, std::max(low, weighted));
            }
            o[3] = std::min(1.0, std::max(0.0, sum[3]));
        }
    return out;
}

// A finished block or level of a normal map: unit vectors again.
inline Block renormalised(Block out, const Case& c) {
    if (c.normal)
        for (Px& q : out.p) {
            const double length = std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2]);
            if (length > 0) q = {q[0] / length, q[1] / length, q[2] / length, q[3]};
            else q = {0, 0, 1, q[3]};
        }
    return out;
}

}  // namespace model

#endif
