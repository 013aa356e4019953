// sampler/ripmap.h: padded and unpadded atlases sample alike, and on a plane
// tilted 75 degrees the rip-map comes closer to a brute-force reference
// than trilinear mip-mapping, by at least 3 dB.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "builders/modern.h"
#include "readers/load_image.h"
#include "sampler/ripmap.h"
#include "test_util.h"
#include "tools/tilted_plane.h"

using namespace orvandel;

namespace {

TEST(RipmapSampler, PaddingChangesNoSample) {
    std::vector<Pixel> pixels;
    for (int k = 0; k < 11 * 6; ++k) pixels.push_back(Pixel(k * 2654435761u) >> 8);
    const test::ImagePtr source = test::make_image(11, 6, pixels);
    for (AtlasLayout layout : {AtlasLayout::rip, AtlasLayout::mip})
        for (EdgeMode edge : {EdgeMode::clamp, EdgeMode::wrap, EdgeMode::mirror}) {
            FilterOptions options;
            options.layout = layout;
            options.edge = edge;
            const Atlas packed = build_atlas(*source, false, options);
            options.padding = 2;
            options.alignment = 4;
            const Atlas padded = build_atlas(*source, false, options);
            const ripmap::Edge e = static_cast<ripmap::Edge>(int(edge));
            const ripmap::RipLayout a = tilted::layout_of(packed, e), b = tilted::layout_of(padded, e);
            const ripmap::RipTexels ta = tilted::texels_of(*packed.image), tb = tilted::texels_of(*padded.image);
            for (int k = 0; k < 2000; ++k) {
                // Coordinates past both ends, footprints from magnified to past the last level.
                const float u = -1.3f + 0.00137f * k * 1.7f, v = 2.1f - 0.0023f * k;
                ripmap::RipDerivatives d;
                d.du_dx = 0.0004f * (k % 97);
                d.dv_dy = -0.0007f * (k % 89);
                d.du_dy = 0.0001f * (k % 13);
                const ripmap::Rgba one = layout == AtlasLayout::rip ? ripmap::sample_ripmap(a, ta, u, v, d)
                                                                    : ripmap::sample_mipmap(a, ta, u, v, d);
                const ripmap::Rgba two = layout == AtlasLayout::rip ? ripmap::sample_ripmap(b, tb, u, v, d)
                                                                    : ripmap::sample_mipmap(b, tb, u, v, d);
                ASSERT_EQ(one, two) << "layout " << int(layout) << " edge " << int(edge) << " sample " << k;
            }
        }
}

void expect_rip_map_closer(const Image& texture, const std::string& name) {
    tilted::Scene scene;
    scene.width = 128;
    scene.height = 96;
    const tilted::ThreeRenders three = tilted::render_three(texture, scene);
    ASSERT_TRUE(three.made);
    const double rip = tilted::psnr(three.rip, three.reference), mip = tilted::psnr(three.mip, three.reference);
    std::printf("%s at 75 degrees: rip-map %.2f dB, trilinear mip-map %.2f dB\n", name.c_str(), rip, mip);
    EXPECT_GE(rip - mip, 3.0) << name;
}

TEST(RipmapSampler, TiltedPlaneCheckerboardAndWall) {
    std::vector<Pixel> checks;
    for (int y = 0; y < 128; ++y)
        for (int x = 0; x < 128; ++x) checks.push_back((x / 8 + y / 8) % 2 ? 0xFFFFFF : 0);
    expect_rip_map_closer(*test::make_image(128, 128, checks), "checkerboard");
    const LoadResult wall = load_image_file(SAMPLES_DIR "/wall.bmp");
    ASSERT_TRUE(wall.image);
    expect_rip_map_closer(*wall.image, "wall.bmp");
}

TEST(RipmapSampler, TiltedPlanePhotographs) {
    const std::string dir = SHARED_TEXTURES_DIR;
    if (!std::filesystem::exists(dir + "/photo-chelsea-256.png")) GTEST_SKIP() << "no textures at " << dir;
    for (const char* name : {"photo-chelsea-256.png", "photo-coffee-512x256.png"}) {
        const LoadResult photo = load_image_file(dir + "/" + name);
        ASSERT_TRUE(photo.image) << name;
        expect_rip_map_closer(*photo.image, name);
    }
}

}  // namespace
