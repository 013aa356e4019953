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
        std::vector<uint8_t> bytes;
        stream_bmp24(canvas.get(), ByteSink{[](void* to, const void* p, size_t count) {
                                                auto* out = static_cast<std::vector<uint8_t>*>(to);
                                                const auto* in = static_cast<const uint8_t*>(p);
                                                out->insert(out->end(), in, in + count);
                                                return true;
                                            },
                                            &bytes});
        if (bytes.size() != file->file_bytes || std::memcmp(bytes.data(), file->file, bytes.size()) != 0)
            std::abort();
    }
    return 0;
}
