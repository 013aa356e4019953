#include "writers/exr_writer_module.h"

#include "io/module_loader.h"

namespace orvandel {

const ExrWriterFunctions* exr_writer_functions(std::string* reason) {
    ModuleTable module = load_module_table(ORVANDEL_EXR_TIFF_MODULE, "orvandel_exr_writer");
    if (!module.table) *reason = "OpenEXR files are written by a module, and " + std::move(module.reason);
    return static_cast<const ExrWriterFunctions*>(module.table);
}

}  // namespace orvandel
