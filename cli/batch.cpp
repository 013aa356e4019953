// The modern run. Each worker takes the next texture, loads it, builds its
// atlas (or mip chain), releases the source, writes the file and reports one
// line; lines from several workers never mix, because each line is one
// write(2) made under the console's lock. The exit status is decided only at
// the end, from the results in command-line order, so it does not depend on
// which worker finished first.
#include "cli/batch.h"

#include <malloc.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "builders/atlas_layout.h"
#include "builders/classic.h"
#include "builders/float_levels.h"
#include "cli/collisions.h"
#include "cli/common.h"
#include "readers/bmp.h"
#include "writers/bmp_writer.h"
#include "writers/dds.h"
#include "writers/ktx2.h"
#include "writers/manifest.h"
#include "writers/exr_writer_module.h"
#include "writers/png_writer.h"
#include "builders/modern.h"

namespace orvandel {

namespace {

using Clock = std::chrono::steady_clock;

void write_all(int fd, const std::string& text) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t n = write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // nowhere to report it: the exit status still tells
        p += n;
        left -= size_t(n);
    }
}

// Shared by the workers of one run; every field after `lock` is guarded by it.
struct Console {
    int out_fd;
    int err_fd;
    bool quiet;
    bool progress;  // a "[done/total]" line on out_fd, redrawn after each line
    size_t total;
    std::mutex lock;
    size_t done = 0;
};

const char CLEAR_LINE[] = "\r\033[K";

std::string progress_text(const Console& console) {
    return "[" + std::to_string(console.done) + "/" + std::to_string(console.total) + "]";
}

// One line to `fd` (the progress line taken away first and put back after).
void emit(Console* console, int fd, const std::string& line, bool finished_one) {
    std::lock_guard<std::mutex> guard(console->lock);
    if (finished_one) ++console->done;
    if (!console->progress) {
        if (!line.empty()) write_all(fd, line);
        return;
    }
    if (fd == console->out_fd) {
        write_all(fd, CLEAR_LINE + line + progress_text(*console));
    } else {
        write_all(console->out_fd, CLEAR_LINE);
        if (!line.empty()) write_all(fd, line);
        write_all(console->out_fd, progress_text(*console));
    }
}

struct WarningContext {
    Console* console;
    const std::string* path;
};

void print_warning(void* context, const char* text) {
    const WarningContext* c = static_cast<const WarningContext*>(context);
    if (c->console->quiet) return;
    emit(c->console, c->console->err_fd, "orvandel: " + printable(*c->path) + ": warning: " + printable(text) + "\n",
         false);
}

TextureResult failure(int status, std::string reason) {
    TextureResult result;
    result.status = status;
    result.reason = std::move(reason);
    return result;
}

// The line names the output and the system's reason ("No space left on device").
TextureResult write_failed(const std::string& output, const WriteResult& written) {
    return failure(EXIT_WRITE_FAILED, "cannot write '" + printable(output) + "': " + printable(write_failure_text(written)));
}

const char TOO_LARGE_FOR_BMP[] = "the atlas would not fit a BMP file (try --format png)";

int status_of(LoadError error) { return error == LoadError::no_memory ? EXIT_NO_MEMORY : EXIT_INVALID_FORMAT; }

std::string describe(const std::string& input, const std::string& output, const TextureResult& r) {
    char sizes[160];
    if (r.levels > 0)
        std::snprintf(sizes, sizeof sizes, "%dx%d -> %d levels%s, %.3f s", r.source_width, r.source_height,
                      r.levels, r.alpha ? " RGBA" : "", r.seconds);
    else
        std::snprintf(sizes, sizeof sizes, "%dx%d -> %dx%d%s, %.3f s", r.source_width, r.source_height,
                      r.atlas_width, r.atlas_height, r.alpha ? " RGBA" : "", r.seconds);
    return printable(input) + " -> " + printable(output) + ": " + sizes + "\n";
}

// The file name alone: a manifest sits beside its atlas, wherever the source is.
std::string base_name(const std::string& path) {
    const size_t separator = path.find_last_of('/');
    return separator == std::string::npos ? path : path.substr(separator + 1);
}

