// The relay threads: one copies GsmPort to PeerPort, the other PeerPort to GsmPort, each pass
// one read of at most 1024 bytes, one write of what was read, and one log line when the
// display mode asks for that direction.
//
// A relay reads what the receive queue holds first, whatever time-outs the port has, and
// sleeps in the source port's event wait (data or a line error) only when it found nothing, so
// a byte is forwarded as soon as it is there and a busy line costs a read and a write a pass. The release wakes it by closing the ports and
// terminating it; a relay thread that finds a bridge port gone (the device hung up) logs one
// line naming it and stops the other direction too.
//
// The log lines are posted to the window's thread (platform::SayPostedLine), not sent one by one: a
// relay thread waits for the window's thread only while the lines posted before fill its bound.
#include "bridge/bridge.h"
#include "bridge/relay.h"

namespace bridge {

namespace {

constexpr std::uint32_t RelayBufferSize = 1024;
constexpr std::size_t RelayLineSize = 128;

// One row per direction. Columns: source, destination, their names, the other direction's
// thread, write-failure text, log line, the two DisplayMode values that log it, and whether
// the line prints the bytes written (else the bytes read).
struct RelayRow {
    std::atomic<platform::Handle>* source;
    std::atomic<platform::Handle>* destination;
    std::atomic<const char*> BridgeRun::*source_name;
    std::atomic<const char*> BridgeRun::*destination_name;
    std::atomic<platform::Handle>* other_thread;
    const char* failure_text;
    const char* line_format;
    std::int32_t logged_mode;
    std::int32_t logged_mode_too;
    bool print_written;
};
constexpr RelayRow GsmToPeer{&GsmPort, &PeerPort, &BridgeRun::gsm_port_name, &BridgeRun::peer_port_name, &PeerToGsmThread,
                             "Fail to write to BT/Irda\r\n", "%d bytes <-BT<-FF<- <<<\r\n", 2, 3, true};
constexpr RelayRow PeerToGsm{&PeerPort, &GsmPort, &BridgeRun::peer_port_name, &BridgeRun::gsm_port_name, &GsmToPeerThread,
                             "Fail to write FF(GSM)", ">>> %d bytes ->BT->FF->\r\n", 1, 3, false};

// How a run of reads on one pair of handles ended.
enum class Pass { Stop, Lost };

// True while this thread should go on with the ports it took: not released, not terminated,
// no port lost, and the handles still the ones in use.
bool StillRelaying(const RelayRow& row, platform::Handle source, platform::Handle destination) {
    return RelayRunning.load() != 0 && BridgeRunOf().relay_lost.load() == 0 && !platform::ThreadStopRequested() &&
           row.source->load() == source && row.destination->load() == destination;
}

// One line for the lost port, from the first thread that finds it; the other direction is
// stopped too (terminate is sticky, so it cannot miss the wake-up). The relay start
// terminates both threads itself when it stored a handle after a loss was marked.
void ReportLost(const RelayRow& row, platform::Hwnd window, std::atomic<platform::Handle>* slot,
                const char* port_name, char* line) {
    if (platform::ThreadStopRequested() || BridgeRunOf().relay_lost.exchange(1) != 0) return;
    BridgeRunOf().lost_slot.store(slot);
    platform::Handle other = row.other_thread->load();
    if (other != platform::InvalidHandle && other != 0) platform::TerminateThread(other, 0);
    platform::FormatText(line, RelayLineSize, "%s was lost, relaying stopped\r\n",
                         port_name ? port_name : "");
    platform::SayPostedLine(Lines(), window, line);  // after this thread's lines; the other's end with its terminate
    platform::PostMessage(window, PortLostMessage, 0, 0);  // the window decides: idle, end or reopen
}

// Writes what was read and logs it when the display mode asks; Lost when the destination went.
bool Forward(const RelayRow& row, platform::Hwnd window, platform::Handle source, platform::Handle destination,
             const unsigned char* buffer, std::uint32_t read, char* line) {
    std::uint32_t written = 0;
    if (!platform::WriteFile(destination, buffer, read, &written)) {
        if (!StillRelaying(row, source, destination)) return true;  // released meanwhile
        if (platform::PortLost(destination)) {
            ReportLost(row, window, row.destination, (BridgeRunOf().*row.destination_name).load(), line);
            return false;
        }
        platform::WaitForPostedText(window);  // the box comes after the lines before it
        platform::MessageBox(platform::NoWindow, row.failure_text, row.failure_text, 0);
    }
    const std::int32_t mode = RelayDisplayMode();
    if (written != 0 && (mode == row.logged_mode || mode == row.logged_mode_too)) {
        platform::FormatText(line, RelayLineSize, row.line_format,
                             static_cast<int>(row.print_written ? written : read));
        platform::SayPostedLine(Lines(), window, line);
    }
    return true;
}

// Relays on one pair of handles until it is released or stopped, a port is lost or the
// handles change. Each pass reads what is queued first and waits only when nothing is: a busy
// source costs one read and one write per buffer. The ports' state is asked only when a read
// or a write brings nothing or fails.
Pass RelayPair(const RelayRow& row, platform::Hwnd window, platform::Handle source, platform::Handle destination,
               unsigned char* buffer, char* line) {
    bool woken = false;     // the last wait ended with an event
    bool use_read = false;  // the source refused the event wait: its own time-outs pace the reads
    for (;;) {
        std::uint32_t read = 0;
        const bool ok = use_read ? platform::ReadFile(source, buffer, RelayBufferSize, &read)
                                 : platform::ReadQueued(source, buffer, RelayBufferSize, &read);
        if (ok && read > 0) {
            if (!Forward(row, window, source, destination, buffer, read, line)) return Pass::Lost;
            woken = false;
            continue;
        }
        // Nothing came: released, stopped, the ports changed, or a line error or hang-up.
        if (!StillRelaying(row, source, destination)) return Pass::Stop;
        if ((!ok || woken) && platform::PortLost(source)) {
            ReportLost(row, window, row.source, (BridgeRunOf().*row.source_name).load(), line);
            return Pass::Lost;
        }
        std::uint32_t events = 0;
        woken = platform::WaitCommEvent(source, &events);
        // Not a release, not a stop: a port that refuses the wait is read with its own
        // time-outs instead (it cannot spin: the read sleeps in the port layer).
        use_read = !woken;
    }
}

std::uint32_t Relay(const RelayRow& row, platform::Hwnd window) {
    platform::SetThreadPriority(platform::GetCurrentThread(), platform::ThreadPriorityNormal);
    unsigned char buffer[RelayBufferSize];
    char line[RelayLineSize];
    platform::Handle armed = platform::InvalidHandle;
    while (RelayRunning.load() != 0 && BridgeRunOf().relay_lost.load() == 0 && !platform::ThreadStopRequested()) {
        const platform::Handle source = row.source->load();
        const platform::Handle destination = row.destination->load();
        if (source == platform::InvalidHandle || destination == platform::InvalidHandle) break;
        // This thread is the only one waiting on its source's events.
        if (source != armed) {
            platform::SetCommMask(source, platform::EvRxChar | platform::EvErr);
            armed = source;
        }
        if (RelayPair(row, window, source, destination, buffer, line) == Pass::Lost) break;
        if (GsmPort.load() == platform::InvalidHandle || PeerPort.load() == platform::InvalidHandle) break;
    }
    return 0;
}

platform::Hwnd WindowOf(void* parameter) {
    return static_cast<platform::Hwnd>(reinterpret_cast<std::uintptr_t>(parameter));
}

// Starts a relay thread unless the one in *thread still runs. A replaced handle belongs to an
// ended thread: closing it lets the platform reap that thread.
void StartRelayThread(std::atomic<platform::Handle>* thread, platform::ThreadProc proc,
                      platform::Hwnd window) {
    const platform::Handle previous = thread->load();
    std::uint32_t code = 0;
    if (platform::GetExitCodeThread(previous, &code) && code == platform::StillActive) return;
    void* parameter = reinterpret_cast<void*>(static_cast<std::uintptr_t>(window));
    thread->store(platform::CreateThread(proc, parameter));
    if (previous != platform::InvalidHandle && previous != 0) platform::CloseHandle(previous);
}

}  // namespace

std::uint32_t RelayGsmToPeer(void* window) { return Relay(GsmToPeer, WindowOf(window)); }
std::uint32_t RelayPeerToGsm(void* window) { return Relay(PeerToGsm, WindowOf(window)); }

std::int32_t StartRelays(platform::Hwnd window) {
    RelayRunning.store(1);
    BridgeRunOf().relay_lost.store(0);
    StartRelayThread(&GsmToPeerThread, RelayGsmToPeer, window);
    StartRelayThread(&PeerToGsmThread, RelayPeerToGsm, window);
    // A thread that lost a port before its sibling's handle was stored could not stop it.
    if (BridgeRunOf().relay_lost.load() != 0) {
        platform::TerminateThread(GsmToPeerThread.load(), 0);
        platform::TerminateThread(PeerToGsmThread.load(), 0);
    }
    if (GsmToPeerThread.load() != 0 && PeerToGsmThread.load() != 0) {
        platform::SayLine(Lines(), window, "Baudrate:115200,Parity:none\r\nStopbits:1,Databits:8\r\n");
    }
    return 0;
}

}  // namespace bridge
