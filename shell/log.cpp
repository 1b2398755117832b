#include "shell/log.h"

#include <cstdarg>
#include <string>

#include "shell/options.h"

namespace shell {

void AppendLog(platform::Hwnd window, const char* text) {
    if (window == 0) return;
    platform::Hwnd pane = platform::GetDlgItem(window, LogPaneId);
    if (pane == 0) return;
    platform::SendMessage(pane, platform::EM_REPLACESEL, 0, reinterpret_cast<platform::LParam>(text));
}

void PostLog(platform::Hwnd window, const char* text) {
    if (window == 0) return;
    platform::Hwnd pane = platform::GetDlgItem(window, LogPaneId);
    if (pane == 0) return;
    platform::PostText(pane, platform::EM_REPLACESEL, text);
}

void AppendLogUnlessQuiet(platform::Hwnd window, const char* text) {
    if (DisplayMode.load() == 0) return;
    AppendLog(window, text);
}

void TracePrint(const char* format, ...) {
    if (!platform::TraceOpen()) return;  // the update's hot path traces every byte it waits for
    char line[MessageBufferSize];
    std::va_list args;
    va_start(args, format);
    int n = platform::FormatTextV(line, sizeof line, format, args);
    va_end(args);
    platform::DebugOutput(line, static_cast<std::size_t>(n));
}

std::atomic<OpenFailureObserverFn> OpenFailureObserver{nullptr};
std::atomic<ControlFailureObserverFn> ControlFailureObserver{nullptr};

namespace {
thread_local std::string* held_open_failure = nullptr;
}

std::string ReportOpenFailure(const char* device, std::uint32_t error) {
    const std::string explanation = platform::ExplainOpenFailure(device, error);
    TracePrint("%s\r\n", explanation.c_str());
    if (held_open_failure != nullptr) {
        *held_open_failure = explanation;
        return explanation;
    }
    if (OpenFailureObserverFn observer = OpenFailureObserver.load()) observer(explanation.c_str());
    return explanation;
}

void HoldOpenFailures(std::string* last) { held_open_failure = last; }

std::string ReportControlFailure(const char* device, std::uint32_t code, std::uint32_t error) {
    std::string adapter_line;
    const std::string explanation = platform::ExplainControlFailure(device, code, error, &adapter_line);
    TracePrint("%s\r\n", explanation.c_str());
    if (ControlFailureObserverFn observer = ControlFailureObserver.load()) {
        const std::string action = platform::ControlName(code);
        observer({device, action.c_str(), error, explanation.c_str(), adapter_line.c_str()});
    }
    return explanation;
}

char* MessageBuffer() {
    thread_local char buffer[MessageBufferSize];
    return buffer;
}

void FormatAndAppend(platform::Hwnd window, const char* format, ...) {
    char* buffer = MessageBuffer();
    std::va_list args;
    va_start(args, format);
    platform::FormatTextV(buffer, MessageBufferSize, format, args);
    va_end(args);
    AppendLog(window, buffer);
}

}  // namespace shell
