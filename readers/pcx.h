#ifndef ORVANDEL_READERS_PCX_H
#define ORVANDEL_READERS_PCX_H

#include <cstdint>
#include <cstddef>

#include "io/byte_reader.h"

#include "picture/image.h"
#include "readers/load_image.h"

namespace orvandel {

// The 128-byte file header, fields in file order.
struct PcxHeader {
    uint8_t manufacturer;  // 10 for every PCX file
    uint8_t version;
    uint8_t encoding;
    uint8_t bits_per_pixel;  // in one plane
    uint16_t x_min;
    uint16_t y_min;
    uint16_t x_max;  // inclusive
    uint16_t y_max;  // inclusive
    uint16_t h_dpi;
    uint16_t v_dpi;
    uint8_t header_palette[48];
    uint8_t reserved;
    uint8_t planes;
    uint16_t bytes_per_line;  // of one plane
    uint16_t palette_info;
    uint16_t h_screen_size;
    uint16_t v_screen_size;
    uint8_t filler[54];
};

// The run being stored: runs do not stop at the end of a scan line, so what
// is left of one opens the next line. count 0: no run pending.
struct PcxRunState {
    uint8_t count;
    uint8_t value;
};

// Reads the header from the reader's position: 1, or 0 when the input ends first.
int read_pcx_header(PcxHeader* header, ByteReader* in);

// Decodes the next `length` bytes of run-length data into `line`. Returns the
// count stored, which is `length` unless the input ended first.
int16_t decode_pcx_line(PcxRunState* state, uint8_t* line, int16_t length, ByteReader* in);

// True-colour PCX in memory: three 8-bit planes per scan line. Other plane
// layouts are declined as unsupported.
LoadResult load_pcx24(const uint8_t* bytes, size_t size, const LoadOptions& options);
// 8-bit palettized PCX in memory, with its 256-colour palette at the end of
// the file. Short lines go to options.warnings as they are found.
LoadResult load_pcx8(const uint8_t* bytes, size_t size, const LoadOptions& options);

}  // namespace orvandel

#endif
