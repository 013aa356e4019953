// Feeds each input through the whole tool from memory: the loaders take the
// bytes as they are, and a picture that loads is made into both atlases, when
// it is small enough to keep the fuzzer fast, both on a Pixel canvas and on
// the file-form canvas the tool builds on; the two files must be the same.
// Each decline must carry its reason.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "builders/classic.h"
#include "cli/common.h"
#include "readers/bmp.h"
#include "readers/load_image.h"
#include "builders/classic.h"

using namespace orvandel;

namespace {

// Atlases for pictures up to 64 x 64, as the damage sweep builds them; and no
// picture over 256 x 256 at all: a header declaring a huge picture is then
// declined before its memory is taken (the largest pictures are the tests'
// business), so the fuzzer's time goes into decoding, not into clearing
// gigabytes.
constexpr int64_t MAX_ATLAS_SOURCE_PIXELS = 1 << 12;
constexpr int64_t MAX_SOURCE_PIXELS = 1 << 16;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Every other input also asks for GIF alpha, so that path is fuzzed too.
    LoadOptions options;
    options.max_pixels = MAX_SOURCE_PIXELS;
    options.gif_transparency = size % 2 == 1;
    LoadResult loaded = load_image_from_memory(data, size, options);
    if ((loaded.image == nullptr) != (loaded.error != LoadError::none) || loaded.image == nullptr) {
        if (loaded.image || loaded.reason.empty()) std::abort();
        return 0;
    }
    const ImagePtr& source = loaded.image;
    if (int64_t(source->width) * source->height > MAX_ATLAS_SOURCE_PIXELS) return 0;
    for (bool rip : {true, false}) {
        ImagePtr canvas = new_canvas(source.get(), rip);
        BgrImagePtr file = new_file_canvas(source.get(), rip);
        if (!canvas || !file) continue;
        if (rip) {
            build_classic_rip(canvas.get());
            build_classic_rip(file.get());
        } else {
            build_classic_mip(canvas.get());
            build_classic_mip(file.get());
        }
        // The file canvas holds the Pixel canvas's colours, its row padding zero.
        if (canvas->width != file->width || canvas->height != file->height) std::abort();
        const size_t padding = size_t(file->stride - 3 * int64_t(file->width));
        for (int32_t y = 0; y < file->height; ++y) {
            const uint8_t* row = bgr_at(file.get(), 0, y);
            for (int32_t x = 0; x < file->width; ++x)
                if (pixel_from_bgr(row + 3 * x) != (canvas->pixels[int64_t(y) * canvas->width + x] & 0xFFFFFFu))
                    std::abort();
            for (size_t k = 0; k < padding; ++k)
                if (row[3 * size_t(file->width) + k] != 0) std::abort();
        }
    }
    return 0;
}
