// Signals of the terminal screen: the ones it acts on become bytes on a pipe that the screen thread
// polls; the fatal ones restore the terminal first (only async-signal-safe calls: write,
// tcsetattr, sigaction, raise) and then go on to the handler that was there before (a sanitizer's)
// or to the default action.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/screen/terminal/terminal.h"

namespace platform::internal {
namespace {

std::atomic<int> pipe_read{-1};
std::atomic<int> pipe_write{-1};

// Written only while disarmed; read by the fatal handler once armed is seen.
std::atomic<bool> armed{false};
int restore_fd = -1;
termios restore_modes{};
char restore_bytes[256];
std::size_t restore_length = 0;

constexpr int FatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGQUIT, SIGTRAP, SIGSYS};
constexpr int FatalCount = sizeof FatalSignals / sizeof FatalSignals[0];
struct sigaction previous[FatalCount];

extern "C" void OnScreenSignal(int signal_number) {
    int saved = errno;
    char byte = signal_number == SIGWINCH ? 'W' : signal_number == SIGTSTP ? 'Z' : 'C';
    // A full pipe already holds a byte that wakes the screen: this one may be dropped.
    [[maybe_unused]] ssize_t n = ::write(pipe_write.load(), &byte, 1);
    errno = saved;
}

extern "C" void OnFatalSignal(int signal_number, siginfo_t* info, void* context) {
    int saved = errno;
    RestoreTerminalNow();
    int index = 0;
    while (index < FatalCount && FatalSignals[index] != signal_number) ++index;
    if (index < FatalCount) {
        const struct sigaction& before = previous[index];
        if ((before.sa_flags & SA_SIGINFO) && before.sa_sigaction != nullptr) {
            errno = saved;
            before.sa_sigaction(signal_number, info, context);
            return;
        }
        if (!(before.sa_flags & SA_SIGINFO) && before.sa_handler != SIG_DFL && before.sa_handler != SIG_IGN) {
            errno = saved;
            before.sa_handler(signal_number);
            return;
        }
    }
    // The default action: at once for a signal sent with kill, and again when a fault returns
    // to the instruction that caused it.
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    ::sigemptyset(&fallback.sa_mask);
    ::sigaction(signal_number, &fallback, nullptr);
    errno = saved;
    ::raise(signal_number);
}

}  // namespace

int TerminalSignalPipe() { return pipe_read.load(); }

void InstallTerminalSignals() {
    static std::once_flag once;
    std::call_once(once, [] {
        int fds[2];
        if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
            pipe_write.store(fds[1]);
            pipe_read.store(fds[0]);
            struct sigaction notify {};
            notify.sa_handler = OnScreenSignal;
            ::sigemptyset(&notify.sa_mask);
            notify.sa_flags = SA_RESTART;
            for (int signal_number : {SIGWINCH, SIGTSTP, SIGCONT}) ::sigaction(signal_number, &notify, nullptr);
        }
        struct sigaction fatal {};
        fatal.sa_sigaction = OnFatalSignal;
        ::sigemptyset(&fatal.sa_mask);
        fatal.sa_flags = SA_SIGINFO | SA_ONSTACK;
        for (int i = 0; i < FatalCount; ++i) {
            ::sigaction(FatalSignals[i], nullptr, &previous[i]);
            if (!(previous[i].sa_flags & SA_SIGINFO) && previous[i].sa_handler == SIG_IGN) continue;
            ::sigaction(FatalSignals[i], &fatal, nullptr);
        }
    });
}

void ArmTerminalRestore(int fd, const termios& shell_modes, std::string_view sequence) {
    armed.store(false);
    restore_fd = fd;
    restore_modes = shell_modes;
    restore_length = sequence.size() < sizeof restore_bytes ? sequence.size() : sizeof restore_bytes - 1;
    std::memcpy(restore_bytes, sequence.data(), restore_length);
    armed.store(true);
}

void DisarmTerminalRestore() { armed.store(false); }

void RearmTerminalRestore() {
    if (restore_fd >= 0) armed.store(true);
}

void RestoreTerminalNow() {
    if (!armed.exchange(false)) return;
    for (std::size_t done = 0; done < restore_length;) {
        ssize_t n = ::write(restore_fd, restore_bytes + done, restore_length - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    ::tcsetattr(restore_fd, TCSANOW, &restore_modes);
}

}  // namespace platform::internal
