// Releasing the bridge: both ports closed, both handles invalid, the relay threads asked to
// end. The release never waits for a relay thread: one that waits for room in the log backlog
// waits for the window's thread, which is the thread running the release. Closing a port wakes a
// relay thread out of its wait on it, and terminating a thread wakes it out of any wait (the
// backlog's too: a line that does not fit is dropped) and makes every later wait of it return
// at once, so a relay thread leaves its loop on its own right after; it never touches a closed
// port, whose handle value is never reused.
#include "bridge/bridge.h"
#include "bridge/relay.h"

#include <cstdarg>
#include <string>

namespace bridge {

std::atomic<platform::Handle> GsmPort{platform::InvalidHandle};
std::atomic<platform::Handle> PeerPort{platform::InvalidHandle};
std::atomic<std::int32_t> RelayRunning{0};
std::atomic<platform::Handle> GsmToPeerThread{platform::InvalidHandle};
std::atomic<platform::Handle> PeerToGsmThread{platform::InvalidHandle};

namespace {

// A caller that never handed a run: silent, initial options. Made on first use (a run may be
// handed over while the program loads).
BridgeRun& Unattached() {
    static BridgeRun run;
    return run;
}
std::atomic<BridgeRun*> Attached{nullptr};
constexpr std::int32_t InitialOption = 3;  // IrDA peer; both relay directions logged
constexpr std::size_t LineSize = 1024;

// A thread still running is ended with the code a relay thread returns when it leaves its loop.
void EndIfRunning(platform::Handle thread) {
    std::uint32_t code = 0;
    if (platform::GetExitCodeThread(thread, &code) && code == platform::StillActive) {
        platform::TerminateThread(thread, 0);
    }
}

}  // namespace

void UseBridgeRun(BridgeRun* run) { Attached.store(run); }
BridgeRun& BridgeRunOf() {
    BridgeRun* run = Attached.load();
    return run != nullptr ? *run : Unattached();
}

void Say(platform::Hwnd window, const char* text) {
    if (auto line = BridgeRunOf().report.line; line != nullptr && window != 0) line(window, text);
}

void SayFormatted(platform::Hwnd window, const char* format, ...) {
    // Made in the report's line buffer when it has one (formatted even for a silent window).
    thread_local char own[LineSize];
    auto buffer = BridgeRunOf().report.line_buffer;
    char* text = buffer != nullptr ? buffer() : own;
    std::va_list args;
    va_start(args, format);
    platform::FormatTextV(text, LineSize, format, args);
    va_end(args);
    Say(window, text);
}

void SayPosted(platform::Hwnd window, const char* text) {
    if (auto line = BridgeRunOf().report.posted_line; line != nullptr && window != 0) line(window, text);
}

void ReportOpenFailure(const char* device, std::uint32_t error) {
    const std::string explanation = platform::ExplainOpenFailure(device, error);
    platform::TracePrint("%s\r\n", explanation.c_str());
    if (auto report = BridgeRunOf().report.open_failure) report(explanation.c_str());
}

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
    SayFormatted(window, "COMs released, R/W threads stopped\r\n");
    return 0;
}

}  // namespace bridge
