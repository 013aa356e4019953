// TIFF files through libtiff (4.5), from memory.
// Reads: the first directory; 8- and 16-bit unsigned and 32-bit float
// samples, in strips or tiles, interleaved (one plane), with any compression
// libtiff decodes; grey (min-is-black or min-is-white) and RGB, with an alpha
// sample after the colour ones: associated alpha (colour premultiplied) is
// divided out on read, unassociated and unspecified extra samples are taken
// as plain alpha. Further extra samples are ignored.
// Declines: palettes, CMYK, YCbCr and other colour models, separate planes,
// other sample sizes and formats, pictures over the size limit (from the
// tags, before any pixel memory), and whatever libtiff refuses.
// Damaged data: a strip or tile libtiff cannot decode declines the whole
// file. libtiff's own messages never reach the terminal: the first error
// becomes the reason, warnings are dropped.
#include "readers/tiff.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace orvandel {

namespace {

struct Memory {
    const uint8_t* bytes;
    toff_t size;
    toff_t at;
    std::string error;  // libtiff's first error message
};

tmsize_t read_proc(thandle_t handle, void* out, tmsize_t n) {
    Memory* m = static_cast<Memory*>(handle);
    if (n <= 0 || m->at >= m->size) return 0;
    const toff_t count = std::min<toff_t>(toff_t(n), m->size - m->at);
    std::memcpy(out, m->bytes + m->at, size_t(count));
    m->at += count;
    return tmsize_t(count);
}
tmsize_t write_proc(thandle_t, void*, tmsize_t) { return 0; }
toff_t seek_proc(thandle_t handle, toff_t offset, int whence) {
    Memory* m = static_cast<Memory*>(handle);
    const toff_t base = whence == SEEK_CUR ? m->at : whence == SEEK_END ? m->size : 0;
    m->at = base + offset;
    return m->at;
}
int close_proc(thandle_t) { return 0; }
toff_t size_proc(thandle_t handle) { return static_cast<Memory*>(handle)->size; }
int map_proc(thandle_t handle, void** base, toff_t* size) {
    Memory* m = static_cast<Memory*>(handle);
    *base = const_cast<uint8_t*>(m->bytes);
    *size = m->size;
    return 1;
}
void unmap_proc(thandle_t, void*, toff_t) {}

int on_error(TIFF*, void* user, const char*, const char* format, va_list args) {
    Memory* m = static_cast<Memory*>(user);
    if (m->error.empty()) {
        char text[200];
        std::vsnprintf(text, sizeof text, format, args);
        m->error = text;
    }
    return 1;
}
int on_warning(TIFF*, void*, const char*, const char*, va_list) { return 1; }

struct TiffCloser {
    void operator()(TIFF* tiff) const { TIFFClose(tiff); }
};
struct OptionsFreer {
    void operator()(TIFFOpenOptions* options) const { TIFFOpenOptionsFree(options); }
};

// What libtiff may allocate at once: a strip or tile, or its own tables.
constexpr tmsize_t MAX_SINGLE_ALLOCATION = tmsize_t(256) << 20;

struct Layout {
    int64_t width, height;
    int samples, colours;     // samples a pixel; 1 (grey) or 3 of them colour
    int bits;                 // 8, 16 or 32
    bool floating, inverted;  // 32-bit float samples; min-is-white grey
    bool alpha, associated;
};

LoadResult unsupported(const std::string& what) { return decline(LoadError::unsupported, "TIFF: " + what); }

LoadResult failed(const Memory& memory, const char* what) {
    return decline(LoadError::damaged, "TIFF: " + (memory.error.empty() ? std::string(what) : memory.error));
}

// Converts `count` pixels of interleaved samples into working values.
void convert(const uint8_t* in, int64_t count, const Layout& l, Linear* out) {
    for (int64_t k = 0; k < count; ++k) {
        float v[4] = {0, 0, 0, 1};
        const int used = std::min(l.samples, l.colours + (l.alpha ? 1 : 0));
        for (int s = 0; s < used; ++s) {
            const int64_t index = k * l.samples + s;
            float value;
            if (l.bits == 8) {
                value = float(double(in[index]) / 255.0);
            } else if (l.bits == 16) {
                uint16_t word;
                std::memcpy(&word, in + 2 * index, 2);
                value = float(double(word) / 65535.0);
            } else {
                std::memcpy(&value, in + 4 * index, 4);
            }
            if (l.inverted && s < l.colours) value = 1.0f - value;
            v[s < l.colours ? s : 3] = value;
        }
        if (l.colours == 1) v[1] = v[2] = v[0];
        std::memcpy(out[k].v, v, sizeof v);
    }
}

LoadResult read_layout(TIFF* tiff, const Memory& memory, const LoadOptions& options, Layout* l) {
    uint32_t width = 0, height = 0;
    uint16_t samples = 1, bits = 1, format = SAMPLEFORMAT_UINT, photometric = 0, planar = PLANARCONFIG_CONTIG;
    if (!TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &width) || !TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &height))
        return failed(memory, "no picture size");
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &format);
    TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
    if (!TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric)) return failed(memory, "no colour model");
    if (width == 0 || height == 0) return failed(memory, "zero picture size");
    if (!within_pixel_limit(width, height, options)) return picture_too_large("TIFF", options);
    l->width = width;
    l->height = height;
    l->samples = samples;
    l->bits = bits;
    l->floating = format == SAMPLEFORMAT_IEEEFP;
    if (!((bits == 8 || bits == 16) && format == SAMPLEFORMAT_UINT) && !(bits == 32 && l->floating))
        return unsupported(std::to_string(bits) + "-bit samples of format " + std::to_string(format) + " are not read");
    if (photometric == PHOTOMETRIC_RGB)
        l->colours = 3;
    else if (photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE)
        l->colours = 1;
    else
        return unsupported("colour model " + std::to_string(photometric) + " is not read (grey and RGB are)");
    l->inverted = photometric == PHOTOMETRIC_MINISWHITE && !l->floating;
    if (samples < l->colours) return failed(memory, "fewer samples than colours");
    if (planar != PLANARCONFIG_CONTIG && samples > 1) return unsupported("separate sample planes are not read");
    uint16_t extra_count = 0;
    uint16_t* extra = nullptr;
    l->alpha = samples > l->colours;
    l->associated = false;
    if (TIFFGetField(tiff, TIFFTAG_EXTRASAMPLES, &extra_count, &extra) && extra_count > 0 && extra)
        l->associated = extra[0] == EXTRASAMPLE_ASSOCALPHA;
    return LoadResult{};
}

