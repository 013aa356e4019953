// PNG files, through libspng, from memory.
// Reads: every colour type and bit depth, interlaced or not, palettes and
// tRNS transparency; 16-bit samples keep their high byte. Gamma and colour
// chunks are not applied: a texture's numbers are used as stored. An animated
// PNG gives its default image (the animation chunks are unknown to libspng and
// skipped).
// Declines: anything libspng refuses, and pictures over the size limit, which
// are refused from the header before any pixel memory is taken.
// Damaged data: a bad CRC in a critical chunk, bad zlib data, or a file cut
// short anywhere before IEND declines the whole file; there is no partial
// picture. A bad CRC in an ancillary chunk only drops that chunk.
// Hostile files: the size limit is given to libspng as its image limits, and
// ancillary chunks (which it keeps in memory) are capped.
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
// Ancillary chunks are kept in memory by libspng (text, profiles, EXIF); a
// texture needs none of them, so a hostile file may not make them large.
constexpr size_t MAX_CHUNK_BYTES = size_t(1) << 24;
constexpr size_t MAX_CHUNK_CACHE_BYTES = size_t(1) << 26;

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

}  // namespace

LoadResult load_png(const uint8_t* bytes, size_t size, const LoadOptions& options) {
    if (size < sizeof PNG_SIGNATURE || std::memcmp(bytes, PNG_SIGNATURE, sizeof PNG_SIGNATURE) != 0)
        return decline(LoadError::damaged, "PNG: damaged signature");
    // The zlib stream's Adler-32 is not checked: every IDAT chunk's CRC-32
    // already covers the same bytes, and the second sum costs a tenth of the
    // decoding time.
    SpngHandle ctx(spng_ctx_new(SPNG_CTX_IGNORE_ADLER32));
    if (!ctx) return decline(LoadError::no_memory, "PNG: no memory for the decoder");
    const int64_t max_pixels = std::min(options.max_pixels, MAX_IMAGE_PIXELS);
    const uint32_t max_side = static_cast<uint32_t>(std::min<int64_t>(max_pixels, INT32_MAX));
    int error = spng_set_png_buffer(ctx.get(), bytes, size);
    if (!error) error = spng_set_image_limits(ctx.get(), max_side, max_side);
    if (!error) error = spng_set_chunk_limits(ctx.get(), MAX_CHUNK_BYTES, MAX_CHUNK_CACHE_BYTES);
    if (!error) error = spng_set_crc_action(ctx.get(), SPNG_CRC_ERROR, SPNG_CRC_DISCARD);
    spng_ihdr ihdr{};
    if (!error) error = spng_get_ihdr(ctx.get(), &ihdr);
    if (error) return spng_decline(error);
    if (int64_t(ihdr.width) * ihdr.height > max_pixels)
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
    // Each call fills one row (or, interlaced, one pass's pixels of it) and
    // the last one reports the end of the image, so the loop is bounded by the
    // rows to fill.
    for (;;) {
        spng_row_info row{};
        error = spng_get_row_info(ctx.get(), &row);
        if (error) break;
        if (rows.top) {
            error = spng_decode_row(ctx.get(), rgb_row.data(), rgb_row.size());
            bgr_from_rgb(rgb_row.data(), rows.top + int64_t(row.row_num) * rows.stride, width);
        } else if (!rgb_row.empty()) {
            error = spng_decode_row(ctx.get(), rgb_row.data(), rgb_row.size());
            pixels_from_rgb(rgb_row.data(), image->pixels + size_t(row.row_num) * size_t(width), width);
        } else {
            error = spng_decode_row(ctx.get(), image->pixels + size_t(row.row_num) * size_t(width),
                                    size_t(width) * sizeof(Pixel));
        }
        if (error) break;
    }
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
