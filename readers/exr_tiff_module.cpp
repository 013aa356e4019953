#include "readers/exr_tiff_module.h"

#include "io/module_loader.h"

namespace orvandel {

LoadResult load_exr_or_tiff(ImageFormat format, const uint8_t* bytes, size_t size, const LoadOptions& options) {
    const bool exr = format == ImageFormat::exr;
    const ModuleTable module = load_module_table(ORVANDEL_EXR_TIFF_MODULE, "orvandel_exr_tiff_readers");
    if (!module.table)
        return decline(LoadError::unsupported,
                       std::string(exr ? "OpenEXR" : "TIFF") + " files are read by a module, and " + module.reason);
    const ExrTiffReaders* readers = static_cast<const ExrTiffReaders*>(module.table);
    return (exr ? readers->load_exr : readers->load_tiff)(bytes, size, options);
}

}  // namespace orvandel
