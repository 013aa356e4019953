// Stand-in encoders: each block stored as its mean colour, so the containers
// can be built and read back before the real endpoint searches land.
#include "encoders/bc1_5.h"

namespace orvandel {

namespace {

uint16_t rgb565(int r, int g, int b) {
    return static_cast<uint16_t>((r * 31 + 127) / 255 << 11 | (g * 63 + 127) / 255 << 5 | (b * 31 + 127) / 255);
}

int mean_channel(const Pixel texels[16], int shift) {
    int sum = 0;
    for (int i = 0; i < 16; ++i) sum += texels[i] >> shift & 0xFF;
    return (sum + 8) / 16;
}

void solid_bc1(const Pixel texels[16], uint8_t out[8]) {
    const uint16_t c = rgb565(mean_channel(texels, 0), mean_channel(texels, 8), mean_channel(texels, 16));
    write_le16(out, c);
    write_le16(out + 2, c);
    write_le32(out + 4, 0);
}

}  // namespace

void encode_bc1_block(const Pixel texels[16], const BlockSettings&, uint8_t out[8]) { solid_bc1(texels, out); }

void encode_bc3_block(const Pixel texels[16], const BlockSettings& settings, uint8_t out[16]) {
    uint8_t alpha[16];
    for (int i = 0; i < 16; ++i) alpha[i] = settings.alpha ? static_cast<uint8_t>(texels[i] >> 24) : 255;
    encode_bc4_block(alpha, settings.quality, out);
    solid_bc1(texels, out + 8);
}

void encode_bc4_block(const uint8_t values[16], CompressQuality, uint8_t out[8]) {
    int sum = 0;
    for (int i = 0; i < 16; ++i) sum += values[i];
    out[0] = out[1] = static_cast<uint8_t>((sum + 8) / 16);
    for (int i = 2; i < 8; ++i) out[i] = 0;
}

void encode_bc5_block(const uint8_t red[16], const uint8_t green[16], CompressQuality quality, uint8_t out[16]) {
    encode_bc4_block(red, quality, out);
    encode_bc4_block(green, quality, out + 8);
}

}  // namespace orvandel
