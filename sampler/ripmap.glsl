// Rip-map and trilinear mip-map sampling of an Orvandel atlas, for GLSL ES 3.0
// fragment shaders, from the numbers of its manifest (<name>_mip.json). It
// computes what sampler/ripmap.h computes: texels are fetched and filtered
// here, so the result does not depend on the GPU's filtering, and a padded
// atlas gives the same colours as an unpadded one.
//
// Paste this text after the shader's "#version 300 es" and precision lines
// (highp float and int). It declares these uniforms for the host to set:
//   ripmap_atlas    sampler2D   the atlas; NEAREST filtering, no mipmaps. Texels
//                               are filtered as texelFetch returns them: RGBA8
//                               gives the stored bytes / 255, as sampler/ripmap.h
//                               reads them; SRGB8_ALPHA8 filters an sRGB atlas in
//                               linear light (what the viewer does).
//   ripmap_blocks   isampler2D  levels_across x levels_down texels (RGBA32I,
//                               NEAREST): texel (across, down) holds that block's
//                               unpadded x, y, width, height in atlas pixels,
//                               origin top-left (the atlas uploaded top row first).
//                               A mip atlas puts level k at (k, k), with
//                               levels_across == levels_down == its level count.
//   ripmap_levels   ivec2       levels_across, levels_down
//   ripmap_padding  int         atlas.padding (texels around every block)
//   ripmap_edge     int         atlas.edge: 0 clamp, 1 wrap, 2 mirror
// Texture coordinates (u, v): u across, v down, v = 0 at the source's top row.
// uv_dx and uv_dy are their screen derivatives, dFdx(uv) and dFdy(uv), taken
// in uniform control flow by the caller.
//
// The footprint in level-0 texels is fu = max(|du/dx|, |du/dy|) * W and
// fv = max(|dv/dx|, |dv/dy|) * H, with W x H the size of block (0, 0). The
// rip-map takes the level across from fu and the level down from fv and blends
// the four neighbouring blocks; the mip-map takes one level from max(fu, fv)
// and blends two. Level k of the mip chain is block (k, k) with each index
// clamped to its axis's last level: a mip atlas's level k, and in a rip atlas
// the block halved k times both ways, so both functions can sample the same
// rip atlas.

uniform highp sampler2D ripmap_atlas;
uniform highp isampler2D ripmap_blocks;
uniform ivec2 ripmap_levels;
uniform int ripmap_padding;
uniform int ripmap_edge;

const int RIPMAP_CLAMP = 0;
const int RIPMAP_WRAP = 1;
const int RIPMAP_MIRROR = 2;

// The edge mode applied to coordinates: wrap repeats, mirror repeats every
// other copy reflected, clamp keeps [0, 1].
vec2 ripmap_edge_uv(vec2 uv) {
    if (ripmap_edge == RIPMAP_WRAP) return fract(uv);
    if (ripmap_edge == RIPMAP_MIRROR) return 1.0 - abs(mod(uv, 2.0) - 1.0);
    return clamp(uv, 0.0, 1.0);
}

// A texel index outside [0, n) as the edge mode maps it; mirror is the
// half-sample mirror (the edge texel repeats once).
int ripmap_edge_index(int i, int n) {
    if (i >= 0 && i < n) return i;
    if (ripmap_edge == RIPMAP_WRAP) return ((i % n) + n) % n;
    if (ripmap_edge == RIPMAP_MIRROR) {
        int period = 2 * n;
        int m = ((i % period) + period) % period;
        return m < n ? m : period - 1 - m;
    }
    return clamp(i, 0, n - 1);
}

ivec4 ripmap_block(ivec2 across_down) {
    return texelFetch(ripmap_blocks, across_down, 0);
}

// Texel (i, j) of a block, indices relative to its unpadded corner. The
// padding holds what the edge mode gives, so reading it and mapping the index
// agree; it is read where it exists to spare the arithmetic.
vec4 ripmap_texel(ivec4 block, ivec2 ij) {
    ivec2 size = block.zw;
    ivec2 inside = ivec2(ripmap_edge_index(ij.x, size.x), ripmap_edge_index(ij.y, size.y));
    bvec2 padded = bvec2(ij.x >= -ripmap_padding && ij.x < size.x + ripmap_padding,
                         ij.y >= -ripmap_padding && ij.y < size.y + ripmap_padding);
    ivec2 at = ivec2(padded.x ? ij.x : inside.x, padded.y ? ij.y : inside.y);
    return texelFetch(ripmap_atlas, block.xy + at, 0);
}

// Bilinear filtering inside one block, texel centres at (i + 0.5) / size.
vec4 ripmap_bilinear(ivec4 block, vec2 uv) {
    vec2 p = ripmap_edge_uv(uv) * vec2(block.zw) - 0.5;
    vec2 corner = floor(p);
    vec2 t = p - corner;
    ivec2 i = ivec2(corner);
    vec4 top = mix(ripmap_texel(block, i), ripmap_texel(block, i + ivec2(1, 0)), t.x);
    vec4 bottom = mix(ripmap_texel(block, i + ivec2(0, 1)), ripmap_texel(block, i + ivec2(1, 1)), t.x);
    return mix(top, bottom, t.y);
}

// (fu, fv): the pixel's footprint in level-0 texels along u and v.
vec2 ripmap_footprint(vec2 uv_dx, vec2 uv_dy) {
    return max(abs(uv_dx), abs(uv_dy)) * vec2(ripmap_block(ivec2(0)).zw);
}

// The fractional level across and down, each clamped to the levels there are.
vec2 ripmap_level(vec2 uv_dx, vec2 uv_dy) {
    vec2 levels = log2(max(ripmap_footprint(uv_dx, uv_dy), vec2(1e-8)));
    return clamp(levels, vec2(0.0), vec2(ripmap_levels - 1));
}

vec4 ripmap_sample(vec2 uv, vec2 uv_dx, vec2 uv_dy) {
    vec2 level = ripmap_level(uv_dx, uv_dy);
    ivec2 low = ivec2(floor(level));
    ivec2 high = min(low + 1, ripmap_levels - 1);
    vec2 t = level - vec2(low);
    vec4 top = mix(ripmap_bilinear(ripmap_block(low), uv),
                   ripmap_bilinear(ripmap_block(ivec2(high.x, low.y)), uv), t.x);
    vec4 bottom = mix(ripmap_bilinear(ripmap_block(ivec2(low.x, high.y)), uv),
                      ripmap_bilinear(ripmap_block(high), uv), t.x);
    return mix(top, bottom, t.y);
}

// The block that holds mip level k.
ivec2 mipmap_block(int k) {
    return min(ivec2(k), ripmap_levels - 1);
}

// The isotropic level, from the larger footprint.
float mipmap_level(vec2 uv_dx, vec2 uv_dy) {
    vec2 footprint = ripmap_footprint(uv_dx, uv_dy);
    int levels = max(ripmap_levels.x, ripmap_levels.y);
    return clamp(log2(max(max(footprint.x, footprint.y), 1e-8)), 0.0, float(levels - 1));
}

vec4 mipmap_sample(vec2 uv, vec2 uv_dx, vec2 uv_dy) {
    float level = mipmap_level(uv_dx, uv_dy);
    int low = int(floor(level));
    int high = min(low + 1, max(ripmap_levels.x, ripmap_levels.y) - 1);
    return mix(ripmap_bilinear(ripmap_block(mipmap_block(low)), uv),
               ripmap_bilinear(ripmap_block(mipmap_block(high)), uv), level - float(low));
}
