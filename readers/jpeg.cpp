// JPEG files, through libjpeg-turbo's TurboJPEG API, from memory.
// Reads: baseline and progressive (and arithmetic-coded) 8-bit files, grey or
// colour, every chroma subsampling. The EXIF orientation is not applied:
// textures are stored as they are meant to be used.
// Declines: CMYK and YCCK files (they need a colour conversion a texture tool
// has no business guessing), 12-bit files, pictures over the size limit
// (refused from the header before any pixel memory is taken).
// Damaged data: anything the library has to patch up (data cut short, corrupt
// entropy data, a bad marker) declines the whole file rather than giving a
// picture with grey blocks in it.
// Hostile files: each scan of a progressive file is a pass over the whole
// picture, so a file of many tiny scans costs many times the decoding of its
// picture. The scans are counted in the bytes before anything is decoded
// (one pass, entropy-coded data skipped a 0xFF at a time), and a file of more
// than MAX_SCANS_PER_COMPONENT times its components is declined.
#include "readers/jpeg.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cstring>
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

// Encoders write far fewer scans: libjpeg's progressive script has 10 for
// colour and 6 for grey, and scripts tuned for size, which split the
// coefficients into finer bands and bits, stay under 20 per component. 32
// per component leaves room for any of them and holds a hostile file to
// about three times the decoding of a baseline file of its size.
constexpr int MAX_SCANS_PER_COMPONENT = 32;

struct ScanCount {
    int scans = 0;
    int components = 0;  // of the frame header; 0 before it
};

// Counts the SOS markers from the start up to the first EOI or until the
// limit is passed, walking the marker segments by their lengths and the
// entropy-coded data after each SOS header to its ending marker (0xFF 0x00 is
// a stuffed byte, RSTn and fill bytes stay inside the data). Damage merely
// ends the count: the decoder reports it.
ScanCount count_scans(const uint8_t* bytes, size_t size) {
    ScanCount count;
    size_t at = 2;  // after SOI
    while (at + 1 < size) {
        if (bytes[at] != 0xFF) return count;
        const uint8_t marker = bytes[at + 1];
        at += 2;
        if (marker == 0xFF) {  // a fill byte before the marker
            --at;
            continue;
        }
        if (marker == 0xD9) return count;  // EOI
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) continue;  // no length
        if (at + 2 > size) return count;
        const size_t length = size_t(bytes[at]) << 8 | bytes[at + 1];
        if (length < 2 || at + length > size) return count;
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame && length >= 8) count.components = bytes[at + 7];
        at += length;
        if (marker != 0xDA) continue;
        if (count.components == 0) return count;  // a scan before the frame header: the decoder declines it
        if (++count.scans > MAX_SCANS_PER_COMPONENT * count.components) return count;
        // The entropy-coded data runs to the first 0xFF followed by neither
        // 0x00, a fill byte nor RSTn.
        for (;;) {
            const void* found = std::memchr(bytes + at, 0xFF, size - at);
            if (!found) return count;
            at = size_t(static_cast<const uint8_t*>(found) - bytes);
            size_t next = at + 1;
            while (next < size && bytes[next] == 0xFF) ++next;
            if (next >= size) return count;
            if (bytes[next] != 0x00 && (bytes[next] < 0xD0 || bytes[next] > 0xD7)) {
                at = next - 1;
                break;
            }
            at = next + 1;
        }
    }
    return count;
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
    if (width <= 0 || height <= 0) return decline(LoadError::damaged, "JPEG: picture of no pixels");
    if (!within_pixel_limit(width, height, options))
        return decline(LoadError::too_large, "JPEG: picture larger than the size limit");

    const ScanCount scans = count_scans(bytes, size_t(size));
    if (scans.scans > MAX_SCANS_PER_COMPONENT * scans.components)
        return decline(LoadError::unsupported, "JPEG: more than " + std::to_string(MAX_SCANS_PER_COMPONENT) +
                                                   " scans per component, which no encoder writes");

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
    ImagePtr image(new_image_within(width, height, pixel_limit(options)));
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
