// Texture-like pictures: flat bands (long runs) beside noisy ones (literals),
// so that every run-length and LZW path is exercised in realistic proportion.
#include "bench/bench_files.h"

#include <cstdio>

#include "formats/bmp.h"
#include "tests/gif_lzw_encoder.h"

using namespace orvandel;

namespace {

constexpr int32_t SIDE = BENCH_SIDE;
constexpr size_t PIXELS = size_t(SIDE) * SIDE;

struct Lcg {
    uint32_t state;
    uint32_t next() { return state = state * 1103515245u + 12345u; }
};

// Blue, green, red bytes, top row first.
std::vector<uint8_t> true_colour_picture() {
    std::vector<uint8_t> bgr(PIXELS * 3);
    Lcg noise = {12345};
    for (int32_t y = 0; y < SIDE; ++y)
        for (int32_t x = 0; x < SIDE; ++x) {
            uint8_t* p = &bgr[(size_t(y) * SIDE + x) * 3];
            if ((x / 64) % 2 == 0) {
                p[0] = uint8_t(y / 16);
                p[1] = uint8_t(x / 64);
                p[2] = 200;
            } else {
                const uint32_t n = noise.next();
                p[0] = uint8_t(n >> 16);
                p[1] = uint8_t(n >> 8);
                p[2] = uint8_t(n >> 24);
            }
        }
    return bgr;
}

// Palette indices, top row first: flat bands, and a gradient with some noise.
std::vector<uint8_t> indexed_picture() {
    std::vector<uint8_t> indices(PIXELS);
    Lcg noise = {42};
    for (int32_t y = 0; y < SIDE; ++y)
        for (int32_t x = 0; x < SIDE; ++x)
            indices[size_t(y) * SIDE + x] =
                (x / 64) % 2 == 0 ? uint8_t(y / 16 + x / 64)
                                  : uint8_t(x / 6 + (y / 5) * 3 + ((noise.next() >> 16) & 3));
    return indices;
}

// Red, green, blue entries.
std::vector<uint8_t> rgb_palette() {
    std::vector<uint8_t> palette;
    for (int i = 0; i < 256; ++i) {
        palette.push_back(uint8_t(i));
        palette.push_back(uint8_t(255 - i));
        palette.push_back(uint8_t(i * 7));
    }
    return palette;
}

std::vector<Pixel> expected_true_colour(const std::vector<uint8_t>& bgr) {
    std::vector<Pixel> out(PIXELS);
    for (size_t i = 0; i < PIXELS; ++i) out[i] = pixel_from_bgr(&bgr[3 * i]);
    return out;
}

std::vector<Pixel> expected_indexed(const std::vector<uint8_t>& indices, const std::vector<uint8_t>& rgb) {
    std::vector<Pixel> out(PIXELS);
    for (size_t i = 0; i < PIXELS; ++i) out[i] = pixel_from_rgb(&rgb[3 * indices[i]]);
    return out;
}

void put_le16(std::vector<uint8_t>* out, uint32_t v) {
    out->push_back(uint8_t(v));
    out->push_back(uint8_t(v >> 8));
}
void put_le32(std::vector<uint8_t>* out, uint32_t v) {
    put_le16(out, v & 0xFFFF);
    put_le16(out, v >> 16);
}

std::vector<uint8_t> bmp_headers(uint32_t data_offset, uint32_t data_bytes, int bits, uint32_t compression,
                                 uint32_t colours) {
    std::vector<uint8_t> out = {'B', 'M'};
    put_le32(&out, data_offset + data_bytes);
    put_le32(&out, 0);
    put_le32(&out, data_offset);
    put_le32(&out, 40);
    put_le32(&out, SIDE);
    put_le32(&out, SIDE);
    put_le16(&out, 1);
    put_le16(&out, uint32_t(bits));
    put_le32(&out, compression);
    put_le32(&out, data_bytes);
    put_le32(&out, 2835);
    put_le32(&out, 2835);
    put_le32(&out, colours);
    put_le32(&out, 0);
    return out;
}

std::vector<uint8_t> bmp24_file(const std::vector<uint8_t>& bgr) {
    const size_t row = size_t(SIDE) * 3;  // a multiple of 4 already
    std::vector<uint8_t> out = bmp_headers(54, uint32_t(row * SIDE), 24, 0, 0);
    for (int32_t y = SIDE - 1; y >= 0; --y)
        out.insert(out.end(), bgr.begin() + ptrdiff_t(y * row), bgr.begin() + ptrdiff_t((y + 1) * row));
    return out;
}

// RLE8, bottom-up: runs of 2 to 255 equal indices, literal stretches of 3 or
// more in absolute mode, an end of line after each row and an end of bitmap.
std::vector<uint8_t> bmp_rle8_file(const std::vector<uint8_t>& indices, const std::vector<uint8_t>& rgb) {
    std::vector<uint8_t> data;
    for (int32_t y = SIDE - 1; y >= 0; --y) {
        const uint8_t* row = &indices[size_t(y) * SIDE];
        auto run_at = [&](int32_t x) {
            int32_t n = 1;
            while (x + n < SIDE && n < 255 && row[x + n] == row[x]) ++n;
            return n;
        };
        for (int32_t x = 0; x < SIDE;) {
            const int32_t run = run_at(x);
            if (run >= 2) {
                data.push_back(uint8_t(run));
                data.push_back(row[x]);
                x += run;
                continue;
            }
            int32_t n = 1;
            while (x + n < SIDE && n < 255 && run_at(x + n) < 2) ++n;
            if (n < 3) {
                for (int32_t i = 0; i < n; ++i) {
                    data.push_back(1);
                    data.push_back(row[x + i]);
                }
            } else {
                data.push_back(0);
                data.push_back(uint8_t(n));
                data.insert(data.end(), row + x, row + x + n);
                if (n % 2) data.push_back(0);
            }
            x += n;
        }
        data.push_back(0);
        data.push_back(0);
    }
    data.push_back(0);
    data.push_back(1);
    std::vector<uint8_t> out = bmp_headers(54 + 1024, uint32_t(data.size()), 8, 1, 256);
    for (int i = 0; i < 256; ++i) {
        out.push_back(rgb[3 * i + 2]);
        out.push_back(rgb[3 * i + 1]);
        out.push_back(rgb[3 * i]);
        out.push_back(0);
    }
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

// One plane of one scan line: runs of up to 63 equal bytes, and single bytes
// below 192 as themselves.
void encode_pcx_plane(const uint8_t* in, int32_t count, size_t step, std::vector<uint8_t>* out) {
    for (int32_t i = 0; i < count;) {
        int32_t run = 1;
        while (i + run < count && run < 63 && in[(i + run) * step] == in[i * step]) ++run;
        if (run > 1 || in[i * step] >= 0xC0) out->push_back(uint8_t(0xC0 | run));
        out->push_back(in[i * step]);
        i += run;
    }
}

std::vector<uint8_t> pcx_header(uint8_t planes) {
    std::vector<uint8_t> out(128, 0);
    out[0] = 10;
    out[1] = 5;
    out[2] = 1;
    out[3] = 8;
    write_le16(&out[8], SIDE - 1);
    write_le16(&out[10], SIDE - 1);
    out[65] = planes;
    write_le16(&out[66], SIDE);
    return out;
}

std::vector<uint8_t> pcx24_file(const std::vector<uint8_t>& bgr) {
    std::vector<uint8_t> out = pcx_header(3);
    for (int32_t y = 0; y < SIDE; ++y)
        for (int plane = 0; plane < 3; ++plane)  // red, green, blue
            encode_pcx_plane(&bgr[size_t(y) * SIDE * 3 + size_t(2 - plane)], SIDE, 3, &out);
    return out;
}

std::vector<uint8_t> pcx8_file(const std::vector<uint8_t>& indices, const std::vector<uint8_t>& rgb) {
    std::vector<uint8_t> out = pcx_header(1);
    for (int32_t y = 0; y < SIDE; ++y) encode_pcx_plane(&indices[size_t(y) * SIDE], SIDE, 1, &out);
    out.push_back(12);
    out.insert(out.end(), rgb.begin(), rgb.end());
    return out;
}

// Packets cover the whole picture in file order, crossing row ends: a run
// packet for two or more equal values, raw packets for everything else.
std::vector<uint8_t> tga_runs(const std::vector<uint8_t>& bgr) {
    auto same = [&](size_t a, size_t b) {
        return bgr[3 * a] == bgr[3 * b] && bgr[3 * a + 1] == bgr[3 * b + 1] && bgr[3 * a + 2] == bgr[3 * b + 2];
    };
    std::vector<uint8_t> out;
    for (size_t i = 0; i < PIXELS;) {
        size_t n = 1;
        while (i + n < PIXELS && n < 128 && same(i, i + n)) ++n;
        if (n > 1) {
            out.push_back(uint8_t(0x80 | (n - 1)));
            out.insert(out.end(), &bgr[3 * i], &bgr[3 * i] + 3);
        } else {
            while (i + n < PIXELS && n < 128 && !same(i + n - 1, i + n)) ++n;
            if (i + n < PIXELS && n > 1 && same(i + n - 1, i + n)) --n;  // it starts the next run
            out.push_back(uint8_t(n - 1));
            out.insert(out.end(), &bgr[3 * i], &bgr[3 * i] + 3 * n);
        }
        i += n;
    }
    return out;
}

// Top-down 24-bit true colour, plain (type 2) or run-length (type 10).
std::vector<uint8_t> tga_file(const std::vector<uint8_t>& bgr, bool run_length) {
    std::vector<uint8_t> out = {0, 0, uint8_t(run_length ? 10 : 2), 0, 0, 0, 0, 0, 0, 0, 0, 0};
    put_le16(&out, SIDE);
    put_le16(&out, SIDE);
    out.push_back(24);
    out.push_back(0x20);
    if (run_length) {
        const std::vector<uint8_t> runs = tga_runs(bgr);
        out.insert(out.end(), runs.begin(), runs.end());
    } else {
        out.insert(out.end(), bgr.begin(), bgr.end());
    }
    return out;
}

std::vector<uint8_t> gif_file(const std::vector<uint8_t>& indices, const std::vector<uint8_t>& rgb) {
    std::vector<uint8_t> out = {'G', 'I', 'F', '8', '9', 'a'};
    put_le16(&out, SIDE);
    put_le16(&out, SIDE);
    out.insert(out.end(), {0x87, 0, 0});
    out.insert(out.end(), rgb.begin(), rgb.end());
    out.insert(out.end(), {0x2C, 0, 0, 0, 0});
    put_le16(&out, SIDE);
    put_le16(&out, SIDE);
    out.insert(out.end(), {0, 8});
    const std::vector<uint8_t> data = gif_encoder::sub_blocks(gif_encoder::lzw_encode(indices, 8));
    out.insert(out.end(), data.begin(), data.end());
    out.push_back(0x3B);
    return out;
}

bool write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    return std::fclose(file) == 0 && written;
}

}  // namespace

