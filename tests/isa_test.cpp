// Every instruction-set level must give the plain path's bytes: the kernels
// over value sweeps, and the whole tool over generated textures.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <limits>
#include <string>
#include <vector>

#include "builders/classic.h"
#include "builders/resample.h"
#include "cli/options.h"
#include "picture/isa.h"
#include "test_util.h"

using namespace orvandel;

namespace {

constexpr Isa LEVELS[] = {Isa::scalar, Isa::sse2, Isa::ssse3, Isa::avx2, Isa::avx512};

TEST(IsaChoice, VariableNamesALevelTheProcessorMayLack) {
    using Note = IsaChoice::Note;
    struct Case {
        const char* variable;
        Isa processor, isa;
        Note note;
    };
    const Case cases[] = {
        {nullptr, Isa::avx2, Isa::avx2, Note::none},      {"", Isa::ssse3, Isa::ssse3, Note::none},
        {"scalar", Isa::avx512, Isa::scalar, Note::none}, {"SSE2", Isa::avx2, Isa::sse2, Note::none},
        {"avx2", Isa::avx2, Isa::avx2, Note::none},       {"avx512", Isa::avx2, Isa::avx2, Note::lacking},
        {"avx2", Isa::sse2, Isa::sse2, Note::lacking},    {"sse2", Isa::scalar, Isa::scalar, Note::lacking},
        {"avx", Isa::avx2, Isa::avx2, Note::unknown},     {"ssse3 ", Isa::ssse3, Isa::ssse3, Note::unknown},
    };
    for (const Case& c : cases) {
        const IsaChoice choice = choose_isa(c.variable, c.processor);
        const std::string name = c.variable ? c.variable : "(unset)";
        EXPECT_EQ(choice.isa, c.isa) << name;
        EXPECT_EQ(choice.note, c.note) << name;
        EXPECT_EQ(isa_note(choice).empty(), c.note == Note::none) << name;
    }
    EXPECT_EQ(isa_note(choose_isa("avx512", Isa::avx2)), "ORVANDEL_ISA=avx512: this processor lacks it, using avx2");
    EXPECT_EQ(isa_note(choose_isa("\x1b[2J", Isa::sse2)),
              "ORVANDEL_ISA=\\x1b[2J: not one of scalar, sse2, ssse3, avx2, avx512, using sse2");
}

class IsaKernels : public ::testing::TestWithParam<Isa> {
protected:
    void SetUp() override {
        if (runnable_isa(GetParam()) != GetParam())
            GTEST_SKIP() << "this processor lacks " << isa_name(GetParam());
    }
};

double to_srgb(double l) { return l <= 0.0031308 ? 12.92 * l : 1.055 * std::pow(l, 1 / 2.4) - 0.055; }
double to_linear(double c) { return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); }

// Every float within 3000 representable steps of each half step, a fine ramp
// over [0, 1], and what lies outside it.
std::vector<float> srgb_sweep() {
    std::vector<float> values;
    for (int v = 1; v < 256; ++v) {
        float x = static_cast<float>(to_linear((v - 0.5) / 255));
        for (int k = 0; k < 3000; ++k) x = std::nextafter(x, 0.0f);
        for (int k = 0; k < 6001; ++k, x = std::nextafter(x, 2.0f)) values.push_back(x);
    }
    for (int k = 0; k <= 1 << 20; ++k) values.push_back(float(k) / (1 << 20));
    const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
    for (float x : {nan, -nan, inf, -inf, -0.0f, -1e-30f, -0.5f, 1.0f, 1.0000001f, 2.0f, 1e30f,
                    std::numeric_limits<float>::denorm_min(), std::numeric_limits<float>::min()})
        values.push_back(x);
    return values;
}

