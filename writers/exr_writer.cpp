// Tiled OpenEXR mip-maps and rip-maps through the OpenEXR library (3.1).
// Writes: R, G, B (and A) channels of half or 32-bit float, in tiles of N x N
// (64 by default), MIPMAP_LEVELS or RIPMAP_LEVELS rounded down (Orvandel's
// halving rule), INCREASING_Y, with the standard wrapmodes attribute; colour
// premultiplied by alpha, OpenEXR's convention. Half values beyond the
// largest half (65504) are written as it rather than as infinity.
// ZIP is deflate's level 1, not the library's default 4: about a fifth less
// compression time for files about 4% larger. The file is made in memory
// (its whole uncompressed size reserved up front, so it is never copied to
// grow) and goes out through buffered_output.h whole or not at all.
// OpenEXR's exceptions end here: they become a write failure, and memory
// that runs out (in the library or here) becomes ENOMEM.
#include "writers/exr_writer.h"

#include <ImfChannelList.h>
#include <ImfFrameBuffer.h>
#include <ImfHeader.h>
#include <ImfIO.h>
#include <ImfStandardAttributes.h>
#include <ImfThreading.h>
#include <ImfTiledOutputFile.h>
#include <half.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <new>
#include <vector>

#include "io/buffered_output.h"
#include "picture/memory.h"
#include "picture/parallel.h"

namespace orvandel {

namespace {

// The file in memory: OpenEXR seeks back to write the tile offsets at the
// end. Its memory comes from the one zeroed allocator, so running out is a
// null to report (ENOMEM), never an abort.
class MemoryOutput : public Imf::OStream {
  public:
    MemoryOutput() : Imf::OStream("output") {}
    void write(const char c[], int n) override {
        if (!reserve(at_ + uint64_t(n))) {
            out_of_memory = true;
            throw std::bad_alloc();
        }
        std::memcpy(bytes.get() + at_, c, size_t(n));
        at_ += uint64_t(n);
        size = std::max(size, at_);
    }
    uint64_t tellp() override { return at_; }
    void seekp(uint64_t pos) override { at_ = pos; }
    // Room for `bytes` at once: the allocator's pages are only taken as
    // they are written, so reserving more than the file needs costs nothing.
    void reserve_up_front(uint64_t bytes) { reserve(bytes); }

    ZeroedPtr<char[]> bytes;
    uint64_t size = 0;
    bool out_of_memory = false;

