// OpenEXR files through the OpenEXR library (3.1), from memory.
// Reads: scanline and tiled files (a tiled file's full-resolution level),
// the first part of a multi-part file; half, float and uint channels named
// R, G, B, A or Y (grey; YA grey with alpha); a missing colour channel is 0.
// The picture is the data window, wherever it lies. Colour is taken as
// premultiplied by alpha, OpenEXR's convention, and divided by it on read.
// Other channels (layers, depth, chroma) are ignored without complaint.
// Declines: deep data, subsampled channels, files with none of R, G, B, Y,
// pictures over the size limit (checked from the header before any pixel
// memory), and everything the library refuses.
// Damaged data: whatever the library throws (a bad chunk, a file cut short)
// declines the whole file; NaN and infinite values are read as 0, with one
// warning.
#include "readers/exr.h"

#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfIO.h>
#include <ImfInputFile.h>
#include <ImfTileDescriptionAttribute.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>
#include <string>

namespace orvandel {

namespace {

// The file's bytes as OpenEXR's input stream; reads past the end throw, as
// the library expects of a file cut short.
class MemoryStream : public Imf::IStream {
  public:
    MemoryStream(const uint8_t* bytes, size_t size)
        : Imf::IStream("input"), bytes_(reinterpret_cast<const char*>(bytes)), size_(size) {}
    bool isMemoryMapped() const override { return true; }
    char* readMemoryMapped(int n) override {
        check(n);
        char* at = const_cast<char*>(bytes_ + at_);
        at_ += uint64_t(n);
        return at;
    }
    bool read(char c[], int n) override {
        check(n);
        std::memcpy(c, bytes_ + at_, size_t(n));
        at_ += uint64_t(n);
        return at_ < size_;
    }
    uint64_t tellg() override { return at_; }
    void seekg(uint64_t pos) override { at_ = pos; }

