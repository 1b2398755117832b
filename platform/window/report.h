// Implemented in platform/window/report.cpp.
// How a layer of the tool reports upward without knowing who listens: the layer defines its
// own report record, whose lines are a LineReport filled by the layer above (the log pane,
// stderr); each entry may be null, and a null window makes a line silent. The layer is handed
// its part of the run once (RunSlot), and works with a default part until then.
//
// Index: LineReport SayLine SayQuietLine SayPostedLine SayFormattedLine ExplainAndReportOpenFailure
// RunSlot
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/window/window.h"

namespace platform {

struct LineReport {
    void (*line)(Hwnd window, const char* text) = nullptr;         // always shown
    void (*quiet_line)(Hwnd window, const char* text) = nullptr;   // unless the display is quiet
    void (*posted_line)(Hwnd window, const char* text) = nullptr;  // without waiting for the window
    void (*open_failure)(const char* explanation) = nullptr;       // a device that did not open
    char* (*line_buffer)() = nullptr;  // the calling thread's 1024-byte buffer for a formatted line
};

void SayLine(const LineReport& report, Hwnd window, const char* text);
void SayQuietLine(const LineReport& report, Hwnd window, const char* text);
void SayPostedLine(const LineReport& report, Hwnd window, const char* text);
// Made in the report's line buffer when it has one (formatted even for a silent window).
void SayFormattedLine(const LineReport& report, Hwnd window, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// Why the device did not open (ExplainOpenFailure), on the trace and to the report, or only
// into *held while the caller holds its failures (a retried open says the last one only).
std::string ExplainAndReportOpenFailure(const LineReport& report, const char* device, std::uint32_t error,
                                        std::string* held = nullptr);

// The part of the run a layer is handed; made on first use, so that a part handed over while
// the program loads is never overwritten by a later initialisation.
template <typename Part>
class RunSlot {
public:
    void Use(Part* part) { part_.store(part); }
    Part& Get() {
        Part* part = part_.load();
        return part != nullptr ? *part : Default();
    }

private:
    static Part& Default() {
        static Part part;
        return part;
    }
    std::atomic<Part*> part_{nullptr};
};

}  // namespace platform
