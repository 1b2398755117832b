// The built-in "edit" class (multi-line, read-only: the program writes, the user reads) and the
// "static" class of dialogs.
//
// The text lives in memory; positions are byte offsets. EM_REPLACESEL replaces the selection
// (an empty one at the caret when nothing is selected) and leaves the caret after the inserted
// text, so successive appends follow one another. Every change is told to the screen.
#include <algorithm>
#include <cstring>

#include "platform/internal/screen.h"
#include "platform/internal/window_state.h"

namespace platform {
namespace internal {
namespace {

LResult ReplaceSelection(const std::shared_ptr<Window>& window, const char* text) {
    std::string_view inserted = text ? text : "";
    std::size_t position, removed;
    {
        std::lock_guard lock(window->mutex);
        std::size_t size = window->text.size();
        std::size_t a = std::min(window->sel_start, size);
        std::size_t b = std::min(window->sel_end, size);
        position = std::min(a, b);
        removed = std::max(a, b) - position;
        window->text.replace(position, removed, inserted);
        window->sel_start = window->sel_end = position + inserted.size();
    }
    CurrentScreen().EditReplaced(window->handle, position, removed, inserted);
    return 0;
}

LResult SetSelection(const std::shared_ptr<Window>& window, WParam wparam, LParam lparam) {
    {
        std::lock_guard lock(window->mutex);
        std::size_t size = window->text.size();
        auto start = static_cast<std::intptr_t>(wparam);
        if (start == -1) {  // no selection: collapse it at the caret
            window->sel_start = window->sel_end;
        } else {
            std::size_t end = lparam < 0 ? size : static_cast<std::size_t>(lparam);
            window->sel_start = std::min(static_cast<std::size_t>(start < 0 ? 0 : start), size);
            window->sel_end = std::min(end, size);
        }
    }
    CurrentScreen().WindowChanged(window->handle);
    return 0;
}

LResult GetSelection(const std::shared_ptr<Window>& window, WParam wparam, LParam lparam) {
    std::size_t start, end;
    {
        std::lock_guard lock(window->mutex);
        start = std::min(window->sel_start, window->sel_end);
        end = std::max(window->sel_start, window->sel_end);
    }
    if (wparam) *reinterpret_cast<std::uint32_t*>(wparam) = static_cast<std::uint32_t>(start);
    if (lparam) *reinterpret_cast<std::uint32_t*>(lparam) = static_cast<std::uint32_t>(end);
    return static_cast<LResult>(MakeWParam(static_cast<std::uint16_t>(std::min<std::size_t>(start, 0xFFFF)),
                                           static_cast<std::uint16_t>(std::min<std::size_t>(end, 0xFFFF))));
}

// WM_GETTEXT: up to size - 1 bytes and a terminator; the count copied.
LResult CopyText(const std::string& text, WParam size, LParam buffer) {
    if (size == 0 || buffer == 0) return 0;
    std::size_t n = std::min<std::size_t>(text.size(), size - 1);
    char* out = reinterpret_cast<char*>(buffer);
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
    return static_cast<LResult>(n);
}

}  // namespace

LResult EditWindowProc(Hwnd hwnd, std::uint32_t message, WParam wparam, LParam lparam) {
    auto window = LookupWindow(hwnd);
    if (!window) return 0;
    switch (message) {
        case EM_REPLACESEL:
            return ReplaceSelection(window, reinterpret_cast<const char*>(lparam));
        case EM_SETSEL:
            return SetSelection(window, wparam, lparam);
        case EM_GETSEL:
            return GetSelection(window, wparam, lparam);
        case WM_GETTEXT: {
            std::lock_guard lock(window->mutex);
            return CopyText(window->text, wparam, lparam);
        }
        case WM_GETTEXTLENGTH: {
            std::lock_guard lock(window->mutex);
            return static_cast<LResult>(window->text.size());
        }
        case WM_SETTEXT: {
            std::size_t removed;
            const char* text = lparam ? reinterpret_cast<const char*>(lparam) : "";
            {
                std::lock_guard lock(window->mutex);
                removed = window->text.size();
                window->text = text;
                window->sel_start = window->sel_end = 0;
            }
            CurrentScreen().EditReplaced(hwnd, 0, removed, text);
            return 1;
        }
        default:  // typing does nothing: the control is read-only
            return DefWindowProc(hwnd, message, wparam, lparam);
    }
}

LResult StaticWindowProc(Hwnd hwnd, std::uint32_t message, WParam wparam, LParam lparam) {
    auto window = LookupWindow(hwnd);
    if (!window) return 0;
    if (message == WM_GETTEXT) {
        std::lock_guard lock(window->mutex);
        return CopyText(window->title, wparam, lparam);
    }
    if (message == WM_GETTEXTLENGTH) {
        std::lock_guard lock(window->mutex);
        return static_cast<LResult>(window->title.size());
    }
    return DefWindowProc(hwnd, message, wparam, lparam);
}

bool EditSnapshot(Hwnd edit, std::string* text, std::size_t* sel_start, std::size_t* sel_end) {
    auto window = LookupWindow(edit);
    if (!window || window->class_name != "edit") return false;
    std::lock_guard lock(window->mutex);
    if (text) *text = window->text;
    if (sel_start) *sel_start = window->sel_start;
    if (sel_end) *sel_end = window->sel_end;
    return true;
}

}  // namespace internal

std::string EditText(Hwnd edit) {
    std::string text;
    internal::EditSnapshot(edit, &text, nullptr, nullptr);
    return text;
}

}  // namespace platform
