// The DDS writer. Readers find the levels by the sizes alone, so the levels
// must halve exactly as the header implies: each max(1, half) of the one
// before. The top level's pitch (uncompressed: width x 4 or 8 texel bytes)
// or byte count (blocks) goes in dwPitchOrLinearSize, with DDSD_PITCH or
// DDSD_LINEARSIZE to say which; a
// chain of more than one level sets DDSD_MIPMAPCOUNT, DDSCAPS_MIPMAP and
// DDSCAPS_COMPLEX. Uncompressed texels are R8G8B8A8 (red first in memory)
// under DX10 and A8R8G8B8 (blue first) in the legacy header; opaque legacy
// output is X8R8G8B8: no alpha mask, no DDPF_ALPHAPIXELS. Half-float texels
// are red, green, blue, alpha halves in either header: the legacy one names
// them by the D3DFMT number 113 in dwFourCC, as Microsoft's table of DXGI
// and legacy formats has it.
#include "writers/dds.h"

#include "io/buffered_output.h"

namespace orvandel {

namespace {

constexpr uint32_t DDSD_CAPS = 0x1, DDSD_HEIGHT = 0x2, DDSD_WIDTH = 0x4, DDSD_PITCH = 0x8;
constexpr uint32_t DDSD_PIXELFORMAT = 0x1000, DDSD_MIPMAPCOUNT = 0x20000, DDSD_LINEARSIZE = 0x80000;
constexpr uint32_t DDPF_ALPHAPIXELS = 0x1, DDPF_FOURCC = 0x4, DDPF_RGB = 0x40;
constexpr uint32_t DDSCAPS_COMPLEX = 0x8, DDSCAPS_TEXTURE = 0x1000, DDSCAPS_MIPMAP = 0x400000;
constexpr uint32_t D3D10_RESOURCE_DIMENSION_TEXTURE2D = 3;
constexpr uint32_t DDS_ALPHA_MODE_STRAIGHT = 1, DDS_ALPHA_MODE_OPAQUE = 3;
constexpr uint32_t D3DFMT_A16B16G16R16F = 113;
constexpr uint32_t DXGI_FORMAT_R16G16B16A16_FLOAT = 10;

constexpr uint32_t four_cc(const char (&code)[5]) {
    return uint32_t(uint8_t(code[0])) | uint32_t(uint8_t(code[1])) << 8 | uint32_t(uint8_t(code[2])) << 16 |
           uint32_t(uint8_t(code[3])) << 24;
}

// The legacy header's FourCC for a block format, or 0 where it has none.
uint32_t legacy_four_cc(BlockFormat format) {
    switch (format) {
        case BlockFormat::bc1: return four_cc("DXT1");
        case BlockFormat::bc3: return four_cc("DXT5");
        case BlockFormat::bc4: return four_cc("ATI1");
        case BlockFormat::bc5: return four_cc("ATI2");
        case BlockFormat::rgba16f: return D3DFMT_A16B16G16R16F;
        default: return 0;
    }
}

// The 32-byte DDS_PIXELFORMAT at `to`.
void put_pixel_format(const GpuTexture& texture, bool legacy, uint8_t* to) {
    write_le32(to + 0, 32);
    if (!legacy) {
        write_le32(to + 4, DDPF_FOURCC);
        write_le32(to + 8, four_cc("DX10"));
    } else if (texture.format != BlockFormat::none) {
        write_le32(to + 4, DDPF_FOURCC);
        write_le32(to + 8, legacy_four_cc(texture.format));
    } else {
        write_le32(to + 4, DDPF_RGB | (texture.alpha ? DDPF_ALPHAPIXELS : 0));
        write_le32(to + 12, 32);
        write_le32(to + 16, 0x00FF0000);
        write_le32(to + 20, 0x0000FF00);
        write_le32(to + 24, 0x000000FF);
        write_le32(to + 28, texture.alpha ? 0xFF000000u : 0);
    }
}

}  // namespace

uint32_t dxgi_format(BlockFormat format, bool srgb) {
    switch (format) {
        case BlockFormat::none: return srgb ? 29 : 28;  // R8G8B8A8_UNORM_SRGB, _UNORM
        case BlockFormat::bc1: return srgb ? 72 : 71;
        case BlockFormat::bc3: return srgb ? 78 : 77;
        case BlockFormat::bc4: return 80;  // BC4_UNORM
        case BlockFormat::bc5: return 83;  // BC5_UNORM
        case BlockFormat::bc7: return srgb ? 99 : 98;
        case BlockFormat::rgba16f: return DXGI_FORMAT_R16G16B16A16_FLOAT;
        default: return 0;
    }
}

bool dds_holds(BlockFormat format, const DdsSettings& settings) {
    if (settings.legacy) return format == BlockFormat::none || legacy_four_cc(format) != 0;
    return dxgi_format(format, false) != 0;
}

WriteResult write_dds(const std::string& path, const GpuTexture& texture, const DdsSettings& settings) {
    if (const char* problem = check_gpu_texture(texture)) return write_problem(problem);
    if (!dds_holds(texture.format, settings))
        return write_problem(settings.legacy ? "the legacy DDS header has no code for this format"
                                             : "DDS has no code for this format");
    const GpuLevel& top = texture.levels.front();
    const BlockFormatInfo info = block_format_info(texture.format);
    const bool blocks = info.block_width > 1;
    const bool chain = texture.levels.size() > 1;
    const size_t pitch_or_size = blocks ? top.bytes.size() : size_t(top.width) * size_t(info.block_bytes);
    if (pitch_or_size > UINT32_MAX) return write_problem("the top level is too large for a DDS header");

    uint8_t header[4 + DDS_HEADER_SIZE + DDS_DX10_HEADER_SIZE] = {'D', 'D', 'S', ' '};
    uint8_t* h = header + 4;
    write_le32(h + 0, DDS_HEADER_SIZE);
    write_le32(h + 4, DDSD_CAPS | DDSD_HEIGHT | DDSD_WIDTH | DDSD_PIXELFORMAT | (chain ? DDSD_MIPMAPCOUNT : 0) |
                          (blocks ? DDSD_LINEARSIZE : DDSD_PITCH));
    write_le32(h + 8, uint32_t(top.height));
    write_le32(h + 12, uint32_t(top.width));
    write_le32(h + 16, uint32_t(pitch_or_size));
    write_le32(h + 24, uint32_t(texture.levels.size()));
    put_pixel_format(texture, settings.legacy, h + 72);
    write_le32(h + 104, DDSCAPS_TEXTURE | (chain ? DDSCAPS_MIPMAP | DDSCAPS_COMPLEX : 0));
    size_t header_bytes = 4 + DDS_HEADER_SIZE;
    if (!settings.legacy) {
        uint8_t* x = header + header_bytes;
        write_le32(x + 0, dxgi_format(texture.format, texture.srgb));
        write_le32(x + 4, D3D10_RESOURCE_DIMENSION_TEXTURE2D);
        write_le32(x + 8, 0);   // miscFlag: not a cube map
        write_le32(x + 12, 1);  // arraySize
        write_le32(x + 16, texture.alpha ? DDS_ALPHA_MODE_STRAIGHT : DDS_ALPHA_MODE_OPAQUE);
        header_bytes += DDS_DX10_HEADER_SIZE;
    }

    BufferedOutput out;
    if (!open_buffered(path, &out)) return out.status;
    put_bytes(&out, header, header_bytes);
    const bool swap_red_blue = settings.legacy && texture.format == BlockFormat::none;
    for (const GpuLevel& level : texture.levels) {
        if (!swap_red_blue) {
            put_bytes(&out, level.bytes.data(), level.bytes.size());
            continue;
        }
        const uint8_t* rgba = level.bytes.data();
        put_units(&out, int64_t(level.bytes.size() / 4), 4, [rgba](int64_t first, int64_t n, uint8_t* to) {
            for (int64_t k = 0; k < n; ++k, to += 4) {
                const uint8_t* from = rgba + 4 * (first + k);
                to[0] = from[2];
                to[1] = from[1];
                to[2] = from[0];
                to[3] = from[3];
            }
        });
    }
    return finish_buffered(&out);
}

}  // namespace orvandel
