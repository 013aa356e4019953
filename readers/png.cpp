// PNG files, through libspng, from memory.
// Reads: every colour type and bit depth, interlaced or not, palettes and
// tRNS transparency; 16-bit samples keep their high byte, or with
// LoadOptions::high_precision come whole as a FloatImage. Gamma and colour
// chunks are not applied: a texture's numbers are used as stored. An animated
// PNG gives its default image (the animation chunks are unknown to libspng and
// skipped).
// Declines: anything libspng refuses, and pictures over the size limit, which
// are refused from the header before any pixel memory is taken.
// Damaged data: a bad CRC in a critical chunk, bad zlib data, or a file cut
// short anywhere before IEND declines the whole file; there is no partial
// picture. Ancillary chunks other than tRNS are stepped over unread, so
// their CRCs, order and contents never matter; a bad CRC in tRNS drops it.
// Hostile files: the size limit is given to libspng as its image limits.
// libspng keeps text and other ancillary chunks in memory and refuses a file
// of more than 1,000 of them (a limit 0.7 does not let a caller raise), so
// the chunks the reader does not use never reach it: any number of them, of
// any size, costs a step over each.
#include "readers/png.h"

#include <spng.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace orvandel {

#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "RGBA bytes are taken as Pixels in place, which needs a little-endian machine"
#endif

