#include "tests/support/test_bed.h"

#include <cstdlib>

// The test bed's worker thread and its maker share GLib data synchronised by futexes, which
// ThreadSanitizer cannot see: what happens inside those libraries is not this program's.
extern "C" const char* __tsan_default_suppressions() { return "race:libumockdev.so\nrace:libumockdev-preload.so\nrace:libglib-2.0.so\n"; }

namespace fwu_test {

bool Preloaded() {
    const char* preload = std::getenv("LD_PRELOAD");
    return preload && std::strstr(preload, "libumockdev-preload") != nullptr;
}

}  // namespace fwu_test
