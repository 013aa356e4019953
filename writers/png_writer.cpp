// Encodes a picture row by row through libspng straight into a buffered
// output, so no second copy of a large atlas is ever held: only one row of
// bytes and the output's piece.
#include "writers/png_writer.h"

#include <spng.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "io/buffered_output.h"

namespace orvandel {

namespace {

struct SpngDeleter {
    void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};
using SpngHandle = std::unique_ptr<spng_ctx, SpngDeleter>;

int write_to_output(spng_ctx*, void* user, void* bytes, size_t length) {
    return put_bytes(static_cast<BufferedOutput*>(user), bytes, length) ? 0 : SPNG_IO_ERROR;
}

// An encoder's failure: the output's own when writing failed, else libspng's.
WriteResult encoder_failure(const BufferedOutput& out) {
    return out.status ? write_problem("the PNG encoder failed") : out.status;
}

// Pixels as the PNG's R, G, B(, A) bytes.
void png_row(const Pixel* in, int32_t width, bool alpha, uint8_t* out) {
    const int step = alpha ? 4 : 3;
    for (int32_t x = 0; x < width; ++x, out += step) {
        const Pixel p = in[x];
        out[0] = uint8_t(p);
        out[1] = uint8_t(p >> 8);
        out[2] = uint8_t(p >> 16);
        if (alpha) out[3] = uint8_t(p >> 24);
    }
}

}  // namespace

WriteResult write_png(const std::string& path, const Image& image, bool alpha, const PngSettings& settings) {
    if (!image.pixels || image.width <= 0 || image.height <= 0) return write_problem("the picture is empty");
    size_t row_bytes = 0;
    if (!checked_byte_count(image.width, alpha ? 4 : 3, 1, &row_bytes)) return write_problem("the rows are too long");
    BufferedOutput out;
    if (!open_buffered(path, &out)) return out.status;
    SpngHandle ctx(spng_ctx_new(SPNG_CTX_ENCODER));
    if (!ctx) return system_failure(ENOMEM);

    spng_ihdr ihdr = {};
    ihdr.width = uint32_t(image.width);
    ihdr.height = uint32_t(image.height);
    ihdr.bit_depth = 8;
    ihdr.color_type = alpha ? SPNG_COLOR_TYPE_TRUECOLOR_ALPHA : SPNG_COLOR_TYPE_TRUECOLOR;
    if (spng_set_png_stream(ctx.get(), write_to_output, &out) != 0 || spng_set_ihdr(ctx.get(), &ihdr) != 0 ||
        spng_set_option(ctx.get(), SPNG_IMG_COMPRESSION_LEVEL, settings.compression_level) != 0 ||
        spng_set_option(ctx.get(), SPNG_FILTER_CHOICE,
                        settings.compression_level > 0 ? SPNG_FILTER_CHOICE_UP : SPNG_FILTER_CHOICE_NONE) != 0)
        return encoder_failure(out);
    if (spng_encode_image(ctx.get(), nullptr, 0, SPNG_FMT_PNG, SPNG_ENCODE_PROGRESSIVE | SPNG_ENCODE_FINALIZE) != 0)
        return encoder_failure(out);

    std::vector<uint8_t> row(row_bytes);
    int status = 0;
    for (int32_t y = 0; y < image.height && status == 0; ++y) {
        png_row(image.pixels + int64_t(y) * image.width, image.width, alpha, row.data());
        status = spng_encode_row(ctx.get(), row.data(), row.size());
    }
    // The last row finishes the image: libspng answers it with SPNG_EOI.
    if (status != SPNG_EOI) return encoder_failure(out);
    ctx.reset();
    return finish_buffered(&out);
}

}  // namespace orvandel
