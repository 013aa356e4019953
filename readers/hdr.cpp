// Radiance RGBE files, from memory.
// Reads: the "#?RADIANCE" / "#?RGBE" header with FORMAT=32-bit_rle_rgbe (or
// no FORMAT line), pictures stored top row first (-Y H +X W) or bottom row
// first (+Y H +X W); scanlines flat, in the old run-length form (repeat
// pixels 1 1 1 n, consecutive ones scaling the count by 256) or the newer one
// (each channel run-length coded on its own). A pixel (m, e) decodes as
// m * 2^(e - 136), 0 where e is 0, as common readers do; EXPOSURE and
// COLORCORR lines are not applied, so the values are used as stored.
// Declines: XYZE pixels, rotated orientations, headers over 64 KiB, pictures
// over the size limit (from the resolution line, before any pixel memory).
// Damaged data: a run past a row's end, or a file that ends before the last
// row, declines the whole file.
#include "readers/hdr.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace orvandel {

namespace {

constexpr size_t MAX_HEADER_BYTES = size_t(64) << 10;

struct Cursor {
    const uint8_t* bytes;
    size_t size;
    size_t at;
    bool has(size_t n) const { return n <= size - at; }
};

// The next header line without its newline; false past the header's limit or the file's end.
bool next_line(Cursor* in, std::string* line) {
    line->clear();
    while (in->at < in->size && in->at < MAX_HEADER_BYTES) {
        const char c = char(in->bytes[in->at++]);
        if (c == '\n') return true;
        *line += c;
    }
    return false;
}

LoadResult damaged(const char* what) { return decline(LoadError::damaged, std::string("Radiance: ") + what); }

// One scanline into `rgbe` (4 bytes a pixel); false when the data breaks the format.
bool read_scanline(Cursor* in, int32_t width, uint8_t* rgbe) {
    const bool newer = width >= 8 && width < 0x8000 && in->has(4) && in->bytes[in->at] == 2 &&
                       in->bytes[in->at + 1] == 2 && (in->bytes[in->at + 2] & 0x80) == 0;
    if (newer) {
        if ((in->bytes[in->at + 2] << 8 | in->bytes[in->at + 3]) != width) return false;
        in->at += 4;
        for (int c = 0; c < 4; ++c)
            for (int32_t x = 0; x < width;) {
                if (!in->has(1)) return false;
                int count = in->bytes[in->at++];
                if (count > 128) {
                    count -= 128;
                    if (count > width - x || !in->has(1)) return false;
                    const uint8_t value = in->bytes[in->at++];
                    for (int k = 0; k < count; ++k, ++x) rgbe[4 * x + c] = value;
                } else {
                    if (count == 0 || count > width - x || !in->has(size_t(count))) return false;
                    for (int k = 0; k < count; ++k, ++x) rgbe[4 * x + c] = in->bytes[in->at++];
                }
            }
        return true;
    }
    int shift = 0;
    for (int32_t x = 0; x < width;) {
        if (!in->has(4)) return false;
        const uint8_t* p = in->bytes + in->at;
        in->at += 4;
        if (p[0] == 1 && p[1] == 1 && p[2] == 1) {
            if (x == 0 || shift > 16) return false;
            const int64_t count = int64_t(p[3]) << shift;
            if (count > width - x) return false;
            for (int64_t k = 0; k < count; ++k, ++x) std::memcpy(rgbe + 4 * x, rgbe + 4 * (x - 1), 4);
            shift += 8;
        } else {
            std::memcpy(rgbe + 4 * x, p, 4);
            ++x;
            shift = 0;
        }
    }
    return true;
}

}  // namespace

LoadResult load_hdr(const uint8_t* bytes, size_t size, const LoadOptions& options) {
    Cursor in{bytes, size, 0};
    std::string line;
    if (!next_line(&in, &line) || (line.compare(0, 10, "#?RADIANCE") != 0 && line.compare(0, 6, "#?RGBE") != 0))
        return damaged("damaged signature");
    for (;;) {
        if (!next_line(&in, &line)) return damaged("header without end");
        if (line.empty()) break;
        if (line.compare(0, 7, "FORMAT=") == 0 && line != "FORMAT=32-bit_rle_rgbe")
            return decline(LoadError::unsupported, "Radiance: only FORMAT=32-bit_rle_rgbe is read");
    }
    if (!next_line(&in, &line)) return damaged("no resolution line");
    char y_axis[3] = {}, x_axis[3] = {};
    long long height = 0, width = 0;
    int used = 0;
    if (std::sscanf(line.c_str(), "%2s %lld %2s %lld%n", y_axis, &height, x_axis, &width, &used) != 4 ||
        size_t(used) != line.size())
        return damaged("bad resolution line");
    if (y_axis[1] != 'Y' || std::strcmp(x_axis, "+X") != 0 || (y_axis[0] != '-' && y_axis[0] != '+'))
        return decline(LoadError::unsupported, "Radiance: only -Y H +X W and +Y H +X W orientations are read");
    if (width <= 0 || height <= 0) return damaged("zero or negative size");
    if (!within_pixel_limit(width, height, options)) return picture_too_large("Radiance", options);

    FloatImagePtr image = new_float_image(int32_t(width), int32_t(height), pixel_limit(options));
    if (!image) return no_memory_for("Radiance");
    image->kind = SampleKind::floating;
    image->bits = 32;
    std::vector<uint8_t> rgbe(size_t(width) * 4);
    for (int64_t row = 0; row < height; ++row) {
        if (!read_scanline(&in, int32_t(width), rgbe.data())) return damaged("bad or missing scanline data");
        const int64_t y = y_axis[0] == '-' ? row : height - 1 - row;
        Linear* out = image->pixels.get() + y * width;
        for (int64_t x = 0; x < width; ++x) {
            const uint8_t* p = &rgbe[size_t(4 * x)];
            const float scale = p[3] == 0 ? 0.0f : std::ldexp(1.0f, int(p[3]) - 136);
            out[x] = Linear{{p[0] * scale, p[1] * scale, p[2] * scale, 1.0f}};
        }
    }
    LoadResult result;
    result.picture = std::move(image);
    return result;
}

}  // namespace orvandel
