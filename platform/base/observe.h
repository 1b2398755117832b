// Implemented in platform/base/core.cpp.
// Counters of platform calls that have no effect on Linux, kept so that tests can see them.
#pragma once

namespace platform::internal {

void NoteForegroundRequest();

}  // namespace platform::internal
