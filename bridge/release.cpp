// Releasing the bridge: both ports closed, both handles invalid, the relay threads asked to
// end. The release never waits for a relay thread: one that waits for room in the log backlog
// waits for the window's thread, which is the thread running the release. Closing a port wakes a
// relay thread out of its wait on it, and terminating a thread wakes it out of any wait (the
// backlog's too: a line that does not fit is dropped) and makes every later wait of it return
// at once, so a relay thread leaves its loop on its own right after; it never touches a closed
// port, whose handle value is never reused.
#include "bridge/bridge.h"
#include "bridge/relay.h"

namespace bridge {

std::atomic<platform::Handle> GsmPort{platform::InvalidHandle};
std::atomic<platform::Handle> PeerPort{platform::InvalidHandle};
std::atomic<std::int32_t> RelayRunning{0};
std::atomic<platform::Handle> GsmToPeerThread{platform::InvalidHandle};
std::atomic<platform::Handle> PeerToGsmThread{platform::InvalidHandle};

namespace {

platform::RunSlot<BridgeRun> Slot;  // a caller that never handed a run: silent, initial options
constexpr std::int32_t InitialOption = 3;  // IrDA peer; both relay directions logged

// A thread still running is ended with the code a relay thread returns when it leaves its loop.
void EndIfRunning(platform::Handle thread) {
    std::uint32_t code = 0;
    if (platform::GetExitCodeThread(thread, &code) && code == platform::StillActive) {
        platform::TerminateThread(thread, 0);
    }
}

}  // namespace

void UseBridgeRun(BridgeRun* run) { Slot.Use(run); }
BridgeRun& BridgeRunOf() { return Slot.Get(); }
const platform::LineReport& Lines() { return BridgeRunOf().report.lines; }

std::int32_t BridgePeerOption() {
    auto peer = BridgeRunOf().report.peer;
    return peer != nullptr ? peer() : InitialOption;
}

std::int32_t RelayDisplayMode() {
    auto mode = BridgeRunOf().report.display_mode;
    return mode != nullptr ? mode() : InitialOption;
}

void ReleaseBridgeSteps() {
    platform::Handle gsm = GsmPort.load();
    platform::Handle peer = PeerPort.load();
    RelayRunning.store(0);
    BridgeRunOf().relay_lost.store(0);
    // Invalidate before closing: a relay thread reading the handle afresh stops using it, and a
    // closed handle's value is never reused, so a stale copy reaches no other device.
    GsmPort.store(platform::InvalidHandle);
    PeerPort.store(platform::InvalidHandle);
    if (gsm != platform::InvalidHandle) platform::CloseHandle(gsm);
    if (peer != platform::InvalidHandle) platform::CloseHandle(peer);
    EndIfRunning(GsmToPeerThread.load());
    EndIfRunning(PeerToGsmThread.load());
}

std::int32_t ReleaseBridge(platform::Hwnd window, std::uint16_t, platform::LParam, std::uint16_t) {
    ReleaseBridgeSteps();
    platform::SayFormattedLine(Lines(), window, "COMs released, R/W threads stopped\r\n");
    return 0;
}

}  // namespace bridge
