// Levels of float and 16-bit pictures from the halvings of resample.h, in
// the same order of passes as the 8-bit builders (a rip-map's block (i, j)
// is the source halved j times down, then i times across; a mip level is
// the one before halved across, then down), so one picture gives the same
// levels either way. Whole blocks are kept here rather than rows: a rip-map
// row of blocks is at most the size of its first block.
#include "builders/float_levels.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <new>
#include <vector>

#include "builders/atlas_layout.h"
#include "builders/coverage.h"

namespace orvandel {

namespace {

double srgb_to_linear(double c) { return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); }

// Every 16-bit value decoded, so integer sources decode by table whatever
// their depth (v / 255 is (257 v) / 65535).
struct Srgb16 {
    float linear[65536];
};
const Srgb16& srgb16() {
    static const Srgb16* table = [] {
        Srgb16* t = new Srgb16;
        for (int v = 0; v < 65536; ++v) t->linear[v] = static_cast<float>(srgb_to_linear(v / 65535.0));
        return t;
    }();
    return *table;
}

float unit_clamp(float v) { return v < 0 ? 0 : v > 1 ? 1 : v; }

struct Plan {
    PassMode mode;
    FilterKind filter;
    EdgeMode edge;
    bool normal;
    int threads;
    Coding coding;  // for BlockView reads only: the blocks here are always values
    Coverage coverage{0, 0, 0};  // threshold 0: alpha as filtered
};

Plan make_plan(const FloatImage& source, bool alpha, const FilterOptions& options) {
    const ValueKind kind = value_kind(options);
    Plan plan;
    plan.mode = PassMode{alpha && kind != ValueKind::normal, kind == ValueKind::normal ? -1.0f : 0.0f,
                         options.filter == FilterKind::kaiser};
    if (source.kind == SampleKind::floating && kind != ValueKind::normal)
        plan.mode.colour_high = std::numeric_limits<float>::infinity();
    plan.filter = options.filter == FilterKind::kaiser ? FilterKind::kaiser : FilterKind::box;
    plan.edge = options.edge;
    plan.normal = kind == ValueKind::normal;
    plan.threads = std::max(1, options.threads);
    plan.coding = make_coding(kind, alpha);
    plan.coverage.threshold = alpha && options.coverage > 0 && options.coverage < 1 ? options.coverage : 0;
    plan.coverage.count = int64_t(source.width) * source.height;
    if (plan.coverage.threshold > 0)
        for (int64_t k = 0; k < plan.coverage.count; ++k)
            plan.coverage.hits += source.pixels[k].v[3] >= plan.coverage.threshold;
    return plan;
}

BlockView view_of(const Linear* values, int32_t width, int32_t height) {
    BlockView view;
    view.values = values;
    view.stride = width;
    view.width = width;
    view.height = height;
    return view;
}

// One halving of a block across (or down) into new memory; normal maps are
// renormalised after it unless the level has a pass still to come.
LinearPtr halve(const BlockView& in, bool across, const Plan& plan, bool finished = true) {
    const Taps taps = make_taps(plan.filter, plan.edge, across ? in.width : in.height);
    const int32_t width = across ? taps.out_size : in.width, height = across ? in.height : taps.out_size;
    LinearPtr out = allocate_linear(width, height);
    if (!out) return out;
    bool made;
    if (across) {
        made = halve_rows(in, plan.coding, taps, plan.mode, plan.threads, out.get());
    } else if (in.width == 1) {
        // A column lies in memory as a row does: halved at a row's cost.
        BlockView column = view_of(in.values, in.height, 1);
        made = halve_rows(column, plan.coding, taps, plan.mode, plan.threads, out.get());
    } else {
        made = halve_columns(in, plan.coding, taps, plan.mode, plan.threads, out.get());
    }
    if (!made) return LinearPtr();
    if (plan.normal && finished) renormalise(out.get(), int64_t(width) * height);
    return out;
}

bool emit(const LevelSink& sink, const Plan& plan, int32_t i, int32_t j, const Linear* values, int32_t width,
          int32_t height) {
    FloatLevel level;
    level.x_level = i;
    level.y_level = j;
    level.values = values;
    level.width = width;
    level.height = height;
    if (plan.coverage.threshold > 0)
        level.alpha_factor = static_cast<float>(
            coverage_factor(AlphaPlane{&values[0].v[3], 4, 4 * int64_t(width), width, height}, plan.coverage));
    return sink(level);
}

}  // namespace

