// Textures as KTX 2.0 files, per the Khronos KTX File Format Specification:
// the identifier, header, index and level index; a basic data format
// descriptor as the Khronos Data Format Specification defines it for the
// vkFormat; key/value data (KTXorientation "rd", KTXwriter); then the levels
// from the smallest to the largest, each aligned as the KTX 2.0 format
// requires, optionally each Zstandard-supercompressed (scheme 2). Declines
// textures whose levels are not a halving chain.
#ifndef ORVANDEL_WRITERS_KTX2_H
#define ORVANDEL_WRITERS_KTX2_H

#include <cstdint>
#include <string>
#include <vector>

#include "encoders/compress.h"
#include "io/output_file.h"

namespace orvandel {

constexpr int KTX2_ZSTD_MAX_LEVEL = 22;

struct Ktx2Settings {
    int zstd_level = 0;  // 1 to 22; 0: no supercompression
    std::string writer = "orvandel";  // the KTXwriter value
};

// The VkFormat value of the texture's format, alpha and transfer.
uint32_t ktx2_vk_format(BlockFormat format, bool srgb, bool alpha);
// The data format descriptor: dfdTotalSize, then one basic descriptor block.
std::vector<uint8_t> ktx2_data_format_descriptor(BlockFormat format, bool srgb, bool alpha);

// Writes the texture whole or not at all (through output_file.h).
WriteResult write_ktx2(const std::string& path, const GpuTexture& texture, const Ktx2Settings& settings);

}  // namespace orvandel

#endif
