// The horizontal halving's vector path against the plain one: the same bits
// for every filter, edge and size, values out of range (the clamp) and a NaN
// included.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "builders/resample.h"
#include "test_util.h"

namespace {

TEST(HalvingIsa, VectorRowsHaveThePlainRowsBits) {
    if (runnable_isa(Isa::avx2) != Isa::avx2) GTEST_SKIP() << "no AVX2 here";
    struct Case {
        FilterKind filter;
        EdgeMode edge;
        PassMode mode;
    };
    const PassMode opaque{false, 0.0f, false}, clamped{false, 0.0f, true}, normal{false, -1.0f, true};
    const PassMode open_above{false, 0.0f, true, std::numeric_limits<float>::infinity()};
    const Case cases[] = {{FilterKind::box, EdgeMode::clamp, opaque},      {FilterKind::kaiser, EdgeMode::clamp, clamped},
                          {FilterKind::kaiser, EdgeMode::mirror, clamped}, {FilterKind::kaiser, EdgeMode::wrap, normal},
                          {FilterKind::kaiser, EdgeMode::clamp, open_above}, {FilterKind::box, EdgeMode::wrap, clamped}};
    uint32_t state = 99;
    for (const Case& c : cases)
        for (const int32_t width : {2, 3, 4, 5, 7, 16, 33, 130, 257}) {
            const Taps taps = make_taps(c.filter, c.edge, width);
            std::vector<Linear> padded(size_t(width) + 2 * size_t(taps.pad));
            for (Linear& p : padded)
                for (float& v : p.v) {
                    state = state * 1103515245u + 12345u;
                    v = float(state >> 8) / float(1 << 24) * 1.6f - 0.3f;  // some below 0, some above 1
                }
            if (width == 33) padded[size_t(taps.pad) + 9].v[1] = std::numeric_limits<float>::quiet_NaN();
            pad_row(padded.data(), taps);
            std::vector<Linear> plain(size_t(taps.out_size)), vector(size_t(taps.out_size));
            halve_row(padded.data(), taps, c.mode, plain.data(), Isa::scalar);
            halve_row(padded.data(), taps, c.mode, vector.data(), Isa::avx2);
            EXPECT_EQ(std::memcmp(plain.data(), vector.data(), sizeof(Linear) * plain.size()), 0)
                << "filter " << int(c.filter) << ", edge " << int(c.edge) << ", width " << width;
        }
}

}  // namespace
