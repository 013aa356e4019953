// A textured plane tilted away from the viewer, rendered with the samplers of
// sampler/ripmap.h from atlases our builders make, and once more by brute
// force for reference: the scene both the rip-map test and the picture of
// `make docs` draw. The texture's u runs along the screen's x, v down the
// screen and into the distance; the texture repeats (wrap).
#ifndef ORVANDEL_TOOLS_TILTED_PLANE_H
#define ORVANDEL_TOOLS_TILTED_PLANE_H

#include <cmath>
#include <cstdint>
#include <vector>

#include "builders/modern.h"
#include "picture/atlas.h"
#include "picture/image.h"
#include "sampler/ripmap.h"

namespace orvandel {
namespace tilted {

struct Scene {
    int width = 256, height = 192;
    double tilt_degrees = 75;
    // Source texels a pixel spans across at the bottom of the picture.
    double near_texels = 1;
    // Focal length in picture heights: long enough that the horizon stays
    // above the top row, so every pixel sees the plane.
    double focal = 3;
    // Subsamples per pixel side of the reference.
    int reference_samples = 16;
};

struct Uv {
    double u, v;
};

// The camera: a pinhole at the origin looking down -z at the plane through
// (0, 0, -1), whose normal leans the tilt away from the line of sight.
class Camera {
public:
    Camera(const Scene& scene, int texture_width) {
        const double theta = scene.tilt_degrees * 3.14159265358979323846 / 180;
        normal_y_ = std::sin(theta);
        normal_z_ = std::cos(theta);
        focal_ = scene.focal * scene.height;
        cx_ = 0.5 * scene.width;
        cy_ = 0.5 * scene.height;
        // World units per texture repeat, from the distance at the bottom row.
        const double near = distance(scene.height);
        repeat_ = near / focal_ * texture_width / scene.near_texels;
    }

    // Texture coordinates of the plane point seen at screen point (x, y).
    Uv at(double x, double y) const {
        const double t = distance(y);
        const double px = t * (x - cx_) / focal_, py = -t * (y - cy_) / focal_, pz = -t;
        // In-plane axis pointing down the screen: (0, -cos, sin).
        const double along = -py * normal_z_ + (pz + 1) * normal_y_;
        return Uv{px / repeat_, along / repeat_};
    }

private:
    // How far along the ray through a point of row y the plane is (the
    // plane's normal has no x component, so the column does not matter).
    double distance(double y) const {
        const double dy = -(y - cy_) / focal_;
        return -normal_z_ / (normal_y_ * dy - normal_z_);
    }

