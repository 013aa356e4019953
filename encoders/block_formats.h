// The block-compressed formats a texture can be stored in, and the settings
// every block encoder reads. The encoders take texels as Pixels (red in the
// low byte, alpha in the top byte) and give the blocks' bytes as GPUs read them.
#ifndef ORVANDEL_ENCODERS_BLOCK_FORMATS_H
#define ORVANDEL_ENCODERS_BLOCK_FORMATS_H

#include <cstdint>

namespace orvandel {

// rgba16f is no block format but the half-float texels of float sources
// (four halves a texel); -c never names it.
enum class BlockFormat { none, bc1, bc3, bc4, bc5, bc7, astc4x4, astc5x5, astc6x6, astc8x8, rgba16f };
enum class CompressQuality { fast, normal, best };

struct BlockFormatInfo {
    int block_width;   // texels; 1 for none
    int block_height;
    int block_bytes;   // bytes of one block; 4 (one RGBA8 texel) for none, 8 for rgba16f
};

BlockFormatInfo block_format_info(BlockFormat format);

struct BlockSettings {
    CompressQuality quality = CompressQuality::normal;
    // The top bytes are alpha; otherwise every texel is taken as opaque.
    bool alpha = false;
    // BC1 with alpha: texels whose alpha is below this become transparent.
    int alpha_cutoff = 128;
    // The texels are a tangent-space normal map: error is measured without
    // perceptual weights.
    bool normal_map = false;
};

}  // namespace orvandel

#endif
