// What the GIF stream reader and its LZW raster decoder share during one load.
// Private to the two GIF units.
#ifndef ORVANDEL_FORMATS_GIF_STATE_H
#define ORVANDEL_FORMATS_GIF_STATE_H

#include <cstdint>
#include <cstdio>

#include "formats/image.h"

constexpr int GIF_FLAG_COLOUR_TABLE = 0x80;
constexpr int GIF_FLAG_INTERLACED = 0x40;
constexpr int GIF_FLAG_TABLE_SIZE = 0x07;

struct GifLoadState {
    // The colour table of the frame being decoded: 256 entries of red, green,
    // blue. Entries the file never set are black.
    uint8_t palette[768];
    // Row stride of `pixels` in Pixels: the width of the widest frame so far.
    // Narrower frames fill each row from column 0; the rest of the row is black.
    int32_t width;
    // width x total_height Pixels, top row first, every frame below the ones
    // before it. Rows no frame stored are black. Heap memory from malloc.
    Pixel* pixels;
    // Rows in `pixels`, those of the frame being decoded included.
    int32_t total_height;
    // Rows the decoder has stored so far, over all frames.
    int64_t rows_stored;
};

// Decodes one frame's LZW image data into the bottom frame_height rows of
// state->pixels, columns 0 to row_length - 1. `stream` stands at the length
// byte of the first data sub-block. Returns 1 when the end code was read and
// 0 otherwise (a minimum code size outside 2 to 8, a bad code, data that ends
// without an end code); rows finished before a failure stay stored.
int decode_gif_raster(GifLoadState* state, FILE* stream, int min_code_size,
                      int32_t row_length, int32_t frame_height, int flags);

#endif