namespace {

constexpr uint8_t PNG_SIGNATURE[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
// What libspng may still keep of the chunks it is given (tRNS and PLTE are
// held in place, not counted): caps for the day it keeps more.
constexpr size_t MAX_CHUNK_BYTES = size_t(1) << 24;
constexpr size_t MAX_CHUNK_CACHE_BYTES = size_t(1) << 26;
constexpr uint32_t MAX_CHUNK_LENGTH = 0x7FFFFFFFu;

// The file as libspng reads it: the signature and every chunk but the
// ancillary ones other than tRNS, which are stepped over by their lengths.
struct UsedChunks {
    const uint8_t* bytes;
    size_t size;
    size_t at;    // the next byte to hand over
    size_t left;  // bytes of the current chunk (at first the signature) still to hand over
};

uint32_t read_be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }

// Bit 5 of a type's first letter marks an ancillary chunk.
bool used_chunk(const uint8_t* type) { return (type[0] & 0x20) == 0 || std::memcmp(type, "tRNS", 4) == 0; }

// Moves to the next chunk libspng is to see. A chunk the file does not hold
// whole, or with a length the format forbids, is handed over as it is, for
// libspng to decline.
void next_used_chunk(UsedChunks* file) {
    size_t remaining = file->size - file->at;
    while (remaining >= 8) {
        const uint32_t length = read_be32(file->bytes + file->at);
        const uint64_t whole = uint64_t(length) + 12;
        if (used_chunk(file->bytes + file->at + 4) || length > MAX_CHUNK_LENGTH || whole > remaining) {
            file->left = size_t(std::min<uint64_t>(whole, remaining));
            return;
        }
        file->at += size_t(whole);
        remaining -= size_t(whole);
    }
    file->left = remaining;
}

int read_used_chunks(spng_ctx*, void* user, void* destination, size_t length) {
    UsedChunks* file = static_cast<UsedChunks*>(user);
    uint8_t* out = static_cast<uint8_t*>(destination);
    while (length > 0) {
        if (file->left == 0) next_used_chunk(file);
        if (file->left == 0) return SPNG_IO_EOF;
        const size_t count = std::min(length, file->left);
        std::memcpy(out, file->bytes + file->at, count);
        out += count;
        length -= count;
        file->at += count;
        file->left -= count;
    }
    return 0;
}

struct SpngDeleter {
    void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};
using SpngHandle = std::unique_ptr<spng_ctx, SpngDeleter>;

LoadResult spng_decline(int error) {
    std::string reason = std::string("PNG: ") + spng_strerror(error);
    switch (error) {
        case SPNG_EUSER_WIDTH:
        case SPNG_EUSER_HEIGHT:
            return decline(LoadError::too_large, "PNG: picture larger than the size limit");
        case SPNG_EMEM:
            return decline(LoadError::no_memory, reason);
        case SPNG_ECHUNK_CRC:
            return decline(LoadError::damaged, "PNG: bad CRC in a critical chunk");
        case SPNG_IO_EOF:
        case SPNG_EOF:
        case SPNG_EIDAT_TOO_SHORT:
            return decline(LoadError::damaged, "PNG: file cut short");
        default:
            return decline(LoadError::damaged, reason);
    }
}

// Without alpha in the file the top byte must be 0, as for every other format.
void clear_alpha(Pixel* pixels, size_t count) {
    for (size_t i = 0; i < count; ++i) pixels[i] &= 0x00FFFFFFu;
}

// A decoder reading `file`, with the reader's limits, its header read.
int open_decoder(UsedChunks* file, int64_t max_pixels, SpngHandle* ctx, spng_ihdr* ihdr) {
    // The zlib stream's Adler-32 is not checked: every IDAT chunk's CRC-32
    // already covers the same bytes, and the second sum costs a tenth of the
    // decoding time.
    ctx->reset(spng_ctx_new(SPNG_CTX_IGNORE_ADLER32));
    if (!*ctx) return SPNG_EMEM;
    const uint32_t max_side = static_cast<uint32_t>(std::min<int64_t>(max_pixels, INT32_MAX));
    int error = spng_set_png_stream(ctx->get(), read_used_chunks, file);
    if (!error) error = spng_set_image_limits(ctx->get(), max_side, max_side);
    if (!error) error = spng_set_chunk_limits(ctx->get(), MAX_CHUNK_BYTES, MAX_CHUNK_CACHE_BYTES);
    if (!error) error = spng_set_crc_action(ctx->get(), SPNG_CRC_ERROR, SPNG_CRC_DISCARD);
    if (!error) error = spng_get_ihdr(ctx->get(), ihdr);
    return error;
}

// Every row of the picture: 8-bit RGB through `rgb_row` into the
// destination's rows or widened into `image`, anything else as RGBA8 straight
// into `image`. Each call of libspng fills one row (or, interlaced, one
// pass's pixels of it) and the last one reports the end of the image, so the
// loop is bounded by the rows to fill. SPNG_EOI once all came.
int decode_rows(spng_ctx* ctx, int32_t width, const BgrRows& rows, std::vector<uint8_t>* rgb_row, Image* image) {
    for (;;) {
        spng_row_info row{};
        int error = spng_get_row_info(ctx, &row);
        if (error) return error;
        if (rows.top) {
            error = spng_decode_row(ctx, rgb_row->data(), rgb_row->size());
            bgr_from_rgb(rgb_row->data(), rows.top + int64_t(row.row_num) * rows.stride, width);
        } else if (!rgb_row->empty()) {
            error = spng_decode_row(ctx, rgb_row->data(), rgb_row->size());
            pixels_from_rgb(rgb_row->data(), image->pixels + size_t(row.row_num) * size_t(width), width);
        } else {
            error = spng_decode_row(ctx, image->pixels + size_t(row.row_num) * size_t(width),
                                    size_t(width) * sizeof(Pixel));
        }
        if (error) return error;
    }
}

// A 16-bit file at full precision: RGBA16 rows from libspng (host byte
// order), each sample v as v / 65535.
LoadResult decode_png16(spng_ctx* ctx, const spng_ihdr& ihdr, bool alpha, int64_t max_pixels) {
    const int32_t width = static_cast<int32_t>(ihdr.width), height = static_cast<int32_t>(ihdr.height);
    int error = spng_decode_image(ctx, nullptr, 0, SPNG_FMT_RGBA16, SPNG_DECODE_TRNS | SPNG_DECODE_PROGRESSIVE);
    if (error) return spng_decline(error);
    FloatImagePtr image = new_float_image(width, height, max_pixels);
    if (!image) return decline(LoadError::no_memory, "PNG: no memory for the picture");
    image->alpha = alpha;
    image->bits = 16;
    std::vector<uint16_t> row(size_t(width) * 4);
    for (;;) {
        spng_row_info info{};
        error = spng_get_row_info(ctx, &info);
        if (!error) error = spng_decode_row(ctx, row.data(), row.size() * sizeof(uint16_t));
        if (error && error != SPNG_EOI) return spng_decline(error);
        // An interlaced file gives each row's pixels over several passes,
        // each pass those from its first column in steps of its own.
        static const int FIRST[7] = {0, 4, 0, 2, 0, 1, 0}, STEP[7] = {8, 8, 4, 4, 2, 2, 1};
        const bool interlaced = ihdr.interlace_method != SPNG_INTERLACE_NONE;
        const int first = interlaced ? FIRST[info.pass] : 0, step = interlaced ? STEP[info.pass] : 1;
        Linear* out = image->pixels.get() + int64_t(info.row_num) * width;
        for (int32_t x = first; x < width; x += step)
            for (int c = 0; c < 4; ++c) out[x].v[c] = float(double(row[size_t(4 * x + c)]) / 65535.0);
        if (error == SPNG_EOI) break;
    }
    error = spng_decode_chunks(ctx);
    if (error) return spng_decline(error);
    LoadResult result;
    result.alpha = alpha;
    result.picture = std::move(image);
    return result;
}

}  // namespace

