// The entry of the module that holds the OpenEXR and TIFF readers; it is
// built into that module alone (see readers/exr_tiff_module.h).
#include "readers/exr.h"
#include "readers/exr_tiff_module.h"
#include "readers/tiff.h"

namespace {

constexpr orvandel::ExrTiffReaders READERS{ORVANDEL_VERSION, orvandel::load_exr, orvandel::load_tiff};

}  // namespace

extern "C" __attribute__((visibility("default"))) const void* orvandel_exr_tiff_readers() { return &READERS; }
