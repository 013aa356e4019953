// The KTX2 writer. Every level is made (and supercompressed) before the
// first byte is written, since the level index that leads the file holds
// their offsets and lengths. Level 0 in the index is the largest; in the file
// the smallest comes first, so a reader streaming the file gets a picture
// early. Without supercompression each level starts on a multiple of
// lcm(texel block bytes, 4); with it, anywhere (alignment 1).
#include "writers/ktx2.h"

#include <zstd.h>

#include <algorithm>
#include <new>

#include "io/buffered_output.h"

namespace orvandel {

namespace {

constexpr uint8_t IDENTIFIER[12] = {0xAB, 'K', 'T', 'X', ' ', '2', '0', 0xBB, '\r', '\n', 0x1A, '\n'};
constexpr size_t HEADER_BYTES = 80;  // identifier, header and index
constexpr size_t LEVEL_INDEX_ENTRY_BYTES = 24;
constexpr uint32_t SUPERCOMPRESSION_ZSTD = 2;

// Data Format Specification values.
constexpr uint8_t MODEL_RGBSDA = 1, MODEL_BC1A = 128, MODEL_BC3 = 130, MODEL_BC4 = 131, MODEL_BC5 = 132,
                  MODEL_BC7 = 134, MODEL_ASTC = 162;
constexpr uint8_t PRIMARIES_BT709 = 1;
constexpr uint8_t TRANSFER_LINEAR = 1, TRANSFER_SRGB = 2;
// Qualifiers in the channelType byte, above the channel ID.
constexpr uint8_t QUALIFIER_LINEAR = 0x10, QUALIFIER_SIGNED = 0x40, QUALIFIER_FLOAT = 0x80;
// A float sample's bounds are floats too: -1.0f and 1.0f for a signed one.
constexpr uint32_t FLOAT_MINUS_ONE = 0xBF800000u, FLOAT_ONE = 0x3F800000u;
constexpr uint8_t CHANNEL_ALPHA = 15;

struct Sample {
    uint16_t bit_offset;
    uint8_t bit_length;  // bits - 1
    uint8_t channel;     // channel ID, and qualifiers in the top four bits
    uint32_t lower;
    uint32_t upper;
};

size_t gcd(size_t a, size_t b) { return b == 0 ? a : gcd(b, a % b); }

void put_le64(std::vector<uint8_t>* out, size_t at, uint64_t v) {
    write_le32(out->data() + at, uint32_t(v));
    write_le32(out->data() + at + 4, uint32_t(v >> 32));
}

void append_le32(std::vector<uint8_t>* out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// The key/value data: each entry's length, key, NUL, value, padding to 4.
// Keys in byte order, as the KTX 2.0 format requires.
std::vector<uint8_t> key_value_data(const std::string& writer) {
    std::vector<uint8_t> data;
    const std::pair<std::string, std::string> entries[] = {{"KTXorientation", "rd"}, {"KTXwriter", writer}};
    for (const auto& entry : entries) {
        const uint32_t length = uint32_t(entry.first.size() + 1 + entry.second.size() + 1);
        append_le32(&data, length);
        for (const std::string* text : {&entry.first, &entry.second}) {
            for (const char c : *text) data.push_back(static_cast<uint8_t>(c));
            data.push_back(0);
        }
        data.resize((data.size() + 3) / 4 * 4, 0);
    }
    return data;
}

// The levels' bytes as stored: supercompressed when asked. False, with the
// reason, when a level cannot be compressed.
bool stored_levels(const GpuTexture& texture, int zstd_level, std::vector<std::vector<uint8_t>>* out,
                   const char** problem) {
    if (zstd_level <= 0) return true;
    try {
        out->resize(texture.levels.size());
        for (size_t k = 0; k < texture.levels.size(); ++k) {
            const std::vector<uint8_t>& raw = texture.levels[k].bytes;
            std::vector<uint8_t>& packed = (*out)[k];
            packed.resize(ZSTD_compressBound(raw.size()));
            const size_t n = ZSTD_compress(packed.data(), packed.size(), raw.data(), raw.size(), zstd_level);
            if (ZSTD_isError(n)) {
                *problem = "Zstandard could not compress a level";
                return false;
            }
            packed.resize(n);
            packed.shrink_to_fit();
        }
    } catch (const std::bad_alloc&) {
        *problem = "no memory for the supercompressed levels";
        return false;
    }
    return true;
}

}  // namespace

uint32_t ktx2_vk_format(BlockFormat format, bool srgb, bool alpha) {
    const uint32_t s = srgb ? 1 : 0;
    switch (format) {
        case BlockFormat::none: return srgb ? 43 : 37;  // R8G8B8A8_SRGB, _UNORM
        case BlockFormat::bc1: return (alpha ? 133 : 131) + s;  // BC1_RGBA / BC1_RGB _UNORM_BLOCK, then _SRGB
        case BlockFormat::bc3: return 137 + s;
        case BlockFormat::bc4: return 139;
        case BlockFormat::bc5: return 141;
        case BlockFormat::bc7: return 145 + s;
        case BlockFormat::astc4x4: return 157 + s;
        case BlockFormat::astc5x5: return 161 + s;
        case BlockFormat::astc6x6: return 165 + s;
        case BlockFormat::astc8x8: return 171 + s;
        case BlockFormat::rgba16f: return 97;  // R16G16B16A16_SFLOAT: always linear
    }
    return 0;
}

namespace {

// The descriptor's colour model and samples for `format`, as the Khronos Data
// Format document's examples give them.
std::vector<Sample> samples_of(BlockFormat format, bool srgb, bool alpha, uint8_t* model) {
    // sRGB transfer applies to colour only: an alpha sample says so.
    const uint8_t alpha_channel = uint8_t(CHANNEL_ALPHA | (srgb ? QUALIFIER_LINEAR : 0));
    const uint32_t all = 0xFFFFFFFFu;
    switch (format) {
        case BlockFormat::none:
            *model = MODEL_RGBSDA;
            return {{0, 7, 0, 0, 255}, {8, 7, 1, 0, 255}, {16, 7, 2, 0, 255}, {24, 7, alpha_channel, 0, 255}};
        case BlockFormat::rgba16f: {
            *model = MODEL_RGBSDA;
            const uint8_t f = QUALIFIER_FLOAT | QUALIFIER_SIGNED;
            const uint32_t lo = FLOAT_MINUS_ONE, hi = FLOAT_ONE;
            return {{0, 15, uint8_t(0 | f), lo, hi}, {16, 15, uint8_t(1 | f), lo, hi}, {32, 15, uint8_t(2 | f), lo, hi},
                    {48, 15, uint8_t(CHANNEL_ALPHA | f), lo, hi}};
        }
        case BlockFormat::bc1:
            // Channel 1 says the fourth colour of three-colour blocks is transparent.
            *model = MODEL_BC1A;
            return {{0, 63, uint8_t(alpha ? 1 : 0), 0, all}};
        case BlockFormat::bc3:
            *model = MODEL_BC3;
            return {{0, 63, alpha_channel, 0, all}, {64, 63, 0, 0, all}};
        case BlockFormat::bc4:
            *model = MODEL_BC4;
            return {{0, 63, 0, 0, all}};
        case BlockFormat::bc5:
            *model = MODEL_BC5;
            return {{0, 63, 0, 0, all}, {64, 63, 1, 0, all}};
        case BlockFormat::bc7:
            *model = MODEL_BC7;
            return {{0, 127, 0, 0, all}};
        default:
            *model = MODEL_ASTC;
            return {{0, 127, 0, 0, all}};
    }
}

}  // namespace

std::vector<uint8_t> ktx2_data_format_descriptor(BlockFormat format, bool srgb, bool alpha) {
    const BlockFormatInfo info = block_format_info(format);
    uint8_t model = 0;
    const std::vector<Sample> samples = samples_of(format, srgb, alpha, &model);
    const uint32_t block_size = 24 + 16 * uint32_t(samples.size());
    std::vector<uint8_t> dfd;
    append_le32(&dfd, 4 + block_size);
    append_le32(&dfd, 0);                       // vendorId 0 (Khronos), descriptorType 0 (basic)
    append_le32(&dfd, 2 | block_size << 16);    // versionNumber 2, descriptorBlockSize
    const uint8_t transfer = srgb ? TRANSFER_SRGB : TRANSFER_LINEAR;
    append_le32(&dfd, uint32_t(model) | uint32_t(PRIMARIES_BT709) << 8 | uint32_t(transfer) << 16);  // flags 0: straight alpha
    const bool single_texel = info.block_width == 1;
    append_le32(&dfd, single_texel ? 0 : uint32_t(info.block_width - 1) | uint32_t(info.block_height - 1) << 8);
    append_le32(&dfd, uint32_t(info.block_bytes));  // bytesPlane0; planes 1 to 7 are 0
    append_le32(&dfd, 0);
    for (const Sample& s : samples) {
        append_le32(&dfd, uint32_t(s.bit_offset) | uint32_t(s.bit_length) << 16 | uint32_t(s.channel) << 24);
        append_le32(&dfd, 0);  // samplePosition: the block's origin
        append_le32(&dfd, s.lower);
        append_le32(&dfd, s.upper);
    }
    return dfd;
}

WriteResult write_ktx2(const std::string& path, const GpuTexture& texture, const Ktx2Settings& settings) {
    if (const char* problem = check_gpu_texture(texture)) return write_problem(problem);
    if (settings.zstd_level < 0 || settings.zstd_level > KTX2_ZSTD_MAX_LEVEL)
        return write_problem("the Zstandard level is out of range");
    std::vector<std::vector<uint8_t>> packed;
    const char* problem = nullptr;
    if (!stored_levels(texture, settings.zstd_level, &packed, &problem)) return write_problem(problem);
    auto stored = [&](size_t k) -> const std::vector<uint8_t>& {
        return packed.empty() ? texture.levels[k].bytes : packed[k];
    };

    const std::vector<uint8_t> dfd = ktx2_data_format_descriptor(texture.format, texture.srgb, texture.alpha);
    const std::vector<uint8_t> kvd = key_value_data(settings.writer);
    const size_t count = texture.levels.size();
    const size_t dfd_offset = HEADER_BYTES + LEVEL_INDEX_ENTRY_BYTES * count;
    const size_t kvd_offset = dfd_offset + dfd.size();
    const size_t block_bytes = size_t(block_format_info(texture.format).block_bytes);
    const size_t alignment = settings.zstd_level > 0 ? 1 : block_bytes / gcd(block_bytes, 4) * 4;

    // Offsets, the smallest level first.
    std::vector<size_t> offsets(count);
    size_t end = kvd_offset + kvd.size();
    for (size_t k = count; k-- > 0;) {
        end = (end + alignment - 1) / alignment * alignment;
        offsets[k] = end;
        end += stored(k).size();
    }

    std::vector<uint8_t> head(dfd_offset, 0);
    for (size_t i = 0; i < sizeof IDENTIFIER; ++i) head[i] = IDENTIFIER[i];
    const GpuLevel& top = texture.levels.front();
    const uint32_t fields[] = {
        ktx2_vk_format(texture.format, texture.srgb, texture.alpha),
        texture.format == BlockFormat::rgba16f ? 2u : 1u,  // typeSize: bytes of one component, or 1 for block formats
        uint32_t(top.width), uint32_t(top.height),
        0, 0, 1,  // pixelDepth, layerCount (not an array), faceCount
        uint32_t(count), settings.zstd_level > 0 ? SUPERCOMPRESSION_ZSTD : 0,
        uint32_t(dfd_offset), uint32_t(dfd.size()), uint32_t(kvd_offset), uint32_t(kvd.size()),
    };
    for (size_t i = 0; i < sizeof fields / sizeof fields[0]; ++i) write_le32(head.data() + 12 + 4 * i, fields[i]);
    // sgdByteOffset and sgdByteLength stay 0: Zstandard has no global data.
    for (size_t k = 0; k < count; ++k) {
        const size_t at = HEADER_BYTES + LEVEL_INDEX_ENTRY_BYTES * k;
        put_le64(&head, at, offsets[k]);
        put_le64(&head, at + 8, stored(k).size());
        put_le64(&head, at + 16, texture.levels[k].bytes.size());
    }

    BufferedOutput out;
    if (!open_buffered(path, &out)) return out.status;
    put_bytes(&out, head.data(), head.size());
    put_bytes(&out, dfd.data(), dfd.size());
    put_bytes(&out, kvd.data(), kvd.size());
    size_t at = kvd_offset + kvd.size();
    const uint8_t zeros[16] = {};
    for (size_t k = count; k-- > 0;) {
        put_bytes(&out, zeros, offsets[k] - at);
        put_bytes(&out, stored(k).data(), stored(k).size());
        at = offsets[k] + stored(k).size();
    }
    return finish_buffered(&out);
}

}  // namespace orvandel
