#include "shell/log.h"

#include <cstdarg>

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