const char* const LAYOUT_WORDS[] = {"rip", "mip"};
const char* const FILTER_WORDS[] = {"box", "kaiser", "classic"};
const char* const COLOUR_WORDS[] = {"srgb", "linear"};
const char* const EDGE_WORDS[] = {"clamp", "wrap", "mirror"};
const char* const FORMAT_WORDS[] = {"bmp", "png", "dds", "ktx2", "exr"};
const char* const COMPRESS_WORDS[] = {"rgba8",   "bc1",     "bc3",     "bc4",     "bc5",    "bc7",
                                      "astc4x4", "astc5x5", "astc6x6", "astc8x8", "rgba16f"};
const char* const QUALITY_WORDS[] = {"fast", "normal", "best"};

// What a texture's manifest needs besides the atlas.
struct ManifestSource {
    const std::string* input;
    const std::string* output;
    const CliOptions* options;
    Sha256Digest digest;
};

// The manifest of a written atlas (or, with `gpu`, of a DDS or KTX2 file's
// levels; with `float_format`, of an OpenEXR file's levels), beside it; the
// failure, if any.
TextureResult write_atlas_manifest(const ManifestSource& source, const Atlas& geometry, TextureResult result,
                                   const GpuTexture* gpu = nullptr, const char* float_format = nullptr) {
    const CliOptions& o = *source.options;
    const FilterOptions& f = o.filter;
    Manifest m;
    m.version = ORVANDEL_VERSION;
    m.options = {option_word("layout", LAYOUT_WORDS[int(f.layout)]), option_word("filter", FILTER_WORDS[int(f.filter)]),
                 option_word("colour", COLOUR_WORDS[int(f.colour)]), option_word("edge", EDGE_WORDS[int(f.edge)]),
                 option_flag("normal", f.normal_map), option_number("coverage", f.coverage),
                 option_word("alpha", o.alpha == AlphaMode::keep ? "keep" : "drop"),
                 option_number("padding", f.padding)};
    m.source_file = printable(base_name(*source.input));
    m.source_width = result.source_width;
    m.source_height = result.source_height;
    m.source_sha256 = sha256_hex(source.digest);
    m.atlas_file = printable(base_name(*source.output));
    m.atlas_width = result.atlas_width;
    m.atlas_height = result.atlas_height;
    m.layout = LAYOUT_WORDS[int(f.layout)];
    m.container = FORMAT_WORDS[int(o.format)];
    m.pixel_format = result.alpha ? "rgba8" : "rgb8";
    m.colour_space = COLOUR_WORDS[int(f.colour)];
    m.alpha = result.alpha;
    m.padding = geometry.padding;
    m.alignment = geometry.alignment;
    m.edge = EDGE_WORDS[int(f.edge)];
    m.levels_across = geometry.levels_across;
    m.levels_down = geometry.levels_down;
    m.blocks = geometry.blocks;
    if (gpu) {  // what the file's format says, which may differ from --colour (bc4, bc5, --normal)
        const bool uncompressed = gpu->format == BlockFormat::none || gpu->format == BlockFormat::rgba16f;
        m.options.push_back(option_word("compress", uncompressed ? "none" : COMPRESS_WORDS[int(gpu->format)]));
        m.options.push_back(option_word("quality", QUALITY_WORDS[int(o.quality)]));
        m.pixel_format = COMPRESS_WORDS[int(gpu->format)];
        m.colour_space = gpu->srgb ? "srgb" : "linear";
    }
    if (float_format) {
        m.pixel_format = float_format;
        m.colour_space = "linear";
    }
    const std::string path = manifest_name(*source.output);
    const WriteResult written = write_manifest(path, m);
    if (!written) return write_failed(path, written);
    return result;
}

}  // namespace

