#include "update/cechat.h"
#include "update/update.h"

namespace update {

bool ModuleLinkLost() {
    std::uint32_t errors = 0;
    platform::ComStat status{};
    platform::Handle port = ModulePort();
    if (port == 0) return false;
    // A hung-up device is remembered by the port and reported on every call.
    return platform::ClearCommError(port, &errors, &status) && (errors & platform::CeIoe) != 0;
}

}  // namespace update
