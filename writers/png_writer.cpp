// PNG files, written row by row into a buffered output, so no second copy of
// a large atlas is ever held. A chosen zlib level goes through libspng one
// row at a time. The default cuts the rows into pieces that threads filter
// (Up) and deflate on their own with the deflate unit here, each ending on
// a byte boundary, so that the pieces, written in order as IDAT chunks,
// read as one zlib stream; zlib only sums them (Adler-32 of each piece,
// combined, and the chunks' CRCs). Nothing is written but whole chunks; a
// failure leaves no file.
#include "writers/png_writer.h"

#include <spng.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "io/buffered_output.h"
#include "writers/deflate.h"

namespace orvandel {

namespace {

// Row y of the picture as the PNG's R, G, B(, A) bytes.
using RowMaker = std::function<void(int32_t y, uint8_t* out)>;

struct Picture {
    int32_t width;
    int32_t height;
    bool alpha;
    RowMaker row;
    int bit_depth = 8;  // 8, or 16 with big-endian samples
};

struct SpngDeleter {
    void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};
using SpngHandle = std::unique_ptr<spng_ctx, SpngDeleter>;

int write_to_output(spng_ctx*, void* user, void* bytes, size_t length) {
    return put_bytes(static_cast<BufferedOutput*>(user), bytes, length) ? 0 : SPNG_IO_ERROR;
}

// An encoder's failure: the output's own when writing failed, else the encoder's.
WriteResult encoder_failure(const BufferedOutput& out) {
    return out.status ? write_problem("the PNG encoder failed") : out.status;
}

WriteResult write_with_spng(BufferedOutput* out, const Picture& picture, size_t row_bytes, int level) {
    SpngHandle ctx(spng_ctx_new(SPNG_CTX_ENCODER));
    if (!ctx) return system_failure(ENOMEM);
    spng_ihdr ihdr = {};
    ihdr.width = uint32_t(picture.width);
    ihdr.height = uint32_t(picture.height);
    ihdr.bit_depth = uint8_t(picture.bit_depth);
    ihdr.color_type = picture.alpha ? SPNG_COLOR_TYPE_TRUECOLOR_ALPHA : SPNG_COLOR_TYPE_TRUECOLOR;
    if (spng_set_png_stream(ctx.get(), write_to_output, out) != 0 || spng_set_ihdr(ctx.get(), &ihdr) != 0 ||
        spng_set_option(ctx.get(), SPNG_IMG_COMPRESSION_LEVEL, level) != 0 ||
        spng_set_option(ctx.get(), SPNG_FILTER_CHOICE, level > 0 ? SPNG_FILTER_CHOICE_UP : SPNG_FILTER_CHOICE_NONE) !=
            0)
        return encoder_failure(*out);
    if (spng_encode_image(ctx.get(), nullptr, 0, SPNG_FMT_PNG, SPNG_ENCODE_PROGRESSIVE | SPNG_ENCODE_FINALIZE) != 0)
        return encoder_failure(*out);
    std::vector<uint8_t> row(row_bytes);
    int status = 0;
    for (int32_t y = 0; y < picture.height && status == 0; ++y) {
        picture.row(y, row.data());
        // Rows hold 16-bit samples big-endian, as the file does; libspng
        // takes them in the machine's order.
        if (picture.bit_depth == 16)
            for (size_t i = 0; i + 1 < row.size(); i += 2) {
                const uint16_t v = uint16_t(row[i] << 8 | row[i + 1]);
                std::memcpy(&row[i], &v, 2);
            }
        status = spng_encode_row(ctx.get(), row.data(), row.size());
    }
    // The last row finishes the image: libspng answers it with SPNG_EOI.
    if (status != SPNG_EOI) return encoder_failure(*out);
    return out->status;
}

// ---------------------------------------------------------------------------
// The default: pieces deflated in parallel.

// Raw bytes of filtered rows a piece holds, about: large enough that the
// window lost at each piece's start costs nothing measurable, small enough
// that both threads have many to take.
constexpr size_t PIECE_BYTES = size_t(1) << 20;

void put_be32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

// A chunk's 12 bytes around its data: length and type before, CRC after.
void put_chunk(BufferedOutput* out, const char* type, const uint8_t* data, size_t size, uint32_t crc) {
    uint8_t head[8];
    put_be32(head, uint32_t(size));
    std::copy(type, type + 4, head + 4);
    put_bytes(out, head, sizeof head);
    if (size > 0) put_bytes(out, data, size);
    uint8_t tail[4];
    put_be32(tail, crc);
    put_bytes(out, tail, sizeof tail);
}

uint32_t chunk_crc(const char* type, const uint8_t* data, size_t size) {
    const uint32_t crc = uint32_t(crc32(0, reinterpret_cast<const Bytef*>(type), 4));
    // zlib's length is 32 bits: a chunk is far below that. A null buffer
    // would restart the sum, so an empty chunk stops at its type.
    return size == 0 ? crc : uint32_t(crc32(crc, data, uInt(size)));
}

// Up: each byte less the one above it (the row before the first is zero).
// On textures, which are smooth down as well as across, it shrinks about as
// well as the costlier predictors at a fraction of their time.
void filter_up(const uint8_t* row, const uint8_t* above, size_t bytes, uint8_t* out) {
    out[0] = 2;
    for (size_t k = 0; k < bytes; ++k) out[1 + k] = uint8_t(row[k] - above[k]);
}

struct Piece {
    int32_t first_row = 0, rows = 0;
    std::vector<uint8_t> data;  // the chunk's deflate bytes
    uint32_t adler = 1;         // of the raw (filtered) bytes
    size_t raw_bytes = 0;
    uint32_t crc = 0;
    bool failed = false;
};

// One piece: its rows filtered, then deflated (stored where coding does not pay).
void make_piece(const Picture& picture, size_t row_bytes, bool last, std::vector<uint8_t>* rows,
                std::vector<uint8_t>* raw, Piece* piece) {
    const size_t line = row_bytes + 1;
    raw->resize(line * size_t(piece->rows));
    rows->resize(2 * row_bytes);
    uint8_t* above = rows->data();
    uint8_t* row = above + row_bytes;
    if (piece->first_row > 0)
        picture.row(piece->first_row - 1, above);
    else
        std::fill(above, above + row_bytes, uint8_t(0));
    for (int32_t r = 0; r < piece->rows; ++r) {
        picture.row(piece->first_row + r, row);
        filter_up(row, above, row_bytes, raw->data() + size_t(r) * line);
        std::swap(row, above);
    }
    piece->raw_bytes = raw->size();
    piece->adler = uint32_t(adler32_z(1, raw->data(), raw->size()));
    piece->data.clear();
    if (piece->first_row == 0) piece->data = {0x78, 0x01};  // deflate, 32 KiB window
    deflate_piece(raw->data(), raw->size(), last, &piece->data);
}

WriteResult write_in_pieces(BufferedOutput* out, const Picture& picture, size_t row_bytes, int threads) {
    const int32_t rows_per_piece = int32_t(std::max<size_t>(1, PIECE_BYTES / (row_bytes + 1)));
    const int32_t count = (picture.height + rows_per_piece - 1) / rows_per_piece;

    static const uint8_t SIGNATURE[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    put_bytes(out, SIGNATURE, sizeof SIGNATURE);
    uint8_t ihdr[13] = {};
    put_be32(ihdr, uint32_t(picture.width));
    put_be32(ihdr + 4, uint32_t(picture.height));
    ihdr[8] = uint8_t(picture.bit_depth);  // bits per channel
    ihdr[9] = picture.alpha ? 6 : 2;     // RGBA or RGB
    put_chunk(out, "IHDR", ihdr, sizeof ihdr, chunk_crc("IHDR", ihdr, sizeof ihdr));

    // Workers take pieces in turn and hand them over in order: a piece
    // waits until every piece before it is written, so at most one piece a
    // thread is held.
    std::mutex lock;
    std::condition_variable turn;
    int32_t written = 0;
    bool failed = false;
    uint32_t adler = 1;
    std::atomic<int32_t> next{0};
    const auto worker = [&]() {
        std::vector<uint8_t> rows, raw;
        for (int32_t k = next++; k < count; k = next++) {
            Piece piece;
            piece.first_row = k * rows_per_piece;
            piece.rows = std::min(rows_per_piece, picture.height - piece.first_row);
            try {
                make_piece(picture, row_bytes, k + 1 == count, &rows, &raw, &piece);
                if (k + 1 == count) {
                    uint8_t tail[4];
                    // The whole stream's checksum: known once every piece's is.
                    std::unique_lock<std::mutex> guard(lock);
                    turn.wait(guard, [&] { return written == k || failed; });
                    put_be32(tail, uint32_t(adler32_combine(adler, piece.adler, z_off_t(piece.raw_bytes))));
                    guard.unlock();
                    piece.data.insert(piece.data.end(), tail, tail + 4);
                }
                piece.crc = chunk_crc("IDAT", piece.data.data(), piece.data.size());
            } catch (const std::bad_alloc&) {
                piece.failed = true;
            }
            std::unique_lock<std::mutex> guard(lock);
            turn.wait(guard, [&] { return written == k || failed; });
            if (failed) return;
            if (piece.failed) {
                failed = true;
            } else {
                put_chunk(out, "IDAT", piece.data.data(), piece.data.size(), piece.crc);
                adler = uint32_t(adler32_combine(adler, piece.adler, z_off_t(piece.raw_bytes)));
                ++written;
            }
            turn.notify_all();
        }
    };
    std::vector<std::thread> pool;
    for (int t = 1; t < std::min(threads, count); ++t) {
        try {
            pool.emplace_back(worker);
        } catch (...) {
            break;  // the workers there are take every piece
        }
    }
    worker();
    for (std::thread& thread : pool) thread.join();
    if (failed) return system_failure(ENOMEM);
    put_chunk(out, "IEND", nullptr, 0, chunk_crc("IEND", nullptr, 0));
    return out->status;
}

WriteResult write_picture(const std::string& path, const Picture& picture, const PngSettings& settings) {
    size_t row_bytes = 0;
    if (!checked_byte_count(picture.width, picture.alpha ? 4 : 3, picture.bit_depth / 8, &row_bytes))
        return write_problem("the rows are too long");
    BufferedOutput out;
    if (!open_buffered(path, &out)) return out.status;
    const WriteResult made = settings.compression_level >= 0
                                 ? write_with_spng(&out, picture, row_bytes, settings.compression_level)
                                 : write_in_pieces(&out, picture, row_bytes, std::max(1, settings.threads));
    // Without finish_buffered nothing is put in place.
    if (!made) return made;
    return finish_buffered(&out);
}

}  // namespace

WriteResult write_png(const std::string& path, const Image& image, bool alpha, const PngSettings& settings) {
    if (!image.pixels || image.width <= 0 || image.height <= 0) return write_problem("the picture is empty");
    const Picture picture{image.width, image.height, alpha, [&image, alpha](int32_t y, uint8_t* out) {
                              const Pixel* in = image.pixels + int64_t(y) * image.width;
                              const int step = alpha ? 4 : 3;
                              for (int32_t x = 0; x < image.width; ++x, out += step) {
                                  const Pixel p = in[x];
                                  out[0] = uint8_t(p);
                                  out[1] = uint8_t(p >> 8);
                                  out[2] = uint8_t(p >> 16);
                                  if (alpha) out[3] = uint8_t(p >> 24);
                              }
                          }};
    return write_picture(path, picture, settings);
}

WriteResult write_png(const std::string& path, const BgrImage& image, const PngSettings& settings) {
    if (!image.file || image.width <= 0 || image.height <= 0) return write_problem("the picture is empty");
    // Swapping the outer bytes turns blue, green, red into red, green, blue.
    const Picture picture{image.width, image.height, false, [&image](int32_t y, uint8_t* out) {
                              bgr_from_rgb(bgr_at(&image, 0, y), out, image.width);
                          }};
    return write_picture(path, picture, settings);
}

WriteResult write_png16(const std::string& path, const WideImage& image, bool alpha, const PngSettings& settings) {
    if (!image.samples || image.width <= 0 || image.height <= 0) return write_problem("the picture is empty");
    const int channels = alpha ? 4 : 3;
    Picture picture{image.width, image.height, alpha, [&image, channels](int32_t y, uint8_t* out) {
                        const uint16_t* in = image.samples.get() + 4 * int64_t(y) * image.width;
                        for (int32_t x = 0; x < image.width; ++x)
                            for (int c = 0; c < channels; ++c, out += 2) {
                                out[0] = uint8_t(in[4 * x + c] >> 8);
                                out[1] = uint8_t(in[4 * x + c]);
                            }
                    },
                    16};
    return write_picture(path, picture, settings);
}

}  // namespace orvandel
