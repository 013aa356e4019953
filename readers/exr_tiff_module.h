// OpenEXR and TIFF files are read by readers/exr.cpp and readers/tiff.cpp,
// which are built, with the OpenEXR library and libtiff, into a module of
// their own (ORVANDEL_EXR_TIFF_MODULE); the tool loads it the first time such
// a file is read, so runs that read neither never load those libraries.
#ifndef ORVANDEL_READERS_EXR_TIFF_MODULE_H
#define ORVANDEL_READERS_EXR_TIFF_MODULE_H

#include <cstddef>
#include <cstdint>

#include "readers/load_image.h"

namespace orvandel {

// The module's readers, from its entry orvandel_exr_tiff_readers.
struct ExrTiffReaders {
    const char* version;  // first, as every module table's (io/module_loader.h)
    LoadResult (*load_exr)(const uint8_t* bytes, size_t size, const LoadOptions& options);
    LoadResult (*load_tiff)(const uint8_t* bytes, size_t size, const LoadOptions& options);
};

// An OpenEXR (ImageFormat::exr) or TIFF (tiff) file, read by the module;
// where the module cannot be loaded, an unsupported decline that names it
// and says why.
LoadResult load_exr_or_tiff(ImageFormat format, const uint8_t* bytes, size_t size, const LoadOptions& options);

}  // namespace orvandel

#endif
