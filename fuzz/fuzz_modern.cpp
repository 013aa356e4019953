// Feeds small pictures through the modern builders, the block encoders and
// every writer. The first four bytes choose the size (up to 64 x 64), the
// filter options as the command line can set them and, with the input's
// length, the GPU format and container settings; the rest are the Pixels
// (repeated when short). Atlases and chains must have the sizes their layouts promise and
// the source in their first block, no alpha where they have none, and every
// file must be written and read back to the pixels it was given. Files go to
// a scratch path on tmpfs and are removed at once.
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "builders/atlas_layout.h"
#include "builders/modern.h"
#include "builders/resample.h"
#include "picture/image.h"
#include "readers/bmp.h"
#include "readers/load_image.h"
#include "writers/bmp_writer.h"
#include "writers/dds.h"
#include "writers/ktx2.h"
#include "writers/png_writer.h"

using namespace orvandel;

namespace {

void check(bool condition) {
    if (!condition) __builtin_trap();
}

struct Scratch {
    std::string path;
    ~Scratch() { std::remove(path.c_str()); }
};

Scratch scratch(const char* extension) {
    const std::string dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return Scratch{dir + "/orvandel-fuzz-" + std::to_string(getpid()) + "." + extension};
}

std::vector<uint8_t> file_bytes(const std::string& path) {
    std::vector<uint8_t> bytes;
    const std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), std::fclose);
    if (!file) return bytes;
    uint8_t buffer[65536];
    for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, file.get())) > 0;)
        bytes.insert(bytes.end(), buffer, buffer + got);
    return bytes;
}

bool same_pixels(const Image& a, const Image& b) {
    if (a.width != b.width || a.height != b.height) return false;
    const int64_t count = int64_t(a.width) * a.height;
    for (int64_t k = 0; k < count; ++k)
        if (a.pixels[k] != b.pixels[k]) return false;
    return true;
}

// The file at `path` reads back as exactly `expected`.
void check_reads_back(const std::string& path, const Image& expected) {
    const std::vector<uint8_t> bytes = file_bytes(path);
    const LoadResult loaded = load_image_from_memory(bytes.data(), bytes.size());
    check(loaded.image && same_pixels(*loaded.image, expected));
}

// Block (0, 0) of `atlas` is the source, its top bytes kept only with alpha.
void check_source_block(const Image& source, bool alpha, const Image& atlas) {
    const Pixel mask = alpha ? 0xFFFFFFFFu : 0x00FFFFFFu;
    for (int32_t y = 0; y < source.height; ++y)
        for (int32_t x = 0; x < source.width; ++x)
            check(atlas.pixels[int64_t(y) * atlas.width + x] == (source.pixels[int64_t(y) * source.width + x] & mask));
}

void check_no_alpha(const Image& image) {
    const int64_t count = int64_t(image.width) * image.height;
    for (int64_t k = 0; k < count; ++k) check(image.pixels[k] >> 24 == 0);
}

int64_t halved_width_sum(int32_t width, int32_t height) {
    int64_t total = 0;
    for (;;) {
        total += width;
        if (width == 1 && height == 1) return total;
        width = width > 1 ? width / 2 : 1;
        height = height > 1 ? height / 2 : 1;
    }
}

void check_atlas(const Image& source, bool alpha, const FilterOptions& options) {
    const Atlas atlas = build_atlas(source, alpha, options);
    check(atlas.image != nullptr && atlas.alpha == alpha);
    const Image& image = *atlas.image;
    const bool rip = options.layout == AtlasLayout::rip;
    check(image.height == (rip ? 2 : 1) * source.height);
    // The classic strip is twice the source's width; a modern one as wide as
    // its levels side by side, when that is more.
    const int64_t strip = options.filter == FilterKind::classic
                              ? 2 * int64_t(source.width)
                              : std::max<int64_t>(2 * int64_t(source.width), halved_width_sum(source.width, source.height));
    check(image.width == (rip ? 2 * int64_t(source.width) : strip));
    check_source_block(source, alpha, image);
    if (!alpha) check_no_alpha(image);

    const Scratch png = scratch("png");
    PngSettings settings;
    // Compressed now and then: zlib at work costs as much as all the rest.
    // The default's pieces, on two threads, as often.
    settings.compression_level = source.width % 8 == 0   ? 1 + source.height % 9
                                 : source.width % 8 == 1 ? PNG_DEFAULT_LEVEL
                                                         : 0;
    settings.threads = 2;
    check(bool(write_png(png.path, image, alpha, settings)));
    check_reads_back(png.path, image);
    const Scratch bmp = scratch("bmp");
    if (alpha) {
        check(bool(write_bmp32(bmp.path, image)));
        check_reads_back(bmp.path, image);
    } else {
        check(bool(write_bmp24(bmp.path.c_str(), &image)));
        check(int64_t(file_bytes(bmp.path).size()) == bmp24_file_size(image.width, image.height));
        check_reads_back(bmp.path, image);
    }
}

