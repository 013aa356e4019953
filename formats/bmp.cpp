// BMP files, both directions.
// Reads: uncompressed 24-bit, and 8-bit palettized plain or RLE8, bottom-up,
// with an info header of 40 bytes or longer (the 108- and 124-byte forms
// included); the palette follows the info header, the pixels are read from the
// file's data offset. Declines: every other depth or compression, top-down
// (negative height) files, the old 12- and 16-byte headers, zero sizes, more
// than 256 palette entries, pictures over MAX_IMAGE_PIXELS.
// Damaged data: headers, palettes and uncompressed rows cut short decline the
// file. An RLE8 stream is never refused: the end of the file reads as 0xFF
// bytes, as it always has, and pixels it never reaches stay black.
// Writes: uncompressed 24-bit, through a temporary file renamed into place.
#include "formats/bmp.h"

#include "formats/output_file.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace orvandel {

namespace {

constexpr uint16_t BMP_SIGNATURE = 0x4D42;  // "BM"
constexpr size_t FILE_HEADER_BYTES = 14;
constexpr size_t INFO_HEADER_BYTES = 40;
constexpr int64_t HEADERS_BYTES = FILE_HEADER_BYTES + INFO_HEADER_BYTES;
constexpr uint32_t COMPRESSION_NONE = 0;
constexpr uint32_t COMPRESSION_RLE8 = 1;
// Bytes of stored rows read or written by one fread or fwrite.
constexpr int64_t CHUNK_BYTES = 1 << 20;

// Rows of `stride` bytes per chunk: at least one, at most the picture's.
int32_t rows_in_chunk(int64_t stride, int32_t height) {
    return static_cast<int32_t>(std::max<int64_t>(1, std::min<int64_t>(height, CHUNK_BYTES / stride)));
}

struct BmpFileHeader {
    uint16_t signature;
    uint32_t file_size;
    uint16_t reserved1;
    uint16_t reserved2;
    uint32_t data_offset;
};

struct BmpInfoHeader {
    uint32_t header_size;
    int32_t width;
    int32_t height;
    uint16_t planes;
    uint16_t bits_per_pixel;
    uint32_t compression;
    uint32_t image_size;
    int32_t x_pixels_per_metre;
    int32_t y_pixels_per_metre;
    uint32_t colours_used;
    uint32_t colours_important;
};

// Reads both headers and checks what every loader needs of them before it
// allocates anything: the signature, an info header of the 40-byte form or a
// longer one, and a positive size within the loaders' cap.
bool read_bmp_headers(FILE* file, BmpFileHeader* fh, BmpInfoHeader* ih) {
    uint8_t bytes[HEADERS_BYTES];
    if (std::fread(bytes, 1, sizeof bytes, file) != sizeof bytes) return false;
    fh->signature = read_le16(bytes);
    fh->file_size = read_le32(bytes + 2);
    fh->reserved1 = read_le16(bytes + 6);
    fh->reserved2 = read_le16(bytes + 8);
    fh->data_offset = read_le32(bytes + 10);
    const uint8_t* p = bytes + FILE_HEADER_BYTES;
    ih->header_size = read_le32(p);
    ih->width = static_cast<int32_t>(read_le32(p + 4));
    ih->height = static_cast<int32_t>(read_le32(p + 8));
    ih->planes = read_le16(p + 12);
    ih->bits_per_pixel = read_le16(p + 14);
    ih->compression = read_le32(p + 16);
    ih->image_size = read_le32(p + 20);
    ih->x_pixels_per_metre = static_cast<int32_t>(read_le32(p + 24));
    ih->y_pixels_per_metre = static_cast<int32_t>(read_le32(p + 28));
    ih->colours_used = read_le32(p + 32);
    ih->colours_important = read_le32(p + 36);

    if (fh->signature != BMP_SIGNATURE) return false;
    if (ih->header_size < INFO_HEADER_BYTES) return false;
    if (ih->width <= 0 || ih->height <= 0) return false;
    return int64_t(ih->width) * ih->height <= MAX_IMAGE_PIXELS;
}

// Positions the stream at the pixel data and checks that `needed` bytes follow.
bool seek_pixel_data(FILE* file, const BmpFileHeader& fh, int64_t needed) {
    if (std::fseek(file, static_cast<long>(fh.data_offset), SEEK_SET) != 0) return false;
    return bytes_remaining(file) >= needed;
}

// What the 8-bit decoders fill: the picture being decoded, kept for the unit
// as the format's loaders always have, and handed to load_bmp8 on success.
struct Bmp8State {
    Image* image;
};
Bmp8State bmp8_state;

// The palette follows the info header, with colours_used entries (0 meaning
// 256). Indices beyond it are black. False for more than 256 entries or a
// palette that the file cuts short.
bool read_bmp8_palette(const BmpInfoHeader& ih, FILE* file, Pixel palette[256]) {
    const uint32_t entries = ih.colours_used == 0 ? 256 : ih.colours_used;
    if (entries > 256) return false;
    const int64_t offset = int64_t(FILE_HEADER_BYTES) + ih.header_size;
    if (std::fseek(file, static_cast<long>(offset), SEEK_SET) != 0) return false;
    uint8_t bytes[256 * 4];
    if (std::fread(bytes, 4, entries, file) != entries) return false;
    for (uint32_t i = 0; i < 256; ++i) palette[i] = i < entries ? pixel_from_bgr(bytes + 4 * i) : 0;
    return true;
}

int decode_bmp8_plain(const BmpFileHeader& fh, const BmpInfoHeader& ih, FILE* file) {
    Pixel palette[256];
    if (!read_bmp8_palette(ih, file, palette)) return 0;
    const int64_t stride = (int64_t(ih.width) + 3) & ~int64_t(3);
    if (!seek_pixel_data(file, fh, stride * ih.height)) return 0;
    std::vector<uint8_t> row(static_cast<size_t>(stride));
    Image* image = new_image(ih.width, ih.height);
    if (!image) return 0;
    for (int32_t y = ih.height - 1; y >= 0; --y) {
        if (std::fread(row.data(), 1, row.size(), file) != row.size()) {
            free_image(image);
            return 0;
        }
        Pixel* out = image->pixels + int64_t(y) * ih.width;
        for (int32_t x = 0; x < ih.width; ++x) out[x] = palette[row[x]];
    }
    bmp8_state.image = image;
    return 1;
}

// RLE8. A run that meets the right edge is cut there, and a run that starts
// on a row its pixels have filled is dropped when an end of line follows it:
// encoders pad their rows with runs past the width before ending the line,
// and those pixels belong to no row. Otherwise a run that starts on a finished row goes
// on at column 0 of the row above; that move is made lazily, so a run that
// fills a row followed by an end of line moves up once. Every command consumes
// input or moves up a row, and past the end of the data the 0xFF bytes form
// runs, so decoding always ends.
int decode_bmp8_rle8(const BmpFileHeader& fh, const BmpInfoHeader& ih, FILE* file) {
    Pixel palette[256];
    if (!read_bmp8_palette(ih, file, palette)) return 0;
    if (!seek_pixel_data(file, fh, 0)) return 0;
    const int64_t available = bytes_remaining(file);
    if (available < 0) return 0;
    std::vector<uint8_t> data(static_cast<size_t>(available));
    if (std::fread(data.data(), 1, data.size(), file) != data.size()) return 0;
    Image* image = new_image(ih.width, ih.height);
    if (!image) return 0;

    const int32_t width = ih.width;
    size_t pos = 0;
    auto next_byte = [&]() -> uint8_t { return pos < data.size() ? data[pos++] : 0xFF; };
    auto end_of_line_next = [&]() { return pos + 1 < data.size() && data[pos] == 0 && data[pos + 1] == 0; };
    int32_t x = 0;
    int32_t y = ih.height - 1;
    bool filled = false;  // the row was finished by pixels, not by an end of line
    // Where a run of n pixels starts, and how many of them fit the row (0 for
    // padding); null once the picture is full. x lies beyond the row only after
    // a delta's single wrap, and such a run starts the row above too.
    auto start_run = [&](int n, int* fit) -> Pixel* {
        *fit = 0;
        if (x >= width && filled && end_of_line_next()) return image->pixels;
        if (x >= width) {
            x = 0;
            --y;
        }
        if (y < 0) return nullptr;
        *fit = n < width - x ? n : width - x;
        Pixel* out = image->pixels + int64_t(y) * width + x;
        x += *fit;
        filled = x >= width;
        return out;
    };

    while (y >= 0) {
        const uint8_t n = next_byte();
        int fit = 0;
        if (n != 0) {
            const Pixel colour = palette[next_byte()];
            Pixel* out = start_run(n, &fit);  // the run's bytes are all read: look past them
            if (!out) break;
            for (int i = 0; i < fit; ++i) out[i] = colour;
            continue;
        }
        const uint8_t escape = next_byte();
        if (escape == 0) {
            x = width;
            filled = false;
        } else if (escape == 1) {
            break;
        } else if (escape == 2) {
            const uint8_t dx = next_byte();
            const uint8_t dy = next_byte();
            x += dx;
            y -= dy;
            filled = false;
            if (x >= width) {
                x -= width;
                --y;
            }
        } else {
            const size_t first = pos;
            pos += escape + (escape & 1);
            Pixel* out = start_run(escape, &fit);
            for (int i = 0; i < fit; ++i)
                out[i] = palette[first + i < data.size() ? data[first + i] : 0xFF];
            if (!out) break;
        }
    }
    bmp8_state.image = image;
    return 1;
}

}  // namespace