namespace {

// What the block encoders are told for this texture: sRGB formats for sRGB
// colour, UNORM ones for linear data, normal maps and one or two channels;
// BC1's cut-out threshold from --coverage when given.
CompressOptions compress_options(const CliOptions& options, bool alpha, int threads) {
    CompressOptions c;
    c.format = options.compress;
    c.settings.quality = options.quality;
    c.settings.alpha = alpha;
    c.settings.normal_map = options.filter.normal_map;
    if (options.filter.coverage > 0) c.settings.alpha_cutoff = int(std::ceil(options.filter.coverage * 255 - 1e-9));
    c.srgb = options.filter.colour == ColourSpace::srgb && !options.filter.normal_map &&
             options.compress != BlockFormat::bc4 && options.compress != BlockFormat::bc5;
    c.threads = threads;
    return c;
}

// The texture as the DDS or KTX2 file -f asks for, then its manifest.
TextureResult write_gpu_file(const GpuTexture& texture, const std::string& output, const CliOptions& options,
                             const Atlas& geometry, const ManifestSource* manifest, const TextureResult& result) {
    WriteResult written;
    if (options.format == OutputFormat::dds) {
        DdsSettings dds;
        dds.legacy = options.dds_legacy;
        written = write_dds(output, texture, dds);
    } else {
        Ktx2Settings ktx2;
        ktx2.zstd_level = options.zstd_level;
        ktx2.writer = modern_version_text();
        ktx2.writer.pop_back();  // the newline
        written = write_ktx2(output, texture, ktx2);
    }
    if (!written) return write_failed(output, written);
    return manifest ? write_atlas_manifest(*manifest, geometry, result, &texture) : result;
}

// A DDS or KTX2 file: the mip chain level by level, or the rip atlas as one
// level, each level encoded and then released.
TextureResult write_gpu_texture(LoadResult loaded, const std::string& output, const CliOptions& options,
                                FilterOptions filter, const ManifestSource* manifest, TextureResult result) {
    const CompressOptions compress = compress_options(options, result.alpha, filter.threads);
    Compressor compressor;
    const char* problem = nullptr;
    if (!make_compressor(compress, &compressor, &problem))
        return failure(std::strncmp(problem, "no memory", 9) == 0 ? EXIT_NO_MEMORY : EXIT_WRITE_FAILED, problem);
    GpuTexture texture;
    texture.format = compress.format;
    texture.srgb = compress.srgb;
    texture.alpha = result.alpha;

    std::vector<ImagePtr> levels;
    Atlas geometry;  // for the manifest: the atlas's blocks, or a chain's levels each at (0, 0)
    // No compressed block may mix two blocks of the atlas.
    filter.alignment = block_format_info(compress.format).block_width;
    if (filter.layout == AtlasLayout::mip) {
        MipChain chain = build_mip_chain(std::move(loaded.image), result.alpha, filter);
        if (chain.levels.empty()) return failure(EXIT_NO_MEMORY, "no memory for the mip chain");
        result.levels = int(chain.levels.size());
        levels = std::move(chain.levels);
        for (int32_t k = 0; k < result.levels; ++k)
            geometry.blocks.push_back({k, k, 0, 0, levels[size_t(k)]->width, levels[size_t(k)]->height});
        geometry.alignment = filter.alignment;
        geometry.levels_across = geometry.levels_down = result.levels;
    } else {
        geometry = build_atlas(*loaded.image, result.alpha, filter);
        loaded.image.reset();
        if (!geometry.image) return failure(EXIT_NO_MEMORY, "no memory for the atlas");
        levels.push_back(std::move(geometry.image));
    }
    result.atlas_width = levels.front()->width;
    result.atlas_height = levels.front()->height;
    texture.levels.resize(levels.size());
    for (size_t k = 0; k < levels.size(); ++k) {
        if (const char* failed = compress_level(&compressor, *levels[k], &texture.levels[k]))
            return failure(std::strncmp(failed, "no memory", 9) == 0 ? EXIT_NO_MEMORY : EXIT_WRITE_FAILED, failed);
        levels[k].reset();
    }
    return write_gpu_file(texture, output, options, geometry, manifest, result);
}

// Half-float levels of a float source as a DDS or KTX2 file: the mip chain,
// or the rip atlas as one level, each level stored and then released.
TextureResult write_half_texture(FloatImagePtr picture, const std::string& output, const CliOptions& options,
                                 const FilterOptions& filter, const ManifestSource* manifest, TextureResult result) {
    GpuTexture texture;
    texture.format = BlockFormat::rgba16f;
    texture.alpha = result.alpha;
    std::vector<WideImagePtr> levels;
    Atlas geometry;  // as in write_gpu_texture
    if (filter.layout == AtlasLayout::mip) {
        levels = build_float_half_chain(*picture, result.alpha, filter);
        picture.reset();
        if (levels.empty()) return failure(EXIT_NO_MEMORY, "no memory for the mip chain");
        result.levels = int(levels.size());
        for (int32_t k = 0; k < result.levels; ++k)
            geometry.blocks.push_back({k, k, 0, 0, levels[size_t(k)]->width, levels[size_t(k)]->height});
        geometry.levels_across = geometry.levels_down = result.levels;
    } else {
        levels.push_back(build_float_half_atlas(*picture, result.alpha, filter, &geometry));
        picture.reset();
        if (!levels.back()) return failure(EXIT_NO_MEMORY, "no memory for the atlas");
    }
    result.atlas_width = levels.front()->width;
    result.atlas_height = levels.front()->height;
    texture.levels.resize(levels.size());
    for (size_t k = 0; k < levels.size(); ++k) {
        if (const char* failed = half_float_level(*levels[k], &texture.levels[k]))
            return failure(std::strncmp(failed, "no memory", 9) == 0 ? EXIT_NO_MEMORY : EXIT_WRITE_FAILED, failed);
        levels[k].reset();
    }
    return write_gpu_file(texture, output, options, geometry, manifest, result);
}

// The classic atlas of an opaque picture, as the classic run makes it: built
// in its file's bytes, which go out as they are.
TextureResult write_classic_bmp(LoadResult loaded, const std::string& output, const FilterOptions& filter,
                                const ManifestSource* manifest, TextureResult result) {
    const bool rip = filter.layout == AtlasLayout::rip;
    if (bmp24_file_size(2 * int64_t(result.source_width), (rip ? 2 : 1) * int64_t(result.source_height)) >
        int64_t(UINT32_MAX))
        return failure(EXIT_NO_MEMORY, TOO_LARGE_FOR_BMP);
    const BgrImagePtr file = build_classic_file_atlas(std::move(loaded.image), nullptr, rip);
    if (!file) return failure(EXIT_NO_MEMORY, "no memory for the atlas");
    result.atlas_width = file->width;
    result.atlas_height = file->height;
    const WriteResult written = write_bmp24_image(output.c_str(), file.get());
    if (!written) return write_failed(output, written);
    if (!manifest) return result;
    Atlas geometry;
    describe_atlas(classic_geometry(result.source_width, result.source_height, filter.layout), &geometry);
    return write_atlas_manifest(*manifest, geometry, result);
}

PngSettings png_settings(const CliOptions& options, const FilterOptions& filter) {
    PngSettings png;
    png.compression_level = options.png_level;
    png.threads = filter.threads;
    return png;
}

// The rip atlas of an opaque picture, built in a BMP file's bytes: sent as
// they are, or as a PNG's rows.
TextureResult write_rip_in_file(BgrImagePtr canvas, const std::string& output, const CliOptions& options,
                                const FilterOptions& filter, TextureResult result) {
    // A large BMP file is the canvas's bytes: its space is taken on a thread
    // of its own while the atlas is built, so that the write after the build
    // only copies. Where the output cannot be opened yet, or no thread is
    // had, it is opened after the build as ever, and fails there as it always
    // has. A small one is not worth a thread: in a batch of 256 x 256
    // textures the threads and the reservations cost more than they saved.
    constexpr uint64_t RESERVE_FROM_BYTES = uint64_t(16) << 20;
    BufferedOutput early;
    std::thread reserving;
    if (options.format == OutputFormat::bmp && uint64_t(canvas->file_bytes) >= RESERVE_FROM_BYTES &&
        open_buffered(output, &early)) {
        try {
            reserving = std::thread(reserve_output, early.file.get(), int64_t(canvas->file_bytes));
        } catch (const std::exception&) {  // system_error, or bad_alloc
        }
    }
    const bool built = build_rip_in_file(canvas.get(), filter);
    if (reserving.joinable()) reserving.join();
    if (!built) return failure(EXIT_NO_MEMORY, "no memory for the atlas");
    result.atlas_width = canvas->width;
    result.atlas_height = canvas->height;
    const WriteResult written = options.format == OutputFormat::png
                                    ? write_png(output, *canvas, png_settings(options, filter))
                                : early.file ? write_bmp24_image(&early, canvas.get())
                                             : write_bmp24_image(output.c_str(), canvas.get());
    if (!written) return write_failed(output, written);
    return result;
}

// A built atlas as PNG or BMP.
TextureResult write_built_atlas(Atlas atlas, const std::string& output, const CliOptions& options,
                                const FilterOptions& filter, const ManifestSource* manifest, TextureResult result) {
    if (!atlas.image) return failure(EXIT_NO_MEMORY, "no memory for the atlas");
    const Image& image = *atlas.image;
    result.atlas_width = image.width;
    result.atlas_height = image.height;

    WriteResult written;
    if (options.format == OutputFormat::png) {
        written = write_png(output, image, result.alpha, png_settings(options, filter));
    } else {
        const int64_t bytes = result.alpha ? bmp32_file_size(image.width, image.height)
                                           : bmp24_file_size(image.width, image.height);
        if (bytes < 0 || bytes > int64_t(UINT32_MAX)) return failure(EXIT_NO_MEMORY, TOO_LARGE_FOR_BMP);
        written = result.alpha ? write_bmp32(output, image) : write_bmp24(output.c_str(), &image);
    }
    if (!written) return write_failed(output, written);
    // The atlas is in place first: a manifest names a file that exists.
    if (!manifest) return result;
    atlas.image.reset();
    return write_atlas_manifest(*manifest, atlas, result);
}

// Any other atlas, as PNG or BMP.
TextureResult write_atlas(LoadResult loaded, const std::string& output, const CliOptions& options,
                          const FilterOptions& filter, const ManifestSource* manifest, TextureResult result) {
    Atlas atlas = build_atlas(*loaded.image, result.alpha, filter);
    loaded.image.reset();  // only the atlas from here on
    return write_built_atlas(std::move(atlas), output, options, filter, manifest, result);
}

const char* wrapmodes_of(EdgeMode edge) {
    return edge == EdgeMode::wrap ? "periodic" : edge == EdgeMode::mirror ? "mirror" : "clamp";
}

// A tiled OpenEXR file: each level goes to the writer as it is made. Its
// manifest lists the file's levels, each a picture of its own at (0, 0).
TextureResult write_exr(const FloatImage& picture, const std::string& output, const CliOptions& options,
                        const FilterOptions& filter, const ManifestSource* manifest, TextureResult result) {
    ExrSettings settings;
    settings.levels = filter.layout == AtlasLayout::rip ? ExrLevels::rip : ExrLevels::mip;
    settings.tile = options.exr_tile;
    settings.type = options.exr_type;
    settings.compression = options.exr_compression;
    settings.wrapmodes = wrapmodes_of(filter.edge);
    settings.alpha = result.alpha;
    settings.threads = filter.threads;
    std::string unavailable;
    const ExrWriterFunctions* exr = exr_writer_functions(&unavailable);
    if (!exr) return failure(EXIT_WRITE_FAILED, printable(unavailable));
    WriteResult written;
    ExrWriterPtr writer = exr->open(output, picture.width, picture.height, settings, &written);
    const auto no_memory = [] { return failure(EXIT_NO_MEMORY, "no memory for the OpenEXR levels"); };
    if (!writer) return written.error == ENOMEM ? no_memory() : write_failed(output, written);
    Atlas geometry;
    const LevelSink sink = [&](const FloatLevel& level) {
        written = exr->write_level(writer.get(), level.values, level.width, level.height, level.x_level,
                                   level.y_level, level.alpha_factor);
        ++result.levels;
        if (manifest) geometry.blocks.push_back({level.x_level, level.y_level, 0, 0, level.width, level.height});
        return bool(written);
    };
    const bool built = settings.levels == ExrLevels::rip ? build_float_rip(picture, result.alpha, filter, sink)
                                                         : build_float_mip(picture, result.alpha, filter, sink);
    if (built) written = exr->finish(std::move(writer));
    if (written.error == ENOMEM || (!built && written)) return no_memory();
    if (!written) return write_failed(output, written);
    result.atlas_width = picture.width;
    result.atlas_height = picture.height;
    if (!manifest) return result;
    geometry.levels_across = geometry.blocks.back().across + 1;
    geometry.levels_down = geometry.blocks.back().down + 1;
    const bool half = settings.type == ExrPixelType::half;
    const char* format = result.alpha ? (half ? "rgba16f" : "rgba32f") : (half ? "rgb16f" : "rgb32f");
    return write_atlas_manifest(*manifest, geometry, result, nullptr, format);
}

// A source of more than 8 bits (or any source for OpenEXR): filtered from
// its float values, written at the output's precision.
TextureResult write_precise(LoadResult loaded, const std::string& output, const CliOptions& options,
                            const FilterOptions& filter, const ManifestSource* manifest, TextureResult result) {
    FloatImagePtr picture = std::move(loaded.picture);
    if (!picture) {
        picture = float_from_pixels(*loaded.image, loaded.alpha);
        loaded.image.reset();
        if (!picture) return failure(EXIT_NO_MEMORY, "no memory for the picture");
    }
    result.alpha = options.alpha == AlphaMode::keep && float_has_alpha(*picture);
    prepare_float_source(picture.get(), result.alpha, filter);
    const bool gpu = options.format == OutputFormat::dds || options.format == OutputFormat::ktx2;
    // Uncompressed textures of float sources keep their range as halves;
    // the block encoders take 8-bit texels.
    if (gpu && options.compress == BlockFormat::none && picture->kind == SampleKind::floating)
        return write_half_texture(std::move(picture), output, options, filter, manifest, result);
    if (options.format != OutputFormat::exr &&
        (gpu || filter.filter == FilterKind::classic || filter.padding > 0 || filter.alignment > 1 || manifest)) {
        // GPU textures, the classic filters, padded atlases and manifests
        // work on bytes: the picture as 8-bit Pixels first.
        loaded.image.reset(new_image(picture->width, picture->height));
        if (!loaded.image) return failure(EXIT_NO_MEMORY, "no memory for the picture");
        FloatLevel whole;
        whole.values = picture->pixels.get();
        whole.width = picture->width;
        whole.height = picture->height;
        store_level8(whole, filter, result.alpha, loaded.image.get(), 0, 0);
        picture.reset();
        if (filter.filter == FilterKind::classic && options.format == OutputFormat::bmp && !result.alpha)
            return write_classic_bmp(std::move(loaded), output, filter, manifest, result);
        if (gpu) return write_gpu_texture(std::move(loaded), output, options, filter, manifest, result);
        return write_atlas(std::move(loaded), output, options, filter, manifest, result);
    }
    switch (options.format) {
        case OutputFormat::exr:
            return write_exr(*picture, output, options, filter, manifest, result);
        case OutputFormat::png:
            if ((options.png_depth == 0 && picture->bits > 8) || options.png_depth == 16) {
                const WideImagePtr atlas = build_float_wide_atlas(*picture, result.alpha, filter);
                picture.reset();
                if (!atlas) return failure(EXIT_NO_MEMORY, "no memory for the atlas");
                result.atlas_width = atlas->width;
                result.atlas_height = atlas->height;
                const WriteResult written = write_png16(output, *atlas, result.alpha, png_settings(options, filter));
                if (!written) return write_failed(output, written);
                return result;
            }
            break;
        default:
            break;
    }
    Atlas atlas = build_float_atlas(*picture, result.alpha, filter);
    picture.reset();
    return write_built_atlas(std::move(atlas), output, options, filter, nullptr, result);
}

}  // namespace

