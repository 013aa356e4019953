// Writes docs/ripmap-vs-mipmap.png (make docs): a plane tilted 75 degrees
// away from the viewer, textured with a checkerboard of 8-texel squares and with the wall
// sample, rendered by rip-map sampling, by trilinear mip-map sampling and by
// brute force, side by side with labels and each render's PSNR against the
// brute-force one. The labels use a 5 x 7 bitmap font of the few characters
// they need.
//   orvandel_make_ripmap_picture OUTPUT.png SAMPLES_DIR
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "readers/load_image.h"
#include "tools/tilted_plane.h"
#include "writers/png_writer.h"

using namespace orvandel;

namespace {

// Rows of each glyph, top first, '#' set.
struct Glyph {
    char c;
    const char* rows[7];
};
const Glyph FONT[] = {
    {'A', {".###.", "#...#", "#...#", "#####", "#...#", "#...#", "#...#"}},
    {'B', {"####.", "#...#", "#...#", "####.", "#...#", "#...#", "####."}},
    {'C', {".###.", "#...#", "#....", "#....", "#....", "#...#", ".###."}},
    {'D', {"####.", "#...#", "#...#", "#...#", "#...#", "#...#", "####."}},
    {'E', {"#####", "#....", "#....", "####.", "#....", "#....", "#####"}},
    {'F', {"#####", "#....", "#....", "####.", "#....", "#....", "#...."}},
    {'I', {".###.", "..#..", "..#..", "..#..", "..#..", "..#..", ".###."}},
    {'K', {"#...#", "#..#.", "#.#..", "##...", "#.#..", "#..#.", "#...#"}},
    {'L', {"#....", "#....", "#....", "#....", "#....", "#....", "#####"}},
    {'M', {"#...#", "##.##", "#.#.#", "#.#.#", "#...#", "#...#", "#...#"}},
    {'N', {"#...#", "##..#", "#.#.#", "#..##", "#...#", "#...#", "#...#"}},
    {'O', {".###.", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."}},
    {'P', {"####.", "#...#", "#...#", "####.", "#....", "#....", "#...."}},
    {'R', {"####.", "#...#", "#...#", "####.", "#.#..", "#..#.", "#...#"}},
    {'S', {".####", "#....", "#....", ".###.", "....#", "....#", "####."}},
    {'T', {"#####", "..#..", "..#..", "..#..", "..#..", "..#..", "..#.."}},
    {'U', {"#...#", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."}},
    {'X', {"#...#", "#...#", ".#.#.", "..#..", ".#.#.", "#...#", "#...#"}},
    {'0', {".###.", "#...#", "#..##", "#.#.#", "##..#", "#...#", ".###."}},
    {'1', {"..#..", ".##..", "..#..", "..#..", "..#..", "..#..", ".###."}},
    {'2', {".###.", "#...#", "....#", "...#.", "..#..", ".#...", "#####"}},
    {'3', {"####.", "....#", "....#", ".###.", "....#", "....#", "####."}},
    {'4', {"...#.", "..##.", ".#.#.", "#..#.", "#####", "...#.", "...#."}},
    {'5', {"#####", "#....", "####.", "....#", "....#", "#...#", ".###."}},
    {'6', {".###.", "#....", "#....", "####.", "#...#", "#...#", ".###."}},
    {'7', {"#####", "....#", "...#.", "..#..", ".#...", ".#...", ".#..."}},
    {'8', {".###.", "#...#", "#...#", ".###.", "#...#", "#...#", ".###."}},
    {'9', {".###.", "#...#", "#...#", ".####", "....#", "....#", ".###."}},
    {'.', {".....", ".....", ".....", ".....", ".....", ".##..", ".##.."}},
    {'-', {".....", ".....", ".....", "#####", ".....", ".....", "....."}},
    {',', {".....", ".....", ".....", ".....", ".##..", "..#..", ".#..."}},
};

constexpr int SCALE = 2;  // font pixels per glyph dot
constexpr int LABEL_HEIGHT = 9 * SCALE + 8;
constexpr Pixel BACKGROUND = 0x202020, INK = 0xF0F0F0;

void put(Image* image, int x, int y, Pixel p) {
    if (x >= 0 && y >= 0 && x < image->width && y < image->height) image->pixels[int64_t(y) * image->width + x] = p;
}

void draw_text(Image* image, int x, int y, const std::string& text) {
    for (char c : text) {
        for (const Glyph& g : FONT) {
            if (g.c != c) continue;
            for (int r = 0; r < 7; ++r)
                for (int k = 0; k < 5; ++k)
                    if (g.rows[r][k] == '#')
                        for (int dy = 0; dy < SCALE; ++dy)
                            for (int dx = 0; dx < SCALE; ++dx) put(image, x + k * SCALE + dx, y + r * SCALE + dy, INK);
        }
        x += 6 * SCALE;
    }
}

uint8_t to_byte(float v) { return uint8_t(std::lround(std::fmin(std::fmax(v, 0.0f), 1.0f) * 255)); }

void draw_render(Image* image, int x0, int y0, const tilted::Render& render) {
    for (int y = 0; y < render.height; ++y)
        for (int x = 0; x < render.width; ++x) {
            const float* c = &render.rgba[4 * (size_t(y) * render.width + x)];
            put(image, x0 + x, y0 + y, Pixel(to_byte(c[0])) | Pixel(to_byte(c[1])) << 8 | Pixel(to_byte(c[2])) << 16);
        }
}

std::string decibels(double db) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f DB", db);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s OUTPUT.png SAMPLES_DIR\n", argv[0]);
        return 1;
    }
    ImagePtr checks(new_image(256, 256));
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x) checks->pixels[y * 256 + x] = ((x / 8 + y / 8) % 2) ? 0xFFFFFF : 0x000000;
    const LoadResult wall = load_image_file(std::string(argv[2]) + "/wall.bmp");
    if (!checks || !wall.image) {
        std::fprintf(stderr, "%s: cannot make the textures: %s\n", argv[0], wall.reason.c_str());
        return 1;
    }
    // Small enough to keep the picture under 300 KB.
    tilted::Scene scene;
    scene.width = 224;
    scene.height = 152;
    const Image* textures[] = {checks.get(), wall.image.get()};
    const int gap = 8, columns = 3, rows = 2;
    ImagePtr picture(new_image(columns * scene.width + (columns + 1) * gap,
                               rows * (scene.height + LABEL_HEIGHT) + (rows + 1) * gap));
    if (!picture) return 1;
    for (int64_t k = 0; k < int64_t(picture->width) * picture->height; ++k) picture->pixels[k] = BACKGROUND;
    for (int row = 0; row < rows; ++row) {
        const tilted::ThreeRenders three = tilted::render_three(*textures[row], scene);
        if (!three.made) return 1;
        const double rip_db = tilted::psnr(three.rip, three.reference), mip_db = tilted::psnr(three.mip, three.reference);
        std::printf("%s: rip-map %.2f dB, trilinear mip-map %.2f dB against the reference\n",
                    row == 0 ? "checkerboard" : "wall", rip_db, mip_db);
        const tilted::Render* renders[] = {&three.rip, &three.mip, &three.reference};
        const std::string labels[] = {"RIP-MAP  " + decibels(rip_db), "MIP-MAP  " + decibels(mip_db),
                                      "REFERENCE"};
        const int y = gap + row * (scene.height + LABEL_HEIGHT + gap);
        for (int c = 0; c < columns; ++c) {
            const int x = gap + c * (scene.width + gap);
            draw_text(picture.get(), x, y + 4, labels[c]);
            draw_render(picture.get(), x, y + LABEL_HEIGHT, *renders[c]);
        }
    }
    PngSettings png;
    png.compression_level = 9;
    const WriteResult written = write_png(argv[1], *picture, false, png);
    if (!written) {
        std::fprintf(stderr, "%s: cannot write %s: %s\n", argv[0], argv[1], write_failure_text(written).c_str());
        return 1;
    }
    return 0;
}
