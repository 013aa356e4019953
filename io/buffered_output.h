// The one way a writer sends a file's bytes: through a buffer of one piece,
// 256 KiB, on top of output_file.h, so that every write(2) of every format is
// a whole piece but the last. A large block the caller already holds goes out
// from where it is, a piece at a time; bytes computed on the way (converted
// rows, an encoder's output) are made straight in the buffer.
#ifndef ORVANDEL_IO_BUFFERED_OUTPUT_H
#define ORVANDEL_IO_BUFFERED_OUTPUT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "io/output_file.h"

namespace orvandel {

constexpr size_t OUTPUT_PIECE_BYTES = size_t(256) << 10;

struct BufferedOutput {
    OutputHandle file;
    std::vector<uint8_t> piece;  // OUTPUT_PIECE_BYTES; the first `filled` are waiting
    size_t filled;
    WriteResult status;          // the first failure; after one, every call does nothing
};

// Opens `path` whole-or-nothing (output_file.h); the failure, if any.
WriteResult open_buffered(const std::string& path, BufferedOutput* out);
// Appends bytes, sending each piece as it fills.
WriteResult put_bytes(BufferedOutput* out, const void* bytes, size_t count);
// Sends what is waiting and puts the file in place; the output is done with either way.
WriteResult finish_buffered(BufferedOutput* out);

// Sends the full piece.
void send_piece(BufferedOutput* out);

// Appends `count` units of `unit` bytes (at most 16), made in place by
// make(first, n, to), which writes units first .. first + n - 1 at `to`. A
// unit that would straddle the end of the piece is made aside and copied, so
// the pieces stay whole.
template <typename Make>
WriteResult put_units(BufferedOutput* out, int64_t count, size_t unit, Make make) {
    for (int64_t done = 0; done < count && out->status;) {
        const int64_t fit = static_cast<int64_t>((OUTPUT_PIECE_BYTES - out->filled) / unit);
        if (fit == 0) {
            uint8_t aside[16];
            make(done, 1, aside);
            put_bytes(out, aside, unit);
            ++done;
            continue;
        }
        const int64_t n = count - done < fit ? count - done : fit;
        make(done, n, out->piece.data() + out->filled);
        out->filled += static_cast<size_t>(n) * unit;
        done += n;
        if (out->filled == OUTPUT_PIECE_BYTES) send_piece(out);
    }
    return out->status;
}

}  // namespace orvandel

#endif
