// The built-in "edit" class (multi-line, read-only: the program writes, the user reads) and the
// "static" class of dialogs.
//
// The text lives in memory; positions are byte offsets. EM_REPLACESEL replaces the selection
// (an empty one at the caret when nothing is selected) and leaves the caret after the inserted
// text, so successive appends follow one another. The text has a capacity (EditCapacity, or
// EM_SETLIMITTEXT): a change that would pass it first drops the oldest whole lines. Every change,
// a drop included, is told to the screen.
#include <algorithm>
#include <cstring>

#include "platform/window/screen_seam.h"
#include "platform/window/window_state.h"

namespace platform {
namespace internal {
namespace {

// The edit control's text and its changes, kept in the order made, told to the screen once the
// lock is let go (every change runs on the control's own thread, so none comes between).
struct Change {
    std::size_t position = 0;
    std::size_t removed = 0;
    std::string_view inserted;
};
struct Changes {
    Change list[3];
    int count = 0;
    void Add(std::size_t position, std::size_t removed, std::string_view inserted) {
        list[count++] = {position, removed, inserted};
    }
    void Tell(Hwnd edit) const {
        for (int i = 0; i < count; ++i) {
            CurrentScreen().EditReplaced(edit, list[i].position, list[i].removed, list[i].inserted);
        }
    }
};

// A trim frees this part of the capacity beyond what the append needs, so that a log at its
// capacity moves its text once per so many bytes, not at every line.
constexpr std::size_t TrimSlackDivisor = 16;

std::size_t TrimTarget(std::size_t limit) { return limit - limit / TrimSlackDivisor; }

// Where the front of the text may be cut so that at least `need` bytes go: the first line start
// at or after `need`. Without one, `whole` drops all of it; otherwise the last line is cut at the
// first character at or after `need` (never inside a UTF-8 sequence; a "\r\n" there would have
// been found as a line start).
std::size_t FrontCut(const std::string& text, std::size_t need, bool whole) {
    if (need >= text.size()) return text.size();
    std::size_t found = text.find("\r\n", need >= 2 ? need - 2 : 0);
    if (found != std::string::npos) return found + 2;
    if (whole) return text.size();
    std::size_t cut = need;
    while (cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) ++cut;
    return cut;
}

// Drops the first `cut` bytes; the caret and the selection move with the text (to its start when
// they were in the part dropped). Under the window's lock.
void DropFront(Window& window, std::size_t cut, Changes* changes) {
    if (cut == 0) return;
    window.text.erase(0, cut);
    window.sel_start = window.sel_start > cut ? window.sel_start - cut : 0;
    window.sel_end = window.sel_end > cut ? window.sel_end - cut : 0;
    changes->Add(0, cut, {});
}

// Past the limit after a change that is already made: the front goes, down to the trim target.
void KeepWithinLimit(Window& window, Changes* changes) {
    if (window.text.size() <= window.limit) return;
    DropFront(window, FrontCut(window.text, window.text.size() - TrimTarget(window.limit), false), changes);
}

// The text replaces the selection. When that would take the text past its limit, whole lines go
// from the front first; an insertion larger than the limit keeps only its end.
LResult ReplaceSelection(const std::shared_ptr<Window>& window, const char* text) {
    std::string_view inserted = text ? text : "";
    Changes changes;
    {
        std::lock_guard lock(window->mutex);
        auto selection = [&](std::size_t* position, std::size_t* removed) {
            std::size_t size = window->text.size();
            std::size_t a = std::min(window->sel_start, size);
            std::size_t b = std::min(window->sel_end, size);
            *position = std::min(a, b);
            *removed = std::max(a, b) - *position;
        };
        std::size_t position, removed;
        selection(&position, &removed);
        const std::size_t after = window->text.size() - removed + inserted.size();
        if (after > window->limit) {
            const std::size_t need = after - TrimTarget(window->limit);
            DropFront(*window, FrontCut(window->text, need, true), &changes);
            selection(&position, &removed);
        }
        window->text.replace(position, removed, inserted);
        window->sel_start = window->sel_end = position + inserted.size();
        changes.Add(position, removed, inserted);
        KeepWithinLimit(*window, &changes);
    }
    changes.Tell(window->handle);
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
            const char* text = lparam ? reinterpret_cast<const char*>(lparam) : "";
            Changes changes;
            {
                std::lock_guard lock(window->mutex);
                changes.Add(0, window->text.size(), text);
                window->text = text;
                window->sel_start = window->sel_end = 0;
                KeepWithinLimit(*window, &changes);
            }
            changes.Tell(hwnd);
            return 1;
        }
        case EM_SETLIMITTEXT: {
            Changes changes;
            {
                std::lock_guard lock(window->mutex);
                window->limit = wparam == 0 ? EditCapacity : static_cast<std::size_t>(wparam);
                KeepWithinLimit(*window, &changes);
            }
            changes.Tell(hwnd);
            return 0;
        }
        case EM_GETLIMITTEXT: {
            std::lock_guard lock(window->mutex);
            return static_cast<LResult>(window->limit);
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

}  // namespace platform