  private:
    void check(int n) const {
        if (n < 0 || at_ > size_ || uint64_t(n) > size_ - at_) throw Iex::InputExc("file cut short");
    }
    const char* bytes_;
    uint64_t size_;
    uint64_t at_ = 0;
};

// Tiles larger than this are refused: the library holds whole tiles, and a
// hostile header could otherwise ask for gigabytes for one.
constexpr int64_t MAX_TILE_PIXELS = int64_t(1) << 24;
const char* const TILES_TOO_LARGE = "OpenEXR: tiles larger than 4096 x 4096 are not read";

std::string first_line(const char* text) {
    std::string line(text);
    const size_t end = line.find('\n');
    if (end != std::string::npos) line.erase(end);
    if (line.size() > 160) line.erase(160);
    return line;
}

LoadResult read_exr(MemoryStream* stream, const LoadOptions& options) {
    Imf::InputFile file(*stream);
    const Imf::Header& header = file.header();
    const Imath::Box2i window = header.dataWindow();
    const int64_t width = int64_t(window.max.x) - window.min.x + 1;
    const int64_t height = int64_t(window.max.y) - window.min.y + 1;
    if (width <= 0 || height <= 0) return decline(LoadError::damaged, "OpenEXR: empty data window");
    if (!within_pixel_limit(width, height, options)) return picture_too_large("OpenEXR", options);

    const Imf::ChannelList& channels = header.channels();
    const char* const NAMES[] = {"R", "G", "B", "A", "Y"};
    const Imf::Channel* found[5] = {};
    for (int c = 0; c < 5; ++c) {
        found[c] = channels.findChannel(NAMES[c]);
        if (found[c] && (found[c]->xSampling != 1 || found[c]->ySampling != 1))
            return decline(LoadError::unsupported, std::string("OpenEXR: subsampled channel ") + NAMES[c] + " is not read");
    }
    const bool grey = !found[0] && !found[1] && !found[2] && found[4];
    if (!found[0] && !found[1] && !found[2] && !grey)
        return decline(LoadError::unsupported, "OpenEXR: no R, G, B or Y channel");

    FloatImagePtr image = new_float_image(int32_t(width), int32_t(height), pixel_limit(options));
    if (!image) return no_memory_for("OpenEXR");
    image->kind = SampleKind::floating;
    image->bits = 32;
    image->alpha = found[3] != nullptr;
    Imf::FrameBuffer frame;
    char* base = reinterpret_cast<char*>(image->pixels.get());
    const size_t x_stride = sizeof(Linear), y_stride = sizeof(Linear) * size_t(width);
    for (int c = 0; c < 4; ++c) {
        const char* name = grey && c == 0 ? "Y" : NAMES[c];
        frame.insert(name, Imf::Slice::Make(Imf::FLOAT, base + c * sizeof(float), window, x_stride, y_stride, 1, 1,
                                            c == 3 ? 1.0 : 0.0));
    }
    file.setFrameBuffer(frame);
    file.readPixels(window.min.y, window.max.y);

    const int64_t count = width * height;
    if (grey)
        for (int64_t k = 0; k < count; ++k) image->pixels[k].v[1] = image->pixels[k].v[2] = image->pixels[k].v[0];
    LoadResult result;
    if (replace_non_finite(image.get()) > 0) warn(options, "NaN or infinite values read as 0");
    if (image->alpha) unpremultiply(image.get());
    result.alpha = image->alpha;
    result.picture = std::move(image);
    return result;
}

// The library reads each attribute by its type, not by the size its header
// field gives: a value of a fixed-size type is read whole whatever the size
// says, a channel list up to its own end, a string vector string by string,
// and a preview or an unknown type is allocated at the size its own fields
// give. A header whose fields disagree sends the library's reading astray
// into bytes it then takes as a size, so a few bytes could make it ask for
// gigabytes. Every header (each part's, in a multi-part file) is walked here
// first, as the library reads it, and declined where a field would run past
// its value or the file, or would make the library size a table or a buffer
// from nothing: chunk offset tables longer than the file, tiles over 4096 x
// 4096, a row of tiles or a data window over the pixel limit.
struct HeaderWalk {
    std::string fault;          // "" when the headers fit
    bool too_large = false;     // a data window or a row of tiles over the pixel limit
    bool huge_tiles = false;    // tiles over MAX_TILE_PIXELS
};

// Bytes the library reads for a value of a fixed-size type; 0 for the types
// whose values are walked below or read at the size given.
int fixed_size(const std::string& type) {
    static const struct {
        const char* type;
        int size;
    } SIZES[] = {{"box2i", 16},   {"box2f", 16},    {"compression", 1}, {"double", 8},       {"envmap", 1},
                 {"float", 4},    {"int", 4},       {"keycode", 28},    {"lineOrder", 1},    {"m33f", 36},
                 {"m33d", 72},    {"m44f", 64},     {"m44d", 128},      {"rational", 8},     {"tiledesc", 9},
                 {"timecode", 8}, {"v2i", 8},       {"v2f", 8},         {"v2d", 16},         {"v3i", 12},
                 {"v3f", 12},     {"v3d", 24},      {"chromaticities", 32}, {"deepImageState", 1}};
    for (const auto& entry : SIZES)
        if (type == entry.type) return entry.size;
    return 0;
}

// A value of a variable type as the library reads it: "" when it reads
// exactly `length` bytes and allocates no more than the file holds.
std::string check_value(const std::string& type, const uint8_t* value, size_t length) {
    const int fixed = fixed_size(type);
    if (fixed > 0) return size_t(fixed) == length ? std::string() : "attribute of type " + type + " has the wrong size";
    if (type == "chlist") {
        for (size_t at = 0;;) {
            if (at >= length) return "channel list runs past its attribute";
            if (value[at] == 0) return at + 1 == length ? std::string() : "channel list ends before its attribute";
            const void* nul = std::memchr(value + at, 0, std::min<size_t>(length - at, 256));
            if (!nul) return "channel name too long or cut short";
            at = size_t(static_cast<const uint8_t*>(nul) - value) + 1;
            if (length - at < 16) return "channel list runs past its attribute";
            at += 16;
        }
    }
    if (type == "stringvector") {
        for (size_t at = 0; at < length;) {
            if (length - at < 4) return "string list runs past its attribute";
            const int64_t count = int32_t(read_le32(value + at));
            at += 4;
            if (count < 0 || uint64_t(count) > length - at) return "string list runs past its attribute";
            at += size_t(count);
        }
        return std::string();
    }
    if (type == "preview") {
        if (length < 8) return "preview cut short";
        const uint64_t pixels = uint64_t(read_le32(value)) * read_le32(value + 4);
        return pixels * 4 == length - 8 ? std::string() : "preview has the wrong size";
    }
    if (type == "floatvector") return length % 4 == 0 ? std::string() : "float list has the wrong size";
    return std::string();  // strings, and unknown types kept as they are: read at the size given
}

int64_t tiles_across(int64_t size, int64_t tile) { return (size + tile - 1) / tile; }

// The size of level `l` of `size`, rounded down (0) or up (1), as the library sizes levels.
int64_t level_size(int64_t size, int l, int rounding) {
    const int64_t divided = rounding == 1 ? (size + (int64_t(1) << l) - 1) >> l : size >> l;
    return std::max<int64_t>(1, divided);
}

int level_count(int64_t size, int rounding) {
    int levels = 1;
    while (level_size(size, levels - 1, rounding) > 1) ++levels;
    return levels;
}

// The number of chunk offsets the library reads for one part; -1 for a
// level mode it does not know.
int64_t chunk_count(int64_t width, int64_t height, const uint8_t* tiles, int compression) {
    if (!tiles) {
        // Scanlines per chunk, by compression (none, RLE, ZIPS: 1; ZIP: 16; PIZ ... DWAA: 32; DWAB: 256).
        const int lines = compression <= 2 ? 1 : compression == 3 ? 16 : compression == 9 ? 256 : 32;
        return tiles_across(height, lines);
    }
    const int64_t tx = read_le32(tiles), ty = read_le32(tiles + 4);
    const int mode = tiles[8] & 0x0f, rounding = tiles[8] >> 4;
    if (mode > 2 || rounding > 1) return -1;
    if (mode == 0) return tiles_across(width, tx) * tiles_across(height, ty);
    int64_t across = 0, down = 0, mip = 0;
    const int x_levels = level_count(width, rounding), y_levels = level_count(height, rounding);
    for (int l = 0; l < std::max(x_levels, y_levels); ++l) {
        const int64_t a = tiles_across(level_size(width, l, rounding), tx);
        const int64_t d = tiles_across(level_size(height, l, rounding), ty);
        if (l < x_levels) across += a;
        if (l < y_levels) down += d;
        mip += a * d;
    }
    return mode == 1 ? mip : across * down;
}

HeaderWalk check_headers(const uint8_t* bytes, size_t size, const LoadOptions& options) {
    HeaderWalk walk;
    const auto fail = [&](const std::string& fault) {
        walk.fault = fault;
        return walk;
    };
    if (size < 8) return fail("header cut short");
    const bool multipart = (bytes[5] & 0x10) != 0;  // version flags, bit 12
    size_t at = 8;
    const auto read_name = [&](size_t* end) {
        for (size_t k = at; k < size && k < at + 256; ++k)
            if (bytes[k] == 0) return *end = k, true;
        return false;
    };
    uint64_t chunks = 0;  // offsets in every part's table, 8 bytes each
    for (int part = 0;; ++part) {
        if (at >= size) return fail("header cut short");
        if (bytes[at] == 0) {
            // An empty header: the end of a multi-part file's headers; a
            // single-part file has none.
            if (!(multipart && part > 0)) return fail("header has no attributes");
            ++at;
            break;
        }
        // A header without a data window or a compression is read with the
        // library's own defaults (0, 0) - (63, 63) and ZIP, so the checks
        // below take those, not nothing.
        static const uint8_t DEFAULT_WINDOW[16] = {0, 0, 0, 0, 0, 0, 0, 0, 63, 0, 0, 0, 63, 0, 0, 0};
        const uint8_t* window = DEFAULT_WINDOW;
        const uint8_t* tiles = nullptr;
        int compression = 3;
        int64_t part_chunks = 0;
        while (true) {
            if (at >= size) return fail("header cut short");
            if (bytes[at] == 0) {
                ++at;
                break;
            }
            const size_t name_start = at;
            size_t name_end = 0, type_end = 0;
            if (!read_name(&name_end)) return fail("attribute name too long or cut short");
            at = name_end + 1;
            if (!read_name(&type_end)) return fail("attribute type too long or cut short");
            const std::string name(reinterpret_cast<const char*>(bytes + name_start), name_end - name_start);
            const std::string type(reinterpret_cast<const char*>(bytes + at), type_end - at);
            at = type_end + 1;
            if (size - at < 4) return fail("header cut short");
            const int64_t length = int32_t(read_le32(bytes + at));
            at += 4;
            if (length < 0 || uint64_t(length) > size - at) return fail("attribute larger than the file");
            const std::string fault = check_value(type, bytes + at, size_t(length));
            if (!fault.empty()) return fail(fault);
            if (name == "dataWindow" && type == "box2i") window = bytes + at;
            if (name == "tiles" && type == "tiledesc") tiles = bytes + at;
            if (name == "compression" && type == "compression") compression = bytes[at];
            if (name == "chunkCount" && type == "int") {
                // A multi-part file's parts say how many chunks they have; the larger figure counts.
                part_chunks = int32_t(read_le32(bytes + at));
                if (part_chunks < 0) return fail("negative chunk count");
            }
            at += size_t(length);
        }
        if (window) {
            int64_t box[4];
            for (int k = 0; k < 4; ++k) box[k] = int32_t(read_le32(window + 4 * k));
            const int64_t width = box[2] - box[0] + 1, height = box[3] - box[1] + 1;
            if (width <= 0 || height <= 0) return fail("empty data window");
            if (!within_pixel_limit(width, height, options)) {
                walk.too_large = true;
                return walk;
            }
            if (tiles) {
                const int64_t tx = read_le32(tiles), ty = read_le32(tiles + 4);
                if (tx < 1 || ty < 1) return fail("tiles of no size");
                if (tx > MAX_TILE_PIXELS || ty > MAX_TILE_PIXELS || tx * ty > MAX_TILE_PIXELS) {
                    walk.huge_tiles = true;
                    return walk;
                }
                // The library keeps a row of tiles of every channel while it reads.
                if (!within_pixel_limit(width, ty, options)) {
                    walk.too_large = true;
                    return walk;
                }
            }
            const int64_t count = chunk_count(width, height, tiles, compression);
            if (count < 0) return fail("unknown level mode");
            part_chunks = std::max(part_chunks, count);
        }
        chunks += uint64_t(part_chunks);
        if (chunks > (size - std::min(at, size)) / 8) return fail("more chunks than the file can hold");
        if (!multipart) break;
    }
    // The offset tables follow the headers.
    if (chunks > (size - std::min(at, size)) / 8) return fail("more chunks than the file can hold");
    return walk;
}

}  // namespace

LoadResult load_exr(const uint8_t* bytes, size_t size, const LoadOptions& options) {
    const HeaderWalk walk = check_headers(bytes, size, options);
    if (!walk.fault.empty()) return decline(LoadError::damaged, "OpenEXR: " + walk.fault);
    if (walk.too_large) return picture_too_large("OpenEXR", options);
    if (walk.huge_tiles) return decline(LoadError::unsupported, TILES_TOO_LARGE);
    MemoryStream stream(bytes, size);
    try {
        return read_exr(&stream, options);
    } catch (const std::bad_alloc&) {
        return no_memory_for("OpenEXR");
    } catch (const std::exception& error) {
        return decline(LoadError::damaged, "OpenEXR: " + first_line(error.what()));
    }
}

}  // namespace orvandel
