// ASTC through libastcenc. The level's Pixels go to the library as they lie
// in memory (red, green, blue, alpha bytes), with a swizzle for what is not
// there: alpha 1 for opaque levels, red-red-red-green for normal maps. Every
// block is encoded from its own texels alone, so the bytes do not depend on
// how many threads share the level.
#include "encoders/astc.h"

#include <astcenc.h>

#include <exception>
#include <thread>

namespace orvandel {

void AstcContextDeleter::operator()(astcenc_context* context) const {
    if (context) astcenc_context_free(context);
}

namespace {

float preset(CompressQuality quality) {
    switch (quality) {
        case CompressQuality::fast: return ASTCENC_PRE_FAST;
        case CompressQuality::normal: return ASTCENC_PRE_MEDIUM;
        case CompressQuality::best: return ASTCENC_PRE_THOROUGH;
    }
    return ASTCENC_PRE_MEDIUM;
}

bool is_astc(BlockFormat format) {
    return format == BlockFormat::astc4x4 || format == BlockFormat::astc5x5 || format == BlockFormat::astc6x6 ||
           format == BlockFormat::astc8x8;
}

}  // namespace

AstcEncoder make_astc_encoder(BlockFormat format, const BlockSettings& settings, bool srgb, int threads) {
    AstcEncoder encoder;
    encoder.threads = threads < 1 ? 1 : threads;
    encoder.alpha = settings.alpha;
    encoder.normal_map = settings.normal_map;
    if (!is_astc(format)) {
        encoder.problem = "not an ASTC format";
        return encoder;
    }
    const BlockFormatInfo info = block_format_info(format);
    astcenc_config config;
    // The context never decodes anything but its own blocks, which lets the
    // library build smaller tables and skip work.
    const unsigned flags = ASTCENC_FLG_SELF_DECOMPRESS_ONLY | (settings.normal_map ? ASTCENC_FLG_MAP_NORMAL : 0);
    if (astcenc_config_init(srgb ? ASTCENC_PRF_LDR_SRGB : ASTCENC_PRF_LDR, unsigned(info.block_width),
                            unsigned(info.block_height), 1, preset(settings.quality), flags,
                            &config) != ASTCENC_SUCCESS) {
        encoder.problem = "the ASTC encoder declined its settings";
        return encoder;
    }
    astcenc_context* context = nullptr;
    const astcenc_error error = astcenc_context_alloc(&config, unsigned(encoder.threads), &context);
    if (error != ASTCENC_SUCCESS) {
        encoder.problem = error == ASTCENC_ERR_OUT_OF_MEM ? "no memory for the ASTC encoder"
                                                          : "the ASTC encoder cannot run on this processor";
        return encoder;
    }
    encoder.context.reset(context);
    return encoder;
}

const char* encode_astc_level(AstcEncoder* encoder, const Image& level, uint8_t* out, size_t out_bytes) {
    if (!encoder->context) return encoder->problem ? encoder->problem : "no ASTC encoder";
    void* slices[1] = {level.pixels};
    astcenc_image image{unsigned(level.width), unsigned(level.height), 1, ASTCENC_TYPE_U8, slices};
    const astcenc_swizzle swizzle =
        encoder->normal_map ? astcenc_swizzle{ASTCENC_SWZ_R, ASTCENC_SWZ_R, ASTCENC_SWZ_R, ASTCENC_SWZ_G}
        : encoder->alpha    ? astcenc_swizzle{ASTCENC_SWZ_R, ASTCENC_SWZ_G, ASTCENC_SWZ_B, ASTCENC_SWZ_A}
                            : astcenc_swizzle{ASTCENC_SWZ_R, ASTCENC_SWZ_G, ASTCENC_SWZ_B, ASTCENC_SWZ_1};
    astcenc_context* context = encoder->context.get();
    // The library hands the blocks out to whichever of its threads asks; any
    // subset of them finishes the level, so a thread the system refuses only
    // means fewer.
    std::vector<astcenc_error> results(size_t(encoder->threads), ASTCENC_SUCCESS);
    auto work = [&](unsigned index) {
        results[index] = astcenc_compress_image(context, &image, &swizzle, out, out_bytes, index);
    };
    std::vector<std::thread> pool;
    for (unsigned t = 1; t < unsigned(encoder->threads); ++t) {
        try {
            pool.emplace_back(work, t);
        } catch (const std::exception&) {
            break;
        }
    }
    work(0);
    for (std::thread& thread : pool) thread.join();
    astcenc_compress_reset(context);
    for (const astcenc_error result : results)
        if (result != ASTCENC_SUCCESS)
            return result == ASTCENC_ERR_OUT_OF_MEM ? "no memory for the ASTC blocks" : "the ASTC encoder failed";
    return nullptr;
}

std::vector<uint8_t> decode_astc_level(BlockFormat format, bool srgb, const uint8_t* blocks, size_t bytes,
                                       int32_t width, int32_t height) {
    std::vector<uint8_t> rgba;
    if (!is_astc(format) || width <= 0 || height <= 0) return rgba;
    const BlockFormatInfo info = block_format_info(format);
    astcenc_config config;
    if (astcenc_config_init(srgb ? ASTCENC_PRF_LDR_SRGB : ASTCENC_PRF_LDR, unsigned(info.block_width),
                            unsigned(info.block_height), 1, ASTCENC_PRE_FAST, ASTCENC_FLG_DECOMPRESS_ONLY,
                            &config) != ASTCENC_SUCCESS)
        return rgba;
    astcenc_context* raw = nullptr;
    if (astcenc_context_alloc(&config, 1, &raw) != ASTCENC_SUCCESS) return rgba;
    const AstcContextPtr context(raw);
    rgba.resize(size_t(width) * size_t(height) * 4);
    void* slices[1] = {rgba.data()};
    astcenc_image image{unsigned(width), unsigned(height), 1, ASTCENC_TYPE_U8, slices};
    const astcenc_swizzle identity{ASTCENC_SWZ_R, ASTCENC_SWZ_G, ASTCENC_SWZ_B, ASTCENC_SWZ_A};
    if (astcenc_decompress_image(context.get(), blocks, bytes, &image, &identity, 0) != ASTCENC_SUCCESS) rgba.clear();
    return rgba;
}

}  // namespace orvandel