void prepare_float_source(FloatImage* source, bool alpha, const FilterOptions& options) {
    const ValueKind kind = value_kind(options);
    const bool integer = source->kind == SampleKind::integer;
    const Srgb16* table = integer && kind == ValueKind::srgb ? &srgb16() : nullptr;
    const int64_t count = int64_t(source->width) * source->height;
    for (int64_t k = 0; k < count; ++k) {
        float* v = source->pixels[k].v;
        v[3] = alpha ? unit_clamp(v[3]) : 1.0f;
        if (!integer) continue;
        for (int c = 0; c < 3; ++c) {
            const float u = unit_clamp(v[c]);
            v[c] = table ? table->linear[std::lround(u * 65535.0f)] : kind == ValueKind::normal ? 2 * u - 1 : u;
        }
    }
}

bool float_has_alpha(const FloatImage& source) {
    if (!source.alpha) return false;
    const int64_t count = int64_t(source.width) * source.height;
    for (int64_t k = 0; k < count; ++k)
        if (source.pixels[k].v[3] < 1) return true;
    return false;
}

bool build_float_rip(const FloatImage& source, bool alpha, const FilterOptions& options, const LevelSink& sink) {
    try {
        const Plan plan = make_plan(source, alpha, options);
        LinearPtr column;  // block (0, j), for j > 0
        for (int32_t j = 0, height = source.height;; ++j) {
            const Linear* first = j == 0 ? source.pixels.get() : column.get();
            if (!emit(sink, plan, 0, j, first, source.width, height)) return false;
            LinearPtr block;
            const Linear* in = first;
            for (int32_t i = 1, width = source.width; width > 1; ++i) {
                LinearPtr next = halve(view_of(in, width, height), true, plan);
                if (!next) return false;
                width = std::max(1, width / 2);
                if (!emit(sink, plan, i, j, next.get(), width, height)) return false;
                block = std::move(next);
                in = block.get();
            }
            if (height == 1) return true;
            LinearPtr below = halve(view_of(first, source.width, height), false, plan);
            if (!below) return false;
            column = std::move(below);
            height = std::max(1, height / 2);
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool build_float_mip(const FloatImage& source, bool alpha, const FilterOptions& options, const LevelSink& sink) {
    try {
        const Plan plan = make_plan(source, alpha, options);
        if (!emit(sink, plan, 0, 0, source.pixels.get(), source.width, source.height)) return false;
        LinearPtr level;
        int32_t width = source.width, height = source.height;
        for (int32_t k = 1; width > 1 || height > 1; ++k) {
            const Linear* in = k == 1 ? source.pixels.get() : level.get();
            LinearPtr next;
            // A size of 1 halves to itself whatever the filter: that pass is skipped.
            if (width > 1) {
                next = halve(view_of(in, width, height), true, plan, height == 1);
                if (!next) return false;
                width = std::max(1, width / 2);
            }
            if (height > 1) {
                LinearPtr down = halve(view_of(next ? next.get() : in, width, height), false, plan);
                if (!down) return false;
                next = std::move(down);
                height = std::max(1, height / 2);
            }
            level = std::move(next);
            if (!emit(sink, plan, k, k, level.get(), width, height)) return false;
        }
        return true;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

namespace {

// The row's values with alpha scaled for coverage, as the 8-bit builders scale it.
const Linear* row_for_output(const FloatLevel& level, int32_t y, std::vector<Linear>* scaled) {
    const Linear* row = level.values + int64_t(y) * level.width;
    if (level.alpha_factor == 1.0f) return row;
    scaled->assign(row, row + level.width);
    for (Linear& p : *scaled) p.v[3] = static_cast<float>(std::min(1.0, double(level.alpha_factor) * p.v[3]));
    return scaled->data();
}

double linear_to_srgb(double l) { return l <= 0.0031308 ? 12.92 * l : 1.055 * std::pow(l, 1 / 2.4) - 0.055; }

uint16_t encode16(double value) {
    const double v = value * 65535.0 + 0.5;
    return v <= 0 ? 0 : v >= 65535 ? 65535 : static_cast<uint16_t>(v);
}

}  // namespace

void store_level8(const FloatLevel& level, const FilterOptions& options, bool alpha, Image* target, int32_t x0,
                  int32_t y0) {
    const Coding coding = make_coding(value_kind(options), alpha);
    std::vector<Linear> scaled;
    for (int32_t y = 0; y < level.height; ++y)
        encode_row(row_for_output(level, y, &scaled), level.width, coding,
                   target->pixels + int64_t(y0 + y) * target->width + x0);
}

void store_level16(const FloatLevel& level, const FilterOptions& options, WideImage* target, int32_t x0, int32_t y0) {
    const ValueKind kind = value_kind(options);
    std::vector<Linear> scaled;
    for (int32_t y = 0; y < level.height; ++y) {
        const Linear* row = row_for_output(level, y, &scaled);
        uint16_t* out = target->samples.get() + 4 * (int64_t(y0 + y) * target->width + x0);
        for (int32_t x = 0; x < level.width; ++x, out += 4) {
            for (int c = 0; c < 3; ++c) {
                const double v = row[x].v[c];
                out[c] = encode16(kind == ValueKind::srgb ? linear_to_srgb(std::min(1.0, std::max(0.0, v)))
                                  : kind == ValueKind::normal ? (v + 1) / 2 : v);
            }
            out[3] = encode16(row[x].v[3]);
        }
    }
}

void store_level_half(const FloatLevel& level, WideImage* target, int32_t x0, int32_t y0) {
    std::vector<Linear> scaled;
    for (int32_t y = 0; y < level.height; ++y) {
        const Linear* row = row_for_output(level, y, &scaled);
        half_row(row[0].v, 4 * size_t(level.width), target->samples.get() + 4 * (int64_t(y0 + y) * target->width + x0));
    }
}

namespace {

// The atlas's size and where each level goes, as build_atlas places them.
struct Placement {
    int64_t width = 0, height = 0;
    std::vector<int32_t> xs, ys;  // rip: per halving across / down; mip: xs per level
};

Placement place(const FloatImage& source, AtlasLayout layout) {
    Placement p;
    const std::vector<int32_t> widths = halvings(source.width), heights = halvings(source.height);
    if (layout == AtlasLayout::rip) {
        p.width = 2 * int64_t(source.width);
        p.height = 2 * int64_t(source.height);
        p.xs = offsets(widths);
        p.ys = offsets(heights);
        return p;
    }
    const size_t levels = std::max(widths.size(), heights.size());
    int64_t total = 0;
    for (size_t k = 0; k < levels; ++k) {
        p.xs.push_back(static_cast<int32_t>(total));
        total += widths[std::min(k, widths.size() - 1)];
    }
    p.width = std::max<int64_t>(2 * int64_t(source.width), total);
    p.height = source.height;
    return p;
}

template <class Store>
bool fill_atlas(const FloatImage& source, bool alpha, const FilterOptions& options, const Placement& p, Store store) {
    if (options.layout == AtlasLayout::rip)
        return build_float_rip(source, alpha, options, [&](const FloatLevel& level) {
            store(level, p.xs[size_t(level.x_level)], p.ys[size_t(level.y_level)]);
            return true;
        });
    return build_float_mip(source, alpha, options, [&](const FloatLevel& level) {
        store(level, p.xs[size_t(level.x_level)], 0);
        return true;
    });
}

}  // namespace

Atlas build_float_atlas(const FloatImage& source, bool alpha, const FilterOptions& options) {
    const Placement p = place(source, options.layout);
    if (p.width > INT32_MAX) return Atlas{};
    Atlas atlas;
    atlas.alpha = alpha;
    atlas.image.reset(new_image_within(int32_t(p.width), int32_t(p.height), 4 * MAX_IMAGE_PIXELS));
    if (!atlas.image) return Atlas{};
    Image* image = atlas.image.get();
    const bool built = fill_atlas(source, alpha, options, p, [&](const FloatLevel& level, int32_t x, int32_t y) {
        store_level8(level, options, alpha, image, x, y);
    });
    return built ? std::move(atlas) : Atlas{};
}

WideImagePtr build_float_wide_atlas(const FloatImage& source, bool alpha, const FilterOptions& options) {
    const Placement p = place(source, options.layout);
    if (p.width > INT32_MAX) return nullptr;
    WideImagePtr atlas = new_wide_image(int32_t(p.width), int32_t(p.height), 4 * MAX_IMAGE_PIXELS);
    if (!atlas) return nullptr;
    WideImage* image = atlas.get();
    const bool built = fill_atlas(source, alpha, options, p, [&](const FloatLevel& level, int32_t x, int32_t y) {
        store_level16(level, options, image, x, y);
    });
    return built ? std::move(atlas) : nullptr;
}

WideImagePtr build_float_half_atlas(const FloatImage& source, bool alpha, const FilterOptions& options,
                                    Atlas* geometry) {
    const AtlasGeometry g =
        atlas_geometry(source.width, source.height, options.layout, options.padding, options.alignment);
    if (g.width == 0) return nullptr;
    const bool spread = g.padding > 0 || g.alignment > 1;
    WideImagePtr atlas =
        new_wide_image(int32_t(g.width), int32_t(g.height), (spread ? 8 : 4) * MAX_IMAGE_PIXELS);
    if (!atlas) return nullptr;
    WideImage* image = atlas.get();
    // Each level goes straight to its place; only the padding is filled after.
    const auto store = [&](const FloatLevel& level) {
        const size_t k = options.layout == AtlasLayout::rip
                             ? size_t(level.y_level) * size_t(g.levels_across) + size_t(level.x_level)
                             : size_t(level.x_level);
        store_level_half(level, image, g.blocks[k].x, g.blocks[k].y);
        return true;
    };
    const bool built = options.layout == AtlasLayout::rip ? build_float_rip(source, alpha, options, store)
                                                          : build_float_mip(source, alpha, options, store);
    if (!built) return nullptr;
    if (spread) fill_padding(g, options.edge, image);
    describe_atlas(g, geometry);
    return atlas;
}

std::vector<WideImagePtr> build_float_half_chain(const FloatImage& source, bool alpha, const FilterOptions& options) {
    std::vector<WideImagePtr> chain;
    try {
        const bool built = build_float_mip(source, alpha, options, [&](const FloatLevel& level) {
            chain.push_back(new_wide_image(level.width, level.height, MAX_IMAGE_PIXELS));
            if (!chain.back()) return false;
            store_level_half(level, chain.back().get(), 0, 0);
            return true;
        });
        if (!built) chain.clear();
    } catch (const std::bad_alloc&) {
        chain.clear();
    }
    return chain;
}

MipChain build_float_mip_chain(const FloatImage& source, bool alpha, const FilterOptions& options) {
    MipChain chain;
    chain.alpha = alpha;
    try {
        const bool built = build_float_mip(source, alpha, options, [&](const FloatLevel& level) {
            chain.levels.emplace_back(new_image(level.width, level.height));
            if (!chain.levels.back()) return false;
            store_level8(level, options, alpha, chain.levels.back().get(), 0, 0);
            return true;
        });
        return built ? std::move(chain) : MipChain{};
    } catch (const std::bad_alloc&) {
        return MipChain{};
    }
}

}  // namespace orvandel
