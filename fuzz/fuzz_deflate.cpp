// The default PNG's deflate on any bytes: the input, cut into pieces where
// its first byte says, deflated piece by piece and joined, must inflate
// through zlib to the input itself, within the bound the unit promises.
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "writers/deflate.h"

using namespace orvandel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // Pieces of 1 to 256 bytes times 64: small ones cut runs and blocks often.
    const size_t piece = (size_t(data[0]) + 1) * 64;
    ++data, --size;
    std::vector<uint8_t> stream;
    size_t begin = 0;
    do {
        const size_t end = begin + piece < size ? begin + piece : size;
        const size_t before = stream.size();
        deflate_piece(data + begin, end - begin, end == size, &stream);
        if (stream.size() - before > deflate_piece_bound(end - begin)) __builtin_trap();
        begin = end;
    } while (begin < size);

    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) return 0;
    std::vector<uint8_t> back(size + 1);
    z.next_in = stream.data();
    z.avail_in = uInt(stream.size());
    z.next_out = back.data();
    z.avail_out = uInt(back.size());
    const int status = inflate(&z, Z_FINISH);
    const bool whole = status == Z_STREAM_END && z.avail_in == 0 && z.total_out == size;
    inflateEnd(&z);
    if (!whole) __builtin_trap();
    for (size_t i = 0; i < size; ++i)
        if (back[i] != data[i]) __builtin_trap();
    return 0;
}
