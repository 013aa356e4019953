// Alpha coverage kept from level to level: the share of a source's pixels
// whose alpha is at or above a threshold, and the factor that gives a level
// the share closest to it. One search for the 8-bit and the float builders,
// so both scale alpha alike.
#ifndef ORVANDEL_BUILDERS_COVERAGE_H
#define ORVANDEL_BUILDERS_COVERAGE_H

#include <cstdint>

namespace orvandel {

// The target: the share of source pixels at or above the threshold.
struct Coverage {
    double threshold;
    int64_t hits;   // source pixels with alpha >= threshold
    int64_t count;  // source pixels
};

// Alphas of one block, wherever they are stored.
struct AlphaPlane {
    const float* first;
    int64_t step;      // floats from one pixel to the next
    int64_t row_step;  // floats from one row to the next
    int32_t width, height;
};

// The factor f, a multiple of 1/1000 up to 64, for which min(1, f a) over
// the plane has the share at or above the threshold closest to the
// source's; among equals the one closest to 1.
double coverage_factor(const AlphaPlane& plane, const Coverage& coverage);

}  // namespace orvandel

#endif
