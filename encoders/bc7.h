// BC7 blocks: 4 x 4 texels of colour and alpha in 16 bytes, in any of the
// format's eight modes.
#ifndef ORVANDEL_ENCODERS_BC7_H
#define ORVANDEL_ENCODERS_BC7_H

#include <cstdint>

#include "encoders/block_formats.h"
#include "picture/image.h"

namespace orvandel {

// `texels`: 16 Pixels, row-major, top row first.
void encode_bc7_block(const Pixel texels[16], const BlockSettings& settings, uint8_t out[16]);

}  // namespace orvandel

#endif
