// The tiled OpenEXR writer (writers/exr_writer.h) is built, with the OpenEXR
// library, into a module of its own (ORVANDEL_EXR_TIFF_MODULE), loaded by the
// first run that writes OpenEXR; other runs never load the library.
#ifndef ORVANDEL_WRITERS_EXR_WRITER_MODULE_H
#define ORVANDEL_WRITERS_EXR_WRITER_MODULE_H

#include <string>

#include "writers/exr_writer.h"

namespace orvandel {

// The module's writer, from its entry orvandel_exr_writer; the functions are
// those of writers/exr_writer.h.
struct ExrWriterFunctions {
    const char* version;  // first, as every module table's (io/module_loader.h)
    ExrWriterPtr (*open)(const std::string& path, int32_t width, int32_t height, const ExrSettings& settings,
                         WriteResult* failure);
    WriteResult (*write_level)(ExrWriter* writer, const Linear* values, int32_t width, int32_t height, int lx, int ly,
                               float alpha_factor);
    WriteResult (*finish)(ExrWriterPtr writer);
    void (*set_thread_pool)(int threads);
};

// The writer's functions, or null with the reason (naming the module and
// why it did not load) in *reason.
const ExrWriterFunctions* exr_writer_functions(std::string* reason);

}  // namespace orvandel

#endif