int64_t bmp24_row_stride(int64_t width) { return (3 * width + 3) & ~int64_t(3); }

int64_t bmp24_file_size(int64_t width, int64_t height) {
    return HEADERS_BYTES + bmp24_row_stride(width) * height;
}

Image* load_bmp24(const char* path) {
    FileHandle file = open_file(path, "rb");
    if (!file) return nullptr;
    BmpFileHeader fh;
    BmpInfoHeader ih;
    if (!read_bmp_headers(file.get(), &fh, &ih)) return nullptr;
    if (ih.bits_per_pixel != 24 || ih.compression != COMPRESSION_NONE) return nullptr;
    const int64_t stride = bmp24_row_stride(ih.width);
    if (!seek_pixel_data(file.get(), fh, stride * ih.height)) return nullptr;
    // Several rows per fread, as the writer does.
    const int32_t rows_per_chunk = rows_in_chunk(stride, ih.height);
    std::vector<uint8_t> chunk(static_cast<size_t>(stride * rows_per_chunk));
    Image* image = new_image(ih.width, ih.height);
    if (!image) return nullptr;
    for (int32_t y = ih.height - 1; y >= 0;) {
        const int32_t rows = std::min(rows_per_chunk, y + 1);
        const size_t bytes = static_cast<size_t>(stride * rows);
        if (std::fread(chunk.data(), 1, bytes, file.get()) != bytes) {
            free_image(image);
            return nullptr;
        }
        for (int32_t n = 0; n < rows; ++n, --y)
            pixels_from_bgr(chunk.data() + n * stride, image->pixels + int64_t(y) * ih.width, ih.width);
    }
    return image;
}

