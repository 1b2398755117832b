// Implemented in platform/base/ending.cpp.
// What the process gives back on every ending that runs code: the exclusive hold (TIOCEXCL) of
// the serial ports it still has open, and the directories named for removal. A normal end
// (return from main, exit) does it from an atexit handler; a fatal signal (SIGSEGV, SIGABRT, ...)
// as two steps of the one fatal handler (base/signals.h: ports first, the terminal restored,
// then the directories), with only async-signal-safe calls. Close signals are not here: they
// end the program through its normal shut-down.
//
// Index: NoteExclusivePort ForgetExclusivePort GiveBackNow
#pragma once

namespace platform::internal {

// A port descriptor held with TIOCEXCL; forgotten before the port drops the hold itself.
void NoteExclusivePort(int fd);
void ForgetExclusivePort(int fd);
// Async-signal-safe: every noted port out of exclusive mode, every named directory removed.
void GiveBackNow();

}  // namespace platform::internal
