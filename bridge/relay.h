// Implemented in bridge/ports.cpp, bridge/relay.cpp and bridge/release.cpp.
// Inside the bridge: what the port openers, the relay threads and the release share beyond
// bridge/bridge.h. StartBridge's second half (StartRelays) lives with the relay threads; the
// report's lines are said through Lines.
//
// Index: PortNameOf StartRelays Lines BridgePeerOption RelayDisplayMode
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

namespace bridge {

// The report's lines.
const platform::LineReport& Lines();
// The two options the report answers (initially 3 each).
std::int32_t BridgePeerOption();
std::int32_t RelayDisplayMode();

// "COM<digit>:" from the constant table; nullptr for a number of 10 or more.
const char* PortNameOf(std::uint32_t number);

// The relay start: RelayRunning := 1, a relay thread for each direction that has none running,
// the success line. Runs on the window's thread once both ports are open. Returns 0.
std::int32_t StartRelays(platform::Hwnd window);

}  // namespace bridge
