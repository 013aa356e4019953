// GIF stream reader: every frame of a file stacked top to bottom into one Image.
// Reads: the block structure both versions of the format share (the version
// bytes are not looked at): header, global colour table, image descriptors
// with their local colour tables, sequential and interlaced frames, and the
// four extensions, which are read and ignored (delays, disposal, comments and
// application data change nothing; the transparent index too, unless the
// caller asks for alpha). Frame positions and the
// logical screen size are ignored too: each frame starts at column 0 below the
// frames before it, the Image is as wide as the widest frame, and the rest of
// a narrower frame's rows is black. A local colour table colours its own frame
// only; other frames use the global table (black where the file has none).
// Declines: a missing "GIF" signature, a frame of width 0, a first frame of
// height 0, a stack over the size limit, the end of the file where a frame's
// minimum code size is due, and a file in which no frame stored a single row.
// Damaged data: rows a frame's data does not complete stay black and the next
// block is read; the end of the file inside a descriptor, a colour table or a
// sub-block chain ends reading like the trailer, keeping the frames before it.
// No memory is taken for a frame before its first row is decoded, so a file
// that declares huge frames and holds no rows is declined at once.
#include "readers/gif.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "readers/gif_state.h"

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
constexpr int GIF_BLOCK_NEXT = 1;  // read the next block
constexpr int GIF_BLOCK_STOP = 2;  // the file ended inside it: keep what was read
// The file as a whole is declined, for one of these reasons.
constexpr int GIF_BLOCK_CUT = 3;         // the file ends where a minimum code size is due
constexpr int GIF_BLOCK_ZERO_WIDTH = 4;  // a frame of width 0
constexpr int GIF_BLOCK_TOO_LARGE = 5;   // the stack of frames exceeds the size limit
constexpr int GIF_BLOCK_NO_MEMORY = 6;   // no memory for a frame's rows
constexpr int GIF_BLOCK_ZERO_HEIGHT = 7;  // a first frame of height 0

// Fixed fields come in one read each; false when the file cuts them short,
// since their values would then be undefined.
bool read_exact(ByteReader* in, uint8_t* out, size_t count) { return read_bytes(in, out, count); }

bool read_gif_header(ByteReader* in, GifHeader* header) {
    uint8_t bytes[13];
    if (!read_exact(in, bytes, sizeof bytes)) return false;
    std::memcpy(header->signature, bytes, 3);
    std::memcpy(header->version, bytes + 3, 3);
    header->screen_width = read_le16(bytes + 6);
    header->screen_height = read_le16(bytes + 8);
    header->flags = bytes[10];
    header->background_index = bytes[11];
    header->aspect_ratio = bytes[12];
    return true;
}

bool read_gif_image_descriptor(ByteReader* in, GifImageDescriptor* descriptor) {
    uint8_t bytes[9];
    if (!read_exact(in, bytes, sizeof bytes)) return false;
    descriptor->left = read_le16(bytes);
    descriptor->top = read_le16(bytes + 2);
    descriptor->width = read_le16(bytes + 4);
    descriptor->height = read_le16(bytes + 6);
    descriptor->flags = bytes[8];
    return true;
}

// A colour table of 2 to 256 entries, as the size bits of `flags` say, over
// the first entries of `palette` (768 bytes); later entries keep their values.
bool read_gif_colour_table(ByteReader* in, uint8_t flags, uint8_t* palette) {
    const size_t bytes = size_t(3) << ((flags & GIF_FLAG_TABLE_SIZE) + 1);
    return read_exact(in, palette, bytes);
}

