#include "tests/bc7_decode.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "encoders/bc7.h"

namespace test {
namespace {

struct ModeRow {
    int ns, pb, rb, isb, cb, ab, epb, spb, ib, ib2;
};
// The columns of the format's mode table.
const ModeRow MODE_TABLE[8] = {
    {3, 4, 0, 0, 4, 0, 1, 0, 3, 0},
    {2, 6, 0, 0, 6, 0, 0, 1, 3, 0},
    {3, 6, 0, 0, 5, 0, 0, 0, 2, 0},
    {2, 6, 0, 0, 7, 0, 1, 0, 2, 0},
    {1, 0, 2, 1, 5, 6, 0, 0, 2, 3},
    {1, 0, 2, 0, 7, 8, 0, 0, 2, 2},
    {1, 0, 0, 0, 7, 7, 1, 0, 4, 0},
    {2, 6, 0, 0, 5, 5, 1, 0, 2, 0},
};

// One row a partition, one digit a texel (x-major within the 4 x 4 block).
const char* const TWO_SUBSETS[64] = {
    "0011001100110011",
    "0001000100010001",
    "0111011101110111",
    "0001001100110111",
    "0000000100010011",
    "0011011101111111",
    "0001001101111111",
    "0000000100110111",
    "0000000000010011",
    "0011011111111111",
    "0000000101111111",
    "0000000000010111",
    "0001011111111111",
    "0000000011111111",
    "0000111111111111",
    "0000000000001111",
    "0000100011101111",
    "0111000100000000",
    "0000000010001110",
    "0111001100010000",
    "0011000100000000",
    "0000100011001110",
    "0000000010001100",
    "0111001100110001",
    "0011000100010000",
    "0000100010001100",
    "0110011001100110",
    "0011011001101100",
    "0001011111101000",
    "0000111111110000",
    "0111000110001110",
    "0011100110011100",
    "0101010101010101",
    "0000111100001111",
    "0101101001011010",
    "0011001111001100",
    "0011110000111100",
    "0101010110101010",
    "0110100101101001",
    "0101101010100101",
    "0111001111001110",
    "0001001111001000",
    "0011001001001100",
    "0011101111011100",
    "0110100110010110",
    "0011110011000011",
    "0110011010011001",
    "0000011001100000",
    "0100111001000000",
    "0010011100100000",
    "0000001001110010",
    "0000010011100100",
    "0110110010010011",
    "0011011011001001",
    "0110001110011100",
    "0011100111000110",
    "0110110011001001",
    "0110001100111001",
    "0111111010000001",
    "0001100011100111",
    "0000111100110011",
    "0011001111110000",
    "0010001011101110",
    "0100010001110111",
};
const char* const THREE_SUBSETS[64] = {
    "0011001102212222",
    "0001001122112221",
    "0000200122112211",
    "0222002200110111",
    "0000000011221122",
    "0011001100220022",
    "0022002211111111",
    "0011001122112211",
    "0000000011112222",
    "0000111111112222",
    "0000111122222222",
    "0012001200120012",
    "0112011201120112",
    "0122012201220122",
    "0011011211221222",
    "0011200122002220",
    "0001001101121122",
    "0111001120012200",
    "0000112211221122",
    "0022002200221111",
    "0111011102220222",
    "0001000122212221",
    "0000001101220122",
    "0000110022102210",
    "0122012200110000",
    "0012001211222222",
    "0110122112210110",
    "0000011012211221",
    "0022110211020022",
    "0110011020022222",
    "0011012201220011",
    "0000200022112221",
    "0000000211221222",
    "0222002200120011",
    "0011001200220222",
    "0120012001200120",
    "0000111122220000",
    "0120120120120120",
    "0120201212010120",
    "0011220011220011",
    "0011112222000011",
    "0101010122222222",
    "0000000021212121",
    "0022112200221122",
    "0022001100220011",
    "0220122102201221",
    "0101222222220101",
    "0000212121212121",
    "0101010101012222",
    "0222011102220111",
    "0002111200021112",
    "0000211221122112",
    "0222011101110222",
    "0002111211120002",
    "0110011001102222",
    "0000000021122112",
    "0110011022222222",
    "0022001100110022",
    "0022112211220022",
    "0000000000002112",
    "0002000100020001",
    "0222122202221222",
    "0101222222222222",
    "0111201122012220",
};

const int ANCHOR_2_OF_2[64] = {
    15,15,15,15,15,15,15,15, 15,15,15,15,15,15,15,15,
    15, 2, 8, 2, 2, 8, 8,15,  2, 8, 2, 2, 8, 8, 2, 2,
    15,15, 6, 8, 2, 8,15,15,  2, 8, 2, 2, 2,15,15, 6,
     6, 2, 6, 8,15,15, 2, 2, 15,15,15,15,15, 2, 2,15,
};
const int ANCHOR_2_OF_3[64] = {
     3, 3,15,15, 8, 3,15,15,  8, 8, 6, 6, 6, 5, 3, 3,
     3, 3, 8,15, 3, 3, 6,10,  5, 8, 8, 6, 8, 5,15,15,
     8,15, 3, 5, 6,10, 8,15, 15, 3,15, 5,15,15,15,15,
     3,15, 5, 5, 5, 8, 5,10,  5,10, 8,13,15,12, 3, 3,
};
const int ANCHOR_3_OF_3[64] = {
    15, 8, 8, 3,15,15, 3, 8, 15,15,15,15,15,15,15, 8,
    15, 8,15, 3,15, 8,15, 8,  3,15, 6,10,15,15,10, 8,
    15, 3,15,10,10, 8, 9,10,  6,15, 8,15, 3, 6, 6, 8,
    15, 3,15,15,15,15,15,15, 15,15,15,15, 3,15,15, 8,
};

const int FACTORS_2[4] = {0, 21, 43, 64};
const int FACTORS_3[8] = {0, 9, 18, 27, 37, 46, 55, 64};
const int FACTORS_4[16] = {0, 4, 9, 13, 17, 21, 26, 30, 34, 38, 43, 47, 51, 55, 60, 64};

int factor(int bits, int index) {
    return bits == 2 ? FACTORS_2[index] : bits == 3 ? FACTORS_3[index] : FACTORS_4[index];
}

struct Reader {
    const uint8_t* data;
    int at = 0;
    int bits(int count) {
        int value = 0;
        for (int i = 0; i < count; ++i, ++at) value |= (data[at / 8] >> (at % 8) & 1) << i;
        return value;
    }
};

int subset(int ns, int partition, int texel) {
    if (ns == 1) return 0;
    return (ns == 2 ? TWO_SUBSETS : THREE_SUBSETS)[partition][texel] - '0';
}

bool is_anchor(int ns, int partition, int texel) {
    if (texel == 0) return true;
    if (ns == 2) return texel == ANCHOR_2_OF_2[partition];
    if (ns == 3) return texel == ANCHOR_2_OF_3[partition] || texel == ANCHOR_3_OF_3[partition];
    return false;
}

// A value of `width` bits as the top of a byte, its top bits repeated below.
int widen(int value, int width) {
    int result = value << (8 - width);
    for (int filled = width; filled < 8; filled += width) result |= value << (8 - width) >> filled;
    return result & 0xFF;
}

}  // namespace

int bc7_mode(const uint8_t block[16]) {
    for (int m = 0; m < 8; ++m)
        if (block[0] >> m & 1) return m;
    return -1;
}

std::array<Rgba8, 16> decode_bc7(const uint8_t block[16]) {
    std::array<Rgba8, 16> texels{};
    const int mode = bc7_mode(block);
    if (mode < 0) return texels;
    const ModeRow& m = MODE_TABLE[mode];
    Reader in{block, mode + 1};
    const int partition = in.bits(m.pb);
    const int rotation = in.bits(m.rb);
    const int selection = in.bits(m.isb);
    // [subset * 2 + endpoint][channel], as stored, then widened.
    int ends[6][4] = {};
    for (int c = 0; c < 3; ++c)
        for (int e = 0; e < 2 * m.ns; ++e) ends[e][c] = in.bits(m.cb);
    for (int e = 0; e < 2 * m.ns; ++e) ends[e][3] = m.ab ? in.bits(m.ab) : 255;
    int width_colour = m.cb, width_alpha = m.ab;
    if (m.epb) {
        for (int e = 0; e < 2 * m.ns; ++e) {
            const int p = in.bits(1);
            for (int c = 0; c < 4; ++c)
                if (c < 3 || m.ab) ends[e][c] = ends[e][c] << 1 | p;
        }
        ++width_colour;
        if (m.ab) ++width_alpha;
    }
    if (m.spb) {
        for (int s = 0; s < m.ns; ++s) {
            const int p = in.bits(1);
            for (int e = 2 * s; e < 2 * s + 2; ++e)
                for (int c = 0; c < 3; ++c) ends[e][c] = ends[e][c] << 1 | p;
        }
        ++width_colour;
    }
    for (int e = 0; e < 2 * m.ns; ++e) {
        for (int c = 0; c < 3; ++c) ends[e][c] = widen(ends[e][c], width_colour);
        if (m.ab) ends[e][3] = widen(ends[e][3], width_alpha);
    }
    int primary[16], secondary[16] = {};
    for (int t = 0; t < 16; ++t)
        primary[t] = in.bits(m.ib - (is_anchor(m.ns, partition, t) ? 1 : 0));
    if (m.ib2)
        for (int t = 0; t < 16; ++t) secondary[t] = in.bits(m.ib2 - (t == 0 ? 1 : 0));
    for (int t = 0; t < 16; ++t) {
        const int s = subset(m.ns, partition, t);
        int colour_bits = m.ib, colour_index = primary[t];
        int alpha_bits = m.ib, alpha_index = primary[t];
        if (m.ib2) {
            if (selection) {
                colour_bits = m.ib2, colour_index = secondary[t];
            } else {
                alpha_bits = m.ib2, alpha_index = secondary[t];
            }
        }
        int out[4];
        for (int c = 0; c < 4; ++c) {
            const int w = c < 3 ? factor(colour_bits, colour_index) : factor(alpha_bits, alpha_index);
            out[c] = ((64 - w) * ends[2 * s][c] + w * ends[2 * s + 1][c] + 32) >> 6;
        }
        if (rotation) std::swap(out[3], out[rotation - 1]);
        texels[t] = Rgba8{uint8_t(out[0]), uint8_t(out[1]), uint8_t(out[2]), uint8_t(out[3])};
    }
    return texels;
}

std::vector<uint8_t> encode_bc7_picture(const orvandel::Image* image, const orvandel::BlockSettings& settings) {
    const int across = (image->width + 3) / 4, down = (image->height + 3) / 4;
    std::vector<uint8_t> blocks(size_t(across) * size_t(down) * 16);
    for (int by = 0; by < down; ++by)
        for (int bx = 0; bx < across; ++bx) {
            orvandel::Pixel texels[16];
            for (int t = 0; t < 16; ++t) {
                const int x = std::min(bx * 4 + t % 4, image->width - 1);
                const int y = std::min(by * 4 + t / 4, image->height - 1);
                texels[t] = image->pixels[size_t(y) * size_t(image->width) + size_t(x)];
            }
            orvandel::encode_bc7_block(texels, settings, &blocks[(size_t(by) * size_t(across) + size_t(bx)) * 16]);
        }
    return blocks;
}

Bc7Error bc7_picture_error(const orvandel::Image* image, const std::vector<uint8_t>& blocks, bool alpha) {
    const int across = (image->width + 3) / 4;
    double rgb = 0, a = 0;
    for (int by = 0; by * 4 < image->height; ++by)
        for (int bx = 0; bx < across; ++bx) {
            const auto decoded = decode_bc7(&blocks[(size_t(by) * size_t(across) + size_t(bx)) * 16]);
            for (int t = 0; t < 16; ++t) {
                const int x = bx * 4 + t % 4, y = by * 4 + t / 4;
                if (x >= image->width || y >= image->height) continue;
                const orvandel::Pixel p = image->pixels[size_t(y) * size_t(image->width) + size_t(x)];
                const int source[4] = {int(p & 0xFF), int(p >> 8 & 0xFF), int(p >> 16 & 0xFF), alpha ? int(p >> 24) : 255};
                const int got[4] = {decoded[t].r, decoded[t].g, decoded[t].b, decoded[t].a};
                for (int c = 0; c < 3; ++c) rgb += double(got[c] - source[c]) * (got[c] - source[c]);
                a += double(got[3] - source[3]) * (got[3] - source[3]);
            }
        }
    const double texels = double(image->width) * image->height;
    return {rgb / (3 * texels), a / texels};
}

double psnr_db(double mse) {
    return mse <= 0 ? 100.0 : std::min(100.0, 10 * std::log10(255.0 * 255.0 / mse));
}

}  // namespace test
