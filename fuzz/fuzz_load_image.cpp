// Feeds each input through the whole tool: the bytes become a file (the
// loaders take a path), and a picture that loads is made into both atlases
// and written, when it is small enough to keep the fuzzer fast.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "app/driver.h"
#include "formats/bmp.h"
#include "formats/load_image.h"
#include "mipmap/mipmap.h"

using namespace orvandel;

namespace {

constexpr int64_t MAX_ATLAS_SOURCE_PIXELS = 1 << 16;

const std::string& scratch(const char* suffix) {
    static std::string paths[2];
    std::string& path = paths[suffix[0] == 'o'];
    if (path.empty()) path = "/tmp/orvandel-fuzz-" + std::to_string(getpid()) + "-" + suffix;
    return path;
}

}  // namespace

// The 8-bit PCX loader reports short lines on standard output; the fuzzer
// would print millions of them.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (!std::freopen("/dev/null", "w", stdout)) return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string& input = scratch("in");
    FILE* file = std::fopen(input.c_str(), "wb");
    if (!file) return 0;
    std::fwrite(data, 1, size, file);
    std::fclose(file);

    Image* source = load_image(input.c_str());
    if (source && int64_t(source->width) * source->height <= MAX_ATLAS_SOURCE_PIXELS) {
        for (bool bidirectional : {true, false}) {
            Image* canvas = new_canvas(source, bidirectional);
            if (!canvas) continue;
            if (bidirectional)
                build_bidirectional_mipmap(canvas);
            else
                build_ordinary_mipmap(canvas);
            write_bmp24(scratch("out").c_str(), canvas);
            free_image(canvas);
        }
    }
    free_image(source);
    return 0;
}