void check_gpu(const MipChain& chain, unsigned pick, int threads);

void check_chain(const Image& source, bool alpha, const FilterOptions& options, unsigned pick) {
    const MipChain chain = build_mip_chain(source, alpha, options);
    check(!chain.levels.empty() && chain.alpha == alpha);
    check_source_block(source, alpha, *chain.levels[0]);
    for (size_t k = 0; k < chain.levels.size(); ++k) {
        const Image& level = *chain.levels[k];
        if (k > 0) {
            const Image& above = *chain.levels[k - 1];
            check(level.width == std::max(1, above.width / 2) && level.height == std::max(1, above.height / 2));
        }
        if (!alpha) check_no_alpha(level);
    }
    check(chain.levels.back()->width == 1 && chain.levels.back()->height == 1);
    check_gpu(chain, pick, options.threads);
}

bool is_astc(BlockFormat format) { return format >= BlockFormat::astc4x4; }

// The chain's levels in a block format (`pick` chooses it, sRGB or not, the
// legacy DDS header, Zstandard), written as DDS where DDS holds the format
// and as KTX2; both must hold exactly the encoded levels, and uncompressed
// levels the chain's pixels.
void check_gpu(const MipChain& chain, unsigned pick, int threads) {
    const BlockFormat formats[] = {BlockFormat::none, BlockFormat::bc1, BlockFormat::bc3, BlockFormat::bc4,
                                   BlockFormat::bc5, BlockFormat::bc7, BlockFormat::astc4x4, BlockFormat::astc6x6};
    CompressOptions options;
    options.format = formats[pick % 8];
    options.settings.alpha = chain.alpha;
    options.settings.quality = CompressQuality::fast;  // keeps a run cheap
    options.srgb = pick >> 3 & 1;
    options.threads = threads;
    Compressor compressor;
    const char* problem = nullptr;
    check(make_compressor(options, &compressor, &problem));
    GpuTexture texture;
    texture.format = options.format;
    texture.srgb = options.srgb;
    texture.alpha = chain.alpha;
    texture.levels.resize(chain.levels.size());
    for (size_t k = 0; k < chain.levels.size(); ++k) {
        check(compress_level(&compressor, *chain.levels[k], &texture.levels[k]) == nullptr);
        if (options.format != BlockFormat::none) continue;
        const Image& level = *chain.levels[k];
        for (int64_t i = 0; i < int64_t(level.width) * level.height; ++i)
            check(read_le32(&texture.levels[k].bytes[size_t(4 * i)]) == (level.pixels[i] | (chain.alpha ? 0 : 0xFF000000u)));
    }

    if (!is_astc(options.format)) {
        DdsSettings settings;
        settings.legacy = pick >> 4 & 1 && options.format != BlockFormat::bc7;
        const Scratch dds = scratch("dds");
        check(bool(write_dds(dds.path, texture, settings)));
        const std::vector<uint8_t> bytes = file_bytes(dds.path);
        size_t at = 4 + DDS_HEADER_SIZE + (settings.legacy ? 0 : DDS_DX10_HEADER_SIZE);
        const bool swapped = settings.legacy && options.format == BlockFormat::none;
        for (const GpuLevel& level : texture.levels)
            for (size_t i = 0; i < level.bytes.size(); ++i, ++at)
                check(at < bytes.size() && bytes[at] == level.bytes[swapped && i % 4 != 1 && i % 4 != 3 ? i ^ 2 : i]);
        check(at == bytes.size());
    }

    Ktx2Settings settings;
    settings.zstd_level = pick >> 5 & 1;
    const Scratch ktx2 = scratch("ktx2");
    check(bool(write_ktx2(ktx2.path, texture, settings)));
    const std::vector<uint8_t> bytes = file_bytes(ktx2.path);
    check(bytes.size() >= 80 + 24 * texture.levels.size());
    for (size_t k = 0; k < texture.levels.size(); ++k) {
        const uint8_t* entry = &bytes[80 + 24 * k];
        const uint64_t offset = read_le32(entry), length = read_le32(entry + 8);
        check(read_le32(entry + 4) == 0 && read_le32(entry + 12) == 0 && offset + length <= bytes.size());
        const std::vector<uint8_t>& expected = texture.levels[k].bytes;
        std::vector<uint8_t> level(bytes.begin() + long(offset), bytes.begin() + long(offset + length));
        if (settings.zstd_level) {
            std::vector<uint8_t> inflated(expected.size());
            check(ZSTD_decompress(inflated.data(), inflated.size(), level.data(), level.size()) == expected.size());
            level = inflated;
        }
        check(level == expected);
    }
}

