// Feeds each input straight from memory to the PNG, JPEG and BMP-variant
// readers: each declines at once what is not its format, so one target
// covers all three without the file system in between.
#include <cstddef>
#include <cstdint>

#include "readers/bmp_variants.h"
#include "readers/jpeg.h"
#include "readers/png.h"

using namespace orvandel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    LoadOptions options;
    // Large enough for every header trick, small enough to keep runs fast.
    options.max_pixels = int64_t(1) << 22;
    for (LoadResult (*reader)(const uint8_t*, size_t, const LoadOptions&) : {load_png, load_jpeg, load_bmp_variant}) {
        const LoadResult result = reader(data, size, options);
        if (result.image && (result.image->width <= 0 || result.image->height <= 0)) __builtin_trap();
        if (!result.image && result.reason.empty()) __builtin_trap();
    }
    return 0;
}
