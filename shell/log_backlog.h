// Implemented in shell/log_backlog.cpp.
// Log lines that worker threads queue for the log pane instead of waiting for a round trip to
// the window's thread each (the relay threads log every read).
//
// The first line into an empty backlog posts LogPendingMessage to the window, which answers it
// with LogBatchTimer, LogBatchDelayMs later. The window's procedure takes the backlog
// (TakePendingLog: everything pending in one edit) as it starts on any other message (that
// timer's or an earlier one), so the lines queued before a message come before whatever the message does (its
// own lines, a release, a lost port), and a line queued while a handler runs comes after that
// handler's lines, as a line sent to the window always did. The backlog holds at most
// LogBacklogBytes: a thread finding it full sleeps until the window's thread takes it, the
// thread is terminated (its line is then dropped) or the window goes (CloseLogBacklog: the lines
// are dropped).
//
// Index: LogBacklogBytes LogPendingMessage LogBatchDelayMs LogBatchTimer QueueLog WaitForQueuedLog
// TakePendingLog CloseLogBacklog PendingLogBytes
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"
#include "shell/log.h"

namespace shell {

// Bytes of text the backlog holds at most (a text larger than that goes alone), and the message
// that tells the window's thread to take it (application range).
inline constexpr std::size_t LogBacklogBytes = 64 * 1024;
inline constexpr std::uint32_t LogPendingMessage = 0x8000 + LogPaneId;
// A busy relay logs a line per read: its lines wait this long to go in one edit, and the
// window's timer that takes them.
inline constexpr std::uint32_t LogBatchDelayMs = 5;
inline constexpr std::uintptr_t LogBatchTimer = 0x8000 + LogPaneId;

// AppendLog without waiting for the window's thread, for whole lines of a worker: the text is
// copied; it waits only while the backlog is full. A terminated thread never waits: its line is
// dropped when it does not fit at once. Dropped too for a null or vanished window.
void QueueLog(platform::Hwnd window, const char* text);
// Waits until everything queued so far has reached the pane (or been dropped), so that what
// the worker does next (a message box) comes after its lines.
void WaitForQueuedLog();
// On the window's thread, as its procedure starts on a message: appends everything queued for
// `window`, in order, in one edit; where that edit would pass the pane's capacity, line by line,
// so that the pane drops its oldest lines exactly as it would for lines appended one by one.
void TakePendingLog(platform::Hwnd window);
// The window goes: what is queued for it, or comes for it later, is dropped, and no thread waits
// for it any more.
void CloseLogBacklog(platform::Hwnd window);
// Bytes queued and not yet taken.
std::size_t PendingLogBytes();

}  // namespace shell
