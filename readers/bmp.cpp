// The classic BMP readers.
// Reads: uncompressed 24-bit (its rows copied on LoadOptions::threads
// threads), and 8-bit palettized plain or RLE8, bottom-up, with an info
// header of 40 bytes or longer (the 108- and 124-byte forms included); the
// palette follows the info header, the pixels are read from the file's data
// offset. Declines: every other depth or compression, top-down (negative
// height) files, the old 12- and 16-byte headers, zero sizes, more than 256
// palette entries, pictures over MAX_IMAGE_PIXELS.
// Damaged data: headers, palettes and uncompressed rows cut short decline the
// file. An RLE8 stream is never refused: the end of the file reads as 0xFF
// bytes, as it always has, and pixels it never reaches stay black.
#include "readers/bmp.h"

#include "io/byte_reader.h"
#include "picture/parallel.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace orvandel {

namespace {

constexpr uint32_t COMPRESSION_NONE = 0;
constexpr uint32_t COMPRESSION_RLE8 = 1;

// Rows go to the threads in runs of about this many bytes: a few runs a
// thread for a large picture, one for a small one (which then spawns none).
constexpr int64_t RUN_BYTES = int64_t(4) << 20;

// Reads both headers and checks what every loader needs of them before it
// allocates anything: the signature, an info header of the 40-byte form or a
// longer one, and a positive size within the loaders' cap.
LoadResult read_bmp_headers(ByteReader* in, const LoadOptions& options, BmpHeaderFields* out) {
    if (!take_bytes(in, BMP24_HEADERS_BYTES)) return decline(LoadError::damaged, "BMP: header cut short");
    *out = read_bmp_header_fields(in->data, in->size);
    const BmpHeaderFields* ih = out;
    if (ih->signature != BMP_SIGNATURE) return decline(LoadError::unrecognised, "not a BMP file");
    if (ih->info_size < BMP_INFO_HEADER_BYTES)
        return decline(LoadError::unsupported,
                       "BMP: info header of " + std::to_string(ih->info_size) + " bytes is not read");
    if (ih->width == 0 || ih->height == 0) return decline(LoadError::damaged, "BMP: zero width or height");
    if (ih->height < 0) return decline(LoadError::unsupported, "BMP: top-down rows are not read");
    if (ih->width < 0) return decline(LoadError::damaged, "BMP: negative width");
    if (!within_pixel_limit(ih->width, ih->height, options)) return picture_too_large("BMP", options);
    return LoadResult();
}

// The decline for a depth or compression that neither loader reads; the
// 24-bit loader declines 8-bit files the same way so that the 8-bit one is tried.
LoadResult bmp_kind_unread(const BmpHeaderFields& ih) {
    const std::string depth = std::to_string(ih.bits_per_pixel) + (ih.bits_per_pixel == 1 ? " bit" : " bits") + " per pixel";
    if (ih.bits_per_pixel != 8 && ih.bits_per_pixel != 24)
        return decline(LoadError::unsupported, "BMP: " + depth + " is not read");
    return decline(LoadError::unsupported,
                   "BMP: compression " + std::to_string(ih.compression) + " at " + depth + " is not read");
}

// The stored pixels from the header's data offset: `needed` bytes of them,
// or null when the file holds fewer.
const uint8_t* pixel_data(const uint8_t* bytes, size_t size, const BmpHeaderFields& h, uint64_t needed) {
    ByteReader in = make_reader(bytes, size);
    if (!seek_to(&in, h.data_offset)) return nullptr;
    return take_bytes(&in, needed);
}

// The palette follows the info header, with colours_used entries (0 meaning
// 256). Indices beyond it are black.
LoadResult read_bmp8_palette(const BmpHeaderFields& ih, const uint8_t* bytes, size_t size, Pixel palette[256]) {
    const uint32_t entries = ih.colours_used == 0 ? 256 : ih.colours_used;
    if (entries > 256) return decline(LoadError::unsupported, "BMP: more than 256 palette entries");
    ByteReader in = make_reader(bytes, size);
    const uint8_t* table = seek_to(&in, uint64_t(BMP_FILE_HEADER_BYTES) + ih.info_size)
                               ? take_bytes(&in, size_t(4) * entries) : nullptr;
    if (!table) return decline(LoadError::damaged, "BMP: palette cut short");
    for (uint32_t i = 0; i < 256; ++i) palette[i] = i < entries ? pixel_from_bgr(table + 4 * i) : 0;
    return LoadResult();
}

LoadResult decode_bmp8_plain(const BmpHeaderFields& h, const uint8_t* bytes, size_t size, const Pixel* palette) {
    const BmpHeaderFields& ih = h;
    const int64_t stride = (int64_t(ih.width) + 3) & ~int64_t(3);
    const uint8_t* data = pixel_data(bytes, size, h, uint64_t(stride) * uint64_t(ih.height));
    if (!data) return decline(LoadError::damaged, "BMP: pixel data cut short");
    ImagePtr image(new_image(ih.width, ih.height));
    if (!image) return no_memory_for("BMP");
    for (int32_t y = ih.height - 1; y >= 0; --y, data += stride) {
        Pixel* out = image->pixels + int64_t(y) * ih.width;
        for (int32_t x = 0; x < ih.width; ++x) out[x] = palette[data[x]];
    }
    LoadResult result;
    result.image = std::move(image);
    return result;
}

// RLE8. A run that meets the right edge is cut there, and a run that starts
// on a row its pixels have filled is dropped when an end of line follows it:
// encoders pad their rows with runs past the width before ending the line,
// and those pixels belong to no row. Otherwise a run that starts on a finished row goes
// on at column 0 of the row above; that move is made lazily, so a run that
// fills a row followed by an end of line moves up once. Every command consumes
// input or moves up a row, and past the end of the data the 0xFF bytes form
// runs, so decoding always ends.
LoadResult decode_bmp8_rle8(const BmpHeaderFields& h, const uint8_t* bytes, size_t size, const Pixel* palette) {
    const BmpHeaderFields& ih = h;
    // Data that starts beyond the end of the file is empty: all 0xFF.
    const size_t start = h.data_offset < size ? h.data_offset : size;
    ByteReader in = make_reader(bytes + start, size - start);
    ImagePtr image(new_image(ih.width, ih.height));
    if (!image) return no_memory_for("BMP");

    const int32_t width = ih.width;
    auto next_byte = [&]() -> uint8_t {
        const int b = read_byte(&in);
        return b < 0 ? 0xFF : static_cast<uint8_t>(b);
    };
    auto end_of_line_next = [&]() {
        return bytes_left(in) >= 2 && in.data[in.pos] == 0 && in.data[in.pos + 1] == 0;
    };
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
            // Absolute pixels, padded to an even count; those the data does
            // not hold read as 0xFF like every byte past its end.
            const size_t first = in.pos;
            skip_bytes(&in, escape + (escape & 1));
            Pixel* out = start_run(escape, &fit);
            for (int i = 0; i < fit; ++i)
                out[i] = palette[first + i < in.size ? in.data[first + i] : 0xFF];
            if (!out) break;
        }
    }
    LoadResult result;
    result.image = std::move(image);
    return result;
}

}  // namespace

