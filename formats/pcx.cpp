// PCX files.
// Reads: true-colour files of three 8-bit planes (red, green, blue) per scan
// line, and 8-bit palettized files whose 256-colour block (a marker byte 12
// and 768 red, green, blue bytes) ends the file. Only the first plane of an
// 8-bit file is read, one index byte per pixel, whatever the header says of
// its depth.
// Declines: headers cut short, inverted windows, pictures over
// MAX_IMAGE_PIXELS, scan lines that hold fewer bytes than the width and lines
// of 32768 bytes or more (the decoder counts in 16 bits); 24-bit files with
// other than three 8-bit planes; 8-bit files of a version other than 5 or
// without the palette block.
// Damaged data: the end of the file ends the line decoder with a short line.
// The 24-bit loader then declines the file; the 8-bit loader warns, reads the
// missing bytes as index 0 and goes on.
#include "formats/pcx.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace orvandel {

namespace {

constexpr size_t HEADER_BYTES = 128;
constexpr uint8_t PCX_MANUFACTURER = 10;
constexpr uint8_t PALETTE_VERSION = 5;
constexpr uint8_t PALETTE_MARKER = 12;
constexpr long PALETTE_BLOCK_BYTES = 1 + 256 * 3;
constexpr int32_t MAX_LINE_LENGTH = 32767;  // the decoder's count is 16-bit
// Two encoded bytes store at most 63 bytes, so n bytes of data never decode
// to more than 32 n.
constexpr int64_t MAX_EXPANSION = 32;

// What both loaders take from a header once it has been checked.
struct PcxLayout {
    int32_t width;
    int32_t height;
    int16_t line_length;  // all planes of one scan line
};

// The window's size and the line length, or false for an inverted window,
// an empty or over-long line, or a picture over the cap. Each loader checks
// itself that the part of the line it reads holds a whole row.
bool pcx_layout(const PcxHeader& h, PcxLayout* out) {
    if (h.x_max < h.x_min || h.y_max < h.y_min) return false;
    const int32_t width = int32_t(h.x_max) - h.x_min + 1;
    const int32_t height = int32_t(h.y_max) - h.y_min + 1;
    const int32_t line_length = int32_t(h.bytes_per_line) * h.planes;
    if (line_length <= 0 || line_length > MAX_LINE_LENGTH) return false;
    size_t pixels = 0;
    if (!checked_byte_count(width, height, 1, &pixels, MAX_IMAGE_PIXELS)) return false;
    out->width = width;
    out->height = height;
    out->line_length = static_cast<int16_t>(line_length);
    return true;
}

}  // namespace

int read_pcx_header(PcxHeader* header, FILE* stream) {
    uint8_t bytes[HEADER_BYTES];
    if (std::fread(bytes, 1, sizeof bytes, stream) != sizeof bytes) return 0;
    header->manufacturer = bytes[0];
    header->version = bytes[1];
    header->encoding = bytes[2];
    header->bits_per_pixel = bytes[3];
    header->x_min = read_le16(bytes + 4);
    header->y_min = read_le16(bytes + 6);
    header->x_max = read_le16(bytes + 8);
    header->y_max = read_le16(bytes + 10);
    header->h_dpi = read_le16(bytes + 12);
    header->v_dpi = read_le16(bytes + 14);
    std::memcpy(header->header_palette, bytes + 16, sizeof header->header_palette);
    header->reserved = bytes[64];
    header->planes = bytes[65];
    header->bytes_per_line = read_le16(bytes + 66);
    header->palette_info = read_le16(bytes + 68);
    header->h_screen_size = read_le16(bytes + 70);
    header->v_screen_size = read_le16(bytes + 72);
    std::memcpy(header->filler, bytes + 74, sizeof header->filler);
    return 1;
}

