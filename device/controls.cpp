#include "device/controls.h"

#include <cstdarg>

namespace device {
namespace {

// A caller that never handed a run: every report is silent. Made on first use (a run may be
// handed over while the program loads).
ControlRun& Unattached() {
    static ControlRun run;
    return run;
}
std::atomic<ControlRun*> Attached{nullptr};
constexpr std::size_t LineSize = 1024;

}  // namespace

void UseControls(ControlRun* run) { Attached.store(run); }
ControlRun& Controls() {
    ControlRun* run = Attached.load();
    return run != nullptr ? *run : Unattached();
}

void Say(platform::Hwnd window, const char* text) {
    if (auto line = Controls().report.line; line != nullptr && window != 0) line(window, text);
}

void SayUnlessQuiet(platform::Hwnd window, const char* text) {
    if (auto line = Controls().report.quiet_line; line != nullptr && window != 0) line(window, text);
}

void SayFormatted(platform::Hwnd window, const char* format, ...) {
    // Made in the report's line buffer when it has one (formatted even for a silent window).
    thread_local char own[LineSize];
    auto buffer = Controls().report.line_buffer;
    char* text = buffer != nullptr ? buffer() : own;
    std::va_list args;
    va_start(args, format);
    platform::FormatTextV(text, LineSize, format, args);
    va_end(args);
    Say(window, text);
}

std::string ReportOpenFailure(const char* device, std::uint32_t error) {
    const std::string explanation = platform::ExplainOpenFailure(device, error);
    platform::TracePrint("%s\r\n", explanation.c_str());
    if (auto report = Controls().report.open_failure) report(explanation.c_str());
    return explanation;
}

std::string ReportControlFailure(const char* device, std::uint32_t code, std::uint32_t error) {
    std::string adapter_line;
    const std::string explanation = platform::ExplainControlFailure(device, code, error, &adapter_line);
    platform::TracePrint("%s\r\n", explanation.c_str());
    if (auto report = Controls().report.control_failure) {
        const std::string action = platform::ControlName(code);
        report({device, action.c_str(), error, explanation.c_str(), adapter_line.c_str()});
    }
    return explanation;
}

}  // namespace device