    double normal_y_, normal_z_, focal_, cx_, cy_, repeat_;
};

// RGBA floats, width x height, top row first.
struct Render {
    int width = 0, height = 0;
    std::vector<float> rgba;
};

// Every pixel through `sample(u, v, derivatives)`, the derivatives from the
// coordinates half a pixel either side of its centre.
template <class Sample>
Render render(const Scene& scene, const Camera& camera, Sample&& sample) {
    Render out{scene.width, scene.height, std::vector<float>(size_t(4) * scene.width * scene.height)};
    for (int y = 0; y < scene.height; ++y)
        for (int x = 0; x < scene.width; ++x) {
            const double cx = x + 0.5, cy = y + 0.5;
            const Uv c = camera.at(cx, cy);
            const Uv left = camera.at(cx - 0.5, cy), right = camera.at(cx + 0.5, cy);
            const Uv up = camera.at(cx, cy - 0.5), down = camera.at(cx, cy + 0.5);
            ripmap::RipDerivatives d;
            d.du_dx = float(right.u - left.u);
            d.dv_dx = float(right.v - left.v);
            d.du_dy = float(down.u - up.u);
            d.dv_dy = float(down.v - up.v);
            const ripmap::Rgba colour = sample(float(c.u), float(c.v), d);
            for (int k = 0; k < 4; ++k) out.rgba[4 * (size_t(y) * scene.width + x) + k] = colour[size_t(k)];
        }
    return out;
}

// The atlas's numbers as the manifest gives them.
inline ripmap::RipLayout layout_of(const Atlas& atlas, ripmap::Edge edge) {
    ripmap::RipLayout layout;
    layout.levels_across = atlas.levels_across;
    layout.levels_down = atlas.levels_down;
    layout.padding = atlas.padding;
    layout.edge = edge;
    for (const AtlasBlock& b : atlas.blocks)
        layout.blocks.push_back(ripmap::RipBlock{b.across, b.down, b.x, b.y, b.width, b.height});
    return layout;
}

// Pixels read as RGBA bytes (red in the low byte of a little-endian Pixel).
inline ripmap::RipTexels texels_of(const Image& image) {
    ripmap::RipTexels texels;
    texels.width = image.width;
    texels.height = image.height;
    texels.rgba8 = reinterpret_cast<const uint8_t*>(image.pixels);
    return texels;
}

struct ThreeRenders {
    Render rip, mip, reference;
    bool made = false;
};

// The scene three ways: rip-map and trilinear mip-map sampling of atlases
// built (box filter, values filtered as stored, wrapping, one texel of
// padding), and the mean of n x n bilinear samples of the source per pixel.
inline ThreeRenders render_three(const Image& source, const Scene& scene) {
    ThreeRenders out;
    FilterOptions options;
    options.colour = ColourSpace::linear;
    options.edge = EdgeMode::wrap;
    options.padding = 1;
    const Atlas rip = build_atlas(source, false, options);
    options.layout = AtlasLayout::mip;
    const Atlas mip = build_atlas(source, false, options);
    if (!rip.image || !mip.image) return out;
    const Camera camera(scene, source.width);
    const ripmap::RipLayout rip_layout = layout_of(rip, ripmap::Edge::wrap);
    const ripmap::RipLayout mip_layout = layout_of(mip, ripmap::Edge::wrap);
    const ripmap::RipTexels rip_texels = texels_of(*rip.image), mip_texels = texels_of(*mip.image);
    out.rip = render(scene, camera, [&](float u, float v, const ripmap::RipDerivatives& d) {
        return ripmap::sample_ripmap(rip_layout, rip_texels, u, v, d);
    });
    out.mip = render(scene, camera, [&](float u, float v, const ripmap::RipDerivatives& d) {
        return ripmap::sample_mipmap(mip_layout, mip_texels, u, v, d);
    });

    ripmap::RipLayout source_layout;
    source_layout.edge = ripmap::Edge::wrap;
    source_layout.blocks = {ripmap::RipBlock{0, 0, 0, 0, source.width, source.height}};
    const ripmap::RipTexels source_texels = texels_of(source);
    const int n = scene.reference_samples;
    out.reference = Render{scene.width, scene.height, std::vector<float>(size_t(4) * scene.width * scene.height)};
    for (int y = 0; y < scene.height; ++y)
        for (int x = 0; x < scene.width; ++x) {
            double sum[4] = {0, 0, 0, 0};
            for (int b = 0; b < n; ++b)
                for (int a = 0; a < n; ++a) {
                    const Uv at = camera.at(x + (a + 0.5) / n, y + (b + 0.5) / n);
                    const ripmap::Rgba c = ripmap::rip_sample_block(source_layout, source_texels,
                                                                    source_layout.blocks[0], float(at.u), float(at.v));
                    for (int k = 0; k < 4; ++k) sum[k] += c[size_t(k)];
                }
            for (int k = 0; k < 4; ++k)
                out.reference.rgba[4 * (size_t(y) * scene.width + x) + k] = float(sum[k] / (double(n) * n));
        }
    out.made = true;
    return out;
}

// PSNR in dB of `a` against `b` over red, green and blue, peak 1.
inline double psnr(const Render& a, const Render& b) {
    double sum = 0;
    const size_t pixels = size_t(a.width) * a.height;
    for (size_t p = 0; p < pixels; ++p)
        for (int k = 0; k < 3; ++k) {
            const double e = double(a.rgba[4 * p + k]) - b.rgba[4 * p + k];
            sum += e * e;
        }
    const double mse = sum / (3.0 * pixels);
    return mse > 0 ? 10 * std::log10(1 / mse) : 99.0;
}

}  // namespace tilted
}  // namespace orvandel

#endif
