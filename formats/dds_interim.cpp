// Interim: no DDS writer in this build yet; every DDS write fails cleanly.
#include "formats/dds.h"

namespace orvandel {

bool write_dds(const std::string&, const MipChain&) { return false; }

}  // namespace orvandel
