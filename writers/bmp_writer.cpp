// Writes BMP files through the buffered output: the headers from
// picture/bmp_layout, then the rows bottom-up; 24-bit rows are padded with
// zeros to a multiple of 4 bytes, 32-bit rows need no padding.
#include "writers/bmp_writer.h"

#include "io/buffered_output.h"

namespace orvandel {

WriteResult write_bmp24_image(const char* path, const BgrImage* image) {
    if (!image || !image->file) return write_problem("the picture is empty");
    BufferedOutput out;
    if (!open_buffered(path, &out)) return out.status;
    return write_bmp24_image(&out, image);
}

WriteResult write_bmp24_image(BufferedOutput* out, const BgrImage* image) {
    if (!image || !image->file) return write_problem("the picture is empty");
    // Straight from the picture: the pieces are sent from where they are.
    put_bytes(out, image->file, image->file_bytes);
    return finish_buffered(out);
}

WriteResult write_bmp24(const char* path, const Image* image) {
    if (!image || !image->pixels || image->width <= 0 || image->height <= 0)
        return write_problem("the picture is empty");
    if (bmp24_file_size(image->width, image->height) > int64_t(UINT32_MAX))
        return write_problem("the file would exceed 4 GiB");
    BufferedOutput out;
    if (!open_buffered(path, &out)) return out.status;
    uint8_t headers[BMP24_HEADERS_BYTES];
    fill_bmp24_headers(headers, image->width, image->height);
    put_bytes(&out, headers, sizeof headers);
    const uint8_t padding[3] = {};
    const size_t padding_bytes = size_t(bmp24_row_stride(image->width) - 3 * int64_t(image->width));
    for (int32_t y = image->height - 1; y >= 0 && out.status; --y) {
        const Pixel* row = image->pixels + int64_t(y) * image->width;
        put_units(&out, image->width, 3, [row](int64_t first, int64_t n, uint8_t* to) {
            bgr_from_pixels(row + first, to, int32_t(n));
        });
        put_bytes(&out, padding, padding_bytes);
    }
    return finish_buffered(&out);
}

WriteResult write_bmp32(const std::string& path, const Image& image) {
    if (!image.pixels || image.width <= 0 || image.height <= 0) return write_problem("the picture is empty");
    const int64_t file_size = bmp32_file_size(image.width, image.height);
    if (file_size < 0 || file_size > int64_t(UINT32_MAX)) return write_problem("the file would exceed 4 GiB");
    BufferedOutput out;
    if (!open_buffered(path, &out)) return out.status;
    uint8_t headers[BMP32_HEADERS_BYTES];
    fill_bmp32_headers(headers, image.width, image.height);
    put_bytes(&out, headers, sizeof headers);
    for (int32_t y = image.height - 1; y >= 0 && out.status; --y) {
        const Pixel* row = image.pixels + int64_t(y) * image.width;
        put_units(&out, image.width, 4, [row](int64_t first, int64_t n, uint8_t* to) {
            bgra_from_pixels(row + first, to, int32_t(n), true);
        });
    }
    return finish_buffered(&out);
}

}  // namespace orvandel
