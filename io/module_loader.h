// Modules of the tool loaded at run time (dlopen): code that needs large
// libraries (OpenEXR, libtiff) is built into a module of its own, so that the
// runs which never use it start without those libraries.
// A module is looked for beside the running executable (a build directory),
// then where the install rule puts it (ORVANDEL_MODULE_DIR, relative to the
// executable's directory). Its entry, an extern "C" function of no arguments,
// gives a table of functions that starts with the version the module was
// built as; a module of another version is refused rather than called.
// Nothing is cached here: the system's loader keeps one copy of a module per
// process and hands it back on every later load. A module is never unloaded.
#ifndef ORVANDEL_IO_MODULE_LOADER_H
#define ORVANDEL_IO_MODULE_LOADER_H

#include <string>

namespace orvandel {

// A module's entry: every module defines it with exactly this type.
using ModuleEntry = const void* (*)();

struct ModuleTable {
    const void* table = nullptr;  // what the entry gave, or null
    std::string reason;           // why there is none, naming the module's file
};

// The table of `file_name`'s function `entry`.
ModuleTable load_module_table(const char* file_name, const char* entry);

}  // namespace orvandel

#endif