// The plain path follows the curve but within a float's resolution of a
// half step; every other level gives its bytes.
TEST_P(IsaKernels, SrgbEncodeGivesThePlainBytes) {
    const std::vector<float> values = srgb_sweep();
    // Odd offsets and lengths: the vector loops' tails and unaligned loads.
    std::vector<uint8_t> got(values.size() + 1);
    encode_srgb_flat(values.data() + 1, values.size() - 1, got.data() + 1, GetParam());
    size_t wrong = 0, off_curve = 0;
    for (size_t k = 1; k < values.size(); ++k) {
        const float x = values[k];
        const uint8_t plain = encode_srgb(x);
        wrong += got[k] != plain;
        if (wrong == 1 && got[k] != plain) ADD_FAILURE() << "first difference at " << x;
        const double clamped = std::isnan(x) ? 0 : std::min(1.0, std::max(0.0, double(x)));
        const double y = to_srgb(clamped) * 255;
        off_curve += plain != int(std::floor(y + 0.5)) && std::fabs(y - std::floor(y) - 0.5) > 1e-5;
    }
    EXPECT_EQ(wrong, 0u) << isa_name(GetParam());
    EXPECT_EQ(off_curve, 0u);
}

// Every float in [0, 1], in slices, on the levels with a vector encode.
TEST(SlowIsaKernels, SrgbEncodeOfEveryUnitFloat) {
    if (processor_isa() < Isa::avx2) GTEST_SKIP() << "this processor lacks avx2: the plain encode is the only one";
    std::vector<float> slice(1 << 20);
    std::vector<uint8_t> got(slice.size()), plain(slice.size()), planar(3 * slice.size());
    for (uint32_t first = 0; first <= 0x3F800000u; first += uint32_t(slice.size())) {
        const size_t count = std::min<size_t>(slice.size(), 0x3F800001u - first);
        for (size_t k = 0; k < count; ++k) {
            const uint32_t bits = first + uint32_t(k);
            std::memcpy(&slice[k], &bits, sizeof bits);
        }
        encode_srgb_flat(slice.data(), count, plain.data(), Isa::scalar);
        for (const Isa isa : {Isa::avx2, Isa::avx512}) {
            if (runnable_isa(isa) != isa) continue;
            encode_srgb_flat(slice.data(), count, got.data(), isa);
            ASSERT_TRUE(std::equal(got.begin(), got.begin() + count, plain.begin()))
                << isa_name(isa) << ", slice from " << slice[0];
        }
        // The BMP rows' encode, by its table of buckets: the slice as pixels
        // from its first float and from its second, so that every float is
        // some pixel's colour.
        const Coding coding = make_coding(ValueKind::srgb, false);
        std::vector<Linear> row(slice.size() / 4);
        for (size_t offset = 0; offset < 2; ++offset) {
            const int32_t pixels = int32_t((count - offset) / 4);
            std::memcpy(static_cast<void*>(row.data()), slice.data() + offset, sizeof(Linear) * size_t(pixels));
            encode_bgr_row(row.data(), pixels, coding, got.data(), Isa::avx2);
            size_t wrong = 0;
            for (int32_t x = 0; x < pixels; ++x)
                for (size_t c = 0; c < 3; ++c) wrong += got[3 * size_t(x) + c] != plain[offset + 4 * size_t(x) + 2 - c];
            ASSERT_EQ(wrong, 0u) << "BMP rows, slice from " << slice[0];
        }
        // The same from three planes (the rip-map built in the file's bytes).
        const int32_t pixels = int32_t(count);
        encode_bgr_planes(slice.data(), slice.data(), slice.data(), pixels, coding, planar.data(), Isa::avx2);
        size_t wrong = 0;
        for (int32_t x = 0; x < pixels; ++x)
            for (size_t c = 0; c < 3; ++c) wrong += planar[3 * size_t(x) + c] != plain[size_t(x)];
        ASSERT_EQ(wrong, 0u) << "planes, slice from " << slice[0];
    }
}

std::vector<uint8_t> noise_bytes(size_t count, uint32_t state) {
    std::vector<uint8_t> bytes(count);
    for (uint8_t& b : bytes) state = state * 1664525u + 1013904223u, b = uint8_t(state >> 24);
    return bytes;
}

