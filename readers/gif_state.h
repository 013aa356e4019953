// What the GIF stream reader and its LZW raster decoder share during one load.
// Private to the two GIF units.
#ifndef ORVANDEL_READERS_GIF_STATE_H
#define ORVANDEL_READERS_GIF_STATE_H

#include <cstdint>
#include "io/byte_reader.h"

#include "picture/image.h"

namespace orvandel {

constexpr int GIF_FLAG_COLOUR_TABLE = 0x80;
constexpr int GIF_FLAG_INTERLACED = 0x40;
constexpr int GIF_FLAG_TABLE_SIZE = 0x07;
constexpr int GIF_FLAG_TRANSPARENT = 0x01;  // in a graphic control block

struct GifLoadState {
    // The colour table of the frame being decoded: 256 entries of red, green,
    // blue. Entries the file never set are black.
    uint8_t palette[768];
    // The frame's transparent colour index, or -1; used only when
    // `keep_alpha` is set, which gives every other index alpha 255.
    int transparent_index;
    bool keep_alpha;
    // Some frame declared a transparent colour: only then has the picture alpha.
    bool any_transparency;
    // The width of the frame being decoded: the row stride of its Pixels.
    int32_t width;
    // The rows of every frame read so far, each frame at its own width, one
    // frame after another; the loader lays them out at the widest width once
    // all are read. From allocate_zeroed; rows no frame stored are black.
    // The array holds `allocated` Pixels: a frame's memory is taken when its
    // first row is stored, so a file that declares big frames but holds no
    // rows costs nothing.
    Pixel* pixels;
    int64_t allocated;
    // Set when memory for a frame could not be had; decoding then stops.
    bool out_of_memory;
    // Rows in `pixels`, those of the frame being decoded included.
    int32_t total_height;
    // Where the frame being decoded begins in `pixels`, and how many Pixels
    // `pixels` holds; the frame's width x height Pixels lie inside it.
    int64_t frame_start;
    int64_t pixel_count;
    // Rows the decoder has stored so far, over all frames.
    int64_t rows_stored;
};

// Makes `pixels` hold all pixel_count Pixels, the new ones black; false (and
// out_of_memory set) when the memory is not there.
bool reserve_gif_pixels(GifLoadState* state);

// Decodes one frame's LZW image data into its frame_height rows of
// row_length Pixels at state->frame_start. `in` stands at the length
// byte of the first data sub-block. Returns 1 when the end code was read and
// 0 otherwise (a minimum code size outside 2 to 8, a bad code, data that ends
// without an end code); rows finished before a failure stay stored.
int decode_gif_raster(GifLoadState* state, ByteReader* in, int min_code_size,
                      int32_t row_length, int32_t frame_height, int flags);

}  // namespace orvandel

#endif
