// Implemented in shell/log.cpp.
// The two output channels the whole tool writes on: the log pane (child 5 of the main window) and
// the trace channel (the platform's debug output).
//
// AppendLog sends the pane's replace-selection request, so an append from a worker thread waits
// until the window's thread has inserted the text. PostLog posts it instead (platform::PostText):
// a busy worker's lines reach the pane in batches, without a round trip each. A null window
// makes an append silent.
// MessageBuffer is the line buffer a handler formats into before appending; each thread has
// its own, so the updater's formatting never disturbs a line the window's thread is building.
//
// TracePrint is the platform's (the trace channel is its debug output); the layers below write
// on the trace themselves and report their lines through interfaces of their own, which the
// shell fills with the functions here (shell/run_context.h).
//
// Index: AppendLog PostLog AppendLogUnlessQuiet TracePrint MessageBuffer FormatAndAppend
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace shell {

inline constexpr int LogPaneId = 5;
inline constexpr std::size_t MessageBufferSize = 1024;  // 512 wide characters on the handset

void AppendLog(platform::Hwnd window, const char* text);
// AppendLog without waiting for the window's thread, for whole lines of a worker: the text is
// copied; it waits only while the texts posted before it fill the window layer's bound.
void PostLog(platform::Hwnd window, const char* text);
// Drops the text while DisplayMode (shell/options.h) is 0.
void AppendLogUnlessQuiet(platform::Hwnd window, const char* text);
using platform::TracePrint;
// The calling thread's line buffer, MessageBufferSize bytes.
char* MessageBuffer();
// Formats into MessageBuffer, then AppendLog: the usual way a handler logs a formatted line.
void FormatAndAppend(platform::Hwnd window, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace shell
