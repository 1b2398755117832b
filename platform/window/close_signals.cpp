// Close signals: SIGINT, SIGTERM and SIGHUP become WM_CLOSE for the top-level windows, so the
// normal shut-down runs (bridge released, screen restored). SIGPIPE is ignored, so a closed
// stdout or a vanished socket peer is an error result, not the end of the process.
//
// The handler only writes the signal's number to a self-pipe (async-signal-safe); GetMessage
// polls the pipe's read end and posts the close requests from the window thread's side, telling
// Ctrl+C (a person at the terminal) from SIGTERM and SIGHUP (maybe nobody there).
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "platform/base/sys.h"
#include "platform/window/window_state.h"

namespace platform {
namespace internal {
namespace {

std::atomic<int> read_end{-1};
volatile sig_atomic_t write_end = -1;

extern "C" void OnCloseSignal(int signal_number) {
    int saved = errno;
    char byte = static_cast<char>(signal_number);
    // A full pipe already holds a pending close request: the byte may be dropped.
    [[maybe_unused]] ssize_t n = ::write(write_end, &byte, 1);
    errno = saved;
}

}  // namespace

int SignalDescriptor() { return read_end.load(); }

void DeliverPendingSignals() {
    char bytes[64];
    bool any = false;
    WParam origin = CloseByInterrupt;
    for (ssize_t n; (n = SysRead(read_end.load(), bytes, sizeof bytes)) > 0;) {
        any = true;
        for (ssize_t i = 0; i < n; ++i) {
            if (bytes[i] != SIGINT) origin = CloseBySystem;  // SIGTERM or SIGHUP: nobody may answer
        }
    }
    if (!any) return;  // another loop took them
    for (Hwnd window : TopLevelWindows()) PostMessage(window, WM_CLOSE, origin, 0);
}

}  // namespace internal

void InstallCloseSignals() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        ::sigemptyset(&ignore.sa_mask);
        ::sigaction(SIGPIPE, &ignore, nullptr);

        int fds[2];
        if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) return;
        internal::write_end = fds[1];
        internal::read_end.store(fds[0]);
        struct sigaction close_request {};
        close_request.sa_handler = internal::OnCloseSignal;
        ::sigemptyset(&close_request.sa_mask);
        close_request.sa_flags = SA_RESTART;
        for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal_number, &close_request, nullptr);
    });
}

}  // namespace platform
