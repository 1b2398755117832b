// The handlers behind signals.h. Actions sit in atomics, so a handler reads them without a lock;
// each group of signals gets its handler once, when the first of its steps gets an action.
#include "platform/base/signals.h"

#include <pthread.h>
#include <sys/signalfd.h>

#include <atomic>
#include <cerrno>
#include <initializer_list>
#include <iterator>
#include <utility>
#include <mutex>

namespace platform::internal {
namespace {

constexpr int StepCount = static_cast<int>(SignalStep::Count);
std::atomic<SignalAction> actions[StepCount];

void Run(SignalStep step, int signal_number) {
    if (SignalAction action = actions[static_cast<int>(step)].load()) action(signal_number);
}

constexpr int FatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGQUIT, SIGTRAP, SIGSYS};
constexpr int FatalCount = sizeof FatalSignals / sizeof FatalSignals[0];
constexpr int ScreenSignals[] = {SIGWINCH, SIGTSTP, SIGCONT};
// Ignored here (SIGPIPE), or maybe by whoever started this program: a child gets them back.
constexpr int IgnoredSignals[] = {SIGPIPE, SIGCHLD, SIGUSR1, SIGUSR2};
struct sigaction before[FatalCount];  // written once, before the handler is installed

void SetDefault(int signal_number) {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    ::sigemptyset(&fallback.sa_mask);
    ::sigaction(signal_number, &fallback, nullptr);
}

extern "C" void OnFatalSignal(int signal_number, siginfo_t* info, void* context) {
    int saved = errno;
    for (SignalStep step : {SignalStep::GiveBackPorts, SignalStep::RestoreTerminal, SignalStep::RemoveDirectories}) {
        Run(step, signal_number);
    }
    int index = 0;
    while (index < FatalCount && FatalSignals[index] != signal_number) ++index;
    if (index < FatalCount) {
        const struct sigaction& previous = before[index];
        if ((previous.sa_flags & SA_SIGINFO) && previous.sa_sigaction != nullptr) {
            errno = saved;
            previous.sa_sigaction(signal_number, info, context);
            return;
        }
        if (!(previous.sa_flags & SA_SIGINFO) && previous.sa_handler != SIG_DFL && previous.sa_handler != SIG_IGN) {
            errno = saved;
            previous.sa_handler(signal_number);
            return;
        }
    }
    // The default action: at once for a signal sent with kill, and again when a fault returns
    // to the instruction that caused it.
    SetDefault(signal_number);
    errno = saved;
    ::raise(signal_number);
}

extern "C" void OnScreenSignal(int signal_number) {
    int saved = errno;
    Run(SignalStep::WakeScreen, signal_number);
    errno = saved;
}

extern "C" void OnStopSignal(int signal_number) {
    int saved = errno;
    Run(SignalStep::WakeStopPipe, signal_number);
    errno = saved;
}

void InstallFatal() {
    struct sigaction fatal {};
    fatal.sa_sigaction = OnFatalSignal;
    ::sigemptyset(&fatal.sa_mask);
    fatal.sa_flags = SA_SIGINFO | SA_ONSTACK;
    for (int i = 0; i < FatalCount; ++i) {
        ::sigaction(FatalSignals[i], nullptr, &before[i]);
        if (!(before[i].sa_flags & SA_SIGINFO) && before[i].sa_handler == SIG_IGN) continue;
        ::sigaction(FatalSignals[i], &fatal, nullptr);
    }
}

// A screen's signals restart the calls they interrupt; a stop signal interrupts them.
template <std::size_t N>
void InstallPlain(void (*handler)(int), int flags, const int (&signal_numbers)[N]) {
    struct sigaction plain {};
    plain.sa_handler = handler;
    ::sigemptyset(&plain.sa_mask);
    plain.sa_flags = flags;
    for (int signal_number : signal_numbers) ::sigaction(signal_number, &plain, nullptr);
}

std::once_flag fatal_once, screen_once, stop_once;

}  // namespace

void SetSignalAction(SignalStep step, SignalAction action) {
    actions[static_cast<int>(step)].store(action);
    switch (step) {
    case SignalStep::GiveBackPorts:
    case SignalStep::RestoreTerminal:
    case SignalStep::RemoveDirectories:
        std::call_once(fatal_once, InstallFatal);
        break;
    case SignalStep::WakeScreen:
        std::call_once(screen_once, [] { InstallPlain(OnScreenSignal, SA_RESTART, ScreenSignals); });
        break;
    case SignalStep::WakeStopPipe:
        std::call_once(stop_once, [] { InstallPlain(OnStopSignal, 0, CloseSignals); });
        break;
    case SignalStep::Count:
        break;
    }
}

void IgnoreSignal(int signal_number) {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigemptyset(&ignore.sa_mask);
    ::sigaction(signal_number, &ignore, nullptr);
}

sigset_t CloseSignalSet() {
    sigset_t set;
    ::sigemptyset(&set);
    for (int signal_number : CloseSignals) ::sigaddset(&set, signal_number);
    return set;
}

void BlockSignal(int signal_number) {
    sigset_t set;
    ::sigemptyset(&set);
    ::sigaddset(&set, signal_number);
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void DefaultSignalsInChild() {
    for (const auto& [group, count] : {std::pair{FatalSignals, std::size(FatalSignals)},
                                       std::pair{ScreenSignals, std::size(ScreenSignals)},
                                       std::pair{CloseSignals, std::size(CloseSignals)},
                                       std::pair{IgnoredSignals, std::size(IgnoredSignals)}}) {
        for (std::size_t i = 0; i < count; ++i) SetDefault(group[i]);
    }
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
}

namespace {
std::atomic<int> signal_descriptor{-1};
}  // namespace

bool OpenSignalDescriptor() {
    if (signal_descriptor.load() >= 0) return true;
    const sigset_t set = CloseSignalSet();
    const int fd = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
    if (fd < 0) return false;
    BlockCloseSignals(nullptr);
    signal_descriptor.store(fd);
    return true;
}

int SignalDescriptor() { return signal_descriptor.load(); }

}  // namespace platform::internal

namespace platform {

void BlockAllSignals(sigset_t* previous) {
    sigset_t all;
    ::sigfillset(&all);
    ::pthread_sigmask(SIG_BLOCK, &all, previous);
}

void BlockCloseSignals(sigset_t* previous) {
    const sigset_t set = internal::CloseSignalSet();
    ::pthread_sigmask(SIG_BLOCK, &set, previous);
}

int WaitCloseSignal() {
    const sigset_t set = internal::CloseSignalSet();
    int signal_number = 0;
    while (::sigwait(&set, &signal_number) != 0) {
    }
    return signal_number;
}

void RestoreSignalMask(const sigset_t& mask) { ::pthread_sigmask(SIG_SETMASK, &mask, nullptr); }

}  // namespace platform
