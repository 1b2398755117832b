// Implemented in platform/base/signals.cpp.
// The one owner of signal handlers and masks (signals.cpp). Every other file of the layer registers an
// action for a step; the handlers are installed here once, the first time a step of theirs gets
// an action, and run the registered actions in the order of the steps:
//
//   fatal signals (SIGSEGV SIGBUS SIGFPE SIGILL SIGABRT SIGQUIT SIGTRAP SIGSYS)
//     1 GiveBackPorts      held serial ports out of exclusive mode  (base/ending.cpp)
//     2 RestoreTerminal    the shell's terminal modes and screen     (screen/terminal/signals.cpp)
//     3 RemoveDirectories  the simulated handset's directory         (base/ending.cpp)
//     then the handler that was there before (a sanitizer's), else the default action
//   SIGWINCH SIGTSTP SIGCONT
//     4 WakeScreen         a byte on the terminal screen's pipe      (screen/terminal/signals.cpp)
//   SIGINT SIGTERM SIGHUP, while a parent watches its stations
//     5 WakeStopPipe       a byte on the stop pipe                   (base/spawn.cpp)
//
// The window takes the close signals (CloseSignals) through a signalfd instead, with no
// handler (window/close_signals.cpp): BlockCloseSignals here. An added ending registers an
// action for a step (or adds a step where it must run); it never installs a handler of its own.
// Actions run inside a handler: async-signal-safe calls only.
//
// Signal masks are set here too, and nowhere else: the window's thread, the threads of the
// network ports and of the simulated handset, `sim` in the foreground, and a child between its
// start and its exec (spawn.cpp).
//
// Index: CloseSignals BlockAllSignals BlockCloseSignals WaitCloseSignal RestoreSignalMask |
// SignalStep SignalAction SetSignalAction IgnoreSignal CloseSignalSet OpenSignalDescriptor SignalDescriptor BlockSignal
// DefaultSignalsInChild
#pragma once

#include <signal.h>

namespace platform {

// The close signals: a person's Ctrl+C, the system's end of the session or of the process.
inline constexpr int CloseSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Every signal blocked in the calling thread (and the threads it starts): a thread that must
// never take the program's signals, or a fork whose child must run no handler of this
// program. *previous (unless null) the mask before.
void BlockAllSignals(sigset_t* previous);
// The close signals blocked in the calling thread (and the threads it starts), *previous
// (unless null) the mask before, for WaitCloseSignal; RestoreSignalMask puts it back.
void BlockCloseSignals(sigset_t* previous);
// Sleeps until a blocked close signal is pending, takes it and returns its number.
int WaitCloseSignal();
void RestoreSignalMask(const sigset_t& mask);

}  // namespace platform

namespace platform::internal {

enum class SignalStep : int {
    GiveBackPorts,
    RestoreTerminal,
    RemoveDirectories,
    WakeScreen,
    WakeStopPipe,
    Count
};
using SignalAction = void (*)(int signal_number);

// Sets the action of `step` (nullptr: none) and installs its signals' handler once.
void SetSignalAction(SignalStep step, SignalAction action);
// SIGPIPE and the like: an error result instead of the end of the process.
void IgnoreSignal(int signal_number);
// The close signals as a set, for a signalfd to read.
sigset_t CloseSignalSet();
// The close signals as a descriptor (a signalfd), made once: they are blocked in the calling
// thread from then on and stay pending until read. False when none can be made (they keep
// their default action). SignalDescriptor: that descriptor, -1 before or without one; a wait
// that a close signal must end polls it too (the window's GetMessage, a device program's run).
bool OpenSignalDescriptor();
int SignalDescriptor();
// One signal blocked in the calling thread (SIGPIPE where a library's writes cannot ask for
// EPIPE).
void BlockSignal(int signal_number);
// After fork, before exec: every signal this program handles or ignores takes its default
// action again, then none is blocked, as a program expects to start. Async-signal-safe.
void DefaultSignalsInChild();

}  // namespace platform::internal
