// Sampling a rip-map atlas, and a mip-map atlas for comparison, from the
// numbers of its manifest (<name>_mip.json): header-only C++17, nothing but
// the standard library. The caller fills a RipLayout from the manifest (this
// header parses no JSON) and points RipTexels at the atlas's texels, RGBA as
// floats or as bytes (a byte b reads as b / 255; the values are sampled as
// stored, sRGB or not). sampler/ripmap.glsl computes the same in a shader.
//
// Rip-map: the footprint of a pixel along u picks the level across, the
// footprint along v the level down, each clamped to the levels there are;
// the four blocks around those fractional levels are sampled bilinearly
// and blended bilinearly in level space. Mip-map: one isotropic level from
// the larger footprint, trilinear between the two nearest levels. Inside a
// block the edge mode applies to (u, v), and texels past the block's edge
// come from its padding where there is one, else from the edge mode, so
// padded and unpadded atlases sample alike.
#ifndef ORVANDEL_SAMPLER_RIPMAP_H
#define ORVANDEL_SAMPLER_RIPMAP_H

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <vector>

namespace orvandel {
namespace ripmap {

enum class Edge { clamp, wrap, mirror };

// One entry of the manifest's "blocks": the unpadded rectangle in atlas texels.
struct RipBlock {
    int across = 0, down = 0;
    int x = 0, y = 0, width = 0, height = 0;
};

// The manifest's numbers. Blocks as the manifest orders them: by down, then
// across (rip), or one per level (mip). Block 0 is the source's size.
struct RipLayout {
    int levels_across = 1, levels_down = 1;
    int padding = 0;
    Edge edge = Edge::clamp;
    std::vector<RipBlock> blocks;
};

// The atlas: width x height texels, row-major, top row first; exactly one of
// the two pointers set.
struct RipTexels {
    int width = 0, height = 0;
    const float* rgba = nullptr;     // 4 floats a texel
    const uint8_t* rgba8 = nullptr;  // 4 bytes a texel
};

// Screen-space derivatives of the texture coordinates.
struct RipDerivatives {
    float du_dx = 0, du_dy = 0, dv_dx = 0, dv_dy = 0;
};

using Rgba = std::array<float, 4>;

// The smallest footprint log2 is taken of, so a zero derivative picks level 0.
constexpr float RIP_TINY_FOOTPRINT = 1e-8f;

// A texture coordinate as the edge mode gives it in [0, 1].
inline float rip_edge_coordinate(float t, Edge edge) {
    switch (edge) {
        case Edge::clamp: return std::min(std::max(t, 0.0f), 1.0f);
        case Edge::wrap: return t - std::floor(t);
        case Edge::mirror: {
            const float m = t - 2.0f * std::floor(0.5f * t);  // in [0, 2)
            return m > 1.0f ? 2.0f - m : m;
        }
    }
    return t;
}

// A texel index outside [0, n) as the edge mode maps it; half-sample mirror.
inline int rip_edge_index(int i, int n, Edge edge) {
    if (i >= 0 && i < n) return i;
    switch (edge) {
        case Edge::clamp: return i < 0 ? 0 : n - 1;
        case Edge::wrap: return ((i % n) + n) % n;
        case Edge::mirror: {
            const int k = ((i % (2 * n)) + 2 * n) % (2 * n);
            return k < n ? k : 2 * n - 1 - k;
        }
    }
    return 0;
}

inline Rgba rip_texel(const RipTexels& texels, int x, int y) {
    const size_t at = 4 * (size_t(y) * size_t(texels.width) + size_t(x));
    if (texels.rgba) return Rgba{texels.rgba[at], texels.rgba[at + 1], texels.rgba[at + 2], texels.rgba[at + 3]};
    const uint8_t* p = texels.rgba8 + at;
    return Rgba{p[0] / 255.0f, p[1] / 255.0f, p[2] / 255.0f, p[3] / 255.0f};
}

// Index i of a block n texels long: read where it is when inside the block
// or its padding, else where the edge mode puts it.
inline int rip_block_index(int i, int n, int padding, Edge edge) {
    return i >= -padding && i < n + padding ? i : rip_edge_index(i, n, edge);
}

// Bilinear sample of one block at (u, v).
inline Rgba rip_sample_block(const RipLayout& layout, const RipTexels& texels, const RipBlock& block, float u,
                             float v) {
    const float px = rip_edge_coordinate(u, layout.edge) * float(block.width) - 0.5f;
    const float py = rip_edge_coordinate(v, layout.edge) * float(block.height) - 0.5f;
    const float fx = std::floor(px), fy = std::floor(py);
    const float tx = px - fx, ty = py - fy;
    const int ix = int(fx), iy = int(fy);
    const int x0 = block.x + rip_block_index(ix, block.width, layout.padding, layout.edge);
    const int x1 = block.x + rip_block_index(ix + 1, block.width, layout.padding, layout.edge);
    const int y0 = block.y + rip_block_index(iy, block.height, layout.padding, layout.edge);
    const int y1 = block.y + rip_block_index(iy + 1, block.height, layout.padding, layout.edge);
    const Rgba a = rip_texel(texels, x0, y0), b = rip_texel(texels, x1, y0);
    const Rgba c = rip_texel(texels, x0, y1), d = rip_texel(texels, x1, y1);
    Rgba out{};
    for (int k = 0; k < 4; ++k)
        out[k] = (a[k] * (1 - tx) + b[k] * tx) * (1 - ty) + (c[k] * (1 - tx) + d[k] * tx) * ty;
    return out;
}

// Footprints along u and v in level-0 texels.
inline float rip_footprint_u(const RipLayout& layout, const RipDerivatives& d) {
    return std::max(std::fabs(d.du_dx), std::fabs(d.du_dy)) * float(layout.blocks[0].width);
}
inline float rip_footprint_v(const RipLayout& layout, const RipDerivatives& d) {
    return std::max(std::fabs(d.dv_dx), std::fabs(d.dv_dy)) * float(layout.blocks[0].height);
}

// A level from a footprint, in [0, levels - 1].
inline float rip_level(float footprint, int levels) {
    return std::min(std::max(std::log2(std::max(footprint, RIP_TINY_FOOTPRINT)), 0.0f), float(levels - 1));
}

inline Rgba rip_mix(const Rgba& a, const Rgba& b, float t) {
    Rgba out{};
    for (int k = 0; k < 4; ++k) out[k] = a[k] * (1 - t) + b[k] * t;
    return out;
}

// The rip-map sample: blocks (i, j) at blocks[j * levels_across + i].
inline Rgba sample_ripmap(const RipLayout& layout, const RipTexels& texels, float u, float v,
                          const RipDerivatives& d) {
    const float lx = rip_level(rip_footprint_u(layout, d), layout.levels_across);
    const float ly = rip_level(rip_footprint_v(layout, d), layout.levels_down);
    const int i0 = int(lx), j0 = int(ly);
    const int i1 = std::min(i0 + 1, layout.levels_across - 1), j1 = std::min(j0 + 1, layout.levels_down - 1);
    const auto block = [&](int i, int j) {
        return rip_sample_block(layout, texels, layout.blocks[size_t(j) * size_t(layout.levels_across) + size_t(i)],
                                u, v);
    };
    const Rgba top = rip_mix(block(i0, j0), block(i1, j0), lx - float(i0));
    const Rgba bottom = rip_mix(block(i0, j1), block(i1, j1), lx - float(i0));
    return rip_mix(top, bottom, ly - float(j0));
}

// The trilinear mip-map sample: level k at blocks[k], levels_across levels.
inline Rgba sample_mipmap(const RipLayout& layout, const RipTexels& texels, float u, float v,
                          const RipDerivatives& d) {
    const int levels = layout.levels_across;
    const float level = rip_level(std::max(rip_footprint_u(layout, d), rip_footprint_v(layout, d)), levels);
    const int k0 = int(level), k1 = std::min(k0 + 1, levels - 1);
    return rip_mix(rip_sample_block(layout, texels, layout.blocks[size_t(k0)], u, v),
                   rip_sample_block(layout, texels, layout.blocks[size_t(k1)], u, v), level - float(k0));
}

}  // namespace ripmap
}  // namespace orvandel

#endif
