// Interim builders for the modern command line until the linear-light ones
// land: the classic atlas, with alpha carried through the same classic filters
// as one more channel, and a plain 2 x 2 box mip chain. Options other than the
// layout are not looked at.
#include <cstring>

#include "mipmap/mipmap.h"
#include "mipmap/modern.h"

namespace orvandel {

namespace {

constexpr Pixel ALPHA_MASK = 0xFF000000u;

// The classic canvas of the source with `channel` (0 colour, else alpha moved
// into the red byte), built in place.
ImagePtr classic_atlas(const Image& source, bool rip, bool alpha_channel) {
    const int64_t width = 2 * int64_t(source.width);
    const int64_t height = (rip ? 2 : 1) * int64_t(source.height);
    if (width > INT32_MAX || height > INT32_MAX) return nullptr;
    ImagePtr canvas(new_image_within(int32_t(width), int32_t(height), 4 * MAX_IMAGE_PIXELS));
    if (!canvas) return nullptr;
    for (int32_t y = 0; y < source.height; ++y) {
        const Pixel* in = source.pixels + int64_t(y) * source.width;
        Pixel* out = canvas->pixels + int64_t(y) * canvas->width;
        for (int32_t x = 0; x < source.width; ++x) out[x] = alpha_channel ? in[x] >> 24 : in[x] & ~ALPHA_MASK;
    }
    if (rip)
        build_bidirectional_mipmap(canvas.get());
    else
        build_ordinary_mipmap(canvas.get());
    return canvas;
}

}  // namespace

bool image_has_alpha(const Image& source, bool source_alpha) {
    if (!source_alpha) return false;
    const int64_t count = int64_t(source.width) * source.height;
    for (int64_t i = 0; i < count; ++i)
        if ((source.pixels[i] >> 24) != 255) return true;
    return false;
}

Atlas build_atlas(const Image& source, bool alpha, const FilterOptions& options) {
    const bool rip = options.layout == AtlasLayout::rip;
    Atlas atlas;
    atlas.image = classic_atlas(source, rip, false);
    if (!atlas.image || !alpha) return atlas;
    ImagePtr alphas = classic_atlas(source, rip, true);
    if (!alphas) {
        atlas.image.reset();
        return atlas;
    }
    const int64_t count = int64_t(atlas.image->width) * atlas.image->height;
    for (int64_t i = 0; i < count; ++i) atlas.image->pixels[i] |= (alphas->pixels[i] & 0xFF) << 24;
    atlas.alpha = true;
    return atlas;
}

MipChain build_mip_chain(const Image& source, bool alpha, const FilterOptions&) {
    MipChain chain;
    ImagePtr level(new_image(source.width, source.height));
    if (!level) return chain;
    const int64_t count = int64_t(source.width) * source.height;
    for (int64_t i = 0; i < count; ++i) level->pixels[i] = alpha ? source.pixels[i] : source.pixels[i] & ~ALPHA_MASK;
    chain.levels.push_back(std::move(level));
    while (chain.levels.back()->width > 1 || chain.levels.back()->height > 1) {
        const Image& above = *chain.levels.back();
        ImagePtr next(new_image(above.width > 1 ? above.width / 2 : 1, above.height > 1 ? above.height / 2 : 1));
        if (!next) return MipChain();
        for (int32_t y = 0; y < next->height; ++y)
            for (int32_t x = 0; x < next->width; ++x) {
                const int32_t x0 = above.width > 1 ? 2 * x : 0, y0 = above.height > 1 ? 2 * y : 0;
                const int32_t x1 = above.width > 1 ? x0 + 1 : x0, y1 = above.height > 1 ? y0 + 1 : y0;
                const Pixel p[4] = {above.pixels[int64_t(y0) * above.width + x0],
                                    above.pixels[int64_t(y0) * above.width + x1],
                                    above.pixels[int64_t(y1) * above.width + x0],
                                    above.pixels[int64_t(y1) * above.width + x1]};
                Pixel out = 0;
                for (int shift = 0; shift < 32; shift += 8) {
                    uint32_t sum = 0;
                    for (Pixel q : p) sum += (q >> shift) & 0xFF;
                    out |= (sum / 4) << shift;
                }
                next->pixels[int64_t(y) * next->width + x] = out;
            }
        chain.levels.push_back(std::move(next));
    }
    chain.alpha = alpha;
    return chain;
}

}  // namespace orvandel
