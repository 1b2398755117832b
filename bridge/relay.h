// Implemented in bridge/ports.cpp, bridge/relay.cpp and bridge/release.cpp.
// Inside the bridge: what the port openers, the relay threads and the release share beyond
// bridge/bridge.h. StartBridge's second half (StartRelays) lives with the relay threads; the
// port names let a relay thread name a port it lost; RelayLost marks a run whose port vanished.
//
// Index: GsmPortName PeerPortName RelayLost LostSlot PortNameOf StartRelays
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

namespace bridge {

// The device names of the open ports ("COM0:" to "COM9:"), for the lost-port line. They point
// into a constant table, so a relay thread may read one while the window's thread stores another.
extern std::atomic<const char*> GsmPortName;
extern std::atomic<const char*> PeerPortName;
// Set by the first relay thread that finds a bridge port gone; cleared by a relay start and
// by the release.
extern std::atomic<std::int32_t> RelayLost;
// The handle slot of the port that was lost (GsmPort or PeerPort), kept for a reopen.
extern std::atomic<std::atomic<platform::Handle>*> LostSlot;

// "COM<digit>:" from the constant table; nullptr for a number of 10 or more.
const char* PortNameOf(std::uint32_t number);

// The relay start: RelayRunning := 1, a relay thread for each direction that has none running,
// the success line. Runs on the window's thread once both ports are open. Returns 0.
std::int32_t StartRelays(platform::Hwnd window);

}  // namespace bridge
