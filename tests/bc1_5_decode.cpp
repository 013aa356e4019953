#include "bc1_5_decode.h"

#include <algorithm>
#include <cmath>

namespace test {

namespace {

Rgba colour_565(unsigned c) {
    return {double(c >> 11 & 31) * 255.0 / 31.0, double(c >> 5 & 63) * 255.0 / 63.0, double(c & 31) * 255.0 / 31.0,
            255.0};
}

Rgba mix(const Rgba& x, double wx, const Rgba& y, double wy, double total) {
    return {(wx * x.r + wy * y.r) / total, (wx * x.g + wy * y.g) / total, (wx * x.b + wy * y.b) / total, 255.0};
}

}  // namespace

void decode_bc1(const uint8_t block[8], Rgba out[16], bool force_four_colours) {
    const unsigned c0 = block[0] | block[1] << 8, c1 = block[2] | block[3] << 8;
    Rgba palette[4];
    palette[0] = colour_565(c0);
    palette[1] = colour_565(c1);
    if (c0 > c1 || force_four_colours) {
        palette[2] = mix(palette[0], 2, palette[1], 1, 3);
        palette[3] = mix(palette[0], 1, palette[1], 2, 3);
    } else {
        palette[2] = mix(palette[0], 1, palette[1], 1, 2);
        palette[3] = {0, 0, 0, 0};
    }
    const uint32_t bits = uint32_t(block[4]) | uint32_t(block[5]) << 8 | uint32_t(block[6]) << 16 |
                          uint32_t(block[7]) << 24;
    for (int i = 0; i < 16; ++i) out[i] = palette[bits >> (2 * i) & 3];
}

void decode_bc4(const uint8_t block[8], double out[16]) {
    const double r0 = block[0], r1 = block[1];
    double palette[8] = {r0, r1};
    if (block[0] > block[1]) {
        for (int k = 1; k <= 6; ++k) palette[k + 1] = ((7 - k) * r0 + k * r1) / 7.0;
    } else {
        for (int k = 1; k <= 4; ++k) palette[k + 1] = ((5 - k) * r0 + k * r1) / 5.0;
        palette[6] = 0.0;
        palette[7] = 255.0;
    }
    uint64_t bits = 0;
    for (int i = 0; i < 6; ++i) bits |= uint64_t(block[2 + i]) << (8 * i);
    for (int i = 0; i < 16; ++i) out[i] = palette[bits >> (3 * i) & 7];
}

void decode_bc3(const uint8_t block[16], Rgba out[16]) {
    double alpha[16];
    decode_bc4(block, alpha);
    decode_bc1(block + 8, out, true);
    for (int i = 0; i < 16; ++i) out[i].a = alpha[i];
}

void decode_bc5(const uint8_t block[16], double red[16], double green[16]) {
    decode_bc4(block, red);
    decode_bc4(block + 8, green);
}

uint8_t to_byte(double v) {
    return static_cast<uint8_t>(std::lround(v < 0 ? 0 : v > 255 ? 255 : v));
}

void add_block_error(BcFormat format, const uint8_t* block, const uint32_t source[16], int columns, int rows,
                     BlockError& total) {
    Rgba c[16];
    double red[16], green[16];
    if (format == BcFormat::bc1) decode_bc1(block, c);
    if (format == BcFormat::bc3) decode_bc3(block, c);
    if (format == BcFormat::bc4) decode_bc4(block, red);
    if (format == BcFormat::bc5) decode_bc5(block, red, green);
    for (int i = 0; i < 16; ++i) {
        if (i % 4 >= columns || i / 4 >= rows) continue;
        const double r = source[i] & 0xFF, g = source[i] >> 8 & 0xFF, b = source[i] >> 16 & 0xFF;
        total.texels += 1;
        if (format == BcFormat::bc4 || format == BcFormat::bc5) {
            total.sse += (red[i] - r) * (red[i] - r) + (format == BcFormat::bc5 ? (green[i] - g) * (green[i] - g) : 0);
            continue;
        }
        total.sse += (c[i].r - r) * (c[i].r - r) + (c[i].g - g) * (c[i].g - g) + (c[i].b - b) * (c[i].b - b);
        const double a = double(source[i] >> 24);
        total.alpha_sse += (c[i].a - a) * (c[i].a - a);
    }
}

double psnr(double sse, double count) {
    return sse <= 0 ? 99.0 : std::min(99.0, 10 * std::log10(255.0 * 255.0 * count / sse));
}

}  // namespace test
