// DDS mip chains: every level its own uncompressed 32-bit image.
#ifndef ORVANDEL_FORMATS_DDS_H
#define ORVANDEL_FORMATS_DDS_H

#include <string>

#include "mipmap/modern.h"

namespace orvandel {

// Writes the chain whole or not at all; false on failure.
bool write_dds(const std::string& path, const MipChain& chain);

}  // namespace orvandel

#endif
