// Modal message boxes and dialogs from resources.
//
// A box is shown by the screen on the screen thread. A worker's box is carried there with
// CallOnThread and the worker waits, while the window's thread goes on running its loop. A
// dialog is a window of class "#32770" with its controls as children; it runs on the calling
// thread until its procedure calls EndDialog (a screen nobody answers ends it with IDCANCEL).
#include <cerrno>
#include <string_view>

#include "platform/window/screen_seam.h"
#include "platform/window/window_state.h"

namespace platform {
namespace internal {

LResult DialogWindowProc(Hwnd hwnd, std::uint32_t message, WParam wparam, LParam lparam) {
    auto window = LookupWindow(hwnd);
    if (!window) return 0;
    DlgProc proc;
    {
        std::lock_guard lock(window->mutex);
        proc = window->dialog_proc;
    }
    if (proc && proc(hwnd, message, wparam, lparam)) return 1;
    // Not handled by the dialog procedure: closing the dialog cancels it.
    if (message == WM_CLOSE) {
        EndDialog(hwnd, IDCANCEL);
        return 0;
    }
    if (message == WM_GETTEXT || message == WM_GETTEXTLENGTH) return StaticWindowProc(hwnd, message, wparam, lparam);
    return 0;
}

}  // namespace internal

using namespace internal;

namespace {

std::string_view WithoutLineEnd(std::string_view text) {
    if (text.size() >= 2 && text.substr(text.size() - 2) == "\r\n") text.remove_suffix(2);
    return text;
}

bool DialogEnded(const std::shared_ptr<Window>& dialog) {
    std::lock_guard lock(dialog->mutex);
    return dialog->dialog_ended || !dialog->alive.load();
}

}  // namespace

void CloseMessageBoxes(const char* caption) { internal::CurrentScreen().CloseMessageBoxes(caption ? caption : ""); }

int MessageBox(Hwnd owner, const char* text, const char* caption, std::uint32_t type) {
    std::string_view body = WithoutLineEnd(text ? text : "");
    std::string_view title = WithoutLineEnd(caption ? caption : "Error");
    Screen& screen = CurrentScreen();
    auto owner_window = owner ? LookupWindow(owner) : nullptr;
    std::shared_ptr<Queue> target = owner_window && owner_window->alive.load() ? owner_window->queue : ScreenQueue();
    if (!target || OnThreadOf(*target)) return screen.MessageBox(owner, body, title, type);
    LResult answer = 0;
    if (CallOnThread(target, [&] { return static_cast<LResult>(screen.MessageBox(owner, body, title, type)); },
                     &answer)) {
        return static_cast<int>(answer);
    }
    // The window's loop has ended: a screen that can answer from here still shows the box.
    if (screen.BoxesOnAnyThread()) return screen.MessageBox(owner, body, title, type);
    SetLastError(ESRCH);
    return 0;
}

std::intptr_t DialogBoxIndirectParam(Hinstance instance, const DialogTemplate* dialog_template,
                                     Hwnd owner, DlgProc proc, LParam init_param) {
    (void)instance;
    if (dialog_template == nullptr || proc == nullptr) {
        SetLastError(EINVAL);
        return -1;
    }
    Rect desktop = CurrentScreen().Desktop();
    Hwnd dialog = CreateInternalWindow("#32770", dialog_template->caption, WS_VISIBLE, 0, owner, 0, desktop);
    auto window = dialog ? LookupWindow(dialog) : nullptr;
    if (!window) return -1;
    {
        std::lock_guard lock(window->mutex);
        window->dialog_proc = proc;
    }
    for (std::size_t i = 0; i < dialog_template->count; ++i) {
        const DialogControlTemplate& control = dialog_template->controls[i];
        CreateInternalWindow(control.window_class, control.text, control.style | WS_CHILD, dialog, 0, control.id,
                             {control.x, control.y, control.x + control.width, control.y + control.height});
    }
    SendMessage(dialog, WM_INITDIALOG, 0, init_param);
    if (!DialogEnded(window)) CurrentScreen().DialogShown(dialog, *dialog_template);
    if (!DialogEnded(window)) {
        if (CurrentScreen().Interactive()) {
            PumpMessagesUntil([&] { return DialogEnded(window); });
        } else {
            EndDialog(dialog, IDCANCEL);  // nobody can answer it
        }
    }
    std::intptr_t result;
    {
        std::lock_guard lock(window->mutex);
        result = window->dialog_ended ? window->dialog_result : IDCANCEL;
    }
    if (IsWindow(dialog)) DestroyWindow(dialog);
    return result;
}

bool EndDialog(Hwnd dialog, std::intptr_t result) {
    auto window = LookupWindow(dialog);
    if (!window || !window->alive.load() || window->class_name != "#32770") {
        SetLastError(EINVAL);
        return false;
    }
    {
        std::lock_guard lock(window->mutex);
        if (!window->dialog_ended) {
            window->dialog_ended = true;
            window->dialog_result = result;
        }
    }
    window->queue->Wake();  // a modal loop waiting on it looks again
    return true;
}

}  // namespace platform