LoadResult load_bmp24(const uint8_t* bytes, size_t size, const LoadOptions& options) {
    ByteReader in = make_reader(bytes, size);
    BmpHeaderFields h{};
    LoadResult checked = read_bmp_headers(&in, options, &h);
    if (checked.error != LoadError::none) return checked;
    const BmpHeaderFields& ih = h;
    if (ih.bits_per_pixel != 24 || ih.compression != COMPRESSION_NONE) return bmp_kind_unread(ih);
    const int64_t stride = bmp24_row_stride(ih.width);
    const uint8_t* data = pixel_data(bytes, size, h, uint64_t(stride) * uint64_t(ih.height));
    if (!data) return decline(LoadError::damaged, "BMP: pixel data cut short");
    LoadResult result;
    // The stored rows are blue, green, red bytes already: each goes to the
    // destination as it is.
    const BgrRows rows = open_rows(options.rows, ih.width, ih.height);
    ImagePtr image(rows.top ? nullptr : new_image(ih.width, ih.height));
    if (!rows.top && !image) return no_memory_for("BMP");
    // Stored row s is picture row height - 1 - s. Copying the rows is also
    // where the destination's fresh pages are first touched, which costs more
    // than the copy: on several threads each faults in its own.
    const int64_t run = std::max<int64_t>(1, RUN_BYTES / stride);
    run_parallel(options.threads, ih.height, run, [&](int64_t first, int64_t end) {
        for (int64_t y = first; y < end; ++y) {
            const uint8_t* stored = data + (ih.height - 1 - y) * stride;
            if (rows.top)
                std::memcpy(rows.top + y * rows.stride, stored, 3 * size_t(ih.width));
            else
                pixels_from_bgr(stored, image->pixels + y * ih.width, ih.width);
        }
    });
    result.in_destination = rows.top != nullptr;
    if (!rows.top) result.image = std::move(image);
    return result;
}

LoadResult load_bmp8(const uint8_t* bytes, size_t size, const LoadOptions& options) {
    ByteReader in = make_reader(bytes, size);
    BmpHeaderFields h{};
    LoadResult checked = read_bmp_headers(&in, options, &h);
    if (checked.error != LoadError::none) return checked;
    const BmpHeaderFields& ih = h;
    if (ih.bits_per_pixel != 8 || (ih.compression != COMPRESSION_NONE && ih.compression != COMPRESSION_RLE8))
        return bmp_kind_unread(ih);
    Pixel palette[256];
    LoadResult read = read_bmp8_palette(ih, bytes, size, palette);
    if (read.error != LoadError::none) return read;
    return ih.compression == COMPRESSION_NONE ? decode_bmp8_plain(h, bytes, size, palette)
                                              : decode_bmp8_rle8(h, bytes, size, palette);
}

}  // namespace orvandel