  private:
    bool reserve(uint64_t needed) {
        if (needed <= capacity_) return true;
        const uint64_t capacity = std::max<uint64_t>({needed, 2 * capacity_, uint64_t(1) << 16});
        ZeroedPtr<char[]> grown(static_cast<char*>(allocate_zeroed(size_t(capacity))));
        if (!grown) return false;
        if (size > 0) std::memcpy(grown.get(), bytes.get(), size_t(size));
        bytes = std::move(grown);
        capacity_ = capacity;
        return true;
    }
    uint64_t capacity_ = 0;
    uint64_t at_ = 0;
};

Imf::Compression compression_of(ExrCompression c) {
    switch (c) {
        case ExrCompression::none: return Imf::NO_COMPRESSION;
        case ExrCompression::zip: return Imf::ZIP_COMPRESSION;
        case ExrCompression::piz: return Imf::PIZ_COMPRESSION;
        case ExrCompression::dwaa: return Imf::DWAA_COMPRESSION;
    }
    return Imf::ZIP_COMPRESSION;
}

constexpr int ZIP_LEVEL = 1;

// The file's bytes before compression, plus each tile's 20-byte prefix and
// 8-byte offset and room for the header: what the file holds at most, since
// the library stores a tile as it is when compressing would make it larger.
uint64_t uncompressed_file_bytes(const Imf::TiledOutputFile& file, uint64_t pixel_bytes) {
    uint64_t bytes = 1 << 16;
    const auto level = [&](int lx, int ly) {
        bytes += uint64_t(file.levelWidth(lx)) * uint64_t(file.levelHeight(ly)) * pixel_bytes +
                 28 * uint64_t(file.numXTiles(lx)) * uint64_t(file.numYTiles(ly));
    };
    if (file.levelMode() == Imf::RIPMAP_LEVELS) {
        for (int ly = 0; ly < file.numYLevels(); ++ly)
            for (int lx = 0; lx < file.numXLevels(); ++lx) level(lx, ly);
    } else {
        for (int l = 0; l < file.numLevels(); ++l) level(l, l);
    }
    return bytes;
}

}  // namespace

struct ExrWriter {
    std::string path;
    ExrSettings settings;
    MemoryOutput stream;
    std::unique_ptr<Imf::TiledOutputFile> file;
    // One level's samples, kept from level to level: the first level is the
    // largest, and fresh memory costs a page fault per page on every level.
    ZeroedPtr<char[]> pixels;
    size_t pixel_capacity = 0;
    int next_lx = 0, next_ly = 0;
    bool done = false;
};

namespace {

void release_writer(ExrWriter* writer) {
    if (!writer) return;
    // Closing an unfinished file writes its tables to memory only; nothing reaches the disk.
    try {
        writer->file.reset();
    } catch (...) {
    }
    delete writer;
}

WriteResult exr_failure(const ExrWriter& writer, const std::exception& error) {
    if (writer.stream.out_of_memory || dynamic_cast<const std::bad_alloc*>(&error)) return system_failure(ENOMEM);
    return write_problem("the OpenEXR library failed to write the file");
}

}  // namespace

ExrWriterPtr open_exr(const std::string& path, int32_t width, int32_t height, const ExrSettings& settings,
                      WriteResult* failure) {
    size_t pixels = 0;
    if (!checked_byte_count(width, height, 1, &pixels, MAX_EXR_PIXELS) || settings.tile < 1) {
        *failure = write_problem("the picture is too large for an OpenEXR file");
        return nullptr;
    }
    ExrWriterPtr writer(new (std::nothrow) ExrWriter, ExrWriterDeleter{release_writer});
    if (!writer) {
        *failure = system_failure(ENOMEM);
        return nullptr;
    }
    writer->path = path;
    writer->settings = settings;
    try {
        Imf::Header header(width, height);
        header.compression() = compression_of(settings.compression);
        header.lineOrder() = Imf::INCREASING_Y;
        header.setTileDescription(Imf::TileDescription(
            unsigned(settings.tile), unsigned(settings.tile),
            settings.levels == ExrLevels::rip ? Imf::RIPMAP_LEVELS : Imf::MIPMAP_LEVELS, Imf::ROUND_DOWN));
        const Imf::PixelType type = settings.type == ExrPixelType::half ? Imf::HALF : Imf::FLOAT;
        for (const char* name : {"R", "G", "B", "A"})
            if (settings.alpha || name[0] != 'A') header.channels().insert(name, Imf::Channel(type));
        Imf::addWrapmodes(header, settings.wrapmodes);
        header.zipCompressionLevel() = ZIP_LEVEL;
        writer->file.reset(new Imf::TiledOutputFile(writer->stream, header, std::max(0, settings.threads)));
        const uint64_t pixel_bytes = (settings.alpha ? 4 : 3) * (settings.type == ExrPixelType::half ? 2 : 4);
        // At most 1 GiB; where that is not to be had, the file grows as it is written instead.
        writer->stream.reserve_up_front(std::min<uint64_t>(uncompressed_file_bytes(*writer->file, pixel_bytes),
                                                           uint64_t(1) << 30));
    } catch (const std::exception& error) {
        *failure = exr_failure(*writer, error);
        return nullptr;
    }
    return writer;
}

WriteResult write_exr_level(ExrWriter* writer, const Linear* values, int32_t width, int32_t height, int lx, int ly,
                            float alpha_factor) {
    Imf::TiledOutputFile& file = *writer->file;
    if (lx != writer->next_lx || ly != writer->next_ly || writer->done || lx >= file.numXLevels() ||
        ly >= file.numYLevels() || file.levelWidth(lx) != width || file.levelHeight(ly) != height)
        return write_problem("a level is not the one the OpenEXR file expects");
    const ExrSettings& s = writer->settings;
    const int channels = s.alpha ? 4 : 3;
    const size_t sample = s.type == ExrPixelType::half ? sizeof(half) : sizeof(float);
    size_t bytes = 0;
    if (!checked_byte_count(int64_t(width) * height, channels, int64_t(sample), &bytes))
        return system_failure(ENOMEM);
    if (bytes > writer->pixel_capacity) {
        writer->pixels.reset();
        writer->pixel_capacity = 0;
        writer->pixels.reset(static_cast<char*>(allocate_zeroed(bytes)));
        if (!writer->pixels) return system_failure(ENOMEM);
        writer->pixel_capacity = bytes;
    }
    char* const pixels = writer->pixels.get();
    try {
        // Rows are made on the writer's threads: each row depends on its own values alone.
        const bool half_type = s.type == ExrPixelType::half;
        run_parallel(std::max(1, s.threads), height, 16, [&](int64_t first, int64_t end) {
            constexpr int32_t PIECE = 256;  // pixels converted at a time, on the stack
            float piece[PIECE * 4];
            for (int64_t y = first; y < end; ++y)
                for (int32_t x0 = 0; x0 < width; x0 += PIECE) {
                    const int32_t n = std::min(PIECE, width - x0);
                    const Linear* in = values + y * width + x0;
                    for (int32_t x = 0; x < n; ++x) {
                        const float* v = in[x].v;
                        const float alpha = s.alpha ? std::min(1.0f, alpha_factor * v[3]) : 1.0f;
                        const float out[4] = {v[0] * alpha, v[1] * alpha, v[2] * alpha, alpha};
                        for (int c = 0; c < channels; ++c) piece[x * channels + c] = out[c];
                    }
                    const size_t samples = size_t(n) * size_t(channels);
                    char* target = pixels + (size_t(y) * size_t(width) + size_t(x0)) * size_t(channels) * sample;
                    if (half_type)
                        half_row(piece, samples, reinterpret_cast<uint16_t*>(target));
                    else
                        std::memcpy(target, piece, samples * sizeof(float));
                }
        });
        Imf::FrameBuffer frame;
        const Imf::PixelType type = s.type == ExrPixelType::half ? Imf::HALF : Imf::FLOAT;
        const char* const names[] = {"R", "G", "B", "A"};
        for (int c = 0; c < channels; ++c)
            frame.insert(names[c], Imf::Slice(type, pixels + size_t(c) * sample, sample * size_t(channels),
                                              sample * size_t(channels) * size_t(width)));
        file.setFrameBuffer(frame);
        file.writeTiles(0, file.numXTiles(lx) - 1, 0, file.numYTiles(ly) - 1, lx, ly);
    } catch (const std::exception& error) {
        return exr_failure(*writer, error);
    }
    // The next level in the file's order.
    const bool rip = s.levels == ExrLevels::rip;
    if (rip && lx + 1 < file.numXLevels()) {
        writer->next_lx = lx + 1;
    } else if (rip && ly + 1 < file.numYLevels()) {
        writer->next_lx = 0;
        writer->next_ly = ly + 1;
    } else if (!rip && lx + 1 < file.numLevels()) {
        writer->next_lx = writer->next_ly = lx + 1;
    } else {
        writer->done = true;
    }
    return WriteResult{};
}

WriteResult finish_exr(ExrWriterPtr writer) {
    if (!writer->done) return write_problem("the OpenEXR file lacks levels");
    try {
        writer->file.reset();  // writes the tile offsets
    } catch (const std::exception& error) {
        return exr_failure(*writer, error);
    }
    if (writer->stream.out_of_memory) return system_failure(ENOMEM);
    BufferedOutput out;
    if (!open_buffered(writer->path, &out)) return out.status;
    put_bytes(&out, writer->stream.bytes.get(), size_t(writer->stream.size));
    writer->stream.bytes.reset();
    return finish_buffered(&out);
}

void set_exr_thread_pool(int threads) { Imf::setGlobalThreadCount(std::max(0, threads)); }

}  // namespace orvandel
