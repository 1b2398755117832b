// Implemented in bridge/ports.cpp, bridge/relay.cpp and bridge/release.cpp.
// The port bridge: the GSM-side UART and one peer port, and the two relay threads between
// them. Command 153 starts it, command 155 releases it, and the main window's destruction
// runs the same release steps.
//
// Index: GsmPort PeerPort RelayRunning GsmToPeerThread PeerToGsmThread | PortOpened PortNotOpened
// CommandDone CommandRefused | OpenBridgePort
// OpenIrPort OpenIrdaPort StartBridge CloseWindowIfNotStarted StartRefused | RelayGsmToPeer RelayPeerToGsm ReleaseBridge
// ReleaseBridgeSteps | EndOnLostPort ReopenLostPort EndedByLostPort PortLostMessage ReopenTimer
// ReopenPollMs OnPortLost TryReopen
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

namespace bridge {

extern std::atomic<platform::Handle> GsmPort;   // InvalidHandle when not open
extern std::atomic<platform::Handle> PeerPort;  // InvalidHandle when not open
extern std::atomic<std::int32_t> RelayRunning;
extern std::atomic<platform::Handle> GsmToPeerThread;  // InvalidHandle: none yet; 0: creation failed
extern std::atomic<platform::Handle> PeerToGsmThread;
// Set for `firmware-utility bridge`: a start that fails closes the window. StartRefused tells
// that a start failed (its exit code is then 1).
extern std::atomic<std::int32_t> CloseWindowIfNotStarted;
extern std::atomic<std::int32_t> StartRefused;
// Also for `firmware-utility bridge`: relaying that a lost port ended closes the window and
// EndedByLostPort tells it (exit 1); with ReopenLostPort (--reopen) the window instead looks
// for the same port every ReopenPollMs and relays again once it opens.
extern std::atomic<std::int32_t> EndOnLostPort;
extern std::atomic<std::int32_t> ReopenLostPort;
extern std::atomic<std::int32_t> EndedByLostPort;
inline constexpr std::uint32_t PortLostMessage = 0x8000 + 153;  // private (application range)
inline constexpr std::uintptr_t ReopenTimer = 153;
inline constexpr std::uint32_t ReopenPollMs = 250;

// The two results that meet here: an open says PortOpened or PortNotOpened; the command
// handlers (StartBridge, ReleaseBridge) say CommandDone or CommandRefused.
inline constexpr std::int32_t PortOpened = 1;
inline constexpr std::int32_t PortNotOpened = 0;
inline constexpr std::int32_t CommandDone = 0;
inline constexpr std::int32_t CommandRefused = 1;

std::int32_t OpenBridgePort(platform::Hwnd window, const char* name);
std::int32_t OpenIrPort(platform::Hwnd window);
std::int32_t OpenIrdaPort(platform::Hwnd window);
std::int32_t StartBridge(platform::Hwnd window, std::uint16_t id = 0, platform::LParam lparam = 0,
                         std::uint16_t code = 0);
std::uint32_t RelayGsmToPeer(void* window);
std::uint32_t RelayPeerToGsm(void* window);
std::int32_t ReleaseBridge(platform::Hwnd window, std::uint16_t id = 0, platform::LParam lparam = 0,
                           std::uint16_t code = 0);
// ReleaseBridge without its log line (the destroy handler's steps 1 to 3).
void ReleaseBridgeSteps();
// On the window's thread: PortLostMessage, posted by the relay thread that found the port
// gone, and each ReopenTimer tick.
void OnPortLost(platform::Hwnd window);
void TryReopen(platform::Hwnd window);

}  // namespace bridge
