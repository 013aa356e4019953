// The share only grows with the factor, so one histogram of each pixel's
// least step gives every share at once.
#include "builders/coverage.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace orvandel {

namespace {

constexpr int32_t MAX_FACTOR_STEP = 64000;  // factors k / 1000

// The least k for which min(1, k / 1000 a) >= threshold, or past the last step.
int32_t least_step(float alpha, double threshold) {
    if (!(alpha > 0)) return MAX_FACTOR_STEP + 1;
    const double a = alpha;
    const double guess = std::min<double>(MAX_FACTOR_STEP + 1, std::ceil(1000 * threshold / a));
    int32_t k = static_cast<int32_t>(guess);
    while (k > 0 && std::min(1.0, (k - 1) / 1000.0 * a) >= threshold) --k;
    while (k <= MAX_FACTOR_STEP && std::min(1.0, k / 1000.0 * a) < threshold) ++k;
    return k;
}

}  // namespace

double coverage_factor(const AlphaPlane& plane, const Coverage& coverage) {
    std::vector<int64_t> starting(MAX_FACTOR_STEP + 2, 0);
    for (int32_t y = 0; y < plane.height; ++y) {
        const float* row = plane.first + y * plane.row_step;
        for (int32_t x = 0; x < plane.width; ++x)
            ++starting[size_t(least_step(row[x * plane.step], coverage.threshold))];
    }
    const int64_t pixels = int64_t(plane.width) * plane.height;
    int64_t hits = 0;
    int32_t best = -1;
    int64_t best_distance = 0;
    for (int32_t k = 0; k <= MAX_FACTOR_STEP; ++k) {
        hits += starting[size_t(k)];
        // Shares compared as cross products: exact, at most 2^56.
        const int64_t distance = std::llabs(hits * coverage.count - coverage.hits * pixels);
        if (best < 0 || distance < best_distance ||
            (distance == best_distance && std::abs(k - 1000) < std::abs(best - 1000))) {
            best = k;
            best_distance = distance;
        }
    }
    return best / 1000.0;
}

}  // namespace orvandel
