// Implemented in platform/screen/screen.cpp, platform/window/edit.cpp, platform/window/menu.cpp
// and platform/window/window.cpp.
// The seam between the window layer and the screen that draws its windows, on the window
// layer's side: the screens (platform/screen/) implement Screen and include this; the window
// layer includes no screen header.
//
// How it works: the window layer keeps every window's state (platform/window/window_state.h)
// and tells the current screen what changed; the screen draws, and turns its input into posted
// messages (WM_KEYDOWN/WM_CHAR, WM_COMMAND of a menu item or the done button). Notifications
// come on the thread of the window concerned. The screen's input descriptor is polled by
// GetMessage on the screen thread (the thread of the first top-level window), which then calls
// HandleInput. Modal boxes and dialogs run on the screen thread: a worker's MessageBox is
// carried there and the worker waits; an interactive screen keeps that thread's loop running
// with PumpMessagesUntil while the user decides. The current screen is headless until
// SelectScreen picks another (platform/screen/screen.cpp).
//
// Index: Screen CurrentScreen | WindowInfo DescribeWindow EditSnapshot MenuItemInfo MenuInfo
// DescribeMenu MenuBarOf
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/window/resource.h"
#include "platform/window/window.h"

namespace platform::internal {

class Screen {
public:
    virtual ~Screen() = default;
    // The area a top-level window takes when created with default position and size.
    virtual Rect Desktop() const = 0;
    // False for a screen nobody answers (headless): a dialog left open after DialogShown is
    // then ended with IDCANCEL instead of waiting.
    virtual bool Interactive() const = 0;
    // Polled on the screen thread; HandleInput runs there when it is readable.
    virtual int InputDescriptor() const { return -1; }
    virtual void HandleInput() {}

    virtual void WindowCreated(Hwnd) {}
    virtual void WindowDestroyed(Hwnd) {}
    // Title, visibility, position, size or an edit selection changed.
    virtual void WindowChanged(Hwnd) {}
    virtual void Paint(Hwnd) {}
    // Text replaced in an edit control: at `position`, `removed` bytes gave way to `inserted`.
    virtual void EditReplaced(Hwnd edit, std::size_t position, std::size_t removed,
                              std::string_view inserted) = 0;
    virtual void MenuBarCreated(Hwnd /*bar*/, Hwnd /*owner*/, Hmenu /*menu*/) {}
    virtual void MenuChanged(Hmenu) {}
    virtual void DoneButton(Hwnd) {}
    virtual void ForegroundRequested(Hwnd) {}
    // Another process asked for the window (a second start): the screen shows it heard. Comes on
    // the instance listener's thread.
    virtual void AttentionRequested(Hwnd) {}
    // Modal. On the screen thread (or, when BoxesOnAnyThread, on any thread once the screen
    // thread's loop has ended). Caption and text come without a trailing "\r\n".
    virtual int MessageBox(Hwnd owner, std::string_view text, std::string_view caption,
                           std::uint32_t type) = 0;
    virtual bool BoxesOnAnyThread() const { return false; }
    // Closes the open message boxes with this caption as if answered OK (none: nothing).
    virtual void CloseMessageBoxes(std::string_view /*caption*/) {}
    // A modal dialog is up (its controls are children of `dialog`); it ends through EndDialog.
    virtual void DialogShown(Hwnd dialog, const DialogTemplate& dialog_template) = 0;
};

Screen& CurrentScreen();

// What a screen may ask about the windows.
struct WindowInfo {
    Hwnd handle = 0;
    std::string class_name;
    std::string title;
    Hwnd parent = 0;
    Hwnd owner = 0;
    int child_id = 0;
    std::uint32_t style = 0;
    Rect rect{0, 0, 0, 0};
    bool visible = false;
};
bool DescribeWindow(Hwnd window, WindowInfo* info);
// The edit control's text and selection (start may exceed end).
bool EditSnapshot(Hwnd edit, std::string* text, std::size_t* sel_start, std::size_t* sel_end);

struct MenuItemInfo {
    std::string text;  // empty for a separator
    std::uint32_t command = 0;
    bool separator = false;
    bool checked = false;
};
struct MenuInfo {
    std::string title;  // the pop-up's title ("System")
    std::vector<MenuItemInfo> items;
};
bool DescribeMenu(Hmenu menu, MenuInfo* info);
// The menu bar owned by `owner` and its button's label; 0 when it has none.
Hwnd MenuBarOf(Hwnd owner, Hmenu* menu, std::string* label);

}  // namespace platform::internal