LoadResult read_pixels(TIFF* tiff, const Memory& memory, const Layout& l, FloatImage* image) {
    const int64_t pixel_bytes = int64_t(l.samples) * (l.bits / 8);
    if (TIFFIsTiled(tiff)) {
        uint32_t tile_width = 0, tile_height = 0;
        if (!TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &tile_width) || !TIFFGetField(tiff, TIFFTAG_TILELENGTH, &tile_height) ||
            tile_width == 0 || tile_height == 0)
            return failed(memory, "bad tile size");
        size_t bytes = 0;
        if (!checked_byte_count(tile_width, tile_height, pixel_bytes, &bytes, MAX_SINGLE_ALLOCATION))
            return unsupported("tiles over 256 MiB are not read");
        std::vector<uint8_t> tile(bytes);
        std::vector<Linear> row(tile_width);
        for (int64_t ty = 0; ty < l.height; ty += tile_height)
            for (int64_t tx = 0; tx < l.width; tx += tile_width) {
                if (TIFFReadEncodedTile(tiff, TIFFComputeTile(tiff, uint32_t(tx), uint32_t(ty), 0, 0), tile.data(),
                                        tmsize_t(bytes)) < 0)
                    return failed(memory, "a tile could not be decoded");
                const int64_t w = std::min<int64_t>(tile_width, l.width - tx);
                const int64_t h = std::min<int64_t>(tile_height, l.height - ty);
                for (int64_t y = 0; y < h; ++y)
                    convert(tile.data() + y * tile_width * pixel_bytes, w, l,
                            image->pixels.get() + (ty + y) * l.width + tx);
            }
        return LoadResult{};
    }
    uint32_t rows_per_strip = 0;
    TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &rows_per_strip);
    const int64_t strip_rows = std::min<int64_t>(std::max<uint32_t>(rows_per_strip, 1), l.height);
    size_t bytes = 0;
    if (!checked_byte_count(strip_rows, l.width, pixel_bytes, &bytes, MAX_SINGLE_ALLOCATION))
        return unsupported("strips over 256 MiB are not read");
    std::vector<uint8_t> strip(bytes);
    for (int64_t y = 0; y < l.height; y += strip_rows) {
        const int64_t rows = std::min(strip_rows, l.height - y);
        const tmsize_t want = tmsize_t(rows * l.width * pixel_bytes);
        if (TIFFReadEncodedStrip(tiff, TIFFComputeStrip(tiff, uint32_t(y), 0), strip.data(), want) < want)
            return failed(memory, "a strip could not be decoded");
        convert(strip.data(), rows * l.width, l, image->pixels.get() + y * l.width);
    }
    return LoadResult{};
}

}  // namespace

LoadResult load_tiff(const uint8_t* bytes, size_t size, const LoadOptions& options) {
    Memory memory{bytes, toff_t(size), 0, {}};
    std::unique_ptr<TIFFOpenOptions, OptionsFreer> open_options(TIFFOpenOptionsAlloc());
    if (!open_options) return no_memory_for("TIFF");
    TIFFOpenOptionsSetMaxSingleMemAlloc(open_options.get(), MAX_SINGLE_ALLOCATION);
    TIFFOpenOptionsSetErrorHandlerExtR(open_options.get(), on_error, &memory);
    TIFFOpenOptionsSetWarningHandlerExtR(open_options.get(), on_warning, &memory);
    std::unique_ptr<TIFF, TiffCloser> tiff(TIFFClientOpenExt("input", "r", &memory, read_proc, write_proc, seek_proc,
                                                             close_proc, size_proc, map_proc, unmap_proc,
                                                             open_options.get()));
    if (!tiff) return failed(memory, "not a readable TIFF file");
    Layout layout{};
    LoadResult problem = read_layout(tiff.get(), memory, options, &layout);
    if (!problem.reason.empty()) return problem;
    FloatImagePtr image = new_float_image(int32_t(layout.width), int32_t(layout.height), pixel_limit(options));
    if (!image) return no_memory_for("TIFF");
    image->alpha = layout.alpha;
    image->kind = layout.floating ? SampleKind::floating : SampleKind::integer;
    image->bits = layout.bits;
    problem = read_pixels(tiff.get(), memory, layout, image.get());
    if (!problem.reason.empty()) return problem;
    if (layout.floating && replace_non_finite(image.get()) > 0) warn(options, "NaN or infinite values read as 0");
    if (layout.associated) unpremultiply(image.get());
    LoadResult result;
    result.alpha = layout.alpha;
    result.picture = std::move(image);
    return result;
}

}  // namespace orvandel
