#include "picture/bmp_layout.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace orvandel {

namespace {

constexpr uint32_t OS2_V1_INFO_BYTES = 12;
constexpr uint32_t COMPRESSION_BITFIELDS = 3;
constexpr uint32_t COLOUR_SPACE_SRGB = 0x73524742;  // 'sRGB'

// The 32-bit field at `offset` in the info header, or 0 where the header
// (or the file) ends before it.
uint32_t info_le32(const uint8_t* info, uint64_t held, uint32_t offset) {
    return offset + 4 <= held ? read_le32(info + offset) : 0;
}
uint16_t info_le16(const uint8_t* info, uint64_t held, uint32_t offset) {
    return offset + 2 <= held ? read_le16(info + offset) : 0;
}

// The fields every uncompressed header this tool writes shares: the file
// header, then the info header's size, sizes, planes, depth, the pixel data's
// length and the resolution; every other byte zero. The caller has checked
// that the file fits 4 GiB.
void fill_common_headers(uint8_t* headers, size_t headers_bytes, size_t info_bytes, int64_t file_size,
                         int32_t width, int32_t height, uint16_t bits_per_pixel, uint32_t pixels_per_metre) {
    std::memset(headers, 0, headers_bytes);
    write_le16(headers, BMP_SIGNATURE);
    write_le32(headers + 2, static_cast<uint32_t>(file_size));
    write_le32(headers + 10, static_cast<uint32_t>(headers_bytes));
    uint8_t* info = headers + BMP_FILE_HEADER_BYTES;
    write_le32(info, static_cast<uint32_t>(info_bytes));
    write_le32(info + 4, static_cast<uint32_t>(width));
    write_le32(info + 8, static_cast<uint32_t>(height));
    write_le16(info + 12, 1);
    write_le16(info + 14, bits_per_pixel);
    write_le32(info + 20, static_cast<uint32_t>(file_size - int64_t(headers_bytes)));
    write_le32(info + 24, pixels_per_metre);
    write_le32(info + 28, pixels_per_metre);
}

}  // namespace

BmpHeaderFields read_bmp_header_fields(const uint8_t* bytes, size_t size) {
    BmpHeaderFields f{};
    if (size >= 2) f.signature = read_le16(bytes);
    if (size >= 6) f.file_size = read_le32(bytes + 2);
    if (size >= BMP_FILE_HEADER_BYTES) f.data_offset = read_le32(bytes + 10);
    if (size < BMP_FILE_HEADER_BYTES + 4) return f;
    const uint8_t* info = bytes + BMP_FILE_HEADER_BYTES;
    f.info_size = read_le32(info);
    f.info_held = std::min<uint64_t>(f.info_size, size - BMP_FILE_HEADER_BYTES);
    const uint64_t held = f.info_held;
    if (f.info_size == OS2_V1_INFO_BYTES) {
        f.width = info_le16(info, held, 4);
        f.height = info_le16(info, held, 6);
        f.planes = info_le16(info, held, 8);
        f.bits_per_pixel = info_le16(info, held, 10);
        return f;
    }
    f.width = static_cast<int32_t>(info_le32(info, held, 4));
    f.height = static_cast<int32_t>(info_le32(info, held, 8));
    f.planes = info_le16(info, held, 12);
    f.bits_per_pixel = info_le16(info, held, 14);
    f.compression = info_le32(info, held, 16);
    f.image_size = info_le32(info, held, 20);
    f.x_pixels_per_metre = static_cast<int32_t>(info_le32(info, held, 24));
    f.y_pixels_per_metre = static_cast<int32_t>(info_le32(info, held, 28));
    f.colours_used = info_le32(info, held, 32);
    f.colours_important = info_le32(info, held, 36);
    for (uint32_t i = 0; i < 4; ++i) f.masks[i] = info_le32(info, held, 40 + 4 * i);
    return f;
}

int64_t bmp24_row_stride(int64_t width) { return (3 * width + 3) & ~int64_t(3); }

int64_t bmp24_file_size(int64_t width, int64_t height) {
    return int64_t(BMP24_HEADERS_BYTES) + bmp24_row_stride(width) * height;
}

void fill_bmp24_headers(uint8_t* headers, int32_t width, int32_t height) {
    fill_common_headers(headers, BMP24_HEADERS_BYTES, BMP_INFO_HEADER_BYTES, bmp24_file_size(width, height), width,
                        height, 24, 96);
}

int64_t bmp32_file_size(int64_t width, int64_t height) {
    size_t bytes = 0;
    if (!checked_byte_count(width, height, 4, &bytes)) return -1;
    return int64_t(bytes) + int64_t(BMP32_HEADERS_BYTES);
}

void fill_bmp32_headers(uint8_t* headers, int32_t width, int32_t height) {
    fill_common_headers(headers, BMP32_HEADERS_BYTES, BMP_V4_HEADER_BYTES, bmp32_file_size(width, height), width,
                        height, 32, 2835);  // 72 dpi, in pixels per metre
    uint8_t* info = headers + BMP_FILE_HEADER_BYTES;
    write_le32(info + 16, COMPRESSION_BITFIELDS);
    write_le32(info + 40, 0x00FF0000u);  // red mask
    write_le32(info + 44, 0x0000FF00u);  // green
    write_le32(info + 48, 0x000000FFu);  // blue
    write_le32(info + 52, 0xFF000000u);  // alpha
    write_le32(info + 56, COLOUR_SPACE_SRGB);
}

BgrImagePtr new_bmp24_image(int32_t width, int32_t height) {
    if (width <= 0 || height <= 0) return nullptr;
    const int64_t stride = bmp24_row_stride(width);
    size_t row_bytes = 0;
    if (!checked_byte_count(stride, height, 1, &row_bytes, int64_t(UINT32_MAX) - int64_t(BMP24_HEADERS_BYTES)))
        return nullptr;
    BgrImagePtr image(new (std::nothrow)
                          BgrImage{nullptr, BMP24_HEADERS_BYTES + row_bytes, nullptr, stride, width, height});
    if (!image) return nullptr;
    image->file = static_cast<uint8_t*>(allocate_zeroed(image->file_bytes));
    if (!image->file) return nullptr;
    image->rows = image->file + BMP24_HEADERS_BYTES;
    fill_bmp24_headers(image->file, width, height);
    return image;
}

BgrImagePtr new_bmp24_atlas(int32_t width, int32_t height, bool rip) {
    const int64_t atlas_width = 2 * int64_t(width);
    const int64_t atlas_height = (rip ? 2 : 1) * int64_t(height);
    if (atlas_width > INT32_MAX || atlas_height > INT32_MAX) return nullptr;
    return new_bmp24_image(static_cast<int32_t>(atlas_width), static_cast<int32_t>(atlas_height));
}

}  // namespace orvandel
