// The DDS writer. Readers find the levels by the sizes alone, so the chain
// must halve exactly as the header implies: each level max(1, half) of the
// one before, the last 1 x 1.
#include "writers/dds.h"

#include <algorithm>

#include "io/buffered_output.h"

namespace orvandel {

namespace {

constexpr uint32_t DDSD_CAPS = 0x1, DDSD_HEIGHT = 0x2, DDSD_WIDTH = 0x4, DDSD_PITCH = 0x8;
constexpr uint32_t DDSD_PIXELFORMAT = 0x1000, DDSD_MIPMAPCOUNT = 0x20000;
constexpr uint32_t DDPF_ALPHAPIXELS = 0x1, DDPF_RGB = 0x40;
constexpr uint32_t DDSCAPS_COMPLEX = 0x8, DDSCAPS_TEXTURE = 0x1000, DDSCAPS_MIPMAP = 0x400000;

bool is_halving_chain(const MipChain& chain) {
    if (chain.levels.empty()) return false;
    for (size_t k = 0; k < chain.levels.size(); ++k) {
        const Image* level = chain.levels[k].get();
        if (!level || !level->pixels || level->width <= 0 || level->height <= 0) return false;
        if (k > 0) {
            const Image* above = chain.levels[k - 1].get();
            if (level->width != std::max(1, above->width / 2) || level->height != std::max(1, above->height / 2))
                return false;
        }
    }
    const Image* last = chain.levels.back().get();
    return last->width == 1 && last->height == 1;
}

}  // namespace

WriteResult write_dds(const std::string& path, const MipChain& chain) {
    if (!is_halving_chain(chain)) return write_problem("the levels do not halve down to 1 x 1");
    const Image& top = *chain.levels.front();
    size_t pitch = 0;
    if (!checked_byte_count(top.width, 4, 1, &pitch, UINT32_MAX)) return write_problem("the rows are too long");

    uint8_t header[4 + DDS_HEADER_SIZE] = {'D', 'D', 'S', ' '};
    uint8_t* h = header + 4;
    write_le32(h + 0, DDS_HEADER_SIZE);
    write_le32(h + 4, DDSD_CAPS | DDSD_HEIGHT | DDSD_WIDTH | DDSD_PITCH | DDSD_PIXELFORMAT | DDSD_MIPMAPCOUNT);
    write_le32(h + 8, uint32_t(top.height));
    write_le32(h + 12, uint32_t(top.width));
    write_le32(h + 16, uint32_t(pitch));
    write_le32(h + 24, uint32_t(chain.levels.size()));
    // The pixel format, 32 bytes at offset 72.
    uint8_t* format = h + 72;
    write_le32(format + 0, 32);
    write_le32(format + 4, DDPF_RGB | (chain.alpha ? DDPF_ALPHAPIXELS : 0));
    write_le32(format + 12, 32);
    write_le32(format + 16, 0x00FF0000);
    write_le32(format + 20, 0x0000FF00);
    write_le32(format + 24, 0x000000FF);
    write_le32(format + 28, 0xFF000000);
    write_le32(h + 104, DDSCAPS_TEXTURE | DDSCAPS_MIPMAP | DDSCAPS_COMPLEX);

    BufferedOutput out;
    if (!open_buffered(path, &out)) return out.status;
    put_bytes(&out, header, sizeof header);
    for (const ImagePtr& level : chain.levels) {
        const Pixel* pixels = level->pixels;
        const bool alpha = chain.alpha;
        // A level's rows follow one another without padding, in the file as in
        // memory: its pixels go out as one run, whatever its shape.
        put_units(&out, int64_t(level->width) * level->height, 4, [pixels, alpha](int64_t first, int64_t n, uint8_t* to) {
            bgra_from_pixels(pixels + first, to, int32_t(n), alpha);
        });
    }
    return finish_buffered(&out);
}

}  // namespace orvandel
