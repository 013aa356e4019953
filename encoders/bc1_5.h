// BC1 to BC5 blocks (the Direct3D block-compression formats for colour,
// colour with alpha, one channel and two channels), 4 x 4 texels each.
#ifndef ORVANDEL_ENCODERS_BC1_5_H
#define ORVANDEL_ENCODERS_BC1_5_H

#include <cstdint>

#include "encoders/block_formats.h"
#include "picture/image.h"

namespace orvandel {

// `texels`: 16 Pixels, row-major, top row first.
void encode_bc1_block(const Pixel texels[16], const BlockSettings& settings, uint8_t out[8]);
void encode_bc3_block(const Pixel texels[16], const BlockSettings& settings, uint8_t out[16]);
// One channel: 16 values, row-major.
void encode_bc4_block(const uint8_t values[16], CompressQuality quality, uint8_t out[8]);
void encode_bc5_block(const uint8_t red[16], const uint8_t green[16], CompressQuality quality, uint8_t out[16]);

}  // namespace orvandel

#endif
