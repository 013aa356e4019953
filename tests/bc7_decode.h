// A BC7 block decoder for the tests and the benchmark, written from the
// format's public description (the Direct3D BC7 documentation and the
// OpenGL BPTC extension) and sharing nothing with the encoder: its own bit
// reader, its own form of the partition tables (one digit a texel, as the
// documents print them), its own mode table.
#ifndef ORVANDEL_TESTS_BC7_DECODE_H
#define ORVANDEL_TESTS_BC7_DECODE_H

#include <array>
#include <cstdint>
#include <vector>

#include "encoders/block_formats.h"
#include "picture/image.h"

namespace test {

struct Rgba8 {
    uint8_t r, g, b, a;
    bool operator==(const Rgba8& o) const { return r == o.r && g == o.g && b == o.b && a == o.a; }
};

// The 16 texels of one block, row-major. A block whose low byte is 0 (no
// mode) decodes to transparent black, as Direct3D specifies.
std::array<Rgba8, 16> decode_bc7(const uint8_t block[16]);

// The mode of a block (0-7), or -1 for the reserved low byte 0.
int bc7_mode(const uint8_t block[16]);

// A whole picture's blocks, left to right, top to bottom, through
// encode_bc7_block; blocks past the right or bottom edge repeat the edge texels.
std::vector<uint8_t> encode_bc7_picture(const orvandel::Image* image, const orvandel::BlockSettings& settings);

// Mean squared error of the decoded blocks against the picture's own texels
// (those inside it only): over red, green and blue together, and over alpha
// (against 255 where `alpha` is false).
struct Bc7Error {
    double rgb_mse;
    double alpha_mse;
};
Bc7Error bc7_picture_error(const orvandel::Image* image, const std::vector<uint8_t>& blocks, bool alpha);

// Peak signal-to-noise ratio in dB for 8-bit values; an exact result (mean
// squared error 0) counts as 100 dB so that means over pictures stay finite.
double psnr_db(double mse);

}  // namespace test

#endif
