#include "tests/support/test_bed.h"

#include <cstdlib>

namespace fwu_test {

bool Preloaded() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload && std::strstr(preload, "libumockdev-preload") != nullptr;
}

}  // namespace fwu_test
