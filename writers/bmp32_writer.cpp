// Writes an RGBA picture as a bottom-up 32-bit BMP: a 14-byte file header,
// a 108-byte BITMAPV4 header (bit fields B, G, R, A in the bytes of each
// pixel, sRGB colour space), then the rows, which need no padding.
#include "writers/bmp32_writer.h"

#include "io/buffered_output.h"

namespace orvandel {

namespace {

constexpr uint32_t FILE_HEADER_BYTES = 14;
constexpr uint32_t V4_HEADER_BYTES = 108;
constexpr uint32_t HEADERS_BYTES = FILE_HEADER_BYTES + V4_HEADER_BYTES;
constexpr uint32_t COMPRESSION_BITFIELDS = 3;
constexpr uint32_t COLOUR_SPACE_SRGB = 0x73524742;  // 'sRGB'
}  // namespace

int64_t bmp32_file_size(int64_t width, int64_t height) {
    size_t bytes = 0;
    if (!checked_byte_count(width, height, 4, &bytes)) return -1;
    return int64_t(bytes) + HEADERS_BYTES;
}

WriteResult write_bmp32(const std::string& path, const Image& image) {
    if (!image.pixels || image.width <= 0 || image.height <= 0) return write_problem("the picture is empty");
    const int64_t file_size = bmp32_file_size(image.width, image.height);
    if (file_size < 0 || file_size > int64_t(UINT32_MAX)) return write_problem("the file would exceed 4 GiB");
    BufferedOutput out;
    if (!open_buffered(path, &out)) return out.status;

    uint8_t headers[HEADERS_BYTES] = {};
    headers[0] = 'B';
    headers[1] = 'M';
    write_le32(headers + 2, uint32_t(file_size));
    write_le32(headers + 10, HEADERS_BYTES);
    uint8_t* info = headers + FILE_HEADER_BYTES;
    write_le32(info, V4_HEADER_BYTES);
    write_le32(info + 4, uint32_t(image.width));
    write_le32(info + 8, uint32_t(image.height));
    write_le16(info + 12, 1);
    write_le16(info + 14, 32);
    write_le32(info + 16, COMPRESSION_BITFIELDS);
    write_le32(info + 20, uint32_t(file_size - HEADERS_BYTES));
    write_le32(info + 24, 2835);  // 72 dpi, in pixels per metre
    write_le32(info + 28, 2835);
    write_le32(info + 40, 0x00FF0000u);  // red mask
    write_le32(info + 44, 0x0000FF00u);  // green
    write_le32(info + 48, 0x000000FFu);  // blue
    write_le32(info + 52, 0xFF000000u);  // alpha
    write_le32(info + 56, COLOUR_SPACE_SRGB);

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
