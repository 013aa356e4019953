// Deflate (RFC 1951) blocks for the default PNG writer: one piece of a zlib
// stream at a time, so that pieces made apart join into one stream. Runs of
// a repeated byte become matches at distance one; everything else is a
// literal; each block gets Huffman codes of its own counts, or is stored
// where coding does not pay. No window is carried between pieces.
#ifndef ORVANDEL_WRITERS_DEFLATE_H
#define ORVANDEL_WRITERS_DEFLATE_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvandel {

// Appends `size` bytes at `data` to `out` as deflate blocks. Unless `last`,
// the blocks are not final and end on a byte boundary (an empty stored
// block), so that the next piece's blocks may follow them; when `last`, the
// piece ends with a final block. An empty piece is one empty stored block.
// Throws std::bad_alloc when `out` cannot grow.
void deflate_piece(const uint8_t* data, size_t size, bool last, std::vector<uint8_t>* out);

// The most bytes deflate_piece appends for `size` bytes (its stored form).
size_t deflate_piece_bound(size_t size);

}  // namespace orvandel

#endif
