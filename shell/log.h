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
// ReportOpenFailure explains a device that did not open (platform::ExplainOpenFailure) on the
// trace and to OpenFailureObserver (stderr for `update` and `bridge`); the pane keeps its texts.
// ReportControlFailure does the same for a radio or kernel control that failed once its device
// was open (ControlFailureObserver: stderr and the events of `update`).
//
// Index: AppendLog PostLog AppendLogUnlessQuiet TracePrint MessageBuffer FormatAndAppend ReportOpenFailure
// OpenFailureObserver HoldOpenFailures ReportControlFailure ControlFailure ControlFailureObserver
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
void TracePrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The calling thread's line buffer, MessageBufferSize bytes.
char* MessageBuffer();
// Formats into MessageBuffer, then AppendLog: the usual way a handler logs a formatted line.
void FormatAndAppend(platform::Hwnd window, const char* format, ...) __attribute__((format(printf, 2, 3)));

using OpenFailureObserverFn = void (*)(const char* explanation);
extern std::atomic<OpenFailureObserverFn> OpenFailureObserver;  // null: the trace only
// Both return the explanation they reported.
std::string ReportOpenFailure(const char* device, std::uint32_t error);
// While `last` is set, the calling thread's open failures go to the trace and into *last
// instead of the observer: a caller retrying an open says only the failure it gives up on.
// Null ends the hold.
void HoldOpenFailures(std::string* last);

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
std::string ReportControlFailure(const char* device, std::uint32_t code, std::uint32_t error);

}  // namespace shell