// A sub-block chain, length bytes and the final zero included, consumed
// whole however long it is; `chain` keeps its first GIF_CHAIN_KEEP bytes.
// False when the file ends before the zero length byte.
bool read_gif_sub_blocks(ByteReader* in, std::vector<uint8_t>* chain) {
    chain->clear();
    uint8_t block[256];
    for (;;) {
        const int length = read_byte(in);
        if (length < 0) return false;
        block[0] = static_cast<uint8_t>(length);
        if (length > 0 && !read_exact(in, block + 1, static_cast<size_t>(length))) return false;
        const size_t stored = static_cast<size_t>(length) + 1;
        if (chain->size() + stored <= GIF_CHAIN_KEEP) chain->insert(chain->end(), block, block + stored);
        if (length == 0) return true;
    }
}

// Six bytes whatever block_size says: a well-formed block is exactly that long.
bool read_gif_graphic_control_extension(ByteReader* in, GifGraphicControlExtension* ext) {
    uint8_t bytes[6];
    if (!read_exact(in, bytes, sizeof bytes)) return false;
    ext->block_size = bytes[0];
    ext->flags = bytes[1];
    ext->delay_time = read_le16(bytes + 2);
    ext->transparent_index = bytes[4];
    ext->terminator = bytes[5];
    return true;
}

bool read_gif_plain_text_extension(ByteReader* in, GifPlainTextExtension* ext) {
    uint8_t bytes[13];
    if (!read_exact(in, bytes, sizeof bytes)) return false;
    ext->block_size = bytes[0];
    ext->grid_left = read_le16(bytes + 1);
    ext->grid_top = read_le16(bytes + 3);
    ext->grid_width = read_le16(bytes + 5);
    ext->grid_height = read_le16(bytes + 7);
    ext->cell_width = bytes[9];
    ext->cell_height = bytes[10];
    ext->foreground_index = bytes[11];
    ext->background_index = bytes[12];
    return read_gif_sub_blocks(in, &ext->text);
}

bool read_gif_comment_extension(ByteReader* in, GifCommentExtension* ext) {
    return read_gif_sub_blocks(in, &ext->text);
}

bool read_gif_application_extension(ByteReader* in, GifApplicationExtension* ext) {
    uint8_t bytes[12];
    if (!read_exact(in, bytes, sizeof bytes)) return false;
    ext->block_size = bytes[0];
    std::memcpy(ext->identifier, bytes + 1, 8);
    std::memcpy(ext->auth_code, bytes + 9, 3);
    return read_gif_sub_blocks(in, &ext->data);
}

