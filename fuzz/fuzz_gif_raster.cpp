// The LZW raster decoder alone, straight from memory: the first bytes choose
// the minimum code size, the frame's size and interlacing, the rest is the
// sub-block chain.
#include <cstdint>
#include <vector>

#include "readers/gif_state.h"

using namespace orvandel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const int min_code_size = data[0] % 10;  // 0 to 9: the refused ones too
    const int32_t width = 1 + data[1] % 64;
    const int32_t height = 1 + data[2] % 64;
    const int flags = data[3] & GIF_FLAG_INTERLACED;
    ByteReader in = make_reader(data + 4, size - 4);
    std::vector<Pixel> pixels(size_t(width) * height, 0);
    GifLoadState state{};
    for (int n = 0; n < 768; ++n) state.palette[n] = static_cast<uint8_t>(n * 7);
    state.width = width;
    state.pixels = pixels.data();
    state.total_height = height;
    state.frame_start = 0;
    state.pixel_count = int64_t(width) * height;
    state.allocated = state.pixel_count;
    state.transparent_index = data[3] & 1 ? data[2] : -1;
    state.keep_alpha = (data[3] & 2) != 0;
    decode_gif_raster(&state, &in, min_code_size, width, height, flags);
    return 0;
}
