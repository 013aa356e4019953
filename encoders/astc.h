// ASTC LDR blocks (4x4, 5x5, 6x6, 8x8 texels in 16 bytes) through libastcenc:
// its sRGB profile for sRGB colour, its linear one otherwise, its normal-map
// mode (X in red, green and blue, Y in alpha) for normal maps. One encoder
// serves every level of a texture, on the threads it was made for.
#ifndef ORVANDEL_ENCODERS_ASTC_H
#define ORVANDEL_ENCODERS_ASTC_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "encoders/block_formats.h"
#include "picture/image.h"

struct astcenc_context;

namespace orvandel {

struct AstcContextDeleter {
    void operator()(astcenc_context* context) const;
};
using AstcContextPtr = std::unique_ptr<astcenc_context, AstcContextDeleter>;

struct AstcEncoder {
    AstcContextPtr context;  // null when the library declined
    int threads = 1;
    bool alpha = false;
    bool normal_map = false;
    const char* problem = nullptr;  // why `context` is null
};

// `format` must be one of the ASTC ones. Quality fast, normal and best are
// the library's fast, medium and thorough presets.
AstcEncoder make_astc_encoder(BlockFormat format, const BlockSettings& settings, bool srgb, int threads);

// Encodes `level` (any size; the library repeats the edge texels of blocks
// that reach past it) into `out`, which holds exactly the level's blocks.
// Null on success, else why not.
const char* encode_astc_level(AstcEncoder* encoder, const Image& level, uint8_t* out, size_t out_bytes);

// The blocks of a width x height level decoded as red, green, blue, alpha
// bytes a texel; empty when the library declines them.
std::vector<uint8_t> decode_astc_level(BlockFormat format, bool srgb, const uint8_t* blocks, size_t bytes,
                                       int32_t width, int32_t height);

}  // namespace orvandel

#endif