TextureResult process_texture(const std::string& input, const std::string& output, const CliOptions& options,
                              int build_threads, const WarningSink& warnings) {
    LoadOptions load;
    load.warnings = warnings;
    load.max_pixels = options.max_pixels;
    load.gif_transparency = true;
    load.threads = build_threads;
    ManifestSource manifest{&input, &output, &options, {}};
    if (options.manifest) load.digest = &manifest.digest;
    FilterOptions filter = options.filter;
    filter.threads = build_threads;
    // Sources of more than 8 bits, OpenEXR output and 16-bit PNG output take
    // the float path; an opaque 8-bit picture's rip atlas is built in a BMP
    // file's bytes, the picture decoded into their corner where its reader can.
    const bool wide_png = options.format == OutputFormat::png && options.png_depth == 16;
    const bool in_file = (options.format == OutputFormat::bmp || options.format == OutputFormat::png) &&
                         !wide_png && filter.filter != FilterKind::classic && filter.layout == AtlasLayout::rip &&
                         filter.edge != EdgeMode::wrap && filter.padding == 0 && filter.alignment <= 1 &&
                         !options.manifest;
    FileCanvasTarget target;
    if (in_file) load.rows = file_canvas_rows(&target);
    load.high_precision = true;
    LoadResult loaded = load_image_file(input, load);
    if (!loaded.image && !loaded.picture && !loaded.in_destination)
        return failure(status_of(loaded.error), loaded.reason);

    TextureResult result;
    if (loaded.in_destination) {
        result.source_width = target.canvas->width / 2;
        result.source_height = target.canvas->height / 2;
        return write_rip_in_file(std::move(target.canvas), output, options, filter, result);
    }
    if (loaded.picture || options.format == OutputFormat::exr || wide_png) {
        result.source_width = loaded.picture ? loaded.picture->width : loaded.image->width;
        result.source_height = loaded.picture ? loaded.picture->height : loaded.image->height;
        return write_precise(std::move(loaded), output, options, filter, options.manifest ? &manifest : nullptr,
                             result);
    }
    result.source_width = loaded.image->width;
    result.source_height = loaded.image->height;
    result.alpha = options.alpha == AlphaMode::keep && image_has_alpha(*loaded.image, loaded.alpha);
    if (in_file && !result.alpha && rip_streams(result.source_width, result.source_height, filter)) {
        BgrImagePtr canvas = new_file_canvas(loaded.image.get(), true);
        if (canvas) {
            loaded.image.reset();
            return write_rip_in_file(std::move(canvas), output, options, filter, result);
        }
    }
    // Each takes the picture over, to release it as soon as it is built on.
    if (options.format == OutputFormat::dds || options.format == OutputFormat::ktx2)
        return write_gpu_texture(std::move(loaded), output, options, filter, options.manifest ? &manifest : nullptr,
                                 result);
    if (options.format == OutputFormat::bmp && filter.filter == FilterKind::classic && !result.alpha)
        return write_classic_bmp(std::move(loaded), output, filter, options.manifest ? &manifest : nullptr, result);
    return write_atlas(std::move(loaded), output, options, filter, options.manifest ? &manifest : nullptr, result);
}