std::vector<BenchFile> make_bench_files(const std::string& directory) {
    const std::vector<uint8_t> bgr = true_colour_picture();
    const std::vector<uint8_t> indices = indexed_picture();
    const std::vector<uint8_t> rgb = rgb_palette();
    const std::vector<Pixel> true_colour = expected_true_colour(bgr);
    const std::vector<Pixel> indexed = expected_indexed(indices, rgb);

    struct Made {
        const char* label;
        const char* name;
        std::vector<uint8_t> bytes;
        const std::vector<Pixel>* expected;
        bool stb_reads;
    };
    Made made[] = {
        {"BMP 24-bit", "bmp24.bmp", bmp24_file(bgr), &true_colour, true},
        {"BMP 8-bit RLE8", "rle8.bmp", bmp_rle8_file(indices, rgb), &indexed, false},
        {"PCX 24-bit", "pcx24.pcx", pcx24_file(bgr), &true_colour, false},
        {"PCX 8-bit", "pcx8.pcx", pcx8_file(indices, rgb), &indexed, false},
        {"TGA 24-bit", "plain.tga", tga_file(bgr, false), &true_colour, true},
        {"TGA 24-bit RLE", "rle.tga", tga_file(bgr, true), &true_colour, true},
        {"GIF", "picture.gif", gif_file(indices, rgb), &indexed, true},
    };
    std::vector<BenchFile> files;
    for (Made& m : made) {
        const std::string path = directory + "/" + m.name;
        if (!write_file(path, m.bytes)) return {};
        files.push_back({m.label, path, *m.expected, m.stb_reads});
    }
    return files;
}
