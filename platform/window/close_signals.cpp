// Close signals (base/signals.h: SIGINT, SIGTERM and SIGHUP) become WM_CLOSE for the top-level windows, so the
// normal shut-down runs (bridge released, screen restored). SIGPIPE is ignored, so a closed
// stdout or a vanished socket peer is an error result, not the end of the process.
//
// No handler runs for them: they are blocked in the thread that installs them (every thread
// started later inherits the mask) and stay pending in the kernel until GetMessage, which polls
// a signalfd, reads them and posts the close requests from the window thread's side. An
// asynchronous handler can be lost inside a runtime that intercepts signals (a sanitizer's);
// a pending signal cannot. Ctrl+C (a person at the terminal) is told from SIGTERM and SIGHUP
// (maybe nobody there).
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "platform/base/signals.h"
#include "platform/base/sys.h"
#include "platform/window/window_state.h"

namespace platform {
namespace internal {
namespace {

std::atomic<WParam> delivered_origin{0};  // the strongest close request taken from the descriptor

}  // namespace

void DeliverPendingSignals() {
    signalfd_siginfo infos[8];
    bool any = false;
    WParam origin = CloseByInterrupt;
    for (ssize_t n; (n = SysRead(SignalDescriptor(), infos, sizeof infos)) > 0;) {
        any = true;
        for (ssize_t i = 0; i < n / static_cast<ssize_t>(sizeof infos[0]); ++i) {
            if (infos[i].ssi_signo != SIGINT) origin = CloseBySystem;  // SIGTERM or SIGHUP: nobody may answer
        }
    }
    if (!any) return;  // another loop took them
    if (delivered_origin.load() < origin) delivered_origin.store(origin);
    for (Hwnd window : TopLevelWindows()) PostMessage(window, WM_CLOSE, origin, 0);
}

}  // namespace internal

WParam CloseSignalOrigin() {
    WParam origin = internal::delivered_origin.load();
    sigset_t pending;
    if (internal::SignalDescriptor() >= 0 && ::sigpending(&pending) == 0) {
        for (int signal_number : CloseSignals) {
            if (::sigismember(&pending, signal_number) != 1) continue;
            const WParam by = signal_number == SIGINT ? CloseByInterrupt : CloseBySystem;
            if (origin < by) origin = by;
        }
    }
    return origin;
}

void InstallCloseSignals() {
    static std::once_flag once;
    std::call_once(once, [] {
        internal::IgnoreSignal(SIGPIPE);
        // Without a descriptor the signals keep their default action: they still end the process.
        internal::OpenSignalDescriptor();
    });
}

}  // namespace platform
