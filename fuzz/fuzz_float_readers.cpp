// Feeds each input from memory to the OpenEXR, Radiance and TIFF readers and
// to the 16-bit PNG path; a picture that loads is halved down to 1 x 1 as a
// mip chain, so the float levels see whatever values a file can hold. Small
// pictures only, to keep each input cheap. The fuzzer's allocation cap turns
// any allocation that a header could make huge into a crash, so it also
// checks that the OpenEXR header walk declines such files first.
#include <cstddef>
#include <cstdint>

#include "builders/float_levels.h"
#include "readers/exr.h"
#include "readers/hdr.h"
#include "readers/png.h"
#include "readers/tiff.h"

using namespace orvandel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    LoadOptions options;
    options.max_pixels = int64_t(1) << 16;
    options.high_precision = true;
    for (LoadResult (*reader)(const uint8_t*, size_t, const LoadOptions&) : {load_exr, load_hdr, load_tiff, load_png}) {
        LoadResult result = reader(data, size, options);
        if (!result.picture) {
            if (result.reason.empty() && !result.image) __builtin_trap();
            continue;
        }
        FloatImage& picture = *result.picture;
        if (picture.width <= 0 || picture.height <= 0) __builtin_trap();
        FilterOptions filter;
        filter.filter = FilterKind::kaiser;
        prepare_float_source(&picture, picture.alpha, filter);
        const bool built = build_float_mip(picture, picture.alpha, filter, [](const FloatLevel& level) {
            return level.width > 0 && level.height > 0;
        });
        if (!built) __builtin_trap();
    }
    return 0;
}
