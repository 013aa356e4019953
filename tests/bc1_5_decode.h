// A reference decoder for BC1 to BC5 blocks, written from the Direct3D block
// compression documentation alone (it shares nothing with the encoders), so
// the tests can judge what the encoders write. Values come out as real
// numbers, interpolated exactly as the documentation states them (1/3, 2/3,
// 1/7, ...), for PSNR; and rounded to bytes for comparisons.
#ifndef ORVANDEL_TESTS_BC1_5_DECODE_H
#define ORVANDEL_TESTS_BC1_5_DECODE_H

#include <cstdint>

namespace test {

// One decoded texel: red, green, blue, alpha on the 0..255 scale.
struct Rgba {
    double r, g, b, a;
};

// BC1: `block` is 8 bytes; 16 texels, row-major. `force_four_colours` is the
// colour block of BC2 and BC3, which never uses the three-colour mode.
void decode_bc1(const uint8_t block[8], Rgba out[16], bool force_four_colours = false);
// BC3: 8 bytes of alpha as BC4 stores it, then 8 of colour.
void decode_bc3(const uint8_t block[16], Rgba out[16]);
// BC4 (unsigned): one channel.
void decode_bc4(const uint8_t block[8], double out[16]);
// BC5 (unsigned): red, then green.
void decode_bc5(const uint8_t block[16], double red[16], double green[16]);

// The value a GPU with exact interpolation stores as a byte.
uint8_t to_byte(double v);

enum class BcFormat { bc1, bc3, bc4, bc5 };
// Squared error of one block against its 16 source texels (red in the low
// byte, alpha in the top one), counting only the `columns` x `rows` texels
// inside the picture: the channels each format keeps (RGB, R, RG) and alpha.
struct BlockError {
    double sse = 0, alpha_sse = 0, texels = 0;
};
void add_block_error(BcFormat format, const uint8_t* block, const uint32_t source[16], int columns, int rows,
                     BlockError& total);
// 10 log10(255^2 / mean square), 99 for an exact picture.
double psnr(double sse, double count);

}  // namespace test

#endif
