#include "cli/common.h"

namespace orvandel {

std::string display_name(const std::string& path) {
    const size_t slash = path.rfind('\\');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string make_output_name(const std::string& path) {
    const size_t separator = path.find_last_of("/\\");
    const size_t name_start = separator == std::string::npos ? 0 : separator + 1;
    const size_t dot = path.rfind('.');
    const bool dot_in_name = dot != std::string::npos && dot >= name_start;
    return (dot_in_name ? path.substr(0, dot) : path) + "_mip.bmp";
}

}  // namespace orvandel
