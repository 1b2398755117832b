// Implemented in platform/screen/terminal/terminal.cpp, platform/screen/terminal/draw.cpp and
// platform/screen/terminal/input.cpp.
// The terminal screen's record, shared by its files: terminal.cpp (start and end of curses,
// the window layer's notifications, boxes), input.cpp (keys, mouse, resize,
// suspend) and draw.cpp (the picture).
//
// How it works: every curses call is made on the screen thread. A notification updates the
// record under `mutex_` and marks the picture dirty, which writes once to an eventfd; that
// eventfd, stdin, the signal pipe and the flash timer sit in one epoll descriptor, which is the
// descriptor GetMessage polls. So the screen thread draws once it has handled what was queued
// (a burst of appends is one redraw), reads keys only when stdin is readable, and sleeps
// otherwise. Under a flood of changes the picture is drawn at most FramesPerSecond times a
// second: a change within a frame of the last drawing sets a timerfd (also in the epoll set)
// instead of the eventfd. Boxes are a stack; the top one takes the keys. A modal box waits in its thread's
// message loop (PumpMessagesUntil) and is woken by a null message when it is closed.
//
// Layout on screen: row 0 is the title bar (title, "[OK]" at the right for a window with the
// done button), the rows between are the desktop where top-level windows and their children are
// drawn, the last row is the menu bar. Boxes and the open menu are drawn over them.
//
// Index: Terminal | TerminalBox PaneArea Hits IsDrawnTopLevel
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/screen/screen.h"
#include "platform/screen/terminal/pane.h"
#include "platform/window/window_state.h"

struct screen;  // ncurses' SCREEN

namespace platform::internal {

// Tags of the descriptors in the screen's epoll set.
inline constexpr std::uint32_t TagStdin = 1, TagSignals = 2, TagWake = 3, TagFlash = 4, TagFrame = 5;

// The picture is drawn at most this often; changes in between are drawn together.
inline constexpr long FramesPerSecond = 30;
inline constexpr long FrameNanoseconds = 1'000'000'000 / FramesPerSecond;

// How frames and the scroll bar are drawn: Unicode box drawing in a UTF-8 locale, else the
// terminal's line-drawing set where it has one that works outside UTF-8, else plain ASCII.
inline long long MonotonicNanoseconds() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

enum class LineStyle { Unicode, Acs, Ascii };
enum class LinePiece { Horizontal, Vertical, TopLeft, TopRight, BottomLeft, BottomRight, LeftTee, RightTee, Shade };

// A window the screen draws with its children: top-level, made by the program.
inline bool IsDrawnTopLevel(const Window& window) {
    return window.parent == 0 && window.owner == 0 && !window.internal;
}

// A message box, or a dialog drawn from its template.
struct TerminalBox {
    struct Control {
        std::string window_class;
        std::string text;
        int x = 0, y = 0, width = 0, height = 0;  // dialog units
    };
    Hwnd dialog = 0;  // 0: a message box
    std::string caption;
    std::string text;
    std::uint32_t type = 0;
    int width_units = 0, height_units = 0;
    std::vector<Control> controls;
    std::shared_ptr<Queue> waiter;  // the thread whose modal loop waits for a message box
    bool done = false;
    Rect area{0, 0, 0, 0};  // where it was drawn last (screen cells, right and bottom excluded)
};

// Where things were drawn last, for the mouse.
struct PaneArea {
    Hwnd pane = 0;
    Rect text{0, 0, 0, 0};
    Rect bar{0, 0, 0, 0};
};
struct Hits {
    Hwnd window = 0;  // the window drawn
    Rect done_button{0, 0, 0, 0};
    Rect menu_label{0, 0, 0, 0};
    Rect menu{0, 0, 0, 0};  // the open pop-up, with its frame
    std::vector<PaneArea> panes;
};

class Terminal final : public Screen {
public:
    explicit Terminal(bool unicode) : unicode_(unicode) {}

    Rect Desktop() const override;
    bool Interactive() const override { return true; }
    int InputDescriptor() const override;
    void HandleInput() override;