Image* load_bmp8(const char* path) {
    FileHandle file = open_file(path, "rb");
    if (!file) return nullptr;
    BmpFileHeader fh;
    BmpInfoHeader ih;
    if (!read_bmp_headers(file.get(), &fh, &ih)) return nullptr;
    if (ih.bits_per_pixel != 8) return nullptr;
    bmp8_state.image = nullptr;
    int ok = 0;
    if (ih.compression == COMPRESSION_NONE)
        ok = decode_bmp8_plain(fh, ih, file.get());
    else if (ih.compression == COMPRESSION_RLE8)
        ok = decode_bmp8_rle8(fh, ih, file.get());
    Image* image = ok ? bmp8_state.image : nullptr;
    bmp8_state.image = nullptr;
    return image;
}

int write_bmp24(const char* path, const Image* image) {
    if (!image || !image->pixels || image->width <= 0 || image->height <= 0) return 0;
    const int64_t stride = bmp24_row_stride(image->width);
    const int64_t file_size = bmp24_file_size(image->width, image->height);
    if (file_size > int64_t(UINT32_MAX)) return 0;

    OutputHandle file = open_output(path);
    if (!file) return 0;

    uint8_t headers[HEADERS_BYTES] = {};
    write_le16(headers, BMP_SIGNATURE);
    write_le32(headers + 2, static_cast<uint32_t>(file_size));
    write_le32(headers + 10, HEADERS_BYTES);
    uint8_t* info = headers + FILE_HEADER_BYTES;
    write_le32(info, INFO_HEADER_BYTES);
    write_le32(info + 4, static_cast<uint32_t>(image->width));
    write_le32(info + 8, static_cast<uint32_t>(image->height));
    write_le16(info + 12, 1);
    write_le16(info + 14, 24);
    write_le32(info + 20, static_cast<uint32_t>(file_size - HEADERS_BYTES));
    write_le32(info + 24, 96);
    write_le32(info + 28, 96);

    bool ok = write_output(file.get(), headers, sizeof headers);
    // Rows go out several at a time: one large fwrite passes straight to the
    // file, where one per row would cost a system call each. The padding
    // bytes at each row's end are never written and stay zero.
    const int32_t rows_per_chunk = rows_in_chunk(stride, image->height);
    std::vector<uint8_t> chunk(static_cast<size_t>(stride * rows_per_chunk), 0);
    for (int32_t y = image->height - 1; ok && y >= 0;) {
        size_t filled = 0;
        for (int32_t n = 0; n < rows_per_chunk && y >= 0; ++n, --y, filled += static_cast<size_t>(stride))
            bgr_from_pixels(image->pixels + int64_t(y) * image->width, chunk.data() + filled, image->width);
        ok = write_output(file.get(), chunk.data(), filled);
    }
    return ok && commit_output(std::move(file)) ? 1 : 0;
}

}  // namespace orvandel