LoadResult load_png(const uint8_t* bytes, size_t size, const LoadOptions& options) {
    if (size < sizeof PNG_SIGNATURE || std::memcmp(bytes, PNG_SIGNATURE, sizeof PNG_SIGNATURE) != 0)
        return decline(LoadError::damaged, "PNG: damaged signature");
    const int64_t max_pixels = pixel_limit(options);
    UsedChunks file{bytes, size, 0, sizeof PNG_SIGNATURE};
    SpngHandle ctx;
    spng_ihdr ihdr{};
    int error = open_decoder(&file, max_pixels, &ctx, &ihdr);
    if (!ctx) return decline(LoadError::no_memory, "PNG: no memory for the decoder");
    if (error) return spng_decline(error);
    if (!within_pixel_limit(ihdr.width, ihdr.height, options))
        return decline(LoadError::too_large, "PNG: picture larger than the size limit");

    // 8-bit RGB, the common texture, is unfiltered straight into a row buffer
    // and widened there; everything else is converted by libspng to RGBA8,
    // which is a Pixel with alpha on top, decoded in place.
    const bool rgb8 = ihdr.color_type == SPNG_COLOR_TYPE_TRUECOLOR && ihdr.bit_depth == 8 &&
                      ihdr.interlace_method == SPNG_INTERLACE_NONE;
    // tRNS comes before the image data; asking for it reads the chunks up to there.
    spng_trns trns{};
    error = spng_get_trns(ctx.get(), &trns);
    if (error && error != SPNG_ECHUNKAVAIL) return spng_decline(error);
    const bool alpha = ihdr.color_type == SPNG_COLOR_TYPE_GRAYSCALE_ALPHA ||
                       ihdr.color_type == SPNG_COLOR_TYPE_TRUECOLOR_ALPHA || error == 0;
    if (options.high_precision && ihdr.bit_depth == 16) return decode_png16(ctx.get(), ihdr, alpha, max_pixels);
    const int format = rgb8 && !alpha ? SPNG_FMT_RGB8 : SPNG_FMT_RGBA8;
    error = spng_decode_image(ctx.get(), nullptr, 0, format, SPNG_DECODE_TRNS | SPNG_DECODE_PROGRESSIVE);
    if (error) return spng_decline(error);

    const int32_t width = static_cast<int32_t>(ihdr.width);
    const int32_t height = static_cast<int32_t>(ihdr.height);
    LoadResult result;
    // 8-bit RGB rows go straight to the destination where there is one,
    // their bytes turned round to blue, green, red.
    const BgrRows rows = rgb8 && !alpha ? open_rows(options.rows, width, height) : BgrRows{};
    ImagePtr image(rows.top ? nullptr : new_image_within(width, height, max_pixels));
    if (!rows.top && !image) return decline(LoadError::no_memory, "PNG: no memory for the picture");
    std::vector<uint8_t> rgb_row(rgb8 && !alpha ? size_t(width) * 3 : 0);
    error = decode_rows(ctx.get(), width, rows, &rgb_row, image.get());
    if (error != SPNG_EOI) return spng_decline(error);
    // The chunks after the image data, up to IEND: a file cut there is cut short.
    error = spng_decode_chunks(ctx.get());
    if (error) return spng_decline(error);
    if (rows.top) {
        result.in_destination = true;
        return result;
    }
    if (!alpha && rgb_row.empty()) clear_alpha(image->pixels, size_t(width) * size_t(height));

    result.image = std::move(image);
    result.alpha = alpha;
    return result;
}

}  // namespace orvandel
