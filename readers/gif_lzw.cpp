// GIF LZW raster decoder: the image data of one frame into rows of Pixels.
// Reads: the variable-length-code LZW stream carried in data sub-blocks, with
// minimum code sizes 2 to 8, rows in sequential or interlaced order.
// Declines: other minimum code sizes (before reading anything), a code above
// the next free dictionary entry, and the next free code with no string before
// it. Damaged data: decoding stops at the first bad code, at a sub-block cut
// short and at image data that ends without an end code; rows finished before
// that stay stored and the row being assembled is dropped. Rows the data holds
// beyond the frame's height are dropped too, and decoding goes on to the end
// code so that the input ends up after the frame's data. A frame's memory is
// taken when its first row is finished, not before.
#include <cstring>
#include <vector>

#include "readers/gif_state.h"

namespace orvandel {

namespace {

constexpr int MAX_CODES = 4096;
constexpr int MAX_CODE_WIDTH = 12;

struct InterlacePass {
    int32_t first_row;
    int32_t step;
};
constexpr InterlacePass INTERLACE_PASSES[4] = {{0, 8}, {4, 8}, {2, 4}, {1, 2}};

// The bits of the data sub-blocks, lowest bit of each byte first. Sub-block
// borders do not show: a code may start in one block and end in the next.
struct GifBitReader {
    ByteReader* in;
    const uint8_t* next;       // next byte of the current sub-block
    const uint8_t* block_end;  // the end of the current sub-block
    uint32_t bits;             // fetched bits not yet used, lowest first
    int bit_count;
};

// The next code of `width` bits, or -1 when the data ends first: a zero
// length byte, the end of the file, or a sub-block shorter than its length.
// Sub-blocks are taken only as a code needs them, so after the end code the
// input stands right after the sub-block that holds its last bit. Inside a
// sub-block two bytes are taken at once where it has them (at most 11 bits
// wait, so 27 fit).
inline int read_code(GifBitReader* reader, int width) {
    if (reader->bit_count < width && reader->block_end - reader->next >= 2) {
        reader->bits |= static_cast<uint32_t>(read_le16(reader->next)) << reader->bit_count;
        reader->next += 2;
        reader->bit_count += 16;
    }
    while (reader->bit_count < width) {
        if (reader->next == reader->block_end) {
            const int length = read_byte(reader->in);
            if (length <= 0) return -1;
            reader->next = take_bytes(reader->in, static_cast<size_t>(length));
            if (!reader->next) return -1;
            reader->block_end = reader->next + length;
        }
        reader->bits |= static_cast<uint32_t>(*reader->next++) << reader->bit_count;
        reader->bit_count += 8;
    }
    const int code = static_cast<int>(reader->bits & ((1u << width) - 1));
    reader->bits >>= width;
    reader->bit_count -= width;
    return code;
}

// Where decoded colour indices go: one row at a time, each finished row
// converted once through the frame's colours into its place in the stack.
struct GifRowSink {
    GifLoadState* state;
    Pixel colours[256];
    uint8_t* row;          // colour indices of the row being assembled
    int32_t row_length;
    int32_t frame_height;
    int32_t column;
    int32_t y;             // frame row the next finished row goes to; >= frame_height once full
    int pass;
    bool interlaced;
};

void advance_row(GifRowSink* sink) {
    if (!sink->interlaced) {
        ++sink->y;
        return;
    }
    sink->y += INTERLACE_PASSES[sink->pass].step;
    while (sink->y >= sink->frame_height && sink->pass < 3) {
        ++sink->pass;
        sink->y = INTERLACE_PASSES[sink->pass].first_row;
    }
}

// False when the frame's memory could not be had.
bool store_row(GifRowSink* sink) {
    GifLoadState* state = sink->state;
    if (state->allocated < state->pixel_count && !reserve_gif_pixels(state)) return false;
    Pixel* out = state->pixels + state->frame_start + int64_t(sink->y) * sink->row_length;
    for (int32_t i = 0; i < sink->row_length; ++i) out[i] = sink->colours[sink->row[i]];
    ++state->rows_stored;
    advance_row(sink);
    return true;
}

// Appends decoded bytes to the rows; a string may finish one row and go on
// at column 0 of the next. Bytes beyond the frame's last row are dropped.
// False when a row could not be stored for want of memory.
bool emit(GifRowSink* sink, const uint8_t* bytes, int count) {
    while (count > 0 && sink->y < sink->frame_height) {
        const int32_t room = sink->row_length - sink->column;
        const int take = count < room ? count : static_cast<int>(room);
        std::memcpy(sink->row + sink->column, bytes, static_cast<size_t>(take));
        sink->column += take;
        bytes += take;
        count -= take;
        if (sink->column == sink->row_length) {
            if (!store_row(sink)) return false;
            sink->column = 0;
        }
    }
    return true;
}

}  // namespace

int decode_gif_raster(GifLoadState* state, ByteReader* in, int min_code_size,
                      int32_t row_length, int32_t frame_height, int flags) {
    if (min_code_size < 2 || min_code_size > 8) return 0;
    // The caller has made room for the frame; a frame that does not fit it
    // would be written outside the array.
    if (row_length <= 0 || row_length != state->width || frame_height < 0 || state->frame_start < 0 ||
        state->frame_start + int64_t(frame_height) * row_length > state->pixel_count)
        return 0;

    const int clear = 1 << min_code_size;
    const int end = clear + 1;
    const int first_free = clear + 2;
    int next_free = first_free;
    int code_width = min_code_size + 1;
    int width_limit = 1 << code_width;
    int previous = -1;
    int first_byte = -1;

    // Flat dictionary: code c is the string of prefix[c] followed by suffix[c],
    // string_length[c] bytes long. Every entry's prefix is a smaller code, so
    // a string unwinds in fewer than MAX_CODES steps, straight into the row
    // when it fits there and onto the byte stack (filled from the top down)
    // when it does not.
    uint16_t prefix[MAX_CODES];
    uint8_t suffix[MAX_CODES];
    uint16_t string_length[MAX_CODES];
    for (int c = 0; c < clear; ++c) string_length[c] = 1;
    uint8_t stack[MAX_CODES];
    std::vector<uint8_t> row(static_cast<size_t>(row_length));

    GifRowSink sink;
    sink.state = state;
    for (int n = 0; n < 256; ++n) sink.colours[n] = pixel_from_rgb(state->palette + 3 * n);
    if (state->keep_alpha)
        for (int n = 0; n < 256; ++n)
            if (n != state->transparent_index) sink.colours[n] |= 0xFF000000u;
    sink.row = row.data();
    sink.row_length = row_length;
    sink.frame_height = frame_height;
    sink.column = 0;
    sink.y = 0;
    sink.pass = 0;
    sink.interlaced = (flags & GIF_FLAG_INTERLACED) != 0;

    GifBitReader reader;
    reader.in = in;
    reader.next = nullptr;
    reader.block_end = nullptr;
    reader.bits = 0;
    reader.bit_count = 0;

    for (;;) {
        const int code = read_code(&reader, code_width);
        if (code < 0) return 0;
        if (code == end) return 1;
        if (code > next_free) return 0;
        if (code == clear) {
            next_free = first_free;
            code_width = min_code_size + 1;
            width_limit = 1 << code_width;
            previous = -1;
            first_byte = -1;
            continue;
        }

        int current = code;
        int length;
        bool repeats_first_byte = false;
        if (code == next_free) {
            // The entry this very code is about to add: the previous string
            // followed by its own first byte.
            if (previous < 0) return 0;
            repeats_first_byte = true;
            current = previous;
            length = string_length[previous] + 1;
        } else {
            length = string_length[current];
        }

        if (sink.y < frame_height && sink.column + length <= row_length) {
            // The whole string fits the row: unwind it straight into place,
            // last byte first.
            uint8_t* out = sink.row + sink.column + length - 1;
            if (repeats_first_byte) *out-- = static_cast<uint8_t>(first_byte);
            while (current >= clear) {
                *out-- = suffix[current];
                current = prefix[current];
            }
            *out = static_cast<uint8_t>(current);
            first_byte = current;
            sink.column += length;
            if (sink.column == row_length) {
                if (!store_row(&sink)) return 0;
                sink.column = 0;
            }
        } else {
            // The string runs into the next row, or the frame is full: unwind
            // it onto the stack and let emit() split it.
            int top = MAX_CODES;
            if (repeats_first_byte) stack[--top] = static_cast<uint8_t>(first_byte);
            while (current >= clear) {
                stack[--top] = suffix[current];
                current = prefix[current];
            }
            first_byte = current;
            stack[--top] = static_cast<uint8_t>(first_byte);
            if (!emit(&sink, stack + top, MAX_CODES - top)) return 0;
        }

        if (next_free < MAX_CODES && previous >= 0) {
            prefix[next_free] = static_cast<uint16_t>(previous);
            suffix[next_free] = static_cast<uint8_t>(first_byte);
            string_length[next_free] = static_cast<uint16_t>(string_length[previous] + 1);
            ++next_free;
            if (next_free >= width_limit && code_width < MAX_CODE_WIDTH) {
                ++code_width;
                width_limit = 1 << code_width;
            }
        }
        previous = code;
    }
}

}  // namespace orvandel
