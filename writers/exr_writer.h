// Tiled OpenEXR files of mip-map or rip-map levels, through the OpenEXR
// library: the levels are handed over one at a time, in the order the file
// stores them, and the file is written whole or not at all.
// The functions are built into the module that holds the OpenEXR library;
// the tool reaches them through writers/exr_writer_module.h.
#ifndef ORVANDEL_WRITERS_EXR_WRITER_H
#define ORVANDEL_WRITERS_EXR_WRITER_H

#include <cstdint>
#include <memory>
#include <string>

#include "io/output_file.h"
#include "picture/float_image.h"

namespace orvandel {

enum class ExrLevels { rip, mip };  // RIPMAP_LEVELS or MIPMAP_LEVELS, sizes rounded down
enum class ExrPixelType { half, floating };
enum class ExrCompression { none, zip, piz, dwaa };

constexpr int EXR_DEFAULT_TILE = 64;

struct ExrSettings {
    ExrLevels levels = ExrLevels::rip;
    int tile = EXR_DEFAULT_TILE;
    ExrPixelType type = ExrPixelType::half;
    ExrCompression compression = ExrCompression::zip;
    std::string wrapmodes = "clamp";  // the file's wrapmodes attribute: "clamp", "periodic" or "mirror"
    bool alpha = false;               // RGBA, else RGB
    int threads = 0;                  // OpenEXR's threads for compression (see set_exr_thread_pool)
};

struct ExrWriter;
// The writer is released by the code that made it, in the module.
struct ExrWriterDeleter {
    void (*release)(ExrWriter* writer) = nullptr;
    void operator()(ExrWriter* writer) const { release(writer); }
};
using ExrWriterPtr = std::unique_ptr<ExrWriter, ExrWriterDeleter>;

// Sizes OpenEXR's tables hold: a file's level-0 picture of at most this many pixels.
constexpr int64_t MAX_EXR_PIXELS = int64_t(1) << 28;

// A writer for a width x height level 0, or null with the failure in
// *failure (a size the file cannot hold, no memory: ENOMEM).
ExrWriterPtr open_exr(const std::string& path, int32_t width, int32_t height, const ExrSettings& settings,
                      WriteResult* failure);

// Level (lx, ly): width x height pixels of linear-light colour and alpha
// (straight, premultiplied on the way; alpha scaled by alpha_factor, capped
// at 1). Levels come in the file's order: (0, 0), (1, 0), ..., (0, 1), ...
// for rip-maps, (0, 0), (1, 1), ... for mip-maps. The failure: ENOMEM when
// memory ran out, a reason when the level is not the one the file expects.
WriteResult write_exr_level(ExrWriter* writer, const Linear* values, int32_t width, int32_t height, int lx, int ly,
                            float alpha_factor);

// Completes the file and puts it in place; the writer is consumed.
WriteResult finish_exr(ExrWriterPtr writer);

// OpenEXR's process-wide pool of compression threads; called once before
// any file is written (0: every file is compressed in its caller's thread).
void set_exr_thread_pool(int threads);

}  // namespace orvandel

#endif