// A byte of 192 or more starts a repeat run of its low six bits, the next byte
// being the value; any other byte stands for itself. A run read when the line
// is already full (or that the line cannot hold) waits in `state` for the next
// line. getc_unlocked: one thread, and this is the inner loop of every load.
int16_t decode_pcx_line(PcxRunState* state, uint8_t* line, int16_t length, FILE* stream) {
    int i = 0;
    for (;;) {
        if (state->count > 0 && i < length) {
            const int n = std::min<int>(state->count, length - i);
            std::memset(line + i, state->value, static_cast<size_t>(n));
            i += n;
            state->count = static_cast<uint8_t>(state->count - n);
        }
        if (state->count > 0) return static_cast<int16_t>(i);
        const int b = getc_unlocked(stream);
        if (b == EOF) return static_cast<int16_t>(i);
        if ((b & 0xC0) != 0xC0) {
            if (i < length) {
                line[i++] = static_cast<uint8_t>(b);
                continue;
            }
            state->count = 1;
            state->value = static_cast<uint8_t>(b);
            return static_cast<int16_t>(i);
        }
        const int value = getc_unlocked(stream);
        if (value == EOF) return static_cast<int16_t>(i);
        state->count = static_cast<uint8_t>(b & 0x3F);
        state->value = static_cast<uint8_t>(value);
        if (i >= length) return static_cast<int16_t>(i);
    }
}

Image* load_pcx24(const char* path) {
    FileHandle file = open_file(path, "rb");
    if (!file) return nullptr;
    PcxHeader h;
    if (!read_pcx_header(&h, file.get())) return nullptr;
    if (h.planes != 3 || h.bits_per_pixel != 8) return nullptr;
    PcxLayout layout;
    if (!pcx_layout(h, &layout) || h.bytes_per_line < layout.width) return nullptr;
    // A short line declines the file, so data too short for the whole
    // picture is declined before anything is allocated for it.
    size_t decoded = 0;
    if (!checked_byte_count(layout.height, layout.line_length, 1, &decoded)) return nullptr;
    const int64_t available = bytes_remaining(file.get());
    if (available < 0 || int64_t(decoded) > available * MAX_EXPANSION) return nullptr;

    Image* image = new_image(layout.width, layout.height);
    if (!image) return nullptr;
    std::vector<uint8_t> line(static_cast<size_t>(layout.line_length));
    const uint8_t* red = line.data();
    const uint8_t* green = red + h.bytes_per_line;
    const uint8_t* blue = green + h.bytes_per_line;
    PcxRunState state = {0, 0};
    for (int32_t y = 0; y < layout.height; ++y) {
        if (decode_pcx_line(&state, line.data(), layout.line_length, file.get()) != layout.line_length) {
            free_image(image);
            return nullptr;
        }
        Pixel* out = image->pixels + int64_t(y) * layout.width;
        for (int32_t x = 0; x < layout.width; ++x)
            out[x] = Pixel(blue[x]) << 16 | Pixel(green[x]) << 8 | red[x];
    }
    return image;
}

Image* load_pcx8(const char* path) {
    FileHandle file = open_file(path, "rb");
    if (!file) return nullptr;
    PcxHeader h;
    if (!read_pcx_header(&h, file.get()) || h.manufacturer != PCX_MANUFACTURER) return nullptr;
    PcxLayout layout;
    if (!pcx_layout(h, &layout) || layout.line_length < layout.width) return nullptr;
    if (bytes_remaining(file.get()) < PALETTE_BLOCK_BYTES) return nullptr;

    // The picture's own Pixels hold the indices until the palette, which
    // follows the image data, has been read.
    Image* image = new_image(layout.width, layout.height);
    if (!image) return nullptr;
    std::vector<uint8_t> line(static_cast<size_t>(layout.line_length));
    PcxRunState state = {0, 0};
    for (int32_t y = 0; y < layout.height; ++y) {
        const int16_t got = decode_pcx_line(&state, line.data(), layout.line_length, file.get());
        if (got != layout.line_length) {
            std::printf("Error in decoded line length (was %d should be %d)\n", got, layout.line_length);
            std::fflush(stdout);
            std::fill(line.begin() + got, line.end(), 0);
        }
        Pixel* out = image->pixels + int64_t(y) * layout.width;
        for (int32_t x = 0; x < layout.width; ++x) out[x] = line[x];
    }

    uint8_t block[PALETTE_BLOCK_BYTES];
    if (h.version != PALETTE_VERSION || std::fseek(file.get(), -PALETTE_BLOCK_BYTES, SEEK_END) != 0 ||
        std::fread(block, 1, sizeof block, file.get()) != sizeof block || block[0] != PALETTE_MARKER) {
        free_image(image);
        return nullptr;
    }
    const uint8_t* palette = block + 1;
    const size_t count = size_t(layout.width) * size_t(layout.height);
    for (size_t i = 0; i < count; ++i) image->pixels[i] = pixel_from_rgb(palette + 3 * image->pixels[i]);
    return image;
}

}  // namespace orvandel
