#include <gtest/gtest.h>

#include <chrono>

#include "readers/gif.h"
#include "readers/load_image.h"
#include "gif_lzw_encoder.h"
#include "test_util.h"

using namespace orvandel;

namespace {

using gif_encoder::lzw_encode;
using gif_encoder::pack_codes;
using gif_encoder::sub_blocks;

// A colour table of `entries` colours, entry i = (red base + i, green 2i, blue 255 - i).
std::vector<uint8_t> colour_table(int entries, int red_base = 0) {
    std::vector<uint8_t> out;
    for (int i = 0; i < entries; ++i) {
        out.push_back(static_cast<uint8_t>(red_base + i));
        out.push_back(static_cast<uint8_t>(2 * i));
        out.push_back(static_cast<uint8_t>(255 - i));
    }
    return out;
}

Pixel colour(int i, int red_base = 0) {
    const uint8_t rgb[3] = {static_cast<uint8_t>(red_base + i), static_cast<uint8_t>(2 * i),
                            static_cast<uint8_t>(255 - i)};
    return pixel_from_rgb(rgb);
}

std::vector<uint8_t> header(unsigned flags, const std::vector<uint8_t>& table = {}, const char* version = "89a") {
    test::Bytes b;
    b.text("GIF").text(version).le16(640).le16(480).u8(flags).u8(0).u8(0).append(table);
    return b.data;
}

struct Frame {
    int width;
    int height;
    std::vector<uint8_t> indices;
    unsigned flags = 0;
    std::vector<uint8_t> local_table = {};
    int left = 0;
    int top = 0;
    int min_code_size = 2;
};

// The image separator, the descriptor, the local table and the encoded data.
std::vector<uint8_t> image_block(const Frame& f, const std::vector<uint8_t>& chain) {
    test::Bytes b;
    b.u8(0x2C).le16(f.left).le16(f.top).le16(f.width).le16(f.height).u8(f.flags).append(f.local_table);
    b.u8(f.min_code_size).append(chain);
    return b.data;
}
std::vector<uint8_t> image_block(const Frame& f) {
    return image_block(f, sub_blocks(lzw_encode(f.indices, f.min_code_size)));
}

std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

const std::vector<uint8_t> TRAILER = {0x3B};

// Indices through a table of `colour` entries, row-major.
std::vector<Pixel> coloured(const std::vector<uint8_t>& indices, int red_base = 0) {
    std::vector<Pixel> out;
    for (uint8_t i : indices) out.push_back(colour(i, red_base));
    return out;
}

const std::vector<uint8_t> FRAME_4X2 = {0, 1, 2, 3, 3, 2, 1, 0};
const std::vector<uint8_t> FRAME_4X3 = {1, 1, 1, 1, 2, 2, 2, 2, 3, 0, 3, 0};

struct LoadCase {
    const char* name;
    std::vector<uint8_t> file;
    bool loads;
    int32_t width;
    int32_t height;
    std::vector<Pixel> pixels;
    const char* reason = "";  // of a decline
};

std::vector<Pixel> join(std::initializer_list<std::vector<Pixel>> parts) {
    std::vector<Pixel> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

std::vector<LoadCase> load_cases() {
    const std::vector<uint8_t> g4 = header(0x81, colour_table(4));
    const std::vector<uint8_t> frame_a = image_block({4, 2, FRAME_4X2});
    const std::vector<uint8_t> frame_b = image_block({4, 3, FRAME_4X3});
    const std::vector<Pixel> pixels_a = coloured(FRAME_4X2);
    const std::vector<Pixel> pixels_b = coloured(FRAME_4X3);
    const std::vector<Pixel> black4(4, 0);

    Frame moved{4, 2, FRAME_4X2};
    moved.left = 10;
    moved.top = 20;
    Frame local{4, 2, FRAME_4X2, 0x81, colour_table(4, 100)};
    Frame wide_index{2, 1, {0, 255}, 0, {}, 0, 0, 8};
    Frame local_over_256{2, 1, {3, 200}, 0x81, colour_table(4, 50), 0, 0, 8};
    Frame narrow{2, 2, {0, 1, 2, 3}};
    Frame wider{3, 1, {3, 3, 3}};
    Frame interlaced{4, 3, {1, 1, 1, 1, 2, 2, 2, 2, 3, 0, 3, 0}, 0x40};

    const std::vector<uint8_t> local_block = image_block(local);
    gif_encoder::EncodeOptions no_end;
    no_end.end_code = false;
    const std::vector<uint8_t> first_six = {0, 1, 2, 3, 3, 2};
    const std::vector<uint8_t> unfinished = image_block({4, 2, first_six}, sub_blocks(lzw_encode(first_six, 2, no_end)));
    // One row of index 1, then a code above next free.
    const std::vector<uint8_t> bad_code =
        image_block({4, 2, {}}, sub_blocks(pack_codes({{4, 3}, {1, 3}, {1, 3}, {1, 3}, {1, 4}, {15, 4}})));
    const std::vector<uint8_t> bad_first_code = image_block({4, 2, {}}, sub_blocks(pack_codes({{4, 3}, {1, 3}, {7, 3}})));
    const std::vector<uint8_t> size_9 = image_block({4, 2, {}, 0, {}, 0, 0, 9}, sub_blocks({0x00}));

    std::vector<uint8_t> long_comment = {0x21, 0xFE};
    for (int i = 0; i < 300; ++i) {
        long_comment.push_back(255);
        long_comment.insert(long_comment.end(), 255, static_cast<uint8_t>(i));
    }
    long_comment.push_back(0);

    return {
        {"one frame through the global table", cat({g4, frame_a, TRAILER}), true, 4, 2, pixels_a},
        {"two frames stacked", cat({g4, frame_a, frame_b, TRAILER}), true, 4, 5, join({pixels_a, pixels_b})},
        {"left and top ignored", cat({g4, image_block(moved), TRAILER}), true, 4, 2, pixels_a},
        {"no colour table at all: black", cat({header(0x00), frame_a, TRAILER}), true, 4, 2, std::vector<Pixel>(8, 0)},
        {"two-entry global table", cat({header(0x80, colour_table(2)), image_block({2, 1, {1, 0}}), TRAILER}), true, 2, 1,
         {colour(1), colour(0)}},
        {"256-entry global table", cat({header(0x87, colour_table(256)), image_block(wide_index), TRAILER}), true, 2, 1,
         {colour(0), colour(255)}},
        {"local table colours its own frame only", cat({g4, image_block(local), frame_b, TRAILER}), true, 4, 5,
         join({coloured(FRAME_4X2, 100), pixels_b})},
        {"after a local table, no global table means black",
         cat({header(0x00), image_block(local), frame_b, TRAILER}), true, 4, 5,
         join({coloured(FRAME_4X2, 100), std::vector<Pixel>(12, 0)})},
        {"short local table over a full global one",
         cat({header(0x87, colour_table(256)), image_block(local_over_256), TRAILER}), true, 2, 1,
         {colour(3, 50), colour(200)}},
        {"version 87a", cat({header(0x81, colour_table(4), "87a"), frame_a, TRAILER}), true, 4, 2, pixels_a},
        {"unknown version", cat({header(0x81, colour_table(4), "x!z"), frame_a, TRAILER}), true, 4, 2, pixels_a},
        {"no frames", cat({g4, TRAILER}), false, 0, 0, {}, "GIF: no frame stores a row"},
        {"no GIF signature", cat({{'G', 'I', 'X'}, std::vector<uint8_t>(g4.begin() + 3, g4.end()), frame_a, TRAILER}),
         false, 0, 0, {}, "not a GIF file"},
        {"single frame of height 0", cat({g4, image_block({4, 0, {}}), TRAILER}), false, 0, 0, {},
         "GIF: first frame of height 0"},
        {"frame of width 0 after a good one", cat({g4, frame_a, image_block({0, 2, {}}), TRAILER}), false, 0, 0, {},
         "GIF: frame of width 0"},
        {"frame of height 0 after a good one", cat({g4, frame_a, image_block({4, 0, {1}}), TRAILER}), true, 4, 2,
         pixels_a},
        {"zero bytes between blocks, nothing read after the trailer",
         cat({g4, {0, 0}, frame_a, {0}, TRAILER, frame_b}), true, 4, 2, pixels_a},
        {"any unknown introducer ends reading", cat({g4, frame_a, {0x99}, frame_b}), true, 4, 2, pixels_a},
        {"end of file where the next block begins", cat({g4, frame_a}), true, 4, 2, pixels_a},
        {"end of file right after the header", g4, false, 0, 0, {}, "GIF: no frame stores a row"},
        {"end of file where the minimum code size is due",
         cat({g4, frame_a, std::vector<uint8_t>(frame_b.begin(), frame_b.begin() + 10)}), false, 0, 0, {},
         "GIF: file ends before a frame's code size"},
        {"end of file inside a descriptor keeps earlier frames",
         cat({g4, frame_a, std::vector<uint8_t>(frame_b.begin(), frame_b.begin() + 6)}), true, 4, 2, pixels_a},
        {"end of file inside a local table keeps earlier frames",
         cat({g4, frame_a, std::vector<uint8_t>(local_block.begin(), local_block.begin() + 14)}), true, 4, 2, pixels_a},
        {"empty comment before the image", cat({g4, {0x21, 0xFE, 0x00}, frame_a, TRAILER}), true, 4, 2, pixels_a},
        {"comment of 76,800 bytes", cat({g4, long_comment, frame_a, TRAILER}), true, 4, 2, pixels_a},
        {"graphic control with a transparent index", cat({g4, {0x21, 0xF9, 4, 0x01, 10, 0, 0, 0}, frame_a, TRAILER}),
         true, 4, 2, pixels_a},
        {"application and plain text extensions",
         cat({g4, {0x21, 0xFF, 11, 'N', 'E', 'T', 'S', 'C', 'A', 'P', 'E', '2', '.', '0', 3, 1, 0, 0, 0},
              {0x21, 0x01, 12, 0, 0, 0, 0, 8, 0, 8, 0, 8, 8, 1, 0, 2, 'h', 'i', 0}, frame_a, TRAILER}),
         true, 4, 2, pixels_a},
        {"unknown extension label: its chain is skipped", cat({g4, {0x21, 0x42, 3, 'a', 'b', 'c', 0}, frame_a, TRAILER}),
         true, 4, 2, pixels_a},
        {"end of file inside a comment", cat({g4, frame_a, {0x21, 0xFE, 5, 'a'}}), true, 4, 2, pixels_a},
        {"end of file after an extension introducer", cat({g4, frame_a, {0x21}}), true, 4, 2, pixels_a},
        {"data without an end code: the finished row stays, the rest is black", cat({g4, unfinished, TRAILER}), true, 4,
         2, join({coloured({0, 1, 2, 3}), black4})},
        {"narrow frames keep their pixels in a wider stack",
         cat({g4, image_block(narrow), frame_a, image_block(wider), TRAILER}), true, 4, 5,
         join({{colour(0), colour(1), 0, 0, colour(2), colour(3), 0, 0}, pixels_a, {colour(3), colour(3), colour(3), 0}})},
        {"interlaced frame", cat({g4, image_block(interlaced), TRAILER}), true, 4, 3,
         coloured({1, 1, 1, 1, 3, 0, 3, 0, 2, 2, 2, 2})},
        {"a bad code leaves the frame's other rows black", cat({g4, frame_a, bad_code, TRAILER}), true, 4, 4,
         join({pixels_a, coloured({1, 1, 1, 1}), black4})},
        {"refused minimum code size in a later frame", cat({g4, frame_a, size_9, TRAILER}), true, 4, 4,
         join({pixels_a, black4, black4})},
        {"no frame stored a row: minimum code size 9", cat({g4, size_9, TRAILER}), false, 0, 0, {},
         "GIF: no frame stores a row"},
        {"no frame stored a row: a bad first code", cat({g4, bad_first_code, TRAILER}), false, 0, 0, {},
         "GIF: no frame stores a row"},
        {"narrowest frame first, widest last",
         cat({g4, image_block({1, 2, {3, 2}}), image_block({2, 1, {1, 1}}), image_block({3, 2, {0, 1, 2, 2, 1, 0}}),
              TRAILER}),
         true, 3, 5,
         {colour(3), 0, 0, colour(2), 0, 0, colour(1), colour(1), 0, colour(0), colour(1), colour(2), colour(2),
          colour(1), colour(0)}},
        {"frame over the pixel cap", cat({g4, image_block({65535, 4097, {0}}), TRAILER}), false, 0, 0, {},
         "GIF: picture larger than 16384 x 16384"},
        {"stack over the pixel cap", cat({g4, image_block({65535, 2, {0}}), image_block({65535, 4095, {0}}), TRAILER}),
         false, 0, 0, {}, "GIF: picture larger than 16384 x 16384"},
    };
}

TEST(GifLoad, Files) {
    for (const LoadCase& c : load_cases()) {
        LoadResult result = test::load_result(load_gif, c.file);
        test::ImagePtr image = std::move(result.image);
        ASSERT_EQ(image != nullptr, c.loads) << c.name;
        EXPECT_EQ(result.reason, c.reason) << c.name;
        if (!image) continue;
        EXPECT_EQ(image->width, c.width) << c.name;
        EXPECT_EQ(image->height, c.height) << c.name;
        EXPECT_EQ(test::pixels_of(image.get()), c.pixels) << c.name;
    }
}

TEST(GifLoad, DispatchReadsGifWhateverTheName) {
    const std::vector<uint8_t> file = cat({header(0x81, colour_table(4)), image_block({4, 2, FRAME_4X2}), TRAILER});
    test::ImagePtr image = test::load_bytes(load_image_from_memory, file, "texture.bmp");
    ASSERT_TRUE(image);
    EXPECT_EQ(test::pixels_of(image.get()), coloured(FRAME_4X2));
}

// Two frames of 11308 x 11308 (just under the cap together) whose data is
// refused at once: declined without taking memory for either.
TEST(GifLoad, HugeFramesWithoutRowsDeclineAtOnce) {
    std::vector<uint8_t> file = header(0x80, colour_table(2));
    for (int frame = 0; frame < 2; ++frame) {
        const std::vector<uint8_t> block = image_block({11308, 11308, {}, 0, {}, 0, 0, 12}, sub_blocks({0x00}));
        file.insert(file.end(), block.begin(), block.end());
    }
    file.push_back(0x3B);
    ASSERT_LE(file.size(), 100u);
    const auto start = std::chrono::steady_clock::now();
    const LoadResult result = test::load_result(load_image_from_memory, file);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_EQ(result.reason, "GIF: no frame stores a row");
    // Taking and clearing the 1 GiB the frames declare takes seconds.
    EXPECT_LT(seconds, 0.1);
}

// With transparency asked for, a frame's transparent index has alpha 0 and
// every other colour 255; rows beside a narrower frame are transparent too.
// Without it the picture is the classic one.
TEST(GifLoad, TransparencyOnRequest) {
    const std::vector<uint8_t> file =
        cat({header(0x81, colour_table(4)), {0x21, 0xF9, 4, 0x01, 0, 0, 2, 0}, image_block({2, 1, {2, 1}}),
             image_block({3, 1, {2, 1, 0}}), TRAILER});
    LoadOptions options;
    options.gif_transparency = true;
    const LoadResult with = test::load_result(load_gif, file, options);
    ASSERT_TRUE(with.image);
    EXPECT_TRUE(with.alpha);
    EXPECT_EQ(test::pixels_of(with.image.get()),
              (std::vector<Pixel>{colour(2), 0xFF000000u | colour(1), 0, 0xFF000000u | colour(2),
                                  0xFF000000u | colour(1), 0xFF000000u | colour(0)}));
    const LoadResult without = test::load_result(load_gif, file);
    EXPECT_FALSE(without.alpha);
    EXPECT_EQ(test::pixels_of(without.image.get()),
              (std::vector<Pixel>{colour(2), colour(1), 0, colour(2), colour(1), colour(0)}));
}

// Frames of different widths but no transparent colour: the picture is
// opaque even when alpha is asked for, and exactly the classic one, so the
// padding beside the narrower frame never makes an RGBA atlas.
TEST(GifLoad, NoTransparentColourNoAlpha) {
    const std::vector<uint8_t> file =
        cat({header(0x81, colour_table(4)), image_block({2, 1, {2, 1}}), image_block({3, 1, {2, 1, 0}}), TRAILER});
    LoadOptions options;
    options.gif_transparency = true;
    const LoadResult asked = test::load_result(load_gif, file, options);
    ASSERT_TRUE(asked.image);
    EXPECT_FALSE(asked.alpha);
    EXPECT_EQ(test::pixels_of(asked.image.get()),
              (std::vector<Pixel>{colour(2), colour(1), 0, colour(2), colour(1), colour(0)}));
}

// Each frame one column wider than the one before: every row is laid out at
// the final width once, not again for every wider frame (that would take
// cubic time on a file of a few kilobytes).
TEST(GifLoad, ManyFramesEachWider) {
    const int frames = 2000;
    std::vector<uint8_t> file = cat({header(0x81, colour_table(4)), image_block({1, 1, {2}})});
    const std::vector<uint8_t> empty_data = sub_blocks(pack_codes({{4, 3}, {5, 3}}));
    for (int w = 2; w <= frames; ++w) {
        const std::vector<uint8_t> block = image_block({w, 1, {}}, empty_data);
        file.insert(file.end(), block.begin(), block.end());
    }
    file.push_back(0x3B);
    test::ImagePtr image = test::load_bytes(load_gif, file);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, frames);
    EXPECT_EQ(image->height, frames);
    std::vector<Pixel> expected(size_t(frames) * frames, 0);
    expected[0] = colour(2);
    EXPECT_EQ(test::pixels_of(image.get()), expected);
}

// Cut short anywhere, a two-frame file yields nothing, the first frame, or
// both. Flipped bytes never take the loader outside its buffers, and damage
// after the first frame never touches that frame's pixels.
TEST(GifLoad, DamagedCopies) {
    Frame local{4, 3, FRAME_4X3, 0xC1, colour_table(4, 90)};
    const std::vector<uint8_t> file =
        cat({header(0x81, colour_table(4)), {0x21, 0xFE, 2, 'o', 'k', 0}, image_block({4, 2, FRAME_4X2}),
             image_block(local), TRAILER});
    const std::vector<Pixel> first = coloured(FRAME_4X2);
    for (size_t keep = 0; keep < file.size(); ++keep) {
        test::ImagePtr image =
            test::load_bytes(load_gif, std::vector<uint8_t>(file.begin(), file.begin() + static_cast<long>(keep)));
        if (!image) continue;
        const std::vector<Pixel> pixels = test::pixels_of(image.get());
        ASSERT_EQ(image->width, 4) << keep;
        ASSERT_GE(pixels.size(), first.size()) << keep;
        EXPECT_EQ(std::vector<Pixel>(pixels.begin(), pixels.begin() + 8), first) << keep;
    }
    const size_t second_frame = file.size() - image_block(local).size() - 1;
    for (size_t i = 0; i < file.size(); ++i) {
        for (uint8_t mask : {0x01, 0x40, 0x80, 0xFF}) {
            std::vector<uint8_t> damaged = file;
            damaged[i] ^= mask;
            test::ImagePtr image = test::load_bytes(load_gif, damaged);
            if (i < second_frame) continue;
            ASSERT_TRUE(image) << i;
            ASSERT_GE(image->width, 4) << i;
            ASSERT_GE(image->height, 2) << i;
            for (int y = 0; y < 2; ++y)
                for (int x = 0; x < 4; ++x)
                    EXPECT_EQ(image->pixels[y * image->width + x], first[y * 4 + x]) << i;
        }
    }
}

}  // namespace
