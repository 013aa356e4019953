// The horizontal halving's vector path against the plain one: the same bits
// for every filter, edge and size, values out of range (the clamp) and a NaN.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <vector>

#include "builders/resample.h"
#include "test_util.h"

namespace {

TEST(HalvingIsa, VectorRowsHaveThePlainRowsBits) {
    if (runnable_isa(Isa::avx2) != Isa::avx2) GTEST_SKIP() << "no AVX2 here";
    const PassMode plain{false, 0.0f, false}, clamped{false, 0.0f, true}, normal{false, -1.0f, true};
    const struct {
        FilterKind filter;
        EdgeMode edge;
        PassMode mode;
    } cases[] = {{FilterKind::box, EdgeMode::clamp, plain},       {FilterKind::kaiser, EdgeMode::clamp, clamped},
                 {FilterKind::kaiser, EdgeMode::mirror, clamped}, {FilterKind::kaiser, EdgeMode::wrap, normal}};
    uint32_t state = 99;
    for (const auto& c : cases)
        for (const int32_t width : {2, 3, 5, 16, 33, 130, 257}) {
            const Taps taps = make_taps(c.filter, c.edge, width);
            std::vector<Linear> padded(size_t(width) + 2 * size_t(taps.pad)), scalar(size_t(taps.out_size)), avx2;
            for (Linear& p : padded)
                for (float& v : p.v) v = float((state = state * 1103515245u + 12345u) >> 8) / float(1 << 24) * 1.6f - 0.3f;
            padded[size_t(taps.pad)].v[1] = std::numeric_limits<float>::quiet_NaN();
            pad_row(padded.data(), taps);
            avx2 = scalar;
            halve_row(padded.data(), taps, c.mode, scalar.data(), Isa::scalar);
            halve_row(padded.data(), taps, c.mode, avx2.data(), Isa::avx2);
            EXPECT_EQ(std::memcmp(scalar.data(), avx2.data(), sizeof(Linear) * scalar.size()), 0)
                << "filter " << int(c.filter) << ", edge " << int(c.edge) << ", width " << width;
        }
}

}  // namespace
