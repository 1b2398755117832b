// Implemented in shell/log.cpp and shell/log_backlog.cpp.
// The two output channels the whole tool writes on: the log pane (child 5 of the main window) and
// the trace channel (the platform's debug output).
//
// AppendLog sends the pane's replace-selection request, so an append from a worker thread waits
// until the window's thread has inserted the text. A null window makes an append silent.
// On the window's thread, AppendLog first takes the backlog below, so its line never overtakes
// lines queued before it.
//
// The relay threads log every read: they queue their lines (QueueLog) instead of waiting for a
// round trip each. The first line into an empty backlog posts LogPendingMessage to the window;
// its handler (TakePendingLog) appends everything pending in one edit. The backlog holds at
// most LogBacklogBytes: a thread finding it full sleeps until the window's thread takes it, the
// thread is terminated (its line is then dropped) or the window goes (CloseLogBacklog: the
// lines are dropped).
// MessageBuffer is the line buffer a handler formats into before appending; each thread has
// its own, so the updater's formatting never disturbs a line the window's thread is building.
//
// ReportOpenFailure explains a device that did not open (platform::ExplainOpenFailure) on the
// trace and to OpenFailureObserver (stderr for `update` and `bridge`); the pane keeps its texts.
// ReportControlFailure does the same for a radio or kernel control that failed once its device
// was open (ControlFailureObserver: stderr and the events of `update`).
//
// Index: AppendLog AppendLogUnlessQuiet TracePrint MessageBuffer FormatAndAppend ReportOpenFailure
// OpenFailureObserver ReportControlFailure ControlFailure ControlFailureObserver | LogBacklogBytes
// LogPendingMessage QueueLog WaitForQueuedLog TakePendingLog CloseLogBacklog PendingLogBytes
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace shell {

inline constexpr int LogPaneId = 5;
inline constexpr std::size_t MessageBufferSize = 1024;  // 512 wide characters on the handset

void AppendLog(platform::Hwnd window, const char* text);
// Drops the text while DisplayMode (shell/options.h) is 0.
void AppendLogUnlessQuiet(platform::Hwnd window, const char* text);
void TracePrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The calling thread's line buffer, MessageBufferSize bytes.
char* MessageBuffer();
// Formats into MessageBuffer, then AppendLog: the usual way a handler logs a formatted line.
void FormatAndAppend(platform::Hwnd window, const char* format, ...) __attribute__((format(printf, 2, 3)));

// The backlog of queued lines: bytes of text it holds at most (a text larger than that goes
// alone), and the message that tells the window's thread to take it (application range).
inline constexpr std::size_t LogBacklogBytes = 64 * 1024;
inline constexpr std::uint32_t LogPendingMessage = 0x8000 + LogPaneId;

// AppendLog without waiting for the window's thread, for whole lines of a worker: the text is
// copied; it waits only while the backlog is full. A terminated thread never waits: its line is
// dropped when it does not fit at once. Dropped too for a null or vanished window.
void QueueLog(platform::Hwnd window, const char* text);
// Waits until everything queued so far has reached the pane (or been dropped), so that what
// the worker does next (a message box) comes after its lines.
void WaitForQueuedLog();
// On the window's thread (the handler of LogPendingMessage): appends everything queued for
// `window`, in order, in one edit; where that edit would pass the pane's capacity, line by line,
// so that the pane drops its oldest lines exactly as it would for lines appended one by one.
void TakePendingLog(platform::Hwnd window);
// The window goes: what is queued for it, or comes for it later, is dropped, and no thread waits
// for it any more.
void CloseLogBacklog(platform::Hwnd window);
// Bytes queued and not yet taken.
std::size_t PendingLogBytes();

using OpenFailureObserverFn = void (*)(const char* explanation);
extern std::atomic<OpenFailureObserverFn> OpenFailureObserver;  // null: the trace only
void ReportOpenFailure(const char* device, std::uint32_t error);

// A control that failed: the device ("RIL1:", "KernelIoControl"), the action ("reset",
// "reboot", ...), the error code, the line that explains it, and an adapter program's last line.
struct ControlFailure {
    const char* device;
    const char* action;
    std::uint32_t error;
    const char* explanation;
    const char* adapter_line;  // "" when none
};
using ControlFailureObserverFn = void (*)(const ControlFailure& failure);
extern std::atomic<ControlFailureObserverFn> ControlFailureObserver;  // null: the trace only
// Call on the thread that issued the control, right after it failed.
void ReportControlFailure(const char* device, std::uint32_t code, std::uint32_t error);

}  // namespace shell