// After the 0x21. No extension changes the image, except that a graphic
// control block's transparent index is noted for the next frame when alpha
// is wanted; the rest is read and dropped. An unknown label is taken to head
// a sub-block chain, as the format's extensions all do, and that chain is
// skipped.
int read_gif_extension(ByteReader* in, GifLoadState* state) {
    const int label = read_byte(in);
    bool complete;
    switch (label) {
        case -1:
            return GIF_BLOCK_STOP;
        case GIF_LABEL_PLAIN_TEXT: {
            GifPlainTextExtension ext;
            complete = read_gif_plain_text_extension(in, &ext);
            break;
        }
        case GIF_LABEL_GRAPHIC_CONTROL: {
            GifGraphicControlExtension ext;
            complete = read_gif_graphic_control_extension(in, &ext);
            if (complete) state->transparent_index = (ext.flags & GIF_FLAG_TRANSPARENT) ? ext.transparent_index : -1;
            if (state->transparent_index >= 0) state->any_transparency = true;
            break;
        }
        case GIF_LABEL_COMMENT: {
            GifCommentExtension ext;
            complete = read_gif_comment_extension(in, &ext);
            break;
        }
        case GIF_LABEL_APPLICATION: {
            GifApplicationExtension ext;
            complete = read_gif_application_extension(in, &ext);
            break;
        }
        default: {
            std::vector<uint8_t> chain;
            complete = read_gif_sub_blocks(in, &chain);
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

// Makes room for a frame after the frames so far, at the frame's own width:
// its place is reserved, its memory is taken once a row arrives. The final
// Image (widest width x all rows) is checked against the cap in 64 bits
// first, so the array never outgrows it.
bool grow_gif_pixels(GifLoadState* state, GifFrames* frames, int32_t frame_width, int32_t frame_height,
                     int64_t max_pixels) {
    const int32_t widest = frame_width > frames->widest ? frame_width : frames->widest;
    const int64_t total_height = int64_t(state->total_height) + frame_height;
    size_t final_bytes = 0;
    if (!checked_byte_count(widest, total_height, sizeof(Pixel), &final_bytes,
                            max_pixels * static_cast<int64_t>(sizeof(Pixel))))
        return false;
    frames->extents.push_back({frame_width, frame_height});
    frames->widest = widest;
    state->width = frame_width;
    state->frame_start = state->pixel_count;
    state->pixel_count += int64_t(frame_width) * frame_height;
    state->total_height = static_cast<int32_t>(total_height);
    return true;
}

// Moves the Pixels into a zeroed array of `count` (more than `allocated`);
// false (and out_of_memory set) when the memory is not there.
bool hold_gif_pixels(GifLoadState* state, int64_t count) {
    Pixel* grown = static_cast<Pixel*>(allocate_zeroed(static_cast<size_t>(count) * sizeof(Pixel)));
    if (!grown) {
        state->out_of_memory = true;
        return false;
    }
    if (state->pixels) std::memcpy(grown, state->pixels, static_cast<size_t>(state->allocated) * sizeof(Pixel));
    release_zeroed(state->pixels);
    state->pixels = grown;
    state->allocated = count;
    return true;
}

// Lays every frame's rows out at the widest width, from column 0, the rest of
// each row black. Rows only ever move towards the end of the array, so going
// from the last row to the first never overwrites a row not yet moved; each
// row is moved once.
bool lay_out_gif_frames(GifLoadState* state, const GifFrames& frames) {
    // Frames after the last that stored a row have no memory yet.
    if (!reserve_gif_pixels(state)) return false;
    const int64_t width = frames.widest;
    const size_t count = static_cast<size_t>(width * state->total_height);
    if (static_cast<int64_t>(count) > state->allocated && !hold_gif_pixels(state, static_cast<int64_t>(count)))
        return false;
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
int read_gif_image_block(ByteReader* in, GifLoadState* state, GifFrames* frames,
                         const uint8_t* global_palette, int64_t max_pixels) {
    GifImageDescriptor descriptor;
    if (!read_gif_image_descriptor(in, &descriptor)) return GIF_BLOCK_STOP;
    std::memcpy(state->palette, global_palette, sizeof state->palette);
    if ((descriptor.flags & GIF_FLAG_COLOUR_TABLE) &&
        !read_gif_colour_table(in, descriptor.flags, state->palette))
        return GIF_BLOCK_STOP;
    const int min_code_size = read_byte(in);
    if (min_code_size < 0) return GIF_BLOCK_CUT;
    if (descriptor.width == 0) return GIF_BLOCK_ZERO_WIDTH;
    if (descriptor.height == 0 && state->total_height == 0) return GIF_BLOCK_ZERO_HEIGHT;
    if (!grow_gif_pixels(state, frames, descriptor.width, descriptor.height, max_pixels))
        return GIF_BLOCK_TOO_LARGE;
    // A frame the decoder does not finish keeps the rows it stored; either
    // way the next block follows.
    decode_gif_raster(state, in, min_code_size, descriptor.width, descriptor.height, descriptor.flags);
    state->transparent_index = -1;  // a graphic control block serves one frame
    return state->out_of_memory ? GIF_BLOCK_NO_MEMORY : GIF_BLOCK_NEXT;
}

// The header and the block loop: the decline, or none when reading ended, by
// the trailer or otherwise, with the frames so far in `state`.
LoadResult read_gif_file(ByteReader* in, GifLoadState* state, GifFrames* frames, const LoadOptions& options) {
    GifHeader header;
    if (!read_gif_header(in, &header)) return decline(LoadError::damaged, "GIF: header cut short");
    if (std::memcmp(header.signature, "GIF", 3) != 0) return decline(LoadError::unrecognised, "not a GIF file");
    uint8_t global_palette[768] = {};
    if ((header.flags & GIF_FLAG_COLOUR_TABLE) &&
        !read_gif_colour_table(in, header.flags, global_palette))
        return LoadResult();
    for (;;) {
        // Zero bytes between blocks are passed over; any byte that opens no
        // block ends reading, as the trailer 0x3B does.
        const int introducer = read_byte(in);
        int outcome;
        if (introducer == 0x00)
            outcome = GIF_BLOCK_NEXT;
        else if (introducer == GIF_IMAGE_SEPARATOR)
            outcome = read_gif_image_block(in, state, frames, global_palette, pixel_limit(options));
        else if (introducer == GIF_EXTENSION_INTRODUCER)
            outcome = read_gif_extension(in, state);
        else
            return LoadResult();
        switch (outcome) {
            case GIF_BLOCK_NEXT: break;
            case GIF_BLOCK_STOP: return LoadResult();
            case GIF_BLOCK_CUT: return decline(LoadError::damaged, "GIF: file ends before a frame's code size");
            case GIF_BLOCK_ZERO_WIDTH: return decline(LoadError::damaged, "GIF: frame of width 0");
            case GIF_BLOCK_ZERO_HEIGHT: return decline(LoadError::damaged, "GIF: first frame of height 0");
            case GIF_BLOCK_TOO_LARGE: return picture_too_large("GIF", options);
            default: return no_memory_for("GIF");
        }
    }
}

}  // namespace

bool reserve_gif_pixels(GifLoadState* state) {
    if (state->allocated >= state->pixel_count) return true;
    // Past the first frame the array grows by half at least, so that a file of
    // many frames copies each Pixel a few times, not once a frame.
    int64_t count = state->pixel_count;
    if (state->pixels) count = std::max(count, std::min(state->allocated + state->allocated / 2, MAX_IMAGE_PIXELS));
    return hold_gif_pixels(state, count);
}

LoadResult load_gif(const uint8_t* bytes, size_t size, const LoadOptions& options) {
    ByteReader in = make_reader(bytes, size);
    GifLoadState state;
    std::memset(state.palette, 0, sizeof state.palette);
    state.transparent_index = -1;
    state.any_transparency = false;
    state.keep_alpha = options.gif_transparency;
    state.width = 0;
    state.pixels = nullptr;
    state.allocated = 0;
    state.out_of_memory = false;
    state.total_height = 0;
    state.frame_start = 0;
    state.pixel_count = 0;
    state.rows_stored = 0;
    // The Pixels pass to the Image once laid out; until then they go on every
    // path out of here.
    std::unique_ptr<GifLoadState, void (*)(GifLoadState*)> owner(&state, [](GifLoadState* s) {
        release_zeroed(s->pixels);
    });
    GifFrames frames;
    frames.widest = 0;
    LoadResult result = read_gif_file(&in, &state, &frames, options);
    if (result.error != LoadError::none) return result;
    if (state.rows_stored == 0) return decline(LoadError::damaged, "GIF: no frame stores a row");
    if (!lay_out_gif_frames(&state, frames)) return no_memory_for("GIF");
    Image* image = static_cast<Image*>(std::malloc(sizeof(Image)));
    if (!image) return no_memory_for("GIF");
    image->pixels = state.pixels;
    image->width = state.width;
    image->height = state.total_height;
    state.pixels = nullptr;
    result.image.reset(image);
    // Without a transparent colour the picture is opaque, whatever the
    // frames' widths: its top bytes go back to 0, as for every opaque file.
    result.alpha = options.gif_transparency && state.any_transparency;
    if (options.gif_transparency && !result.alpha) {
        const int64_t count = int64_t(image->width) * image->height;
        for (int64_t i = 0; i < count; ++i) image->pixels[i] &= 0x00FFFFFFu;
    }
    return result;
}

}  // namespace orvandel
