// Implemented in bridge/ports.cpp, bridge/relay.cpp and bridge/release.cpp.
// The port bridge: the GSM-side UART and one peer port, and the two relay threads between
// them. Command 153 starts it, command 155 releases it, and the main window's destruction
// runs the same release steps.
//
// Index: GsmPort PeerPort RelayRunning GsmToPeerThread PeerToGsmThread | PortOpened PortNotOpened
// CommandDone CommandRefused | OpenBridgePort
// OpenIrPort OpenIrdaPort StartBridge CloseWindowIfNotStarted StartRefused | RelayGsmToPeer RelayPeerToGsm ReleaseBridge
// ReleaseBridgeSteps | BridgeReport BridgeRun UseBridgeRun BridgeRunOf PortLostMessage ReopenTimer
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

// How the bridge reports, the shell's side: the pane (sent, or posted by the relay threads),
// the explanation of a port that did not open, and the two options it reads as it goes (the
// peer to open, which relay directions to log). A null entry: silent, peer 3, display mode 3.
struct BridgeReport {
    platform::LineReport lines;
    std::int32_t (*peer)() = nullptr;
    std::int32_t (*display_mode)() = nullptr;
};

// The bridge's part of the run: what `firmware-utility bridge` asks of it, its report, and
// what it tells back (start refused, ended by a lost port), with the relays' shared marks.
struct BridgeRun {
    // A start that fails closes the window; relaying that a lost port ended closes it too, or,
    // with reopen_lost_port (--reopen), the window looks for the same port every ReopenPollMs
    // and relays again once it opens.
    bool close_window_if_not_started = false;
    bool end_on_lost_port = false;
    bool reopen_lost_port = false;
    BridgeReport report;
    std::atomic<std::int32_t> start_refused{0};
    std::atomic<std::int32_t> ended_by_lost_port{0};
    // The device names of the open ports ("COM0:" to "COM9:"), for the lost-port line. They point
    // into a constant table, so a relay thread may read one while the window's thread stores another.
    std::atomic<const char*> gsm_port_name{nullptr};
    std::atomic<const char*> peer_port_name{nullptr};
    // Set by the first relay thread that finds a bridge port gone; cleared by a relay start and
    // by the release; the handle slot of that port (GsmPort or PeerPort), kept for a reopen.
    std::atomic<std::int32_t> relay_lost{0};
    std::atomic<std::atomic<platform::Handle>*> lost_slot{nullptr};
};
// The run the bridge serves from now on (set before any command runs); without one it works
// silently with the initial options.
void UseBridgeRun(BridgeRun* run);
BridgeRun& BridgeRunOf();
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
