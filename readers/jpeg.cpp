// JPEG files, through libjpeg-turbo's TurboJPEG API, from memory.
// Reads: baseline and progressive (and arithmetic-coded) 8-bit files, grey or
// colour, every chroma subsampling. The EXIF orientation is not applied:
// textures are stored as they are meant to be used.
// Declines: CMYK and YCCK files (they need a colour conversion a texture tool
// has no business guessing), 12-bit files, pictures over the size limit
// (refused from the header before any pixel memory is taken).
// Damaged data: anything the library has to patch up (data cut short, corrupt
// entropy data, a bad marker) declines the whole file rather than giving a
// picture with grey blocks in it. Progressive files with an absurd number of
// scans are refused, so decoding time stays bounded by the picture.
#include "readers/jpeg.h"

#include <turbojpeg.h>

#include <algorithm>
#include <memory>
#include <string>

namespace orvandel {

#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "RGBX bytes are taken as Pixels in place, which needs a little-endian machine"
#endif

namespace {

struct TjDeleter {
    void operator()(void* handle) const { tjDestroy(handle); }
};
using TjHandle = std::unique_ptr<void, TjDeleter>;

LoadResult tj_decline(void* handle) {
    return decline(LoadError::damaged, std::string("JPEG: ") + tjGetErrorStr2(handle));
}

}  // namespace

LoadResult load_jpeg(const uint8_t* bytes, size_t size, const LoadOptions& options) {
    // TurboJPEG takes the length as an unsigned long; a JPEG is never near that.
    if (size > 0xFFFFFFFFu) return decline(LoadError::too_large, "JPEG: file larger than 4 GiB");
    TjHandle handle(tjInitDecompress());
    if (!handle) return decline(LoadError::no_memory, "JPEG: no memory for the decoder");
    int width = 0, height = 0, subsampling = 0, colourspace = 0;
    if (tjDecompressHeader3(handle.get(), bytes, static_cast<unsigned long>(size), &width, &height, &subsampling,
                            &colourspace) != 0)
        return tj_decline(handle.get());
    if (colourspace == TJCS_CMYK || colourspace == TJCS_YCCK)
        return decline(LoadError::unsupported, "JPEG: CMYK is not read");
    const int64_t max_pixels = std::min(options.max_pixels, MAX_IMAGE_PIXELS);
    if (width <= 0 || height <= 0) return decline(LoadError::damaged, "JPEG: picture of no pixels");
    if (int64_t(width) * height > max_pixels)
        return decline(LoadError::too_large, "JPEG: picture larger than the size limit");

    const int flags = TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS;
    LoadResult result;
    const BgrRows rows = open_rows(options.rows, width, height);
    if (rows.top) {
        // The library writes blue, green, red rows at any positive stride,
        // top-down or bottom-up.
        const bool bottom_up = rows.stride < 0;
        uint8_t* first = bottom_up ? rows.top + int64_t(height - 1) * rows.stride : rows.top;
        const int64_t pitch = bottom_up ? -rows.stride : rows.stride;
        if (pitch > INT32_MAX) return decline(LoadError::too_large, "JPEG: rows too long");
        if (tjDecompress2(handle.get(), bytes, static_cast<unsigned long>(size), first, width, static_cast<int>(pitch),
                          height, TJPF_BGR, flags | (bottom_up ? TJFLAG_BOTTOMUP : 0)) != 0)
            return tj_decline(handle.get());
        result.in_destination = true;
        return result;
    }
    ImagePtr image(new_image_within(width, height, max_pixels));
    if (!image) return decline(LoadError::no_memory, "JPEG: no memory for the picture");
    // RGBX bytes are a Pixel whose top byte the library sets to 255.
    if (tjDecompress2(handle.get(), bytes, static_cast<unsigned long>(size),
                      reinterpret_cast<unsigned char*>(image->pixels), width, width * int(sizeof(Pixel)), height,
                      TJPF_RGBX, flags) != 0)
        return tj_decline(handle.get());
    const size_t count = size_t(width) * size_t(height);
    for (size_t i = 0; i < count; ++i) image->pixels[i] &= 0x00FFFFFFu;

    result.image = std::move(image);
    return result;
}

}  // namespace orvandel
