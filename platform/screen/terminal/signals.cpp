// Signals of the terminal screen, as two steps of the one signal owner (base/signals.h): the ones
// it acts on become bytes on a pipe that the screen thread polls; a fatal one restores the
// terminal (only async-signal-safe calls: write, tcsetattr) between giving back the ports and
// removing the handset's directory.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/base/signals.h"
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

void WakeScreenPipe(int signal_number) {
    char byte = signal_number == SIGWINCH ? 'W' : signal_number == SIGTSTP ? 'Z' : 'C';
    // A full pipe already holds a byte that wakes the screen: this one may be dropped.
    [[maybe_unused]] ssize_t n = ::write(pipe_write.load(), &byte, 1);
}

void RestoreOnFatal(int) { RestoreTerminalNow(); }

}  // namespace

int TerminalSignalPipe() { return pipe_read.load(); }

void InstallTerminalSignals() {
    static std::once_flag once;
    std::call_once(once, [] {
        int fds[2];
        if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) {
            pipe_write.store(fds[1]);
            pipe_read.store(fds[0]);
            SetSignalAction(SignalStep::WakeScreen, WakeScreenPipe);
        }
        SetSignalAction(SignalStep::RestoreTerminal, RestoreOnFatal);
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