// The same atlas padded and aligned: every texel of every block's cell is
// the packed atlas's block texel at the edge mode's index.
void check_padded(const Image& source, bool alpha, FilterOptions options, int padding, int alignment) {
    const Atlas packed = build_atlas(source, alpha, options);
    options.padding = padding;
    options.alignment = alignment;
    const Atlas padded = build_atlas(source, alpha, options);
    check(packed.image && padded.image && packed.blocks.size() == padded.blocks.size());
    const AtlasGeometry g = atlas_geometry(source.width, source.height, options.layout, padding, alignment);
    check(g.width == padded.image->width && g.height == padded.image->height);
    for (size_t k = 0; k < padded.blocks.size(); ++k) {
        const AtlasBlock& p = padded.blocks[k];
        const AtlasBlock& q = packed.blocks[k];
        check(p.x % alignment == 0 && p.y % alignment == 0);
        const Cell cell = block_cell(g, k);
        for (int64_t y = cell.y; y < cell.y + cell.height; ++y)
            for (int64_t x = cell.x; x < cell.x + cell.width; ++x) {
                const int32_t i = edge_index(options.edge, int32_t(x - p.x), p.width);
                const int32_t j = edge_index(options.edge, int32_t(y - p.y), p.height);
                check(padded.image->pixels[y * padded.image->width + x] ==
                      packed.image->pixels[int64_t(q.y + j) * packed.image->width + q.x + i]);
            }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    const int32_t width = 1 + data[0] % 64, height = 1 + data[1] % 64;
    const unsigned choice = data[2];
    FilterOptions options;
    options.layout = choice & 1 ? AtlasLayout::mip : AtlasLayout::rip;
    options.filter = static_cast<FilterKind>((choice >> 1 & 3) % 3);
    options.colour = choice >> 3 & 1 ? ColourSpace::linear : ColourSpace::srgb;
    options.edge = static_cast<EdgeMode>((choice >> 4 & 3) % 3);
    options.normal_map = choice >> 6 & 1;
    const bool alpha_asked = choice >> 7 & 1;
    options.threads = 1 + (data[3] & 1);
    options.coverage = (data[3] >> 1) / 128.0;  // 0: none
    if (options.filter == FilterKind::classic) {
        // The command line refuses these with the classic filter.
        options.colour = ColourSpace::srgb;
        options.edge = EdgeMode::clamp;
        options.normal_map = false;
        options.coverage = 0;
    }

    const ImagePtr source(new_image(width, height));
    if (!source) return 0;
    const uint8_t* pixels = data + 4;
    const size_t count = size - 4;
    for (int64_t k = 0; k < int64_t(width) * height; ++k) {
        Pixel p = 0;
        for (int b = 0; b < 4 && count > 0; ++b) p |= Pixel(pixels[(size_t(k) * 4 + size_t(b)) % count]) << (8 * b);
        source->pixels[k] = p;
    }
    // As the batch decides: an RGBA atlas only for a source with alpha below
    // 255 somewhere; top bytes that are not alpha are left as they are, which
    // the builders must ignore.
    const bool alpha = image_has_alpha(*source, alpha_asked);

    check_atlas(*source, alpha, options);
    if (options.filter != FilterKind::classic) {
        check_chain(*source, alpha, options, (data[0] >> 6) | (data[1] >> 6) << 2 | unsigned(size % 4) << 4);
        check_padded(*source, alpha, options, data[0] / 64 * 3, 1 + data[1] / 64 * 2);
    }
    return 0;
}