// The byte kernels on a level against the plain ones: lengths around the
// vector widths, unaligned, inputs all noise or all 255 (the largest sums),
// and nothing written past the end.
TEST_P(IsaKernels, ByteKernelsGiveThePlainBytes) {
    const auto both = [](auto run, size_t out_size) {
        std::vector<uint8_t> got(out_size + 1, 7), plain = got;
        run(GetParam(), got.data());
        run(Isa::scalar, plain.data());
        return got == plain;
    };
    for (const bool saturated : {false, true})
        for (int32_t n = 0; n < 100; n += n < 40 ? 1 : 13) {
            std::vector<uint8_t> upper = noise_bytes(6 * size_t(n) + 1, uint32_t(n));
            std::vector<uint8_t> lower = noise_bytes(upper.size(), 9);
            if (saturated) upper.assign(upper.size(), 255), lower = upper;
            const uint8_t *a = upper.data() + 1, *b = lower.data() + 1;
            Pixel pixels[100] = {};
            std::memcpy(pixels, a, 4 * size_t(n));
            const std::string at = std::to_string(n) + (saturated ? " of 255" : " of noise");
            const size_t three = 3 * size_t(n);
            EXPECT_TRUE(both([&](Isa isa, uint8_t* out) { halve_bgr_row_pairs(a, out, n, isa); }, three)) << at;
            EXPECT_TRUE(both([&](Isa isa, uint8_t* out) { box_bgr_rows(a, b, out, n, isa); }, three)) << at;
            EXPECT_TRUE(both([&](Isa isa, uint8_t* out) { average_bgr_rows(a, b, out, 2 * n, isa); }, 2 * three)) << at;
            EXPECT_TRUE(both([&](Isa isa, uint8_t* out) { bgr_from_rgb(a, out, n, isa); }, three)) << at;
            EXPECT_TRUE(both([&](Isa isa, uint8_t* out) { bgr_from_pixels(pixels, out, n, isa); }, three)) << at;
            for (const auto convert : {pixels_from_bgr, pixels_from_rgb})
                EXPECT_TRUE(both(
                    [&](Isa isa, uint8_t* out) {
                        Pixel converted[101] = {};
                        convert(a, converted, n, isa);
                        std::memcpy(out, converted, 4 * size_t(n) + 4);
                    },
                    4 * size_t(n) + 3))
                    << at;
        }
}

INSTANTIATE_TEST_SUITE_P(EveryLevel, IsaKernels, ::testing::ValuesIn(LEVELS),
                         [](const ::testing::TestParamInfo<Isa>& info) { return std::string(isa_name(info.param)); });

// A 32-bit top-down TGA: noise in colour and alpha over a smooth ramp, so the
// filters' results fall everywhere between output steps.
std::vector<uint8_t> texture(int width, int height, bool alpha, uint32_t noise_key) {
    test::Bytes file;
    file.raw({0, 0, 2}).fill(5, 0).le16(0).le16(0).le16(unsigned(width)).le16(unsigned(height));
    file.u8(alpha ? 32 : 24).u8(alpha ? 0x28 : 0x20);
    const std::vector<uint8_t> noise = noise_bytes(size_t(4 * width * height), noise_key);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const uint8_t* n = noise.data() + 4 * (y * width + x);
            file.u8((x * 255 / width + n[0] % 32) & 255).u8((y * 255 / height) ^ (n[1] & 7)).u8(n[2]);
            if (alpha) file.u8(n[3] < 64 ? 0 : n[3] > 192 ? 255 : n[3]);
        }
    return file.data;
}

