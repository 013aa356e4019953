// Writes an RGBA picture as a bottom-up 32-bit BMP: a 14-byte file header,
// a 108-byte BITMAPV4 header (bit fields B, G, R, A in the bytes of each
// pixel, sRGB colour space), then the rows, which need no padding.
#include "writers/bmp32_writer.h"

#include <algorithm>
#include <vector>

#include "io/output_file.h"

namespace orvandel {

namespace {

constexpr uint32_t FILE_HEADER_BYTES = 14;
constexpr uint32_t V4_HEADER_BYTES = 108;
constexpr uint32_t HEADERS_BYTES = FILE_HEADER_BYTES + V4_HEADER_BYTES;
constexpr uint32_t COMPRESSION_BITFIELDS = 3;
constexpr uint32_t COLOUR_SPACE_SRGB = 0x73524742;  // 'sRGB'
// Rows per write, about 1 MiB: one system call per row would cost more than
// the conversion.
constexpr int64_t CHUNK_BYTES = 1 << 20;


}  // namespace

int64_t bmp32_file_size(int64_t width, int64_t height) {
    size_t bytes = 0;
    if (!checked_byte_count(width, height, 4, &bytes)) return -1;
    return int64_t(bytes) + HEADERS_BYTES;
}

bool write_bmp32(const std::string& path, const Image& image) {
    if (!image.pixels || image.width <= 0 || image.height <= 0) return false;
    const int64_t file_size = bmp32_file_size(image.width, image.height);
    if (file_size < 0 || file_size > int64_t(UINT32_MAX)) return false;
    OutputHandle file = open_output(path);
    if (!file) return false;

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

    bool ok = write_output(file.get(), headers, sizeof headers);
    const int64_t row_bytes = 4 * int64_t(image.width);
    const int32_t rows_per_chunk = int32_t(std::max<int64_t>(1, std::min<int64_t>(image.height, CHUNK_BYTES / row_bytes)));
    size_t chunk_bytes = 0;
    if (!checked_byte_count(row_bytes, rows_per_chunk, 1, &chunk_bytes)) return false;
    std::vector<uint8_t> chunk(chunk_bytes);
    for (int32_t y = image.height - 1; ok && y >= 0;) {
        uint8_t* out = chunk.data();
        for (int32_t n = 0; n < rows_per_chunk && y >= 0; ++n, --y) {
            const Pixel* row = image.pixels + int64_t(y) * image.width;
            bgra_from_pixels(row, out, image.width, true);
            out += 4 * size_t(image.width);
        }
        ok = write_output(file.get(), chunk.data(), size_t(out - chunk.data()));
    }
    return ok && commit_output(std::move(file));
}

}  // namespace orvandel
