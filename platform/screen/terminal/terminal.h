// Implemented in platform/screen/terminal/keys.cpp, platform/screen/terminal/probe.cpp,
// platform/screen/terminal/signals.cpp and platform/screen/terminal/terminal.cpp.
// The terminal screen (ncurses) and what it needs from signals.
//
// How it works: TerminalScreen() checks that stdin and stdout are a terminal that terminfo knows
// and hands out the one terminal screen; curses starts when the first top-level window is made and
// ends (endwin) when the last one goes, at exit, or on a fatal signal. Signals that the screen must
// act on (a resize, a suspend, a continue) become one byte each on a pipe that the screen thread
// polls; fatal signals first put the terminal back as the shell had it, with nothing but
// async-signal-safe calls, and then take their usual course (a sanitizer's report included).
//
// Index: TerminalScreen TerminalTypeKnown TerminalAddressesCursor | TerminalSignalPipe InstallTerminalSignals ArmTerminalRestore
// DisarmTerminalRestore RearmTerminalRestore RestoreTerminalNow | VirtualKeyOf
#pragma once

#include <termios.h>

#include <cstdint>
#include <string_view>

#include "platform/window/window.h"

namespace platform::internal {

class Screen;

// The terminal screen, or nullptr with errno: ENOTTY when stdin or stdout is no terminal, ENOENT
// when TERM names a terminal that terminfo does not know, ENOTSUP when that terminal cannot move
// its cursor to a given place.
Screen* TerminalScreen();
// True when terminfo knows the terminal that TERM names (only a look: no mode changes).
bool TerminalTypeKnown();
// True when that terminal has cursor addressing (terminfo's cup).
bool TerminalAddressesCursor();

// Bytes on the pipe's read end: 'W' the window size changed, 'Z' a suspend was asked for (Ctrl+Z),
// 'C' the process was continued. -1 before InstallTerminalSignals.
int TerminalSignalPipe();
// Once per process: SIGWINCH, SIGTSTP and SIGCONT to the pipe; a fatal signal restores the
// terminal (both steps of base/signals.h). Before curses starts, so that ncurses installs no
// handlers of its own.
void InstallTerminalSignals();
// What a fatal path writes to `fd` (the sequences that leave curses mode) and the terminal modes it
// sets again. Kept until disarmed; the sequence is cut at 255 bytes.
void ArmTerminalRestore(int fd, const termios& shell_modes, std::string_view sequence);
void DisarmTerminalRestore();
// Armed again with what the last ArmTerminalRestore gave (curses is back after an endwin).
void RearmTerminalRestore();
// Async-signal-safe; does nothing unless armed. Disarms.
void RestoreTerminalNow();

// The WM_KEYDOWN of a key read by curses: the virtual key in *virtual_key, the character it types
// and the modifier bits in *key_data. `is_key_code`: `code` is a curses KEY_ value, otherwise a
// character. False for keys that have no virtual key.
bool VirtualKeyOf(bool is_key_code, std::uint32_t code, bool alt, WParam* virtual_key, LParam* key_data);

}  // namespace platform::internal
