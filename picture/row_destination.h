// A place a decoder may write a picture's rows to, owned by whoever asked
// for the picture: the decoder knows only the rows it is given, never what
// they belong to (the atlas canvas, for one).
#ifndef ORVANDEL_PICTURE_ROW_DESTINATION_H
#define ORVANDEL_PICTURE_ROW_DESTINATION_H

#include <cstdint>

namespace orvandel {

// Rows of blue, green, red bytes, three a pixel: row y of the picture starts
// at top + y * stride. The stride may be negative, for rows stored bottom-up.
struct BgrRows {
    uint8_t* top = nullptr;
    int64_t stride = 0;
};

// Asked once the size of an opaque picture is known, by a decoder that can
// give blue, green, red rows. It answers with the rows, or with none (top
// null: no destination, or no memory for it), and the decoder then makes its
// own picture as ever.
struct RowDestination {
    BgrRows (*open)(void* context, int32_t width, int32_t height) = nullptr;
    void* context = nullptr;
};

inline BgrRows open_rows(const RowDestination& destination, int32_t width, int32_t height) {
    return destination.open ? destination.open(destination.context, width, height) : BgrRows{};
}

}  // namespace orvandel

#endif
