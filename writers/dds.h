// Textures as DDS files, per Microsoft's DDS documentation: the 124-byte
// header, then by default the DX10 extension header (DDS_HEADER_DXT10), the
// only one that can say sRGB or BC7, or on request the legacy pixel format
// alone for old readers (A8R8G8B8 or X8R8G8B8, DXT1, DXT5, ATI1, ATI2, and
// half-float texels as D3DFMT_A16B16G16R16F).
// Levels follow largest first. Declines ASTC (DXGI has no ASTC formats), BC7
// in the legacy header, and textures whose levels are not a halving chain.
#ifndef ORVANDEL_WRITERS_DDS_H
#define ORVANDEL_WRITERS_DDS_H

#include <cstdint>
#include <string>

#include "encoders/compress.h"
#include "io/output_file.h"

namespace orvandel {

constexpr uint32_t DDS_HEADER_SIZE = 124;
constexpr uint32_t DDS_DX10_HEADER_SIZE = 20;

struct DdsSettings {
    bool legacy = false;  // no DX10 header: no sRGB, no BC7
};

// The DXGI_FORMAT value the DX10 header names, or 0 where there is none.
uint32_t dxgi_format(BlockFormat format, bool srgb);
// Whether a DDS file in `settings` can hold `format`.
bool dds_holds(BlockFormat format, const DdsSettings& settings);

// Writes the texture whole or not at all (through output_file.h).
WriteResult write_dds(const std::string& path, const GpuTexture& texture, const DdsSettings& settings);

}  // namespace orvandel

#endif
