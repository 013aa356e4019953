// GIF stream reader: every frame of a file stacked top to bottom into one Image.
// Reads: the block structure both versions of the format share (the version
// bytes are not looked at): header, global colour table, image descriptors
// with their local colour tables, sequential and interlaced frames, and the
// four extensions, which are read and ignored (transparency, delays, disposal,
// comments and application data change nothing). Frame positions and the
// logical screen size are ignored too: each frame starts at column 0 below the
// frames before it, the Image is as wide as the widest frame, and the rest of
// a narrower frame's rows is black. A local colour table colours its own frame
// only; other frames use the global table (black where the file has none).
// Declines: a missing "GIF" signature, a frame of width 0, a first frame of
// height 0, a stack over MAX_IMAGE_PIXELS, the end of the file where a frame's
// minimum code size is due, and a file in which no frame stored a single row.
// Damaged data: rows a frame's data does not complete stay black and the next
// block is read; the end of the file inside a descriptor, a colour table or a
// sub-block chain ends reading like the trailer, keeping the frames before it.
#include "formats/gif.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "formats/gif_state.h"

namespace orvandel {

namespace {

constexpr int GIF_IMAGE_SEPARATOR = 0x2C;
constexpr int GIF_EXTENSION_INTRODUCER = 0x21;
constexpr int GIF_LABEL_PLAIN_TEXT = 0x01;
constexpr int GIF_LABEL_GRAPHIC_CONTROL = 0xF9;
constexpr int GIF_LABEL_COMMENT = 0xFE;
constexpr int GIF_LABEL_APPLICATION = 0xFF;

// A chain keeps at most this many of its bytes; the rest is read and dropped.
// Nothing here uses extension data, so a long chain must not cost memory.
constexpr size_t GIF_CHAIN_KEEP = 65535;

struct GifHeader {
    uint8_t signature[3];
    uint8_t version[3];
    uint16_t screen_width;
    uint16_t screen_height;
    uint8_t flags;
    uint8_t background_index;
    uint8_t aspect_ratio;
};

struct GifImageDescriptor {
    uint16_t left;
    uint16_t top;
    uint16_t width;
    uint16_t height;
    uint8_t flags;
};

struct GifGraphicControlExtension {
    uint8_t block_size;
    uint8_t flags;
    uint16_t delay_time;
    uint8_t transparent_index;
    uint8_t terminator;
};

struct GifPlainTextExtension {
    uint8_t block_size;
    uint16_t grid_left;
    uint16_t grid_top;
    uint16_t grid_width;
    uint16_t grid_height;
    uint8_t cell_width;
    uint8_t cell_height;
    uint8_t foreground_index;
    uint8_t background_index;
    std::vector<uint8_t> text;
};

struct GifCommentExtension {
    std::vector<uint8_t> text;
};

struct GifApplicationExtension {
    uint8_t block_size;
    uint8_t identifier[8];
    uint8_t auth_code[3];
    std::vector<uint8_t> data;
};

// What one image or extension block means for the block loop.
constexpr int GIF_BLOCK_NEXT = 1;     // read the next block
constexpr int GIF_BLOCK_STOP = 2;     // the file ended inside it: keep what was read
constexpr int GIF_BLOCK_DECLINE = 0;  // the file as a whole is declined

// Fixed fields come in one read each; false when the file cuts them short,
// since their values would then be undefined.
bool read_exact(FILE* stream, uint8_t* out, size_t count) {
    return std::fread(out, 1, count, stream) == count;
}

bool read_gif_header(FILE* stream, GifHeader* header) {
    uint8_t bytes[13];
    if (!read_exact(stream, bytes, sizeof bytes)) return false;
    std::memcpy(header->signature, bytes, 3);
    std::memcpy(header->version, bytes + 3, 3);
    header->screen_width = read_le16(bytes + 6);
    header->screen_height = read_le16(bytes + 8);
    header->flags = bytes[10];
    header->background_index = bytes[11];
    header->aspect_ratio = bytes[12];
    return true;
}

bool read_gif_image_descriptor(FILE* stream, GifImageDescriptor* descriptor) {
    uint8_t bytes[9];
    if (!read_exact(stream, bytes, sizeof bytes)) return false;
    descriptor->left = read_le16(bytes);
    descriptor->top = read_le16(bytes + 2);
    descriptor->width = read_le16(bytes + 4);
    descriptor->height = read_le16(bytes + 6);
    descriptor->flags = bytes[8];
    return true;
}

// A colour table of 2 to 256 entries, as the size bits of `flags` say, over
// the first entries of `palette` (768 bytes); later entries keep their values.
bool read_gif_colour_table(FILE* stream, uint8_t flags, uint8_t* palette) {
    const size_t bytes = size_t(3) << ((flags & GIF_FLAG_TABLE_SIZE) + 1);
    return read_exact(stream, palette, bytes);
}

// A sub-block chain, length bytes and the final zero included, consumed
// whole however long it is; `chain` keeps its first GIF_CHAIN_KEEP bytes.
// False when the file ends before the zero length byte.
bool read_gif_sub_blocks(FILE* stream, std::vector<uint8_t>* chain) {
    chain->clear();
    uint8_t block[256];
    for (;;) {
        const int length = std::fgetc(stream);
        if (length == EOF) return false;
        block[0] = static_cast<uint8_t>(length);
        if (length > 0 && !read_exact(stream, block + 1, static_cast<size_t>(length))) return false;
        const size_t stored = static_cast<size_t>(length) + 1;
        if (chain->size() + stored <= GIF_CHAIN_KEEP) chain->insert(chain->end(), block, block + stored);
        if (length == 0) return true;
    }
}

// Six bytes whatever block_size says: a well-formed block is exactly that long.
bool read_gif_graphic_control_extension(FILE* stream, GifGraphicControlExtension* ext) {
    uint8_t bytes[6];
    if (!read_exact(stream, bytes, sizeof bytes)) return false;
    ext->block_size = bytes[0];
    ext->flags = bytes[1];
    ext->delay_time = read_le16(bytes + 2);
    ext->transparent_index = bytes[4];
    ext->terminator = bytes[5];
    return true;
}

bool read_gif_plain_text_extension(FILE* stream, GifPlainTextExtension* ext) {
    uint8_t bytes[13];
    if (!read_exact(stream, bytes, sizeof bytes)) return false;
    ext->block_size = bytes[0];
    ext->grid_left = read_le16(bytes + 1);
    ext->grid_top = read_le16(bytes + 3);
    ext->grid_width = read_le16(bytes + 5);
    ext->grid_height = read_le16(bytes + 7);
    ext->cell_width = bytes[9];
    ext->cell_height = bytes[10];
    ext->foreground_index = bytes[11];
    ext->background_index = bytes[12];
    return read_gif_sub_blocks(stream, &ext->text);
}

bool read_gif_comment_extension(FILE* stream, GifCommentExtension* ext) {
    return read_gif_sub_blocks(stream, &ext->text);
}

bool read_gif_application_extension(FILE* stream, GifApplicationExtension* ext) {
    uint8_t bytes[12];
    if (!read_exact(stream, bytes, sizeof bytes)) return false;
    ext->block_size = bytes[0];
    std::memcpy(ext->identifier, bytes + 1, 8);
    std::memcpy(ext->auth_code, bytes + 9, 3);
    return read_gif_sub_blocks(stream, &ext->data);
}

// After the 0x21. No extension changes the image, so each is read and
// dropped; an unknown label is taken to head a sub-block chain, as the
// format's extensions all do, and that chain is skipped.
int read_gif_extension(FILE* stream) {
    const int label = std::fgetc(stream);
    bool complete;
    switch (label) {
        case EOF:
            return GIF_BLOCK_STOP;
        case GIF_LABEL_PLAIN_TEXT: {
            GifPlainTextExtension ext;
            complete = read_gif_plain_text_extension(stream, &ext);
            break;
        }
        case GIF_LABEL_GRAPHIC_CONTROL: {
            GifGraphicControlExtension ext;
            complete = read_gif_graphic_control_extension(stream, &ext);
            break;
        }
        case GIF_LABEL_COMMENT: {
            GifCommentExtension ext;
            complete = read_gif_comment_extension(stream, &ext);
            break;
        }
        case GIF_LABEL_APPLICATION: {
            GifApplicationExtension ext;
            complete = read_gif_application_extension(stream, &ext);
            break;
        }
        default: {
            std::vector<uint8_t> chain;
            complete = read_gif_sub_blocks(stream, &chain);
            break;
        }
    }
    return complete ? GIF_BLOCK_NEXT : GIF_BLOCK_STOP;
}

// The size of every frame read so far, in file order.
struct GifFrameExtent {
    int32_t width;
    int32_t height;
};

struct GifFrames {
    std::vector<GifFrameExtent> extents;
    int32_t widest;
};

// Makes room for a frame after the frames so far, at the frame's own width.
// The final Image (widest width x all rows) is checked against the cap in 64
// bits before anything grows, so the array never outgrows it. New Pixels are
// black.
bool grow_gif_pixels(GifLoadState* state, GifFrames* frames, int32_t frame_width, int32_t frame_height) {
    const int32_t widest = frame_width > frames->widest ? frame_width : frames->widest;
    const int64_t total_height = int64_t(state->total_height) + frame_height;
    size_t final_bytes = 0;
    if (!checked_byte_count(widest, total_height, sizeof(Pixel), &final_bytes,
                            MAX_IMAGE_PIXELS * static_cast<int64_t>(sizeof(Pixel))))
        return false;
    const int64_t added = int64_t(frame_width) * frame_height;
    if (added > 0) {
        const size_t count = static_cast<size_t>(state->pixel_count + added);
        Pixel* grown;
        if (!state->pixels) {
            // Zeroed by calloc: a large first frame costs nothing until its rows arrive.
            grown = allocate_pixels(count);
        } else {
            grown = static_cast<Pixel*>(std::realloc(state->pixels, count * sizeof(Pixel)));
            if (grown) std::memset(grown + state->pixel_count, 0, static_cast<size_t>(added) * sizeof(Pixel));
        }
        if (!grown) return false;
        state->pixels = grown;
    }
    frames->extents.push_back({frame_width, frame_height});
    frames->widest = widest;
    state->width = frame_width;
    state->frame_start = state->pixel_count;
    state->pixel_count += added;
    state->total_height = static_cast<int32_t>(total_height);
    return true;
}

// Lays every frame's rows out at the widest width, from column 0, the rest of
// each row black. Rows only ever move towards the end of the array, so going
// from the last row to the first never overwrites a row not yet moved; each
// row is moved once.
bool lay_out_gif_frames(GifLoadState* state, const GifFrames& frames) {
    const int64_t width = frames.widest;
    const size_t count = static_cast<size_t>(width * state->total_height);
    if (static_cast<int64_t>(count) != state->pixel_count) {
        Pixel* grown = static_cast<Pixel*>(std::realloc(state->pixels, count * sizeof(Pixel)));
        if (!grown) return false;
        state->pixels = grown;
    }
    int64_t source_end = state->pixel_count;
    int64_t y = state->total_height;
    // Once the frames still to move are all as wide as the widest, they are
    // in place already.
    for (size_t n = frames.extents.size(); n-- > 0 && source_end != y * width;) {
        const GifFrameExtent& frame = frames.extents[n];
        for (int32_t row = frame.height; row-- > 0;) {
            --y;
            source_end -= frame.width;
            Pixel* out = state->pixels + y * width;
            std::memmove(out, state->pixels + source_end, size_t(frame.width) * sizeof(Pixel));
            std::memset(out + frame.width, 0, size_t(width - frame.width) * sizeof(Pixel));
        }
    }
    state->width = frames.widest;
    state->pixel_count = static_cast<int64_t>(count);
    return true;
}

// After the 0x2C: descriptor, local colour table, minimum code size, image data.
int read_gif_image_block(FILE* stream, GifLoadState* state, GifFrames* frames,
                         const uint8_t* global_palette) {
    GifImageDescriptor descriptor;
    if (!read_gif_image_descriptor(stream, &descriptor)) return GIF_BLOCK_STOP;
    std::memcpy(state->palette, global_palette, sizeof state->palette);
    if ((descriptor.flags & GIF_FLAG_COLOUR_TABLE) &&
        !read_gif_colour_table(stream, descriptor.flags, state->palette))
        return GIF_BLOCK_STOP;
    const int min_code_size = std::fgetc(stream);
    if (min_code_size == EOF) return GIF_BLOCK_DECLINE;
    if (descriptor.width == 0) return GIF_BLOCK_DECLINE;
    if (!grow_gif_pixels(state, frames, descriptor.width, descriptor.height)) return GIF_BLOCK_DECLINE;
    // A frame the decoder does not finish keeps the rows it stored; either
    // way the next block follows.
    decode_gif_raster(state, stream, min_code_size, descriptor.width, descriptor.height, descriptor.flags);
    return GIF_BLOCK_NEXT;
}

// The header and the block loop. False when the file is declined; true when
// reading ended, by the trailer or otherwise, with the frames so far in `state`.
bool read_gif_file(FILE* stream, GifLoadState* state, GifFrames* frames) {
    GifHeader header;
    if (!read_gif_header(stream, &header)) return false;
    if (std::memcmp(header.signature, "GIF", 3) != 0) return false;
    uint8_t global_palette[768] = {};
    if ((header.flags & GIF_FLAG_COLOUR_TABLE) &&
        !read_gif_colour_table(stream, header.flags, global_palette))
        return true;
    for (;;) {
        // Zero bytes between blocks are passed over; any byte that opens no
        // block ends reading, as the trailer 0x3B does.
        const int introducer = std::fgetc(stream);
        int outcome;
        if (introducer == 0x00)
            outcome = GIF_BLOCK_NEXT;
        else if (introducer == GIF_IMAGE_SEPARATOR)
            outcome = read_gif_image_block(stream, state, frames, global_palette);
        else if (introducer == GIF_EXTENSION_INTRODUCER)
            outcome = read_gif_extension(stream);
        else
            return true;
        if (outcome == GIF_BLOCK_DECLINE) return false;
        if (outcome == GIF_BLOCK_STOP) return true;
    }
}

}  // namespace

Image* load_gif(const char* path) {
    FileHandle file = open_file(path, "rb");
    if (!file) return nullptr;
    GifLoadState state;
    std::memset(state.palette, 0, sizeof state.palette);
    state.width = 0;
    state.pixels = nullptr;
    state.total_height = 0;
    state.frame_start = 0;
    state.pixel_count = 0;
    state.rows_stored = 0;
    GifFrames frames;
    frames.widest = 0;
    const bool read = read_gif_file(file.get(), &state, &frames);
    file.reset();
    Image* image = nullptr;
    if (read && state.rows_stored > 0 && lay_out_gif_frames(&state, frames))
        image = static_cast<Image*>(std::malloc(sizeof(Image)));
    if (!image) {
        std::free(state.pixels);
        return nullptr;
    }
    image->pixels = state.pixels;
    image->width = state.width;
    image->height = state.total_height;
    return image;
}

}  // namespace orvandel