int available_cores() {
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
    const unsigned cores = std::thread::hardware_concurrency();
    return cores > 0 ? int(cores) : 1;
}

int build_thread_count(int jobs, size_t workers, int cores) {
    if (workers == 0) return 1;
    // Spare jobs go to each build, but a build gains nothing from more
    // threads than cores: each would only hold memory of its own.
    const int spare = std::max(1, jobs / int(std::min(workers, size_t(jobs))));
    return std::max(1, std::min(spare, cores));
}

int run_batch(const CliOptions& options, int out_fd, int err_fd) {
    const size_t count = options.inputs.size();
    Console console{out_fd, err_fd, options.quiet, count > 1 && !options.quiet && isatty(out_fd) == 1, count, {}};

    if (!options.output_dir.empty()) {
        std::error_code error;
        std::filesystem::create_directories(options.output_dir, error);
        if (!std::filesystem::is_directory(options.output_dir, error)) {
            write_all(err_fd, "orvandel: " + printable(options.output_dir) + ": cannot make the output directory\n");
            return EXIT_WRITE_FAILED;
        }
    }

    std::vector<TextureResult> results(count);
    std::atomic<size_t> next{0};
    // With fewer textures than jobs, the spare cores go to each build.
    const size_t workers = std::min(size_t(options.jobs), count);
    const int build_threads = build_thread_count(options.jobs, workers, available_cores());
    // OpenEXR compresses on a pool of its own, shared by every file of the
    // run. Without the module that writes OpenEXR, no texture is started.
    if (options.format == OutputFormat::exr) {
        std::string unavailable;
        const ExrWriterFunctions* exr = exr_writer_functions(&unavailable);
        if (!exr) {
            write_all(err_fd, "orvandel: " + printable(unavailable) + "\n");
            return EXIT_WRITE_FAILED;
        }
        exr->set_thread_pool(std::min(options.jobs, available_cores()));
    }
    auto work = [&]() {
        for (size_t i; (i = next.fetch_add(1)) < count;) {
            const std::string& input = options.inputs[i];
            // Memory that runs out anywhere in a texture's work, its report
            // included, fails that texture with status 3; the others go on.
            try {
                WarningContext context{&console, &input};
                const Clock::time_point start = Clock::now();
                results[i] = process_texture(input, options.outputs[i], options, build_threads,
                                             WarningSink{print_warning, &context});
                results[i].seconds = std::chrono::duration<double>(Clock::now() - start).count();
                if (results[i].status != EXIT_ATLAS_WRITTEN)
                    emit(&console, err_fd, "orvandel: " + printable(input) + ": " + results[i].reason + "\n", true);
                else
                    emit(&console, out_fd, options.quiet ? "" : describe(input, options.outputs[i], results[i]), true);
            } catch (const std::bad_alloc&) {
                results[i].status = EXIT_NO_MEMORY;
                write_all(err_fd, "orvandel: out of memory\n");
            }
        }
    };

    if (console.progress) emit(&console, out_fd, "", false);
    std::vector<std::thread> pool;
    for (size_t w = 1; w < workers; ++w) {
        // A thread the system refuses only means fewer workers.
        try {
            pool.emplace_back(work);
        } catch (const std::exception&) {  // system_error, or bad_alloc
            break;
        }
    }
    work();
    for (std::thread& thread : pool) thread.join();
    if (console.progress) write_all(out_fd, CLEAR_LINE);

    for (const TextureResult& result : results)
        if (result.status != EXIT_ATLAS_WRITTEN) return result.status;
    return EXIT_ATLAS_WRITTEN;
}

