// Implemented in platform/base/signals.cpp.
// The one owner of signal handlers (signals.cpp). Every other file of the layer registers an
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
// The window takes SIGINT, SIGTERM and SIGHUP through a signalfd instead, with no handler
// (window/close_signals.cpp): BlockSignals here. An added ending registers an action for a
// step (or adds a step where it must run); it never installs a handler of its own. Actions run
// inside a handler: async-signal-safe calls only.
//
// Index: SignalStep SignalAction SetSignalAction IgnoreSignal BlockSignals DefaultSignalsInChild
#pragma once

#include <signal.h>

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
// Blocks `set` in the calling thread (and the threads it starts), for a signalfd to read.
void BlockSignals(const sigset_t& set);
// After fork, before exec: the stop signals take their default action again. Async-signal-safe.
void DefaultSignalsInChild();

}  // namespace platform::internal
