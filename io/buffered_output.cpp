#include "io/buffered_output.h"

#include <cerrno>
#include <cstring>
#include <new>

namespace orvandel {

namespace {

void send(BufferedOutput* out, const uint8_t* bytes, size_t count) {
    if (out->status) out->status = write_output(out->file.get(), bytes, count);
}

}  // namespace

WriteResult open_buffered(const std::string& path, BufferedOutput* out) {
    out->filled = 0;
    out->status = WriteResult();
    int error = 0;
    out->file = open_output(path, &error);
    if (!out->file) return out->status = system_failure(error);
    try {
        out->piece.resize(OUTPUT_PIECE_BYTES);
    } catch (const std::bad_alloc&) {
        out->file.reset();
        return out->status = system_failure(ENOMEM);
    }
    return out->status;
}

void send_piece(BufferedOutput* out) {
    send(out, out->piece.data(), out->filled);
    out->filled = 0;
}

WriteResult put_bytes(BufferedOutput* out, const void* bytes, size_t count) {
    if (!out->status || count == 0) return out->status;
    const uint8_t* p = static_cast<const uint8_t*>(bytes);
    // The waiting bytes go out first, completed from the new ones.
    if (out->filled > 0 && out->filled + count >= OUTPUT_PIECE_BYTES) {
        const size_t take = OUTPUT_PIECE_BYTES - out->filled;
        std::memcpy(out->piece.data() + out->filled, p, take);
        out->filled = OUTPUT_PIECE_BYTES;
        send_piece(out);
        p += take;
        count -= take;
    }
    // Whole pieces straight from the caller's bytes: no copy.
    for (; count >= OUTPUT_PIECE_BYTES && out->status; p += OUTPUT_PIECE_BYTES, count -= OUTPUT_PIECE_BYTES)
        send(out, p, OUTPUT_PIECE_BYTES);
    if (count > 0 && out->status) {
        std::memcpy(out->piece.data() + out->filled, p, count);
        out->filled += count;
    }
    return out->status;
}

WriteResult finish_buffered(BufferedOutput* out) {
    if (out->filled > 0) send_piece(out);
    if (!out->file) return out->status;
    // A failed output is discarded with its temporary file.
    if (!out->status) {
        out->file.reset();
        return out->status;
    }
    return out->status = commit_output(std::move(out->file));
}

}  // namespace orvandel
