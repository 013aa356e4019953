#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "builders/classic.h"
#include "cli/common.h"
#include "readers/bmp.h"
#include "writers/bmp_writer.h"
#include "builders/classic.h"
#include "test_util.h"

using namespace orvandel;

namespace {

// ---------------------------------------------------------------------------
// A second, deliberately naive reading of the atlas rules: a vector canvas
// with bounds-checked get/put (zero outside, writes outside dropped), every
// loop written as the rules state it, channels unpacked one by one.

struct Model {
    int64_t width = 0, height = 0;
    std::vector<uint32_t> px;

    uint32_t get(int64_t c, int64_t r) const {
        if (c < 0 || r < 0 || c >= width || r >= height) return 0;
        return px[size_t(r * width + c)];
    }
    void put(int64_t c, int64_t r, uint32_t v) {
        if (c < 0 || r < 0 || c >= width || r >= height) return;
        px[size_t(r * width + c)] = v;
    }
};

uint32_t channel(uint32_t p, int n) { return (p >> (8 * n)) & 0xFF; }

uint32_t model_average(const std::vector<uint32_t>& in) {
    uint32_t out = 0;
    for (int n = 0; n < 3; ++n) {
        uint32_t sum = 0;
        for (uint32_t p : in) sum += channel(p, n);
        out |= (sum / uint32_t(in.size())) << (8 * n);
    }
    return out;
}

int model_horizontal(Model& m, int64_t x, int64_t y, int64_t w, int64_t h) {
    if (x + w + w / 2 > m.width || y + h > m.height) return 0;
    for (int64_t r = 0; r < h; ++r)
        for (int64_t j = 0; j < w; j += 2)
            m.put(x + w + j / 2, y + r, model_average({m.get(x + j, y + r), m.get(x + j + 1, y + r)}));
    return 1;
}

int model_vertical(Model& m, int64_t x, int64_t y, int64_t w, int64_t h) {
    if (x + w > m.width || y + h + h / 2 > m.height) return 0;
    for (int64_t i = 0; i < h; i += 2)
        for (int64_t j = 0; j < w; ++j)
            m.put(x + j, y + h + i / 2, model_average({m.get(x + j, y + i), m.get(x + j, y + i + 1)}));
    return 1;
}

int model_box(Model& m, int64_t x, int64_t y, int64_t w, int64_t h) {
    if (x + w + w / 2 > m.width || y + h > m.height) return 0;
    for (int64_t i = 0; i < h; i += 2)
        for (int64_t j = 0; j < w; j += 2)
            m.put(x + w + j / 2, y + i / 2,
                  model_average({m.get(x + j, y + i), m.get(x + j + 1, y + i),
                                 m.get(x + j, y + i + 1), m.get(x + j + 1, y + i + 1)}));
    return 1;
}

void model_mip(Model& m) {
    if (m.width <= 1 || m.height <= 1) return;
    int64_t x = 0, w = m.width / 2, h = m.height;
    while (w != 0 || h != 0) {
        model_box(m, x, 0, w, h);
        x = x + w;
        w = w / 2;
        h = h / 2;
    }
}

void model_rip(Model& m) {
    if (m.width <= 1 || m.height <= 1) return;
    int64_t X = 0, Y = 0, w = m.width / 2, h = m.height / 2;
    if (w == 0) return;
    for (;;) {
        if (h == 0) return;
        int64_t x = X, c = w;
        for (;;) {
            if (!model_horizontal(m, x, Y, c, h)) break;
            x = x + c;
            c = c / 2;
            if (c == 0) break;
        }
        int64_t y = Y;
        c = h;
        for (;;) {
            if (!model_vertical(m, X, y, w, c)) break;
            y = y + c;
            c = c / 2;
            if (c == 0) break;
        }
        model_vertical(m, X + w, Y, w / 2, h);
        X = X + w;
        Y = Y + h;
        w = w / 2;
        h = h / 2;
        if (w == 0) return;
    }
}

// ---------------------------------------------------------------------------
// Canvases for the real builders, set up the way the driver does.

enum Layout { RIP, MIP };
enum Filter { HORIZONTAL, VERTICAL, BOX };

struct Call {
    Filter filter;
    int32_t x, y, w, h;
};

// Deterministic pixels; `keep_top_byte` leaves junk in bits 24-31 as a
// 32-bit TGA pixel would carry.
std::vector<Pixel> pattern(int32_t w, int32_t h, uint32_t start, bool keep_top_byte = true) {
    std::vector<Pixel> out(size_t(w) * size_t(h));
    uint32_t s = start * 2654435761u + 12345u;
    for (Pixel& p : out) {
        s = s * 1664525u + 1013904223u;
        p = keep_top_byte ? s : (s >> 8);
    }
    return out;
}

// Every channel 128-255, so that no halving in a small atlas reaches zero and
// the pixels a builder leaves untouched are exactly the zero ones.
std::vector<Pixel> bright_pattern(int32_t w, int32_t h) {
    std::vector<Pixel> out = pattern(w, h, 7, false);
    for (Pixel& p : out) p |= 0x808080;
    return out;
}

int32_t canvas_height(int32_t source_height, Layout layout) {
    return layout == RIP ? 2 * source_height : source_height;
}

test::ImagePtr make_canvas(int32_t w, int32_t h, Layout layout, const std::vector<Pixel>& source) {
    test::ImagePtr canvas(new_image(2 * w, canvas_height(h, layout)));
    for (int32_t r = 0; r < h; ++r)
        for (int32_t c = 0; c < w; ++c) canvas->pixels[size_t(r) * canvas->width + c] = source[size_t(r) * w + c];
    return canvas;
}

Model model_of(const Image* canvas) {
    Model m;
    m.width = canvas->width;
    m.height = canvas->height;
    m.px = test::pixels_of(canvas);
    return m;
}

void build(Image* canvas, Layout layout) {
    if (layout == RIP)
        build_classic_rip(canvas);
    else
        build_classic_mip(canvas);
}

void build_model(Model& m, Layout layout) {
    if (layout == RIP)
        model_rip(m);
    else
        model_mip(m);
}

int apply(Image* canvas, const Call& call) {
    switch (call.filter) {
        case HORIZONTAL: return halve_horizontal(canvas, call.x, call.y, call.w, call.h);
        case VERTICAL: return halve_vertical(canvas, call.x, call.y, call.w, call.h);
        case BOX: return halve_box(canvas, call.x, call.y, call.w, call.h);
    }
    return -1;
}

int apply_model(Model& m, const Call& call) {
    switch (call.filter) {
        case HORIZONTAL: return model_horizontal(m, call.x, call.y, call.w, call.h);
        case VERTICAL: return model_vertical(m, call.x, call.y, call.w, call.h);
        case BOX: return model_box(m, call.x, call.y, call.w, call.h);
    }
    return -1;
}

std::string describe(const Call& c) {
    const char* names[] = {"halve_horizontal", "halve_vertical", "halve_box"};
    return std::string(names[c.filter]) + "(" + std::to_string(c.x) + ", " + std::to_string(c.y) + ", " +
           std::to_string(c.w) + ", " + std::to_string(c.h) + ")";
}

Pixel at(const Image* canvas, int32_t c, int32_t r) { return canvas->pixels[size_t(r) * canvas->width + c]; }

std::set<std::pair<int32_t, int32_t>> zero_pixels(const Image* canvas) {
    std::set<std::pair<int32_t, int32_t>> zeros;
    for (int32_t r = 0; r < canvas->height; ++r)
        for (int32_t c = 0; c < canvas->width; ++c)
            if (at(canvas, c, r) == 0) zeros.insert({c, r});
    return zeros;
}

// Per channel, each channel halved (rounded down).
Pixel halved(Pixel p) { return (p >> 1) & 0x7F7F7F; }

// ---------------------------------------------------------------------------

TEST(MipmapChannels, PairAndBoxAveragesPerChannel) {
    struct Case {
        const char* name;
        Pixel a, b, c, d;   // c and d used by the box only
        Pixel pair, box;    // expected averages of (a, b) and of (a, b, c, d)
    };
    const Case cases[] = {
        {"white with itself", 0xFFFFFF, 0xFFFFFF, 0xFFFFFF, 0xFFFFFF, 0xFFFFFF, 0xFFFFFF},
        {"1 and 2 give 1", 0x010101, 0x020202, 0x010101, 0x010101, 0x010101, 0x010101},
        {"255 and 0 give 127", 0xFFFFFF, 0x000000, 0x000000, 0x000000, 0x7F7F7F, 0x3F3F3F},
        {"box of 1, 1, 1, 2 is 1", 0x010101, 0x010101, 0x010101, 0x020202, 0x010101, 0x010101},
        {"channels kept apart", 0x01FF80, 0x030001, 0xFF00FF, 0x000100, 0x027F40, 0x404060},
        {"odd red does not leak into green", 0x0000FF, 0x0000FF, 0x0000FF, 0x0000FD, 0x0000FF, 0x0000FE},
        {"odd green does not leak into red", 0x000100, 0x000000, 0x000100, 0x000100, 0x000000, 0x000000},
        {"odd blue does not leak into green", 0x010000, 0x020000, 0x030000, 0x030000, 0x010000, 0x020000},
        {"top byte never reaches a copy", 0xFF102030, 0x80102030, 0xFE102030, 0x01102030, 0x102030, 0x102030},
        {"top byte alone gives zero", 0xFF000000, 0xFF000000, 0xFF000000, 0xFF000000, 0, 0},
    };
    for (const Case& k : cases) {
        // Horizontal: a b | copy
        test::ImagePtr row = test::make_image(3, 1, {k.a, k.b, 0xDEADBEEF});
        ASSERT_EQ(halve_horizontal(row.get(), 0, 0, 2, 1), 1);
        EXPECT_EQ(at(row.get(), 2, 0), k.pair) << k.name << " (horizontal)";
        // Vertical: a above b, copy below.
        test::ImagePtr column = test::make_image(1, 3, {k.a, k.b, 0xDEADBEEF});
        ASSERT_EQ(halve_vertical(column.get(), 0, 0, 1, 2), 1);
        EXPECT_EQ(at(column.get(), 0, 2), k.pair) << k.name << " (vertical)";
        // Box: a b over c d, copy to the right of the top row.
        test::ImagePtr box = test::make_image(3, 2, {k.a, k.b, 0xDEADBEEF, k.c, k.d, 0xDEADBEEF});
        ASSERT_EQ(halve_box(box.get(), 0, 0, 2, 2), 1);
        EXPECT_EQ(at(box.get(), 2, 0), k.box) << k.name << " (box)";
        EXPECT_EQ(at(box.get(), 2, 1), 0xDEADBEEFu) << k.name << " (box writes one row)";
        // The naive model agrees on every case.
        EXPECT_EQ(model_average({k.a, k.b}), k.pair) << k.name;
        EXPECT_EQ(model_average({k.a, k.b, k.c, k.d}), k.box) << k.name;
    }
}

TEST(MipmapFilters, FitChecksAtTheEdge) {
    struct Case {
        int32_t canvas_w, canvas_h;
        Call call;
        int expected;
    };
    const Case cases[] = {
        // x + w + w/2 against the width, y + h against the height.
        {6, 4, {HORIZONTAL, 0, 0, 4, 4}, 1},
        {6, 4, {HORIZONTAL, 1, 0, 4, 4}, 0},
        {6, 4, {HORIZONTAL, 0, 1, 4, 3}, 1},
        {6, 4, {HORIZONTAL, 0, 1, 4, 4}, 0},
        {6, 4, {BOX, 0, 0, 4, 4}, 1},
        {6, 4, {BOX, 1, 0, 4, 4}, 0},
        {6, 4, {BOX, 0, 1, 4, 4}, 0},
        {6, 4, {BOX, 0, 0, 4, 2}, 1},
        // x + w against the width, y + h + h/2 against the height.
        {4, 6, {VERTICAL, 0, 0, 4, 4}, 1},
        {4, 6, {VERTICAL, 0, 1, 4, 4}, 0},
        {4, 6, {VERTICAL, 1, 0, 3, 4}, 1},
        {4, 6, {VERTICAL, 1, 0, 4, 4}, 0},
        // Empty and negative sizes that pass write nothing and succeed.
        {4, 4, {HORIZONTAL, 0, 0, 0, 4}, 1},
        {4, 4, {HORIZONTAL, 1, 2, 2, 0}, 1},
        {4, 4, {VERTICAL, 1, 1, -3, 2}, 1},
        {4, 4, {BOX, 3, 3, -1, -1}, 1},
        {4, 4, {BOX, 4, 4, 0, 0}, 1},
        // Sizes whose checks would overflow 32 bits are refused.
        {4, 4, {HORIZONTAL, INT32_MAX, 0, INT32_MAX, 1}, 0},
        {4, 4, {VERTICAL, 0, INT32_MAX - 1, 1, INT32_MAX}, 0},
        {4, 4, {BOX, 1, 1, INT32_MAX, INT32_MAX}, 0},
    };
    for (const Case& k : cases) {
        const std::vector<Pixel> before = pattern(k.canvas_w, k.canvas_h, 3);
        test::ImagePtr canvas = test::make_image(k.canvas_w, k.canvas_h, before);
        Model m = model_of(canvas.get());
        EXPECT_EQ(apply(canvas.get(), k.call), k.expected) << describe(k.call);
        if (k.call.w < 1000 && k.call.h < 1000) {
            EXPECT_EQ(apply_model(m, k.call), k.expected) << describe(k.call);
        }
        if (k.expected == 0 || k.call.w <= 0 || k.call.h <= 0) {
            EXPECT_EQ(test::pixels_of(canvas.get()), before) << describe(k.call) << " changed the canvas";
        } else {
            EXPECT_NE(test::pixels_of(canvas.get()), before) << describe(k.call) << " wrote nothing";
        }
    }
}

// Odd blocks against the canvas edge: the pixel beyond the edge reads as zero
// (not as the next row's first pixel) and an extra column or row that would
// fall outside is not written. The canvas sits inside a larger buffer whose
// guard pixels must survive every call.
TEST(MipmapFilters, OddBlocksAtTheEdgeStayInsideTheCanvas) {
    const int32_t W = 7, H = 5, GUARD = 64;
    const Pixel GUARD_VALUE = 0xA5A5A5A5;
    struct Case {
        Call call;
        int expected;
    };
    const Case cases[] = {
        {{HORIZONTAL, 6, 0, 1, 5}, 1},   // reads and would write column 7
        {{HORIZONTAL, 4, 1, 1, 3}, 1},   // column 5 is inside: a real read
        {{HORIZONTAL, 2, 0, 3, 5}, 1},   // extra column 6 is the last one
        {{HORIZONTAL, 3, 0, 3, 5}, 1},   // extra column 7 lies outside
        {{VERTICAL, 0, 4, 7, 1}, 1},     // reads and would write row 5
        {{VERTICAL, 0, 1, 7, 3}, 1},     // extra row 5 lies outside
        {{VERTICAL, 2, 0, 3, 3}, 1},     // extra row 4 is the last one
        {{BOX, 6, 0, 1, 5}, 1},          // column 7 and row 5 both outside
        {{BOX, 3, 0, 3, 5}, 1},          // extra column outside, row 5 outside
        {{BOX, 0, 2, 4, 3}, 1},          // row 5 outside only
        {{BOX, 1, 0, 3, 4}, 1},          // everything inside: extra column 5
        {{HORIZONTAL, -2, 0, 4, 2}, 1},  // negative corner: clipped, not refused
        {{VERTICAL, 0, -3, 7, 5}, 1},
        {{BOX, -3, -1, 5, 4}, 1},
        {{HORIZONTAL, 5, -1, 1, 3}, 1},
    };
    for (const Case& k : cases) {
        std::vector<Pixel> buffer(size_t(W * H + 2 * GUARD), GUARD_VALUE);
        const std::vector<Pixel> content = pattern(W, H, 11);
        std::copy(content.begin(), content.end(), buffer.begin() + GUARD);
        Image canvas{buffer.data() + GUARD, W, H};
        Model m = model_of(&canvas);
        EXPECT_EQ(apply(&canvas, k.call), k.expected) << describe(k.call);
        EXPECT_EQ(apply_model(m, k.call), k.expected) << describe(k.call);
        EXPECT_EQ(test::pixels_of(&canvas), m.px) << describe(k.call);
        for (int32_t g = 0; g < GUARD; ++g) {
            EXPECT_EQ(buffer[size_t(g)], GUARD_VALUE) << describe(k.call) << " wrote before the canvas";
            EXPECT_EQ(buffer[size_t(GUARD + W * H + g)], GUARD_VALUE) << describe(k.call) << " wrote after it";
        }
    }
}

// Every small call, inside or reaching past the edge, against the model.
TEST(MipmapFilters, AllSmallCallsMatchTheModel) {
    const int32_t W = 6, H = 5;
    const std::vector<Pixel> content = pattern(W, H, 5);
    for (int f = HORIZONTAL; f <= BOX; ++f)
        for (int32_t x = -3; x <= W; ++x)
            for (int32_t y = -3; y <= H; ++y)
                for (int32_t w = -1; w <= W + 1; ++w)
                    for (int32_t h = -1; h <= H + 1; ++h) {
                        const Call call{Filter(f), x, y, w, h};
                        test::ImagePtr canvas = test::make_image(W, H, content);
                        Model m = model_of(canvas.get());
                        ASSERT_EQ(apply(canvas.get(), call), apply_model(m, call)) << describe(call);
                        ASSERT_EQ(test::pixels_of(canvas.get()), m.px) << describe(call);
                    }
}

// ---------------------------------------------------------------------------
// The worked examples: the builder's canvas equals the listed calls replayed
// one by one, and the pixels left zero are exactly the listed ones.

struct Example {
    const char* name;
    int32_t w, h;
    Layout layout;
    std::vector<Call> calls;
    std::set<std::pair<int32_t, int32_t>> zeros;
};

std::set<std::pair<int32_t, int32_t>> region(int32_t c0, int32_t c1, int32_t r0, int32_t r1) {
    std::set<std::pair<int32_t, int32_t>> out;
    for (int32_t r = r0; r <= r1; ++r)
        for (int32_t c = c0; c <= c1; ++c) out.insert({c, r});
    return out;
}

std::set<std::pair<int32_t, int32_t>> operator+(std::set<std::pair<int32_t, int32_t>> a,
                                                const std::set<std::pair<int32_t, int32_t>>& b) {
    a.insert(b.begin(), b.end());
    return a;
}

std::vector<Example> worked_examples() {
    return {
        {"8x4 rip", 8, 4, RIP,
         {{HORIZONTAL, 0, 0, 8, 4},  {HORIZONTAL, 8, 0, 4, 4},  {HORIZONTAL, 12, 0, 2, 4},
          {HORIZONTAL, 14, 0, 1, 4}, {VERTICAL, 0, 0, 8, 4},    {VERTICAL, 0, 4, 8, 2},
          {VERTICAL, 0, 6, 8, 1},    {VERTICAL, 8, 0, 4, 4},    {HORIZONTAL, 8, 4, 4, 2},
          {HORIZONTAL, 12, 4, 2, 2}, {HORIZONTAL, 14, 4, 1, 2}, {VERTICAL, 8, 4, 4, 2},
          {VERTICAL, 8, 6, 4, 1},    {VERTICAL, 12, 4, 2, 2},   {HORIZONTAL, 12, 6, 2, 1},
          {HORIZONTAL, 14, 6, 1, 1}, {VERTICAL, 12, 6, 2, 1},   {VERTICAL, 14, 6, 1, 1}},
         {{15, 7}}},
        {"8x4 mip", 8, 4, MIP,
         {{BOX, 0, 0, 8, 4}, {BOX, 8, 0, 4, 2}, {BOX, 12, 0, 2, 1}, {BOX, 14, 0, 1, 0}},
         region(8, 15, 2, 3) + region(12, 15, 1, 1) + region(15, 15, 0, 0)},
        {"5x3 rip", 5, 3, RIP,
         {{HORIZONTAL, 0, 0, 5, 3}, {HORIZONTAL, 5, 0, 2, 3}, {HORIZONTAL, 7, 0, 1, 3},
          {VERTICAL, 0, 0, 5, 3},   {VERTICAL, 0, 3, 5, 1},   {VERTICAL, 5, 0, 2, 3},
          {HORIZONTAL, 5, 3, 2, 1}, {HORIZONTAL, 7, 3, 1, 1}, {VERTICAL, 5, 3, 2, 1},
          {VERTICAL, 7, 3, 1, 1}},
         region(9, 9, 0, 5) + region(0, 9, 5, 5) + region(8, 8, 4, 4)},
        {"5x3 mip", 5, 3, MIP,
         {{BOX, 0, 0, 5, 3}, {BOX, 5, 0, 2, 1}, {BOX, 7, 0, 1, 0}},
         region(8, 9, 0, 2) + region(5, 7, 2, 2)},
    };
}

TEST(MipmapBuilders, WorkedExamplesMakeTheListedCalls) {
    for (const Example& e : worked_examples()) {
        const std::vector<Pixel> source = bright_pattern(e.w, e.h);
        test::ImagePtr built = make_canvas(e.w, e.h, e.layout, source);
        build(built.get(), e.layout);

        test::ImagePtr replayed = make_canvas(e.w, e.h, e.layout, source);
        Model m = model_of(replayed.get());
        for (const Call& call : e.calls) {
            EXPECT_EQ(apply(replayed.get(), call), 1) << e.name << ": " << describe(call);
            EXPECT_EQ(apply_model(m, call), 1) << e.name << ": " << describe(call);
        }
        EXPECT_EQ(test::pixels_of(built.get()), test::pixels_of(replayed.get())) << e.name;
        EXPECT_EQ(test::pixels_of(built.get()), m.px) << e.name;
        EXPECT_EQ(zero_pixels(built.get()), e.zeros) << e.name;
    }
}

TEST(MipmapBuilders, WorkedExamplesPixelFacts) {
    {   // 8x4 rip: the last column and last row read the zero beyond.
        test::ImagePtr c = make_canvas(8, 4, RIP, bright_pattern(8, 4));
        build_classic_rip(c.get());
        for (int32_t r = 0; r < 7; ++r) EXPECT_EQ(at(c.get(), 15, r), halved(at(c.get(), 14, r))) << "row " << r;
        for (int32_t col = 0; col < 15; ++col)
            EXPECT_EQ(at(c.get(), col, 7), halved(at(c.get(), col, 6))) << "column " << col;
    }
    {   // 8x4 mip: level 3 is the two level-2 pixels over a zero row.
        test::ImagePtr c = make_canvas(8, 4, MIP, bright_pattern(8, 4));
        build_classic_mip(c.get());
        EXPECT_EQ(at(c.get(), 14, 0), model_average({at(c.get(), 12, 0), at(c.get(), 13, 0), 0, 0}));
        EXPECT_EQ(at(c.get(), 12, 0), model_average({at(c.get(), 8, 0), at(c.get(), 9, 0), at(c.get(), 8, 1),
                                                     at(c.get(), 9, 1)}));
    }
    {   // 5x3 rip.
        const std::vector<Pixel> s = bright_pattern(5, 3);
        test::ImagePtr c = make_canvas(5, 3, RIP, s);
        build_classic_rip(c.get());
        for (int32_t r = 0; r < 3; ++r) {
            // Block (2, 0) replaced the extra column with the pair of columns 5 and 6.
            EXPECT_EQ(at(c.get(), 7, r), model_average({at(c.get(), 5, r), at(c.get(), 6, r)}));
            EXPECT_EQ(at(c.get(), 8, r), halved(at(c.get(), 7, r)));
        }
        for (int32_t col = 0; col < 5; ++col) {
            EXPECT_EQ(at(c.get(), col, 3), model_average({s[size_t(col)], s[size_t(5 + col)]}));
            // Row 4: row 3 with the extra row (source row 2 with row 3).
            const Pixel extra = model_average({s[size_t(10 + col)], at(c.get(), col, 3)});
            EXPECT_EQ(at(c.get(), col, 4), model_average({at(c.get(), col, 3), extra}));
        }
        EXPECT_EQ(at(c.get(), 8, 3), halved(at(c.get(), 7, 3)));
        EXPECT_EQ(at(c.get(), 7, 4), halved(at(c.get(), 7, 3)));
    }
    {   // 5x3 mip: level 1's row 1 pairs source row 2 with the zero row below the canvas.
        const std::vector<Pixel> s = bright_pattern(5, 3);
        test::ImagePtr c = make_canvas(5, 3, MIP, s);
        build_classic_mip(c.get());
        EXPECT_EQ(at(c.get(), 5, 1), model_average({s[10], s[11], 0, 0}));
        EXPECT_EQ(at(c.get(), 6, 1), model_average({s[12], s[13], 0, 0}));
        EXPECT_EQ(at(c.get(), 7, 1), model_average({s[14], 0, 0, 0}));
        const Pixel first = model_average({s[0], s[1], s[5], s[6]});
        EXPECT_EQ(at(c.get(), 5, 0), first);
        // Level 2 (7, 0) replaced level 1's extra pixel (box of source column 4
        // with the level-1 pixel written first and the still zero (5, 1)).
        EXPECT_EQ(at(c.get(), 7, 0), model_average({first, at(c.get(), 6, 0), at(c.get(), 5, 1), at(c.get(), 6, 1)}));
    }
}

// ---------------------------------------------------------------------------

TEST(MipmapBuilders, EdgeCases) {
    struct Case {
        const char* name;
        int32_t w, h;
        Layout layout;
        std::set<std::pair<int32_t, int32_t>> zeros;
    };
    const Case cases[] = {
        {"1x1 rip", 1, 1, RIP, {{1, 1}}},
        {"1x1 mip", 1, 1, MIP, {{1, 0}}},
        {"one pixel high, mip", 5, 1, MIP, region(5, 9, 0, 0)},
        {"4x1 rip", 4, 1, RIP, {{6, 1}, {7, 1}}},
        {"1x4 mip", 1, 4, MIP, {{1, 2}, {1, 3}}},
        {"3x2 rip", 3, 2, RIP, region(5, 5, 0, 3) + region(4, 4, 3, 3)},
        {"2x2 rip", 2, 2, RIP, {{3, 3}}},
        {"4x4 rip", 4, 4, RIP, {{7, 7}}},
        {"8x8 rip", 8, 8, RIP, {{15, 15}}},
        {"16x16 rip", 16, 16, RIP, {{31, 31}}},
        {"4x8 rip", 4, 8, RIP, {{7, 14}, {7, 15}}},
    };
    for (const Case& k : cases) {
        const std::vector<Pixel> source = bright_pattern(k.w, k.h);
        test::ImagePtr c = make_canvas(k.w, k.h, k.layout, source);
        Model m = model_of(c.get());
        build(c.get(), k.layout);
        build_model(m, k.layout);
        EXPECT_EQ(test::pixels_of(c.get()), m.px) << k.name;
        EXPECT_EQ(zero_pixels(c.get()), k.zeros) << k.name;
    }

    test::ImagePtr one = make_canvas(1, 1, RIP, {0x80C0FE});
    build_classic_rip(one.get());
    EXPECT_EQ(test::pixels_of(one.get()), (std::vector<Pixel>{0x80C0FE, 0x40607F, 0x40607F, 0}));

    // 1x4 mip: each box takes in the still zero column 1.
    const std::vector<Pixel> tall = {0x030303, 0x050505, 0x0B0B0B, 0x010101};
    test::ImagePtr strip = make_canvas(1, 4, MIP, tall);
    build_classic_mip(strip.get());
    EXPECT_EQ(at(strip.get(), 1, 0), 0x020202u);
    EXPECT_EQ(at(strip.get(), 1, 1), 0x030303u);

    // 3x2: the second horizontal call pairs column 3 with the extra column 4.
    const std::vector<Pixel> s = bright_pattern(3, 2);
    test::ImagePtr c = make_canvas(3, 2, RIP, s);
    build_classic_rip(c.get());
    for (int32_t r = 0; r < 2; ++r) {
        const Pixel block = model_average({s[size_t(3 * r)], s[size_t(3 * r + 1)]});
        const Pixel extra = model_average({s[size_t(3 * r + 2)], block});
        EXPECT_EQ(at(c.get(), 3, r), block);
        EXPECT_EQ(at(c.get(), 4, r), model_average({block, extra}));
    }
}

TEST(MipmapBuilders, DegenerateCanvasesAreLeftAlone) {
    for (Layout layout : {RIP, MIP}) {
        build(nullptr, layout);
        for (auto [w, h] : {std::pair{1, 5}, std::pair{5, 1}, std::pair{1, 1}}) {
            const std::vector<Pixel> content = pattern(w, h, 9);
            test::ImagePtr c = test::make_image(w, h, content);
            build(c.get(), layout);
            EXPECT_EQ(test::pixels_of(c.get()), content) << w << "x" << h;
        }
    }
}

// Every source from 1x1 to 33x33, both layouts, against the model; the source
// corner keeps its top bytes and no copy has one.
TEST(MipmapBuilders, SweepMatchesTheModel) {
    for (int32_t h = 1; h <= 33; ++h)
        for (int32_t w = 1; w <= 33; ++w)
            for (Layout layout : {RIP, MIP}) {
                const std::vector<Pixel> source = pattern(w, h, uint32_t(w * 64 + h));
                test::ImagePtr c = make_canvas(w, h, layout, source);
                Model m = model_of(c.get());
                build(c.get(), layout);
                build_model(m, layout);
                const std::vector<Pixel> got = test::pixels_of(c.get());
                ASSERT_EQ(got, m.px) << w << "x" << h << (layout == RIP ? " bi-directional" : " ordinary");
                for (int32_t r = 0; r < c->height; ++r)
                    for (int32_t col = 0; col < c->width; ++col) {
                        if (r < h && col < w)
                            ASSERT_EQ(at(c.get(), col, r), source[size_t(r) * w + col]);
                        else
                            ASSERT_EQ(at(c.get(), col, r) >> 24, 0u) << w << "x" << h;
                    }
            }
}

// The rip builder as the plain sequence of filter calls, one call
// after another, each chain in its order.
void bidirectional_by_calls(Image* c) {
    int32_t X = 0, Y = 0, w = c->width / 2, h = c->height / 2;
    while (w != 0 && h != 0) {
        for (int32_t x = X, n = w; n != 0; x += n, n /= 2)
            if (!halve_horizontal(c, x, Y, n, h)) break;
        for (int32_t y = Y, n = h; n != 0; y += n, n /= 2)
            if (!halve_vertical(c, X, y, w, n)) break;
        halve_vertical(c, X + w, Y, w / 2, h);
        X += w;
        Y += h;
        w /= 2;
        h /= 2;
    }
}

// The builder runs each chain row by row and column strip by column strip;
// sources wider than a strip, of odd and even sizes, must still get exactly
// what the call sequence makes.
TEST(MipmapBuilders, BidirectionalEqualsTheCallSequenceForWideSources) {
    const std::pair<int32_t, int32_t> sizes[] = {{127, 3}, {128, 2}, {129, 5},   {255, 9},  {256, 256},
                                                 {257, 66}, {300, 17}, {383, 1}, {513, 31}, {1000, 7},
                                                 {3, 700},  {641, 483}};
    for (const auto& [w, h] : sizes) {
        const std::vector<Pixel> source = pattern(w, h, uint32_t(w * 7 + h));
        test::ImagePtr fused = make_canvas(w, h, RIP, source);
        test::ImagePtr called = make_canvas(w, h, RIP, source);
        build_classic_rip(fused.get());
        bidirectional_by_calls(called.get());
        ASSERT_EQ(test::pixels_of(fused.get()), test::pixels_of(called.get())) << w << "x" << h;
    }
}

// The file write_bmp24 makes of a Pixel canvas.
std::vector<uint8_t> file_bytes_of(const Image* canvas) {
    const std::string path = test::scratch_path("pixel_canvas.bmp");
    EXPECT_TRUE(write_bmp24(path.c_str(), canvas));
    return test::read_file(path);
}

// The run builds the atlas on its file's bytes (three a pixel, rows
// bottom-up, byte kernels sixteen bytes at a time with a plain tail): the
// file must be the one the Pixel canvas gives, for widths on both sides of
// the vector steps, odd ones (row padding, odd pairs) and one-pixel sides.
TEST(MipmapBuilders, FileCanvasGivesTheFileOfThePixelCanvas) {
    const std::pair<int32_t, int32_t> sizes[] = {{1, 1},   {2, 1},  {1, 5},   {3, 2},   {5, 3},  {8, 4},
                                                 {16, 3},  {17, 9}, {18, 2},  {33, 33}, {47, 5}, {49, 6},
                                                 {96, 10}, {97, 7}, {130, 3}, {257, 66}, {3, 100}};
    for (const auto& [w, h] : sizes)
        for (Layout layout : {RIP, MIP}) {
            const std::vector<Pixel> source = pattern(w, h, uint32_t(w * 31 + h));
            test::ImagePtr pixels = make_canvas(w, h, layout, source);
            test::ImagePtr picture = test::make_image(w, h, source);
            BgrImagePtr file = new_file_canvas(picture.get(), layout == RIP);
            ASSERT_TRUE(file);
            if (layout == RIP) {
                build_classic_rip(pixels.get());
                build_classic_rip(file.get());
            } else {
                build_classic_mip(pixels.get());
                build_classic_mip(file.get());
            }
            const std::vector<uint8_t> expected = file_bytes_of(pixels.get());
            ASSERT_EQ(std::vector<uint8_t>(file->file, file->file + file->file_bytes), expected)
                << w << "x" << h << (layout == RIP ? " bi-directional" : " ordinary");
        }
}

// ---------------------------------------------------------------------------

TEST(MipmapEndToEnd, ToolWritesTheAtlasForEachLayout) {
    const int32_t W = 7, H = 5;
    const std::vector<Pixel> source = pattern(W, H, 21, false);
    test::ImagePtr input = test::make_image(W, H, source);
    const std::string path = test::scratch_path("tex.bmp");
    ASSERT_TRUE(write_bmp24(path.c_str(), input.get()));
    const std::string out_path = test::scratch_path("tex_mip.bmp");

    for (Layout layout : {RIP, MIP}) {
        std::vector<std::string> args = {path};
        if (layout == MIP) args.push_back("ord");
        const test::RunResult run = test::run_tool(args);
        EXPECT_EQ(run.status, 0) << run.output;
        test::ImagePtr atlas = test::load_path(load_bmp24, out_path);
        ASSERT_TRUE(atlas) << run.output;
        ASSERT_EQ(atlas->width, 2 * W);
        ASSERT_EQ(atlas->height, canvas_height(H, layout));

        test::ImagePtr canvas = make_canvas(W, H, layout, source);
        Model m = model_of(canvas.get());
        build_model(m, layout);
        EXPECT_EQ(test::pixels_of(atlas.get()), m.px) << (layout == RIP ? "bi-directional" : "ordinary");
    }
}

}  // namespace
