// Whole levels to the bytes a GPU reads: blocks of a BlockFormat, row by row
// of blocks from the top, or for BlockFormat::none red, green, blue, alpha
// bytes a texel (rgba16f: halves, each little-endian). Blocks are encoded on all the threads the build may use; a
// level that does not fill its last blocks (one smaller than a block
// included) has them filled by repeating its edge texels. The bytes are the
// same whatever the number of threads.
#ifndef ORVANDEL_ENCODERS_COMPRESS_H
#define ORVANDEL_ENCODERS_COMPRESS_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "encoders/astc.h"
#include "encoders/block_formats.h"
#include "picture/float_image.h"
#include "picture/image.h"

namespace orvandel {

struct GpuLevel {
    int32_t width = 0;  // texels
    int32_t height = 0;
    std::vector<uint8_t> bytes;
};

// A texture as the containers take it.
struct GpuTexture {
    BlockFormat format = BlockFormat::none;
    bool srgb = false;   // colour is sRGB-encoded (an _SRGB format)
    bool alpha = false;  // alpha is kept; otherwise every texel is opaque
    std::vector<GpuLevel> levels;  // the largest first; a chain halves down from it
};

// Bytes of a width x height level in `format`, or false when a size is not
// positive or the count is too large.
bool level_byte_count(BlockFormat format, int32_t width, int32_t height, size_t* out);

// The texture's levels as a container can hold them: at least one, each of
// its byte count, and after the first each max(1, half) of the one before.
// Null when it is so, else why not.
const char* check_gpu_texture(const GpuTexture& texture);

struct CompressOptions {
    BlockFormat format = BlockFormat::none;
    BlockSettings settings;  // settings.alpha: the Pixels' top bytes are alpha, and kept
    bool srgb = false;
    int threads = 1;
};

// What one texture's levels are encoded with (ASTC keeps its library's
// context here from level to level).
struct Compressor {
    CompressOptions options;
    AstcEncoder astc;
};

// False when the encoder could not be made (ASTC only), with the reason in
// *problem.
bool make_compressor(const CompressOptions& options, Compressor* out, const char** problem);

// `level` encoded as compressor->options say. Null on success, else why not.
const char* compress_level(Compressor* compressor, const Image& level, GpuLevel* out);

// An rgba16f level from half_bits samples. Null on success, else why not.
const char* half_float_level(const WideImage& level, GpuLevel* out);

}  // namespace orvandel

#endif
