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
    if (header.hasTileDescription()) {
        const Imf::TileDescription& tiles = header.tileDescription();
        if (int64_t(tiles.xSize) * tiles.ySize > MAX_TILE_PIXELS)
            return decline(LoadError::unsupported, "OpenEXR: tiles larger than 4096 x 4096 are not read");
    }

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

// The library allocates each header attribute at the size its header
// field gives before reading it, so a few bytes could make it ask for
// gigabytes. Every header (each part's, in a multi-part file) is walked here
// first: an attribute whose value would run past the end of the file
// declines it, and so does a data window over the pixel limit (the library
// sizes its chunk tables from it: `too_large`). The reason, or "" when the
// headers fit.
std::string check_headers(const uint8_t* bytes, size_t size, const LoadOptions& options, bool* too_large) {
    if (size < 8) return "header cut short";
    const bool multipart = (bytes[5] & 0x10) != 0;  // version flags, bit 12
    size_t at = 8;
    const auto read_name = [&](size_t* end) {
        for (size_t k = at; k < size && k < at + 256; ++k)
            if (bytes[k] == 0) return *end = k, true;
        return false;
    };
    for (int part = 0;; ++part) {
        if (at >= size) return "header cut short";
        if (bytes[at] == 0) {
            // An empty header: the end of a multi-part file's headers; a
            // single-part file has none.
            return multipart && part > 0 ? std::string() : std::string("header has no attributes");
        }
        while (true) {
            if (at >= size) return "header cut short";
            if (bytes[at] == 0) {
                ++at;
                break;
            }
            const size_t name_start = at;
            size_t name_end = 0, type_end = 0;
            if (!read_name(&name_end)) return "attribute name too long or cut short";
            at = name_end + 1;
            if (!read_name(&type_end)) return "attribute type too long or cut short";
            at = type_end + 1;
            if (size - at < 4) return "header cut short";
            const int64_t length = int32_t(read_le32(bytes + at));
            at += 4;
            if (length < 0 || uint64_t(length) > size - at) return "attribute larger than the file";
            if (name_end - name_start == 10 && std::memcmp(bytes + name_start, "dataWindow", 10) == 0 && length == 16) {
                int64_t box[4];
                for (int k = 0; k < 4; ++k) box[k] = int32_t(read_le32(bytes + at + 4 * k));
                const int64_t width = box[2] - box[0] + 1, height = box[3] - box[1] + 1;
                if (width <= 0 || height <= 0) return "empty data window";
                if (!within_pixel_limit(width, height, options)) *too_large = true;
            }
            at += size_t(length);
        }
        if (!multipart) return std::string();
    }
}

}  // namespace

LoadResult load_exr(const uint8_t* bytes, size_t size, const LoadOptions& options) {
    bool too_large = false;
    const std::string header_fault = check_headers(bytes, size, options, &too_large);
    if (!header_fault.empty()) return decline(LoadError::damaged, "OpenEXR: " + header_fault);
    if (too_large) return picture_too_large("OpenEXR", options);
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
