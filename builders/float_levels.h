// The levels of pictures of more than 8 bits a channel: every (i, j)
// halving of a rip-map or every level of a mip chain, made from full
// precision by resample.h's halvings and handed out one at a time, in
// working values, for a writer to store as it likes (OpenEXR levels, 8- or
// 16-bit atlases).
#ifndef ORVANDEL_BUILDERS_FLOAT_LEVELS_H
#define ORVANDEL_BUILDERS_FLOAT_LEVELS_H

#include <cstdint>
#include <functional>
#include <vector>

#include "builders/filter_options.h"
#include "builders/resample.h"
#include "picture/atlas.h"
#include "picture/float_image.h"

namespace orvandel {

// One finished level. Colour is linear light (float sources, and integer
// ones with --colour srgb), the stored value (--colour linear) or a unit
// vector (normal maps); alpha in [0, 1], to be scaled by alpha_factor
// (capped at 1) where alpha coverage is kept.
struct FloatLevel {
    int32_t x_level = 0, y_level = 0;  // halvings across and down
    const Linear* values = nullptr;
    int32_t width = 0, height = 0;
    float alpha_factor = 1.0f;
};
// Takes each level as it is made; false stops the build (and fails it).
using LevelSink = std::function<bool(const FloatLevel&)>;

// The source's values made working values in place: integer samples
// sRGB-decoded (--colour srgb) or mapped to vectors (--normal), alpha set to
// 1 everywhere unless `alpha`. Float sources keep their colour as it is.
void prepare_float_source(FloatImage* source, bool alpha, const FilterOptions& options);

// True when some alpha of a prepared or raw source is below 1.
bool float_has_alpha(const FloatImage& source);

// Every level of the rip-map, (0, 0) first, then (1, 0), (2, 0) ..., then
// (0, 1), (1, 1) ..., as OpenEXR stores them. False when memory ran out or
// the sink said so.
bool build_float_rip(const FloatImage& source, bool alpha, const FilterOptions& options, const LevelSink& sink);
// Levels (k, k) of the mip chain, the source first, down to 1 x 1.
bool build_float_mip(const FloatImage& source, bool alpha, const FilterOptions& options, const LevelSink& sink);

// A level into 8-bit Pixels of `target` at (x0, y0), or into 16-bit samples,
// coded as value_kind(options) says (sRGB, as stored, or vectors), clamped.
void store_level8(const FloatLevel& level, const FilterOptions& options, bool alpha, Image* target, int32_t x0,
                  int32_t y0);
void store_level16(const FloatLevel& level, const FilterOptions& options, WideImage* target, int32_t x0, int32_t y0);

// The whole atlas in options.layout (same geometry as build_atlas), 8-bit
// or 16-bit; null/empty when memory ran out.
Atlas build_float_atlas(const FloatImage& source, bool alpha, const FilterOptions& options);
WideImagePtr build_float_wide_atlas(const FloatImage& source, bool alpha, const FilterOptions& options);
// The 8-bit mip chain (for DDS).
MipChain build_float_mip_chain(const FloatImage& source, bool alpha, const FilterOptions& options);

// A level as half_bits samples into `target` at (x0, y0): the working
// values as they are (linear light above 1 too, or vectors), alpha straight.
void store_level_half(const FloatLevel& level, WideImage* target, int32_t x0, int32_t y0);
// The half-float atlas in options.layout with options.padding and
// options.alignment, as build_atlas places and pads its blocks, and their
// places in *geometry (its image stays null); null when memory ran out.
WideImagePtr build_float_half_atlas(const FloatImage& source, bool alpha, const FilterOptions& options,
                                    Atlas* geometry);
// The half-float mip chain, the source first, down to 1 x 1; empty when
// memory ran out.
std::vector<WideImagePtr> build_float_half_chain(const FloatImage& source, bool alpha, const FilterOptions& options);

}  // namespace orvandel

#endif
