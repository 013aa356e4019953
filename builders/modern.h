// The modern atlas builders: linear-light, alpha-aware filtering with clean
// levels down to 1 x 1, for the modern command line. The classic filters stay
// in classic.h and are reached from here through FilterKind::classic.
#ifndef ORVANDEL_BUILDERS_MODERN_H
#define ORVANDEL_BUILDERS_MODERN_H

#include "builders/filter_options.h"
#include "picture/atlas.h"
#include "picture/bmp_layout.h"
#include "picture/image.h"

namespace orvandel {

// True when some Pixel's top byte is below 255: only such a source gives an
// RGBA atlas. `source_alpha` says whether the top byte is alpha at all.
bool image_has_alpha(const Image& source, bool source_alpha);

// The atlas of `source` in options.layout. `alpha`: the source's top bytes
// are alpha and some are below 255 (image_has_alpha); the atlas is then RGBA.
Atlas build_atlas(const Image& source, bool alpha, const FilterOptions& options);

// The mip levels of `source` (options.layout is ignored; FilterKind::classic
// is not offered here).
MipChain build_mip_chain(const Image& source, bool alpha, const FilterOptions& options);
// The same, with the source's own pixels as level 0 instead of a copy.
MipChain build_mip_chain(ImagePtr source, bool alpha, const FilterOptions& options);

// The rip atlas of an opaque picture built where its 24-bit BMP file's bytes
// are: `canvas` is new_bmp24_atlas(w, h, true) with the picture in its
// top-left corner. Its file then holds the bytes build_atlas's atlas gives
// through write_bmp24. False when the memory could not be had. `streamed`,
// when given, says whether the rows streamed all the way (rather than the
// build falling back to build_atlas).
bool build_rip_in_file(BgrImage* canvas, const FilterOptions& options, bool* streamed = nullptr);

// Whether build_rip_in_file streams a w x h picture with these options (it
// goes through build_atlas otherwise, holding both atlases for a moment).
bool rip_streams(int32_t width, int32_t height, const FilterOptions& options);

}  // namespace orvandel

#endif
