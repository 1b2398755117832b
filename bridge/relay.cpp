// The relay threads: one copies GsmPort to PeerPort, the other PeerPort to GsmPort, each pass
// one read of at most 1024 bytes, one write of what was read, and one log line when the
// display mode asks for that direction.
//
// An idle relay sleeps: it waits for the source port's events (data or a line error) before it
// reads, and then reads what the receive queue holds, so a byte is forwarded as soon as it is
// there, whatever time-outs the port has. The release wakes it by closing the ports and
// terminating it; a relay thread that finds a bridge port gone (the device hung up) logs one
// line naming it and stops the other direction too.
#include "bridge/bridge.h"
#include "bridge/relay.h"
#include "shell/log.h"
#include "shell/options.h"

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
    std::atomic<const char*>* source_name;
    std::atomic<const char*>* destination_name;
    std::atomic<platform::Handle>* other_thread;
    const char* failure_text;
    const char* line_format;
    std::int32_t logged_mode;
    std::int32_t logged_mode_too;
    bool print_written;
};
constexpr RelayRow GsmToPeer{&GsmPort, &PeerPort, &GsmPortName, &PeerPortName, &PeerToGsmThread,
                             "Fail to write to BT/Irda\r\n", "%d bytes <-BT<-FF<- <<<\r\n", 2, 3, true};
constexpr RelayRow PeerToGsm{&PeerPort, &GsmPort, &PeerPortName, &GsmPortName, &GsmToPeerThread,
                             "Fail to write FF(GSM)", ">>> %d bytes ->BT->FF->\r\n", 1, 3, false};

enum class Ready { Data, Stop, Lost };

// True while this thread should go on with the ports it took: not released, not terminated,
// no port lost, and the handles still the ones in use.
bool StillRelaying(const RelayRow& row, platform::Handle source, platform::Handle destination) {
    return RelayRunning.load() != 0 && RelayLost.load() == 0 && !platform::ThreadStopRequested() &&
           row.source->load() == source && row.destination->load() == destination;
}

// Waits until the source has data and sets *want to what a read should ask for: what the
// receive queue holds (at most a buffer), or a whole buffer when the queue cannot tell. The
// event wait returns at once while bytes are queued; *backlog (more queued than the last read
// took) skips it.
Ready WaitForData(const RelayRow& row, platform::Handle source, platform::Handle destination, bool* backlog,
                  std::uint32_t* want) {
    for (;;) {
        if (!*backlog) {
            std::uint32_t events = 0;
            const bool woke = platform::WaitCommEvent(source, &events);
            if (!StillRelaying(row, source, destination)) return Ready::Stop;
            if (!woke) {
                // Not a release, not a stop: a port that refuses the wait is read with its own
                // time-outs instead (it cannot spin: the read sleeps in the port layer).
                if (platform::PortLost(source)) return Ready::Lost;
                *want = RelayBufferSize;
                return Ready::Data;
            }
        }
        // Data or a line error: the queue and the error state tell which.
        std::uint32_t errors = 0;
        platform::ComStat status{};
        const bool cleared = platform::ClearCommError(source, &errors, &status);
        if (!StillRelaying(row, source, destination)) return Ready::Stop;
        if (!cleared || (errors & platform::CeIoe) != 0) return Ready::Lost;
        *backlog = status.in_queue > RelayBufferSize;
        if (status.in_queue > 0) {
            *want = *backlog ? RelayBufferSize : status.in_queue;
            return Ready::Data;
        }
    }
}

// One line for the lost port, from the first thread that finds it; the other direction is
// stopped too (terminate is sticky, so it cannot miss the wake-up). The relay start
// terminates both threads itself when it stored a handle after a loss was marked.
void ReportLost(const RelayRow& row, platform::Hwnd window, std::atomic<platform::Handle>* slot,
                const char* port_name, char* line) {
    if (platform::ThreadStopRequested() || RelayLost.exchange(1) != 0) return;
    LostSlot.store(slot);
    platform::Handle other = row.other_thread->load();
    if (other != platform::InvalidHandle && other != 0) platform::TerminateThread(other, 0);
    platform::FormatText(line, RelayLineSize, "%s was lost, relaying stopped\r\n",
                         port_name ? port_name : "");
    shell::AppendLog(window, line);
    platform::PostMessage(window, PortLostMessage, 0, 0);  // the window decides: idle, end or reopen
}

std::uint32_t Relay(const RelayRow& row, platform::Hwnd window) {
    platform::SetThreadPriority(platform::GetCurrentThread(), platform::ThreadPriorityNormal);
    unsigned char buffer[RelayBufferSize];
    char line[RelayLineSize];
    platform::Handle armed = platform::InvalidHandle;
    bool backlog = false;
    while (RelayRunning.load() != 0 && RelayLost.load() == 0 && !platform::ThreadStopRequested()) {
        const platform::Handle source = row.source->load();
        const platform::Handle destination = row.destination->load();
        if (source == platform::InvalidHandle || destination == platform::InvalidHandle) break;
        // This thread is the only one waiting on its source's events.
        if (source != armed) {
            platform::SetCommMask(source, platform::EvRxChar | platform::EvErr);
            armed = source;
        }
        std::uint32_t want = 0;
        const Ready ready = WaitForData(row, source, destination, &backlog, &want);
        if (ready == Ready::Stop) continue;  // released, stopped, or the ports changed: look again
        if (ready == Ready::Lost) {
            ReportLost(row, window, row.source, row.source_name->load(), line);
            break;
        }
        std::uint32_t read = 0;
        if (platform::ReadFile(source, buffer, want, &read) && read > 0) {
            std::uint32_t written = 0;
            if (!platform::WriteFile(destination, buffer, read, &written)) {
                if (!StillRelaying(row, source, destination)) continue;  // released meanwhile
                if (platform::PortLost(destination)) {
                    ReportLost(row, window, row.destination, row.destination_name->load(), line);
                    break;
                }
                platform::MessageBox(platform::NoWindow, row.failure_text, row.failure_text, 0);
            }
            const std::int32_t mode = shell::DisplayMode.load();
            if (written != 0 && (mode == row.logged_mode || mode == row.logged_mode_too)) {
                platform::FormatText(line, RelayLineSize, row.line_format,
                                     static_cast<int>(row.print_written ? written : read));
                shell::AppendLog(window, line);
            }
        }
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
    RelayLost.store(0);
    StartRelayThread(&GsmToPeerThread, RelayGsmToPeer, window);
    StartRelayThread(&PeerToGsmThread, RelayPeerToGsm, window);
    // A thread that lost a port before its sibling's handle was stored could not stop it.
    if (RelayLost.load() != 0) {
        platform::TerminateThread(GsmToPeerThread.load(), 0);
        platform::TerminateThread(PeerToGsmThread.load(), 0);
    }
    if (GsmToPeerThread.load() != 0 && PeerToGsmThread.load() != 0) {
        shell::AppendLog(window, "Baudrate:115200,Parity:none\r\nStopbits:1,Databits:8\r\n");
    }
    return 0;
}

}  // namespace bridge
