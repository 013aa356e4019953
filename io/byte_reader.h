// A bounded cursor over bytes in memory, the only way the decoders read their
// input. Reading past the end is a defined event: the read fails (or gives -1
// for a single byte) and the cursor stays at the end, so no loop can run on
// beyond its input or read outside it.
#ifndef ORVANDEL_IO_BYTE_READER_H
#define ORVANDEL_IO_BYTE_READER_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace orvandel {

struct ByteReader {
    const uint8_t* data;
    size_t size;
    size_t pos;  // never beyond size
};

inline ByteReader make_reader(const uint8_t* data, size_t size) { return ByteReader{data, size, 0}; }

inline size_t bytes_left(const ByteReader& in) { return in.size - in.pos; }

// The next byte, or -1 at the end of the input.
inline int read_byte(ByteReader* in) { return in->pos < in->size ? in->data[in->pos++] : -1; }

// Copies the next n bytes; false (and the cursor at the end) when fewer remain.
inline bool read_bytes(ByteReader* in, void* out, size_t n) {
    if (n > bytes_left(*in)) {
        in->pos = in->size;
        return false;
    }
    if (n) std::memcpy(out, in->data + in->pos, n);
    in->pos += n;
    return true;
}

// The next n bytes in place, or null (and the cursor at the end) when fewer remain.
inline const uint8_t* take_bytes(ByteReader* in, size_t n) {
    if (n > bytes_left(*in)) {
        in->pos = in->size;
        return nullptr;
    }
    const uint8_t* p = in->data + in->pos;
    in->pos += n;
    return p;
}

// Moves to an absolute offset; false (and the cursor at the end) past the end.
inline bool seek_to(ByteReader* in, uint64_t offset) {
    if (offset > in->size) {
        in->pos = in->size;
        return false;
    }
    in->pos = static_cast<size_t>(offset);
    return true;
}

inline bool skip_bytes(ByteReader* in, uint64_t n) { return seek_to(in, n > bytes_left(*in) ? uint64_t(in->size) + 1 : in->pos + n); }

}  // namespace orvandel

#endif
