// Levels to blocks. BC1, BC3 and BC7 read colour and alpha; BC4 the red
// channel (a grey picture's grey); BC5 red and green (a normal map's X and
// Y). Without alpha every texel reaches the encoders opaque. Levels are
// worked on a row of blocks at a time, each written to its own place, so the
// threads never share a byte.
#include "encoders/compress.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "encoders/bc1_5.h"
#include "encoders/bc7.h"
#include "picture/parallel.h"

namespace orvandel {

namespace {

bool is_astc(BlockFormat format) {
    return format == BlockFormat::astc4x4 || format == BlockFormat::astc5x5 || format == BlockFormat::astc6x6 ||
           format == BlockFormat::astc8x8;
}

// Rows of blocks handed to a thread at once: enough to pay for the hand-out.
constexpr int64_t BLOCK_ROWS_PER_RUN = 2;

// The 4 x 4 texels of block (bx, by), those past the level's edges repeating
// its last column and row, alpha forced opaque unless kept.
void gather_block(const Image& level, int32_t bx, int32_t by, bool alpha, Pixel texels[16]) {
    const Pixel opaque = alpha ? 0 : 0xFF000000u;
    for (int32_t y = 0; y < 4; ++y) {
        const int32_t row = std::min(by * 4 + y, level.height - 1);
        const Pixel* line = level.pixels + int64_t(row) * level.width;
        for (int32_t x = 0; x < 4; ++x) texels[y * 4 + x] = line[std::min(bx * 4 + x, level.width - 1)] | opaque;
    }
}

void channel(const Pixel texels[16], int shift, uint8_t out[16]) {
    for (int i = 0; i < 16; ++i) out[i] = static_cast<uint8_t>(texels[i] >> shift);
}

void encode_block(BlockFormat format, const BlockSettings& settings, const Pixel texels[16], uint8_t* out) {
    uint8_t red[16], green[16];
    switch (format) {
        case BlockFormat::bc1: encode_bc1_block(texels, settings, out); break;
        case BlockFormat::bc3: encode_bc3_block(texels, settings, out); break;
        case BlockFormat::bc7: encode_bc7_block(texels, settings, out); break;
        case BlockFormat::bc4:
            channel(texels, 0, red);
            encode_bc4_block(red, settings.quality, out);
            break;
        case BlockFormat::bc5:
            channel(texels, 0, red);
            channel(texels, 8, green);
            encode_bc5_block(red, green, settings.quality, out);
            break;
        default: break;
    }
}

void encode_bc_level(const CompressOptions& options, const Image& level, uint8_t* out) {
    const BlockFormatInfo info = block_format_info(options.format);
    const int32_t across = (level.width + 3) / 4, down = (level.height + 3) / 4;
    const size_t row_bytes = size_t(across) * size_t(info.block_bytes);
    run_parallel(options.threads, down, BLOCK_ROWS_PER_RUN, [&](int64_t begin, int64_t end) {
        Pixel texels[16];
        for (int64_t by = begin; by < end; ++by) {
            uint8_t* to = out + size_t(by) * row_bytes;
            for (int32_t bx = 0; bx < across; ++bx, to += info.block_bytes) {
                gather_block(level, bx, int32_t(by), options.settings.alpha, texels);
                encode_block(options.format, options.settings, texels, to);
            }
        }
    });
}

void copy_rgba_level(const CompressOptions& options, const Image& level, uint8_t* out) {
    const Pixel opaque = options.settings.alpha ? 0 : 0xFF000000u;
    // Runs of at least 1 MiB: a small level's copy takes less than a thread's start.
    const int64_t run = std::max<int64_t>(64, (int64_t(1) << 20) / (4 * int64_t(level.width)));
    run_parallel(options.threads, level.height, run, [&](int64_t begin, int64_t end) {
        for (int64_t y = begin; y < end; ++y) {
            const Pixel* row = level.pixels + y * level.width;
            uint8_t* to = out + size_t(y) * size_t(level.width) * 4;
            for (int32_t x = 0; x < level.width; ++x, to += 4) write_le32(to, row[x] | opaque);
        }
    });
}

}  // namespace

bool level_byte_count(BlockFormat format, int32_t width, int32_t height, size_t* out) {
    if (width <= 0 || height <= 0) return false;
    const BlockFormatInfo info = block_format_info(format);
    const int64_t across = (int64_t(width) + info.block_width - 1) / info.block_width;
    const int64_t down = (int64_t(height) + info.block_height - 1) / info.block_height;
    return checked_byte_count(across, down, info.block_bytes, out);
}

const char* check_gpu_texture(const GpuTexture& texture) {
    if (texture.levels.empty()) return "the texture has no levels";
    for (size_t k = 0; k < texture.levels.size(); ++k) {
        const GpuLevel& level = texture.levels[k];
        size_t bytes = 0;
        if (!level_byte_count(texture.format, level.width, level.height, &bytes) || bytes != level.bytes.size())
            return "a level's bytes do not match its size";
        if (k > 0) {
            const GpuLevel& above = texture.levels[k - 1];
            if (level.width != std::max(1, above.width / 2) || level.height != std::max(1, above.height / 2))
                return "the levels do not halve";
        }
    }
    return nullptr;
}

bool make_compressor(const CompressOptions& options, Compressor* out, const char** problem) {
    out->options = options;
    out->options.threads = std::max(1, options.threads);
    if (!is_astc(options.format)) return true;
    out->astc = make_astc_encoder(options.format, options.settings, options.srgb, out->options.threads);
    if (out->astc.context) return true;
    *problem = out->astc.problem;
    return false;
}

const char* compress_level(Compressor* compressor, const Image& level, GpuLevel* out) {
    const CompressOptions& options = compressor->options;
    size_t bytes = 0;
    if (!level.pixels || !level_byte_count(options.format, level.width, level.height, &bytes))
        return "the level is too large to encode";
    try {
        out->bytes.assign(bytes, 0);
    } catch (const std::bad_alloc&) {
        return "no memory for the encoded level";
    }
    out->width = level.width;
    out->height = level.height;
    if (options.format == BlockFormat::none) {
        copy_rgba_level(options, level, out->bytes.data());
        return nullptr;
    }
    if (is_astc(options.format)) return encode_astc_level(&compressor->astc, level, out->bytes.data(), bytes);
    encode_bc_level(options, level, out->bytes.data());
    return nullptr;
}

const char* half_float_level(const WideImage& level, GpuLevel* out) {
    size_t bytes = 0;
    if (!level.samples || !level_byte_count(BlockFormat::rgba16f, level.width, level.height, &bytes))
        return "the level is too large to store";
    try {
        out->bytes.resize(bytes);
    } catch (const std::bad_alloc&) {
        return "no memory for the level";
    }
    out->width = level.width;
    out->height = level.height;
    // Little-endian whatever the processor, as DDS and KTX2 store them.
    const uint16_t* samples = level.samples.get();
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    std::memcpy(out->bytes.data(), samples, bytes);
#else
    for (size_t k = 0; k < bytes / 2; ++k) {
        out->bytes[2 * k] = static_cast<uint8_t>(samples[k]);
        out->bytes[2 * k + 1] = static_cast<uint8_t>(samples[k] >> 8);
    }
#endif
    return nullptr;
}

}  // namespace orvandel
