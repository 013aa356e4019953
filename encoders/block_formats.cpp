#include "encoders/block_formats.h"

namespace orvandel {

BlockFormatInfo block_format_info(BlockFormat format) {
    switch (format) {
        case BlockFormat::none: return {1, 1, 4};
        case BlockFormat::bc1:
        case BlockFormat::bc4: return {4, 4, 8};
        case BlockFormat::bc3:
        case BlockFormat::bc5:
        case BlockFormat::bc7:
        case BlockFormat::astc4x4: return {4, 4, 16};
        case BlockFormat::astc5x5: return {5, 5, 16};
        case BlockFormat::astc6x6: return {6, 6, 16};
        case BlockFormat::astc8x8: return {8, 8, 16};
        case BlockFormat::rgba16f: return {1, 1, 8};
    }
    return {1, 1, 4};
}

}  // namespace orvandel