namespace {

int run_modern_unguarded(int argc, char** argv) {
    // Freed pictures and atlases up to 64 MiB stay in the process for the
    // next texture instead of going back to the kernel and faulting in anew:
    // with hundreds of small textures that was most of the run's system time,
    // and it serialised the workers on the process's memory map.
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    const std::vector<std::string> args(argv + 1, argv + argc);
    const unsigned cores = std::thread::hardware_concurrency();
    const CliParse parse = parse_command_line(args, cores > 0 ? int(cores) : 1);
    switch (parse.action) {
        case CliAction::help:
            write_all(STDOUT_FILENO, modern_help_text());
            return EXIT_ATLAS_WRITTEN;
        case CliAction::version:
            write_all(STDOUT_FILENO, modern_version_text());
            return EXIT_ATLAS_WRITTEN;
        case CliAction::usage_error:
            write_all(STDERR_FILENO,
                      "orvandel: " + parse.error + "\nTry 'orvandel --help' for more information.\n");
            return EXIT_USAGE;
        case CliAction::run:
            break;
    }
    // Outputs that would land on one file, or on an input, are refused
    // before anything is read or written.
    const Collision collision = find_collision(parse.options);
    if (!collision.message.empty()) {
        write_all(STDERR_FILENO, "orvandel: " + collision.message + "\n" + collision.hint + "\n");
        return EXIT_USAGE;
    }
    return run_batch(parse.options, STDOUT_FILENO, STDERR_FILENO);
}

}  // namespace

int run_modern(int argc, char** argv) {
    // Whatever runs out of memory outside a texture's own work (the command
    // line, the list of results) ends the run with status 3, never an abort.
    try {
        return run_modern_unguarded(argc, argv);
    } catch (const std::bad_alloc&) {
        write_all(STDERR_FILENO, "orvandel: out of memory\n");
        return EXIT_NO_MEMORY;
    }
}

}  // namespace orvandel
