// The passes on rows of three planes against the Linear passes they stand in
// for, on every instruction set level the processor has: the same bits for
// every colour value, at sizes that reach the vector loops' tails, with values
// out of range (the clamps) and a NaN among them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "builders/planar_rows.h"

using namespace orvandel;

namespace {

const Isa LEVELS[] = {Isa::scalar, Isa::sse2, Isa::ssse3, Isa::avx2, Isa::avx512};

float next_value(uint32_t* state) {
    *state = *state * 1103515245u + 12345u;
    return float(*state >> 8) / float(1 << 24) * 1.6f - 0.3f;
}

// Linear pixels, alpha 1, and the same colours as a row of planes.
struct TwoRows {
    std::vector<Linear> linear;
    std::vector<float> planes;
};

TwoRows make_rows(int32_t width, int32_t linear_pad, const PlaneLayout& layout, uint32_t* state) {
    TwoRows rows{std::vector<Linear>(size_t(width) + 2 * size_t(linear_pad)), std::vector<float>(row_floats(layout))};
    for (int32_t x = 0; x < width; ++x)
        for (int c = 0; c < 3; ++c) {
            const float v = x == width / 2 && c == 1 ? std::numeric_limits<float>::quiet_NaN() : next_value(state);
            rows.linear[size_t(linear_pad + x)].v[c] = v;
            rows.linear[size_t(linear_pad + x)].v[3] = 1.0f;
            rows.planes[size_t(c * layout.stride + layout.pad + x)] = v;
        }
    return rows;
}

// Colour c of `count` Linear values against plane c of a row.
void expect_same_bits(const Linear* expected, const float* row, const PlaneLayout& layout, int32_t count,
                      const std::string& what) {
    for (int c = 0; c < 3; ++c)
        for (int32_t x = 0; x < count; ++x) {
            const float got = row[c * layout.stride + layout.pad + x];
            ASSERT_EQ(std::memcmp(&got, &expected[x].v[c], sizeof got), 0)
                << what << ": value " << x << " of colour " << c << ", " << got << " against " << expected[x].v[c];
        }
}

TEST(PlanarRows, HalvingsHaveTheLinearHalvingsBits) {
    const PassMode plain{false, 0.0f, false}, clamped{false, 0.0f, true}, normal{false, -1.0f, true};
    const struct {
        FilterKind filter;
        EdgeMode edge;
        PassMode mode;
    } cases[] = {{FilterKind::box, EdgeMode::clamp, plain},
                 {FilterKind::kaiser, EdgeMode::clamp, clamped},
                 {FilterKind::kaiser, EdgeMode::mirror, clamped},
                 {FilterKind::kaiser, EdgeMode::wrap, normal}};
    uint32_t state = 5;
    for (const auto& c : cases)
        for (const int32_t width : {2, 3, 5, 16, 33, 130, 257, 1000})
            for (Isa isa : LEVELS) {
                if (runnable_isa(isa) != isa) continue;
                const Taps taps = make_taps(c.filter, c.edge, width);
                const PlaneLayout layout = plane_layout(width, taps.pad);
                TwoRows rows = make_rows(width, taps.pad, layout, &state);
                pad_row(rows.linear.data(), taps);
                pad_planes(rows.planes.data(), layout, taps);
                std::vector<Linear> expected(size_t(taps.out_size));
                halve_row(rows.linear.data(), taps, c.mode, expected.data(), Isa::scalar);
                std::vector<float> out(rows.planes.size()), scratch(split_floats(layout));
                halve_planes(rows.planes.data(), layout, taps, c.mode, scratch.data(), out.data(), isa);
                expect_same_bits(expected.data(), out.data(), layout, taps.out_size,
                                 std::string(isa_name(isa)) + ", case " + std::to_string(&c - cases) + ", width " +
                                     std::to_string(width));
            }
}

TEST(PlanarRows, ColumnSumsHaveTheLinearSumsBits) {
    const Taps kaiser = make_taps(FilterKind::kaiser, EdgeMode::clamp, 64);
    uint32_t state = 11;
    for (const PassMode mode : {PassMode{false, 0.0f, true}, PassMode{false, 0.0f, false}})
        for (const int32_t width : {1, 7, 64, 100, 131})
            for (const int32_t count : {1, 2, kaiser.count}) {
                const PlaneLayout layout = plane_layout(width, 0);
                std::vector<TwoRows> inputs;
                for (int32_t t = 0; t < count + 2; ++t) inputs.push_back(make_rows(width, 0, layout, &state));
                // Two outputs, the second reading the inputs two further on, as a level's pair does.
                std::vector<std::vector<Linear>> expected(2, std::vector<Linear>(size_t(width)));
                std::vector<const float*> rows[2];
                for (int r = 0; r < 2; ++r) {
                    for (int32_t t = 0; t < count; ++t) {
                        const Linear* in = inputs[size_t(2 * r + t)].linear.data();
                        (t == 0 ? start_column_sum : add_to_column_sum)(in, kaiser.weights[size_t(t)], width,
                                                                          expected[size_t(r)].data());
                        rows[r].push_back(inputs[size_t(2 * r + t)].planes.data());
                    }
                    finish_column_sum(expected[size_t(r)].data(), width, mode);
                }
                for (Isa isa : LEVELS) {
                    if (runnable_isa(isa) != isa) continue;
                    std::vector<std::vector<float>> out(2, std::vector<float>(row_floats(layout)));
                    const ColumnSum sums[2] = {{rows[0].data(), kaiser.weights.data(), count, out[0].data()},
                                               {rows[1].data(), kaiser.weights.data(), count, out[1].data()}};
                    sum_planes(sums, 2, width, layout, mode, isa);
                    for (int r = 0; r < 2; ++r)
                        expect_same_bits(expected[size_t(r)].data(), out[r].data(), layout, width,
                                         std::string(isa_name(isa)) + ", width " + std::to_string(width) + ", " +
                                             std::to_string(count) + " taps, output " + std::to_string(r));
                }
            }
}

TEST(PlanarRows, PlanesEncodeAsLinearRows) {
    uint32_t state = 3;
    for (ValueKind kind : {ValueKind::srgb, ValueKind::linear, ValueKind::normal}) {
        const Coding coding = make_coding(kind, false);
        for (const int32_t count : {0, 1, 7, 8, 9, 23, 300}) {
            const PlaneLayout layout = plane_layout(count, 0);
            TwoRows rows = make_rows(count, 0, layout, &state);
            // Only the sRGB encoder takes a NaN (as 0).
            if (kind != ValueKind::srgb && count > 0)
                rows.linear[size_t(count / 2)].v[1] = rows.planes[size_t(layout.stride + layout.pad + count / 2)] = 0.5f;
            std::vector<uint8_t> expected(3 * size_t(count) + 1, 0xEE);
            encode_bgr_row(rows.linear.data(), count, coding, expected.data(), Isa::scalar);
            for (Isa isa : LEVELS) {
                if (runnable_isa(isa) != isa) continue;
                std::vector<uint8_t> got(expected.size(), 0xEE);
                encode_planes(rows.planes.data(), count, coding, layout, got.data(), isa);
                EXPECT_EQ(got, expected) << isa_name(isa) << ", kind " << int(kind) << ", " << count << " values";
            }
        }
    }
}

}  // namespace