    void WindowCreated(Hwnd window) override;
    void WindowDestroyed(Hwnd window) override;
    void WindowChanged(Hwnd window) override;
    void Paint(Hwnd window) override;
    void EditReplaced(Hwnd edit, std::size_t position, std::size_t removed, std::string_view inserted) override;
    void MenuBarCreated(Hwnd bar, Hwnd owner, Hmenu menu) override;
    void MenuChanged(Hmenu menu) override;
    void DoneButton(Hwnd window) override;
    void AttentionRequested(Hwnd window) override;
    int MessageBox(Hwnd owner, std::string_view text, std::string_view caption, std::uint32_t type) override;
    void CloseMessageBoxes(std::string_view caption) override;
    void DialogShown(Hwnd dialog, const DialogTemplate& dialog_template) override;

    // At exit: curses ends on the screen thread, anywhere else the terminal is put back raw.
    void EndAtExit();

private:
    // terminal.cpp
    bool Start();
    void Stop();
    bool OnScreenThread() const;
    void MarkDirty();
    // The dirty picture is drawn at once when a frame is due, else the frame timer is set.
    void ScheduleFrame();
    bool FrameDue() const;
    void SyncPane(Hwnd edit);
    void CloseBox(const std::shared_ptr<TerminalBox>& box, int command);
    bool AnyWindowLeft() const;

    // input.cpp
    void ReadKeys();
    void OnKey(bool is_key_code, std::uint32_t code, bool alt);
    void OnMouse();
    bool BoxKey(bool is_key_code, std::uint32_t code);
    bool MenuKey(bool is_key_code, std::uint32_t code, bool alt);
    bool PaneKey(bool is_key_code, std::uint32_t code);
    void OpenMenu();
    void ChooseMenuItem(int index);
    void PressDone();
    void PostKey(bool is_key_code, std::uint32_t code, bool alt);
    void SetPaneSelection(Hwnd pane, std::size_t anchor, std::size_t end);
    void Resize();
    void Suspend();
    Hwnd FocusPane() const;
    void StdinGone();

    // draw.cpp
    void Draw();
    void DrawTitleBar(Hwnd window);
    void DrawWindow(Hwnd window);
    void DrawPane(Hwnd pane, const Rect& area, bool scroll_bar);
    void DrawMenuBar(Hwnd window);
    void DrawMenu();
    void DrawBox(TerminalBox& box, int depth);
    void Frame(int top, int left, int height, int width);
    void PutLine(int row, int column, LinePiece piece, int count, bool down);
    Hwnd DrawnWindow() const;

    const bool unicode_;
    std::atomic<bool> active_{false};  // curses is up
    std::atomic<std::thread::id> screen_thread_{};
    std::atomic<int> rows_{0};
    std::atomic<int> columns_{0};
    std::atomic<bool> dirty_{false};
    int epoll_fd_ = -1;
    int wake_fd_ = -1;   // eventfd: the picture is dirty
    int flash_fd_ = -1;  // timerfd: the title bar's flash ends
    int frame_fd_ = -1;  // timerfd: the next frame is due
    std::atomic<long long> last_frame_ns_{0};  // CLOCK_MONOTONIC of the last Draw
    LineStyle line_style_ = LineStyle::Ascii;  // chosen when curses starts
    bool stdin_polled_ = false;
    ::screen* curses_ = nullptr;
    bool flash_on_ = false;  // screen thread only
    bool button_down_ = false;  // screen thread only: the left button is held
    Hwnd drag_pane_ = 0;        // screen thread only: a mouse press in a pane, not yet released
    std::size_t drag_anchor_ = 0;
    Rect drag_cell_{0, 0, 0, 0};  // where it was pressed: the cursor waits there during the drag

    mutable std::mutex mutex_;  // guards everything below
    std::map<Hwnd, PaneModel> panes_;
    std::set<Hwnd> done_buttons_;
    std::vector<std::shared_ptr<TerminalBox>> boxes_;
    bool menu_open_ = false;
    Hwnd menu_owner_ = 0;
    int menu_selected_ = 0;
    bool flash_asked_ = false;
    Hits hits_;
};

}  // namespace platform::internal
