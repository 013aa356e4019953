// The modern builders: the rip-map grid and the mip strip (or chain) from
// the halvings of resample.h, each block from its predecessor in working
// values, 8-bit values made only for the output; alpha coverage kept per
// block; and the classic filters, reached unchanged, for FilterKind::classic.
#include "builders/modern.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <new>
#include <utility>

#include "builders/atlas_layout.h"
#include "builders/classic.h"
#include "builders/coverage.h"
#include "builders/resample.h"

namespace orvandel {

namespace {

BlockView source_view(const Image& source) {
    BlockView view;
    view.pixels = source.pixels;
    view.stride = source.width;
    view.width = source.width;
    view.height = source.height;
    return view;
}

BlockView values_view(const LinearPtr& values, int32_t width, int32_t height) {
    BlockView view;
    view.values = values.get();
    view.stride = width;
    view.width = width;
    view.height = height;
    return view;
}

Pixel* pixel_at(Image* image, int32_t x, int32_t y) { return image->pixels + int64_t(y) * image->width + x; }

// The source block goes out as it came in: the top byte stays when it is
// alpha and is cleared when it is not.
void copy_source(const Image& source, bool alpha, Image* target) {
    const Pixel mask = alpha ? 0xFFFFFFFFu : 0x00FFFFFFu;
    for (int32_t y = 0; y < source.height; ++y) {
        const Pixel* in = source.pixels + int64_t(y) * source.width;
        Pixel* out = pixel_at(target, 0, y);
        for (int32_t x = 0; x < source.width; ++x) out[x] = in[x] & mask;
    }
}

// The alpha-coverage target of an 8-bit source.
Coverage source_coverage(const Image& source, double threshold) {
    Coverage coverage{threshold, 0, int64_t(source.width) * source.height};
    for (int64_t k = 0; k < coverage.count; ++k)
        if ((source.pixels[k] >> 24) / 255.0 >= threshold) ++coverage.hits;
    return coverage;
}

// Rewrites the alpha bytes of an output block as min(1, f a).
void apply_coverage(const AlphaPlane& plane, const Coverage& coverage, Image* target, int32_t x0, int32_t y0) {
    const double factor = coverage_factor(plane, coverage);
    for (int32_t y = 0; y < plane.height; ++y) {
        const float* row = plane.first + y * plane.row_step;
        Pixel* out = pixel_at(target, x0, y0 + y);
        for (int32_t x = 0; x < plane.width; ++x) {
            const float scaled = static_cast<float>(std::min(1.0, factor * row[x * plane.step]));
            out[x] = (out[x] & 0x00FFFFFFu) | Pixel(encode_unit(scaled)) << 24;
        }
    }
}

AlphaPlane alpha_of(const Linear* values, int32_t width, int32_t height) {
    return AlphaPlane{&values[0].v[3], 4, 4 * int64_t(width), width, height};
}

// Everything a build needs besides the source.
struct Plan {
    Coding coding;
    PassMode mode;
    FilterKind filter;
    EdgeMode edge;
    bool normal;
    int threads;
    const Coverage* coverage;  // null: alpha as filtered
};

Plan make_plan(const FilterOptions& options, bool alpha, const Coverage* coverage) {
    const ValueKind kind = value_kind(options);
    Plan plan;
    plan.coding = make_coding(kind, alpha);
    plan.mode = PassMode{alpha && kind != ValueKind::normal, kind == ValueKind::normal ? -1.0f : 0.0f,
                         options.filter == FilterKind::kaiser};
    plan.filter = options.filter;
    plan.edge = options.edge;
    plan.normal = kind == ValueKind::normal;
    plan.threads = std::max(1, options.threads);
    plan.coverage = alpha ? coverage : nullptr;
    return plan;
}

// A finished block of working values into the output at (x0, y0).
void store_block(const Linear* values, int32_t width, int32_t height, const Plan& plan,
                 Image* target, int32_t x0, int32_t y0) {
    run_bands(band_count(plan.threads, height, width), height, [&](int, int32_t begin, int32_t end) {
        if (width == 1) {
            encode_column(values + begin, end - begin, plan.coding, pixel_at(target, x0, y0 + begin), target->width);
            return;
        }
        for (int32_t y = begin; y < end; ++y)
            encode_row(values + int64_t(y) * width, width, plan.coding, pixel_at(target, x0, y0 + y));
    });
    if (plan.coverage) apply_coverage(alpha_of(values, width, height), *plan.coverage, target, x0, y0);
}

// A block halved down (block (0, j) from (0, j - 1), or a level's second
// pass), in new memory.
bool halve_down(const BlockView& above, const Plan& plan, LinearPtr* out) {
    const Taps taps = make_taps(plan.filter, plan.edge, above.height);
    *out = allocate_linear(above.width, taps.out_size);
    if (!*out) return false;
    // A block one pixel wide lies in memory as a row of its height does, and
    // its halving is that row's: so it is made, at a row's cost per pixel
    // rather than a vertical pass's cost per row.
    BlockView column = above;
    if (above.width == 1) {
        column.stride = above.height;
        column.width = above.height;
        column.height = 1;
    }
    const bool made = above.width == 1 ? halve_rows(column, plan.coding, taps, plan.mode, plan.threads, out->get())
                                       : halve_columns(above, plan.coding, taps, plan.mode, plan.threads, out->get());
    if (!made) return false;
    if (plan.normal) renormalise(out->get(), int64_t(above.width) * taps.out_size);
    return true;
}

// Where the rip-map's blocks go, and the horizontal halvings of its chains.
struct RipGeometry {
    std::vector<int32_t> widths, heights, xs, ys;
    std::vector<Taps> across;  // halving of widths[i], for i + 1 < widths.size()
    int32_t widest_pad = 0;
};

RipGeometry rip_geometry(const Image& source, const Plan& plan) {
    RipGeometry g;
    g.widths = halvings(source.width);
    g.heights = halvings(source.height);
    g.xs = offsets(g.widths);
    g.ys = offsets(g.heights);
    for (size_t i = 0; i + 1 < g.widths.size(); ++i) {
        g.across.push_back(make_taps(plan.filter, plan.edge, g.widths[i]));
        g.widest_pad = std::max(g.widest_pad, g.across.back().pad);
    }
    return g;
}

// fill_chain for a block row one pixel high (the last of every rip-map, and
// all of an N x 1 one's): a level at a time, each halved from the one before
// in segments over the threads, so it holds at most 3/4 of the row in
// working values where two row buffers would hold twice the row.
bool fill_row_chain(const BlockView& column, size_t j, const RipGeometry& g, const Plan& plan, Image* atlas,
                    std::vector<float>* chain_alpha) {
    const int32_t width = g.widths[0];
    if (j > 0) encode_row(column.values, width, plan.coding, pixel_at(atlas, 0, g.ys[j]));
    BlockView in = column;
    LinearPtr previous, level;
    for (size_t i = 1; i < g.widths.size(); ++i) {
        level = allocate_linear(g.widths[i], 1);
        if (!level || !halve_rows(in, plan.coding, g.across[i - 1], plan.mode, plan.threads, level.get())) return false;
        if (plan.normal) renormalise(level.get(), g.widths[i]);
        encode_row(level.get(), g.widths[i], plan.coding, pixel_at(atlas, g.xs[i], g.ys[j]));
        if (plan.coverage) {
            float* alpha = chain_alpha->data() + (g.xs[i] - width);
            for (int32_t x = 0; x < g.widths[i]; ++x) alpha[x] = level[x].v[3];
        }
        previous = std::move(level);
        in = values_view(previous, g.widths[i], 1);
    }
    return true;
}

// Blocks (1, j), (2, j), ... from block (0, j) in `column`, and block (0, j)
// itself when j > 0, a row at a time: horizontal halvings read only their
// own row, so a row of the chain needs two row buffers and no block buffer.
// The chain's alphas go to `chain_alpha` when coverage is asked for.
bool fill_chain(const BlockView& column, size_t j, const RipGeometry& g, const Plan& plan, Image* atlas,
                std::vector<float>* chain_alpha) {
    const size_t columns = g.widths.size();
    const int32_t width = g.widths[0], rows = g.heights[j];
    const int64_t alpha_stride = g.xs[columns - 1] + 1 - width;
    if (plan.coverage) {
        size_t count = 0;
        if (!checked_byte_count(alpha_stride, rows, sizeof(float), &count)) return false;
        try {
            chain_alpha->assign(count / sizeof(float), 0.0f);
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
    if (rows == 1) return fill_row_chain(column, j, g, plan, atlas, chain_alpha);
    const auto pad_after = [&](size_t i) { return i + 1 < columns ? g.across[i].pad : 0; };
    const int bands = band_count(plan.threads, rows, width * int64_t(g.across[0].count));
    std::vector<std::vector<Linear>> buffers(2 * size_t(bands));
    try {
        for (auto& buffer : buffers) buffer.resize(size_t(width) + 2 * size_t(g.widest_pad));
    } catch (const std::bad_alloc&) {
        return false;
    }
    run_bands(bands, rows, [&](int band, int32_t begin, int32_t end) {
        for (int32_t r = begin; r < end; ++r) {
            Linear* in_buffer = buffers[2 * size_t(band)].data();
            Linear* out = buffers[2 * size_t(band) + 1].data();
            // A row of working values that needs no padding is read where it is.
            const Linear* in = in_buffer;
            if (column.values && g.across[0].pad == 0)
                in = column.values + r * column.stride;
            else
                load_padded_row(column, r, plan.coding, g.across[0], in_buffer);
            // Block (0, j) goes out here, while its row is at hand.
            if (j > 0) encode_row(in + g.across[0].pad, width, plan.coding, pixel_at(atlas, 0, g.ys[j] + r));
            for (size_t i = 1; i < columns; ++i) {
                Linear* values = out + pad_after(i);
                halve_row(in, g.across[i - 1], plan.mode, values);
                if (plan.normal) renormalise(values, g.widths[i]);
                encode_row(values, g.widths[i], plan.coding, pixel_at(atlas, g.xs[i], g.ys[j] + r));
                if (plan.coverage) {
                    float* alpha = chain_alpha->data() + r * alpha_stride + (g.xs[i] - width);
                    for (int32_t x = 0; x < g.widths[i]; ++x) alpha[x] = values[x].v[3];
                }
                if (i + 1 < columns) pad_row(out, g.across[i]);
                in = out;
                std::swap(in_buffer, out);
            }
        }
    });
    return true;
}

// The rip-map: block (0, j) from the one above it, then along each row of it
// the blocks (1, j), (2, j), ..., each from the one before it in the chain.
bool fill_rip(const Image& source, const Plan& plan, Image* atlas) {
    const RipGeometry g = rip_geometry(source, plan);
    const size_t columns = g.widths.size();
    LinearPtr above, current;  // blocks (0, j - 1) and (0, j)
    std::vector<float> chain_alpha;  // alphas of blocks (1, j), (2, j), ... for coverage
    for (size_t j = 0; j < g.heights.size(); ++j) {
        BlockView column = source_view(source);
        if (j > 0) {
            const BlockView previous = j == 1 ? source_view(source) : values_view(above, source.width, g.heights[j - 1]);
            if (!halve_down(previous, plan, &current)) return false;
            above.reset();
            column = values_view(current, source.width, g.heights[j]);
            if (columns == 1) store_block(current.get(), source.width, g.heights[j], plan, atlas, 0, g.ys[j]);
        }
        if (columns > 1) {
            if (!fill_chain(column, j, g, plan, atlas, &chain_alpha)) return false;
            const int32_t rows = g.heights[j];
            const int64_t alpha_stride = g.xs[columns - 1] + 1 - source.width;
            if (plan.coverage && j > 0)
                apply_coverage(alpha_of(current.get(), source.width, rows), *plan.coverage, atlas, 0, g.ys[j]);
            if (plan.coverage)
                for (size_t i = 1; i < columns; ++i)
                    apply_coverage(AlphaPlane{chain_alpha.data() + (g.xs[i] - source.width), 1, alpha_stride,
                                              g.widths[i], rows},
                                   *plan.coverage, atlas, g.xs[i], g.ys[j]);
        }
        above = std::move(current);
    }
    return true;
}

// Levels 1, 2, ... down to 1 x 1, each handed to `sink` with its number.
template <class Sink>
bool make_levels(const Image& source, const Plan& plan, Sink&& sink) {
    LinearPtr previous, across, level;
    int32_t width = source.width, height = source.height;
    for (int k = 1; width > 1 || height > 1; ++k) {
        BlockView in = k == 1 ? source_view(source) : values_view(previous, width, height);
        const int32_t next_width = std::max(1, width / 2), next_height = std::max(1, height / 2);
        if (width > 1 && next_width > 1 && height > 1) {
            // Both passes at once: no whole level of horizontal halvings.
            const Taps across_taps = make_taps(plan.filter, plan.edge, width);
            const Taps down_taps = make_taps(plan.filter, plan.edge, height);
            level = allocate_linear(next_width, next_height);
            if (!level || !halve_both(in, plan.coding, across_taps, down_taps, plan.mode, plan.threads, level.get()))
                return false;
            if (plan.normal) renormalise(level.get(), int64_t(next_width) * next_height);
        } else {
            // A size of 1 halves to itself whatever the filter: that pass is skipped.
            if (width > 1) {
                const Taps taps = make_taps(plan.filter, plan.edge, width);
                across = allocate_linear(next_width, height);
                if (!across || !halve_rows(in, plan.coding, taps, plan.mode, plan.threads, across.get()))
                    return false;
                in = values_view(across, next_width, height);
            }
            if (height > 1) {
                if (!halve_down(in, plan, &level)) return false;
            } else {
                level.swap(across);
                if (plan.normal) renormalise(level.get(), int64_t(next_width) * next_height);
            }
        }
        across.reset();
        previous.reset();
        width = next_width;
        height = next_height;
        if (!sink(k, level.get(), width, height)) return false;
        previous.swap(level);
    }
    return true;
}

// The classic atlas, made by the classic builders on their own canvas. An
// alpha source goes through them a second time with its alpha in the red
// byte, so alpha is filtered like any colour channel.
Atlas build_classic(const Image& source, bool alpha, AtlasLayout layout) {
    const bool rip = layout == AtlasLayout::rip;
    const auto build = [&](Pixel (*value)(Pixel)) {
        ImagePtr canvas(new_image_within(2 * source.width, (rip ? 2 : 1) * source.height, 4 * MAX_IMAGE_PIXELS));
        if (!canvas) return canvas;
        for (int32_t y = 0; y < source.height; ++y)
            for (int32_t x = 0; x < source.width; ++x)
                *pixel_at(canvas.get(), x, y) = value(source.pixels[int64_t(y) * source.width + x]);
        if (rip)
            build_classic_rip(canvas.get());
        else
            build_classic_mip(canvas.get());
        return canvas;
    };
    Atlas atlas;
    atlas.image = build([](Pixel p) { return p & 0x00FFFFFFu; });
    describe_atlas(classic_geometry(source.width, source.height, layout), &atlas);
    if (!atlas.image || !alpha) return atlas;
    const ImagePtr alphas = build([](Pixel p) { return p >> 24; });
    if (!alphas) return Atlas{};
    const int64_t count = int64_t(alphas->width) * alphas->height;
    for (int64_t k = 0; k < count; ++k) atlas.image->pixels[k] |= (alphas->pixels[k] & 0xFF) << 24;
    atlas.alpha = true;
    return atlas;
}

bool usable(const Image& source) { return source.pixels && source.width > 0 && source.height > 0; }

}  // namespace

bool image_has_alpha(const Image& source, bool source_alpha) {
    if (!source_alpha || !usable(source)) return false;
    const int64_t count = int64_t(source.width) * source.height;
    for (int64_t k = 0; k < count; ++k)
        if ((source.pixels[k] >> 24) < 255) return true;
    return false;
}

Atlas build_atlas(const Image& source, bool alpha, const FilterOptions& options) {
    if (!usable(source)) return Atlas{};
    try {
        if (options.filter == FilterKind::classic) return build_classic(source, alpha, options.layout);
        Coverage coverage{};
        if (alpha && options.coverage > 0 && options.coverage < 1) coverage = source_coverage(source, options.coverage);
        const Plan plan = make_plan(options, alpha, coverage.count > 0 ? &coverage : nullptr);

        // The blocks are built packed, in the corner of an atlas already
        // the size of the padded one, then moved apart in place.
        const AtlasGeometry packed = atlas_geometry(source.width, source.height, options.layout, 0, 1);
        const AtlasGeometry placed =
            atlas_geometry(source.width, source.height, options.layout, options.padding, options.alignment);
        if (packed.width == 0 || placed.width == 0) return Atlas{};
        const bool spread = placed.padding > 0 || placed.alignment > 1;
        Atlas atlas;
        atlas.alpha = alpha;
        atlas.image.reset(new_image_within(static_cast<int32_t>(placed.width), static_cast<int32_t>(placed.height),
                                           (spread ? 8 : 4) * MAX_IMAGE_PIXELS));
        if (!atlas.image) return Atlas{};
        copy_source(source, alpha, atlas.image.get());
        Image* image = atlas.image.get();
        bool built = true;
        if (options.layout == AtlasLayout::rip) {
            built = fill_rip(source, plan, image);
        } else {
            int32_t x = source.width;
            built = make_levels(source, plan, [&](int, const Linear* level, int32_t w, int32_t h) {
                store_block(level, w, h, plan, image, x, 0);
                x += w;
                return true;
            });
        }
        if (!built) return Atlas{};
        if (spread) place_blocks(packed, placed, options.edge, image);
        describe_atlas(placed, &atlas);
        return atlas;
    } catch (const std::bad_alloc&) {
        return Atlas{};
    }
}

namespace {

// Level 0 is `owned` where given (the source itself, its alpha cleared last
// for an opaque chain, as the other levels read it), else a copy.
MipChain make_mip_chain(const Image& source, ImagePtr owned, bool alpha, const FilterOptions& options) {
    if (!usable(source) || options.filter == FilterKind::classic) return MipChain{};
    try {
        Coverage coverage{};
        if (alpha && options.coverage > 0 && options.coverage < 1) coverage = source_coverage(source, options.coverage);
        const Plan plan = make_plan(options, alpha, coverage.count > 0 ? &coverage : nullptr);
        MipChain chain;
        chain.alpha = alpha;
        chain.levels.emplace_back(owned ? nullptr : new_image(source.width, source.height));
        if (!owned && !chain.levels.back()) return MipChain{};
        if (!owned) copy_source(source, alpha, chain.levels.back().get());
        const bool built = make_levels(source, plan, [&](int, const Linear* level, int32_t w, int32_t h) {
            chain.levels.emplace_back(new_image(w, h));
            if (!chain.levels.back()) return false;
            store_block(level, w, h, plan, chain.levels.back().get(), 0, 0);
            return true;
        });
        if (!built) return MipChain{};
        if (owned) {
            if (!alpha) copy_source(*owned, alpha, owned.get());
            chain.levels.front() = std::move(owned);
        }
        return chain;
    } catch (const std::bad_alloc&) {
        return MipChain{};
    }
}

}  // namespace

MipChain build_mip_chain(const Image& source, bool alpha, const FilterOptions& options) {
    return make_mip_chain(source, nullptr, alpha, options);
}

MipChain build_mip_chain(ImagePtr source, bool alpha, const FilterOptions& options) {
    if (!source) return MipChain{};
    const Image& picture = *source;
    return make_mip_chain(picture, std::move(source), alpha, options);
}

}  // namespace orvandel
