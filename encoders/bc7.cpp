// Stand-in encoder: each block stored in mode 6 as its mean colour, so the
// containers can be built and read back before the real mode search lands.
#include "encoders/bc7.h"

namespace orvandel {

void encode_bc7_block(const Pixel texels[16], const BlockSettings& settings, uint8_t out[16]) {
    int mean[4];
    for (int c = 0; c < 4; ++c) {
        int sum = 0;
        for (int i = 0; i < 16; ++i) sum += (c < 3 || settings.alpha) ? int(texels[i] >> (8 * c) & 0xFF) : 255;
        mean[c] = (sum + 8) / 16;
    }
    // Mode 6: the mode bit, eight 7-bit endpoint values, two p-bits, then
    // the indices (the anchor's 3 bits, then 4 bits each), here all 0.
    uint64_t low = 1u << 6;
    int bit = 7;
    for (int c = 0; c < 4; ++c)
        for (int e = 0; e < 2; ++e, bit += 7) low |= uint64_t(mean[c] >> 1) << bit;
    const uint64_t p = uint64_t(mean[0] & 1);  // one p-bit for all four channels
    low |= p << 63;
    const uint64_t high = p;
    for (int i = 0; i < 8; ++i) {
        out[i] = static_cast<uint8_t>(low >> (8 * i));
        out[8 + i] = static_cast<uint8_t>(high >> (8 * i));
    }
}

}  // namespace orvandel
