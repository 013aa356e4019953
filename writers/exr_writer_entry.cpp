// The entry of the module that holds the OpenEXR writer; it is built into
// that module alone (see writers/exr_writer_module.h).
#include "writers/exr_writer.h"
#include "writers/exr_writer_module.h"

namespace {

constexpr orvandel::ExrWriterFunctions WRITER{ORVANDEL_VERSION, orvandel::open_exr, orvandel::write_exr_level,
                                              orvandel::finish_exr, orvandel::set_exr_thread_pool};

}  // namespace

extern "C" __attribute__((visibility("default"))) const void* orvandel_exr_writer() { return &WRITER; }
