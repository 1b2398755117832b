#include "platform/window/report.h"

#include <cstdarg>

#include "platform/base/format.h"
#include "platform/devices/explain.h"

namespace platform {
namespace {

constexpr std::size_t LineSize = 1024;

void Send(void (*to)(Hwnd, const char*), Hwnd window, const char* text) {
    if (to != nullptr && window != 0) to(window, text);
}

}  // namespace

void SayLine(const LineReport& report, Hwnd window, const char* text) { Send(report.line, window, text); }
void SayQuietLine(const LineReport& report, Hwnd window, const char* text) { Send(report.quiet_line, window, text); }
void SayPostedLine(const LineReport& report, Hwnd window, const char* text) { Send(report.posted_line, window, text); }

void SayFormattedLine(const LineReport& report, Hwnd window, const char* format, ...) {
    thread_local char own[LineSize];
    char* text = report.line_buffer != nullptr ? report.line_buffer() : own;
    std::va_list args;
    va_start(args, format);
    FormatTextV(text, LineSize, format, args);
    va_end(args);
    SayLine(report, window, text);
}

std::string ExplainAndReportOpenFailure(const LineReport& report, const char* device, std::uint32_t error,
                                        std::string* held) {
    const std::string explanation = ExplainOpenFailure(device, error);
    TracePrint("%s\r\n", explanation.c_str());
    if (held != nullptr) {
        *held = explanation;
    } else if (report.open_failure != nullptr) {
        report.open_failure(explanation.c_str());
    }
    return explanation;
}

}  // namespace platform
