// Mip chains as DDS files: the legacy 124-byte header and uncompressed 32-bit
// BGRA levels, largest first, each level its own image.
#ifndef ORVANDEL_WRITERS_DDS_H
#define ORVANDEL_WRITERS_DDS_H

#include <cstdint>
#include <string>

#include "picture/atlas.h"
#include "io/output_file.h"

namespace orvandel {

constexpr uint32_t DDS_HEADER_SIZE = 124;

// Writes the chain whole or not at all (through output_file.h). The failure
// when the chain is empty or not a halving sequence down to 1 x 1, or when
// the file cannot be written. Alpha bytes are the chain's alpha, or 255 when it
// has none.
WriteResult write_dds(const std::string& path, const MipChain& chain);

}  // namespace orvandel

#endif