// The tool on every level over the same textures in every mode: the same files.
TEST(IsaTool, EveryLevelWritesTheSameFiles) {
    const std::string root = test::scratch_dir();
    const std::vector<std::pair<std::string, std::vector<uint8_t>>> textures = {
        {"spotted.tga", texture(97, 61, true, 1)}, {"ramp.tga", texture(128, 80, false, 2)}};
    const std::vector<std::vector<std::string>> modes = {
        {},
        {"--filter", "kaiser", "--edge", "wrap"},
        {"--filter", "kaiser", "--edge", "mirror", "--colour", "linear", "--layout", "mip"},
        {"--coverage", "0.5"},
        {"--normal", "--filter", "kaiser"},
        {"--normal", "--layout", "mip", "-f", "png"},
        {"-f", "dds", "--layout", "mip"},
        {"--filter", "classic", "--alpha", "drop"},
        {"-f", "exr", "--filter", "kaiser"},
    };
    std::vector<Isa> levels;
    for (const Isa isa : LEVELS) {
        if (runnable_isa(isa) == isa) levels.push_back(isa);
        else std::cout << "[ SKIPPED  ] " << isa_name(isa) << ": this processor lacks it\n";
    }
    for (const Isa isa : levels) {
        const std::string dir = root + "/" + isa_name(isa);
        std::filesystem::create_directories(dir);
        for (const auto& [name, bytes] : textures) test::write_file(dir + "/" + name, bytes);
        const std::string env = std::string("ORVANDEL_ISA=") + isa_name(isa);
        for (size_t m = 0; m < modes.size(); ++m) {
            std::vector<std::string> args = {"-q", "-o", dir + "/mode" + std::to_string(m)};
            args.insert(args.end(), modes[m].begin(), modes[m].end());
            for (const auto& texture : textures) args.push_back(dir + "/" + texture.first);
            ASSERT_EQ(test::run_tool(args, env).status, 0) << env << " mode " << m;
        }
        // The classic runs write beside their input.
        for (const std::string ord : {"", "ord"}) {
            std::filesystem::create_directories(dir + "/classic" + ord);
            for (const auto& [name, bytes] : textures) {
                const std::string input = dir + "/classic" + ord + "/" + name;
                test::write_file(input, bytes);
                ASSERT_EQ(test::run_tool(ord.empty() ? std::vector<std::string>{input}
                                                     : std::vector<std::string>{input, ord},
                                         env)
                              .status,
                          0)
                    << env;
                std::filesystem::remove(input);
            }
        }
    }
    // Every file of the scalar run, the same on every other level.
    size_t files = 0;
    const std::string plain = root + "/scalar";
    for (const auto& entry : std::filesystem::recursive_directory_iterator(plain)) {
        if (!entry.is_regular_file() || entry.path().extension() == ".tga") continue;
        ++files;
        const std::string relative = entry.path().string().substr(plain.size());
        const std::vector<uint8_t> expected = test::read_file(entry.path().string());
        for (const Isa isa : levels)
            EXPECT_TRUE(test::read_file(root + "/" + isa_name(isa) + relative) == expected)
                << relative << " differs on " << isa_name(isa);
    }
    EXPECT_EQ(files, 2 * (modes.size() + 2));
}

// The note about the variable comes first, on standard error, and the run
// goes on with the level chosen.
TEST(IsaTool, NoteOnStandardErrorForALevelNotTaken) {
    const std::string version = modern_version_text();
    EXPECT_EQ(test::run_tool({"--version"}, "exec 2>&1; ORVANDEL_ISA=scalar").output, version);
    EXPECT_EQ(test::run_tool({"--version"}, "exec 2>&1; ORVANDEL_ISA=mmx").output,
              std::string("orvandel: ORVANDEL_ISA=mmx: not one of scalar, sse2, ssse3, avx2, avx512, using ") +
                  isa_name(processor_isa()) + "\n" + version);
    if (processor_isa() == Isa::avx512) GTEST_SKIP() << "this processor has every level";
    EXPECT_EQ(test::run_tool({"--version"}, "exec 2>&1; ORVANDEL_ISA=avx512").output,
              std::string("orvandel: ORVANDEL_ISA=avx512: this processor lacks it, using ") +
                  isa_name(processor_isa()) + "\n" + version);
}

}  // namespace
