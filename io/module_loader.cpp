#include "io/module_loader.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <vector>

namespace orvandel {

namespace {

// The directory of the running executable, symbolic links resolved; empty
// where the system will not say.
std::string executable_directory() {
    std::vector<char> path(4096);
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
        if (n < 0) return std::string();
        if (size_t(n) < path.size()) return std::filesystem::path(std::string(path.data(), size_t(n))).parent_path();
        path.resize(path.size() * 2);
    }
}

std::string loader_error() {
    const char* text = dlerror();
    return text ? text : "the system's loader gave no reason";
}

}  // namespace

ModuleTable load_module_table(const char* file_name, const char* entry) {
    ModuleTable result;
    const std::string directory = executable_directory();
    if (directory.empty()) {
        result.reason = std::string(file_name) + " cannot be found: the executable's own path is unknown";
        return result;
    }
    const std::filesystem::path places[] = {
        directory,
        (std::filesystem::path(directory) / ORVANDEL_MODULE_DIR).lexically_normal(),
    };
    for (const std::filesystem::path& place : places) {
        const std::string path = (place / file_name).string();
        struct stat info;
        if (stat(path.c_str(), &info) != 0) continue;
        // Every symbol resolved now: a module that does not fit this
        // executable fails here, with the loader's reason, not mid-run.
        void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!module) {
            result.reason = std::string(file_name) + " does not load: " + loader_error();
            return result;
        }
        void* function = dlsym(module, entry);
        if (!function) {
            result.reason = path + " is not Orvandel's module: " + loader_error();
            return result;
        }
        const void* table = reinterpret_cast<ModuleEntry>(function)();
        const char* version = table ? *static_cast<const char* const*>(table) : "unknown";
        if (!table || std::strcmp(version, ORVANDEL_VERSION) != 0) {
            result.reason = path + " is from Orvandel " + version + ", this is " + ORVANDEL_VERSION;
            return result;
        }
        result.table = table;
        return result;
    }
    result.reason = std::string(file_name) + " is neither in " + places[0].string() + " nor in " + places[1].string();
    return result;
}

}  // namespace orvandel
