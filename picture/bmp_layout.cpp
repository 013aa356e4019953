#include "picture/bmp_layout.h"

#include <cstring>
#include <new>

namespace orvandel {

namespace {
constexpr uint16_t BMP_SIGNATURE = 0x4D42;  // "BM"
}  // namespace

int64_t bmp24_row_stride(int64_t width) { return (3 * width + 3) & ~int64_t(3); }

int64_t bmp24_file_size(int64_t width, int64_t height) {
    return int64_t(BMP24_HEADERS_BYTES) + bmp24_row_stride(width) * height;
}

void fill_bmp24_headers(uint8_t* headers, int32_t width, int32_t height) {
    const int64_t file_size = bmp24_file_size(width, height);
    std::memset(headers, 0, BMP24_HEADERS_BYTES);
    write_le16(headers, BMP_SIGNATURE);
    write_le32(headers + 2, static_cast<uint32_t>(file_size));
    write_le32(headers + 10, BMP24_HEADERS_BYTES);
    uint8_t* info = headers + BMP_FILE_HEADER_BYTES;
    write_le32(info, BMP_INFO_HEADER_BYTES);
    write_le32(info + 4, static_cast<uint32_t>(width));
    write_le32(info + 8, static_cast<uint32_t>(height));
    write_le16(info + 12, 1);
    write_le16(info + 14, 24);
    write_le32(info + 20, static_cast<uint32_t>(file_size - BMP24_HEADERS_BYTES));
    write_le32(info + 24, 96);
    write_le32(info + 28, 96);
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
