// Input of the terminal screen, on the screen thread when GetMessage's poll finds the epoll set
// readable: keys and the mouse go to the top box, else the open menu, else the menu openers and
// the done button, else the focused log pane (scrolling, selection); any other key is posted as
// WM_KEYDOWN so that the message loop's accelerator table sees it. Also the resize (the layout
// handler runs through WM_SIZE) and Ctrl+Z.
#include <ncurses.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cctype>

#include "platform/base/sys.h"
#include "platform/screen/terminal/terminal.h"
#include "platform/screen/terminal/terminal_screen.h"

namespace platform::internal {
namespace {

constexpr int HorizontalStep = 8;
constexpr int WheelStep = 3;

bool Inside(const Rect& rect, int row, int column) {
    return column >= rect.left && column < rect.right && row >= rect.top && row < rect.bottom;
}

bool IsEnter(bool is_key_code, std::uint32_t code) {
    return is_key_code ? code == static_cast<std::uint32_t>(KEY_ENTER) : (code == '\r' || code == '\n');
}

constexpr std::uint32_t Escape = 0x1B;

}  // namespace

void Terminal::HandleInput() {
    epoll_event events[8];
    int count = ::epoll_wait(epoll_fd_, events, 8, 0);
    bool keys = false, resized = false, suspend = false, continued = false;
    for (int i = 0; i < count; ++i) {
        std::uint64_t value = 0;
        switch (events[i].data.u32) {
            case TagStdin:
                if (events[i].events & EPOLLIN) {
                    keys = true;
                } else if (events[i].events & (EPOLLHUP | EPOLLERR)) {
                    StdinGone();
                }
                break;
            case TagSignals: {
                char bytes[64];
                ssize_t n;
                while ((n = SysRead(TerminalSignalPipe(), bytes, sizeof bytes)) > 0) {
                    for (ssize_t k = 0; k < n; ++k) {
                        resized |= bytes[k] == 'W';
                        suspend |= bytes[k] == 'Z';
                        continued |= bytes[k] == 'C';
                    }
                }
                break;
            }
            case TagWake:
                (void)SysRead(wake_fd_, &value, sizeof value);
                break;
            case TagFlash:
                (void)SysRead(flash_fd_, &value, sizeof value);
                flash_on_ = false;
                dirty_.store(true);
                break;
            case TagFrame:
                (void)SysRead(frame_fd_, &value, sizeof value);
                break;
        }
    }
    if (!active_.load()) return;
    if (suspend) Suspend();
    if (resized) Resize();
    if (continued) {
        clearok(curscr, TRUE);  // whatever ran meanwhile may have drawn over us
        dirty_.store(true);
    }
    if (keys) ReadKeys();
    if (!active_.load() || !dirty_.load()) return;
    if (FrameDue()) {
        dirty_.store(false);
        Draw();
    } else {
        ScheduleFrame();
    }
}

// Every key that curses has, until it has none: a key left in its buffer would not wake the poll.
void Terminal::ReadKeys() {
    int read = 0;
    for (;;) {
        wint_t code = 0;
        int status = wget_wch(stdscr, &code);
        if (status == ERR) break;
        ++read;
        bool alt = false;
        if (status == OK && code == Escape) {  // Esc, or Alt+key when the key follows at once
            wint_t next = 0;
            int again = wget_wch(stdscr, &next);
            if (again != ERR) {
                alt = true;
                status = again;
                code = next;
            }
        }
        OnKey(status == KEY_CODE_YES, static_cast<std::uint32_t>(code), alt);
        if (!active_.load()) return;
    }
    if (read > 0) return;
    // Readable, yet no key: the end of input (the terminal hung up).
    pollfd fd{STDIN_FILENO, POLLIN, 0};
    int available = 0;
    if (SysPoll(&fd, 1, 0) > 0 &&
        ((fd.revents & (POLLHUP | POLLERR)) || (SysIoctl(STDIN_FILENO, FIONREAD, &available) == 0 && available == 0))) {
        StdinGone();
    }
}

// No more input will come: the window closes as on a hang-up.
void Terminal::StdinGone() {
    if (stdin_polled_) {
        ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, STDIN_FILENO, nullptr);
        stdin_polled_ = false;
    }
    for (Hwnd window : TopLevelWindows()) PostMessage(window, WM_CLOSE, CloseBySystem, 0);
}

void Terminal::OnKey(bool is_key_code, std::uint32_t code, bool alt) {
    if (is_key_code && code == static_cast<std::uint32_t>(KEY_RESIZE)) return Resize();
    if (is_key_code && code == static_cast<std::uint32_t>(KEY_MOUSE)) return OnMouse();
    if (BoxKey(is_key_code, code)) return;
    if (MenuKey(is_key_code, code, alt)) return;
    if (is_key_code && code == static_cast<std::uint32_t>(KEY_F(12))) return PressDone();
    if (!alt && PaneKey(is_key_code, code)) return;
    PostKey(is_key_code, code, alt);
}

// The top box takes every key: Enter (or Space) is its OK, Esc its Cancel. F12 and Ctrl keys
// go on to the window under it, so a box that says "close again to leave" is left by the same
// key (the done button, an accelerator) that brought it up.
bool Terminal::BoxKey(bool is_key_code, std::uint32_t code) {
    const bool control_key = !is_key_code && code < ' ' && code != Escape && !IsEnter(is_key_code, code);
    if ((is_key_code && code == static_cast<std::uint32_t>(KEY_F(12))) || control_key) return false;
    std::shared_ptr<TerminalBox> top;
    {
        std::lock_guard lock(mutex_);
        if (boxes_.empty()) return false;
        top = boxes_.back();
    }
    if (IsEnter(is_key_code, code) || (!is_key_code && code == ' ')) {
        CloseBox(top, IDOK);
    } else if (!is_key_code && code == Escape) {
        CloseBox(top, IDCANCEL);
    }
    return true;
}

// F1, F10 or Alt with the first letter of the bar's label open the menu and close it again;
// while it is open it takes every key.
bool Terminal::MenuKey(bool is_key_code, std::uint32_t code, bool alt) {
    Hwnd window = DrawnWindow();
    Hmenu menu = 0;
    std::string label;
    if (window == 0 || MenuBarOf(window, &menu, &label) == 0) return false;
    const bool opener =
        (is_key_code && (code == static_cast<std::uint32_t>(KEY_F(1)) || code == static_cast<std::uint32_t>(KEY_F(10)))) ||
        (alt && !is_key_code && !label.empty() && code < 0x80 &&
         std::tolower(static_cast<int>(code)) == std::tolower(static_cast<unsigned char>(label[0])));
    bool open;
    {
        std::lock_guard lock(mutex_);
        open = menu_open_;
    }
    if (!open) {
        if (opener) OpenMenu();
        return opener;
    }
    MenuInfo info;
    DescribeMenu(menu, &info);
    const int count = static_cast<int>(info.items.size());
    int chosen = -1;
    {
        std::lock_guard lock(mutex_);
        if (opener || (!is_key_code && code == Escape)) {
            menu_open_ = false;
        } else if (IsEnter(is_key_code, code)) {
            chosen = menu_selected_;
        } else if (is_key_code && count > 0 &&
                   (code == static_cast<std::uint32_t>(KEY_UP) || code == static_cast<std::uint32_t>(KEY_DOWN))) {
            const int step = code == static_cast<std::uint32_t>(KEY_UP) ? -1 : 1;
            int at = menu_selected_;
            for (int tries = 0; tries < count; ++tries) {  // over separators, round the ends
                at = (at + step + count) % count;
                if (!info.items[static_cast<std::size_t>(at)].separator) break;
            }
            menu_selected_ = at;
        }
    }
    MarkDirty();
    if (chosen >= 0) ChooseMenuItem(chosen);
    return true;
}

void Terminal::OpenMenu() {
    Hwnd window = DrawnWindow();
    Hmenu menu = 0;
    if (window == 0 || MenuBarOf(window, &menu, nullptr) == 0) return;
    MenuInfo info;
    DescribeMenu(menu, &info);
    int first = 0;
    while (first < static_cast<int>(info.items.size()) && info.items[static_cast<std::size_t>(first)].separator) ++first;
    {
        std::lock_guard lock(mutex_);
        menu_open_ = true;
        menu_owner_ = window;
        menu_selected_ = first;
    }
    MarkDirty();
}

// The item's command goes to the menu's owner as WM_COMMAND, to its command table.
void Terminal::ChooseMenuItem(int index) {
    Hwnd owner;
    {
        std::lock_guard lock(mutex_);
        owner = menu_owner_;
    }
    Hmenu menu = 0;
    MenuInfo info;
    if (MenuBarOf(owner, &menu, nullptr) == 0 || !DescribeMenu(menu, &info)) return;
    if (index < 0 || index >= static_cast<int>(info.items.size())) return;
    const MenuItemInfo& item = info.items[static_cast<std::size_t>(index)];
    if (item.separator) return;
    {
        std::lock_guard lock(mutex_);
        menu_open_ = false;
    }
    MarkDirty();
    PostMessage(owner, WM_COMMAND, MakeWParam(static_cast<std::uint16_t>(item.command), 0), 0);
}

void Terminal::PressDone() {
    Hwnd window = DrawnWindow();
    bool has_button;
    {
        std::lock_guard lock(mutex_);
        has_button = done_buttons_.count(window) != 0;
    }
    if (has_button) PostMessage(window, WM_COMMAND, MakeWParam(IDOK, 0), 0);
}

// Scrolling keys move the view only; Shift with a move key selects from the caret; Esc drops a
// selection, puts the caret at the end of the text, so that appends follow one another again,
// and brings the view back to it, from the first column unless the caret lies further across.
bool Terminal::PaneKey(bool is_key_code, std::uint32_t code) {
    Hwnd pane = FocusPane();
    if (pane == 0 || (!is_key_code && code != Escape)) return false;
    const int key = static_cast<int>(code);
    bool select = false;
    std::size_t anchor = 0, end = 0;
    {
        std::lock_guard lock(mutex_);
        auto it = panes_.find(pane);
        if (it == panes_.end()) return false;
        PaneModel& model = it->second;
        const long page = std::max(model.Rows() - 1, 1);
        anchor = model.SelectionStart();
        end = model.SelectionEnd();
        if (!is_key_code) {  // Esc
            const std::size_t top = model.TopLine();
            const long left = model.LeftColumn();
            model.ScrollEnd();
            model.SetSelection(model.Text().size(), model.Text().size());
            model.FollowCaret();
            if (anchor == end && end == model.Text().size() && top == model.TopLine() && left == model.LeftColumn()) {
                return false;  // nothing to put back: the key goes on to the window
            }
            select = true;
            anchor = end = model.Text().size();
        } else if (key == KEY_PPAGE) {
            model.ScrollLines(-page);
        } else if (key == KEY_NPAGE) {
            model.ScrollLines(page);
        } else if (key == KEY_HOME) {
            model.ScrollHome();
        } else if (key == KEY_END) {
            model.ScrollEnd();
        } else if (key == KEY_UP || key == KEY_DOWN) {
            model.ScrollLines(key == KEY_UP ? -1 : 1);
        } else if (key == KEY_LEFT || key == KEY_RIGHT) {
            model.ScrollColumns(key == KEY_LEFT ? -HorizontalStep : HorizontalStep);
        } else if (key == KEY_SLEFT) {
            select = true, end = model.PreviousPosition(end);
        } else if (key == KEY_SRIGHT) {
            select = true, end = model.NextPosition(end);
        } else if (key == KEY_SR || key == KEY_SF) {
            select = true, end = model.VerticalMove(end, key == KEY_SR ? -1 : 1);
        } else if (key == KEY_SHOME) {
            select = true, end = model.LineStart(model.LineOf(end));
        } else if (key == KEY_SEND) {
            select = true, end = model.LineEnd(model.LineOf(end));
        } else {
            return false;
        }
        if (select) {
            model.SetSelection(anchor, end);
            model.FollowCaret();
        }
    }
    MarkDirty();
    if (select) SetPaneSelection(pane, anchor, end);
    return true;
}

// Through the control itself, so that it holds the selection that the next append replaces.
void Terminal::SetPaneSelection(Hwnd pane, std::size_t anchor, std::size_t end) {
    auto window = LookupWindow(pane);
    if (!window) return;
    auto start = static_cast<WParam>(anchor);
    auto stop = static_cast<LParam>(end);
    if (OnThreadOf(*window->queue)) {
        SendMessage(pane, EM_SETSEL, start, stop);
    } else {
        PostMessage(pane, EM_SETSEL, start, stop);
    }
}

void Terminal::PostKey(bool is_key_code, std::uint32_t code, bool alt) {
    WParam virtual_key = 0;
    LParam key_data = 0;
    if (!VirtualKeyOf(is_key_code, code, alt, &virtual_key, &key_data)) return;
    Hwnd target = FocusPane();
    if (target == 0) target = DrawnWindow();
    if (target != 0) PostMessage(target, WM_KEYDOWN, virtual_key, key_data);
}

void Terminal::OnMouse() {
    MEVENT event{};
    if (getmouse(&event) != OK) return;
    const int row = event.y, column = event.x;
    const bool press = event.bstate & BUTTON1_PRESSED;
    const bool release = event.bstate & BUTTON1_RELEASED;
    // A press and its release read at once come as the release alone: that too is a click.
    const bool click = press || (release && !button_down_);
    if (press) button_down_ = true;
    if (release) button_down_ = false;
    const bool wheel_up = event.bstate & BUTTON4_PRESSED;
    const bool wheel_down = event.bstate & BUTTON5_PRESSED;
    std::shared_ptr<TerminalBox> top;
    Rect top_area{0, 0, 0, 0};
    Hits hits;
    bool menu_open;
    {
        std::lock_guard lock(mutex_);
        if (!boxes_.empty()) top = boxes_.back(), top_area = top->area;
        hits = hits_;
        menu_open = menu_open_;
    }
    if (top) {  // modal: a click on the box is its OK, a click elsewhere nothing
        if (click && Inside(top_area, row, column)) CloseBox(top, IDOK);
        return;
    }
    if (menu_open) {
        if (!click) return;
        if (Inside(hits.menu, row, column)) {
            ChooseMenuItem(row - hits.menu.top - 1);
        } else {
            std::lock_guard lock(mutex_);
            menu_open_ = false;
        }
        MarkDirty();
        return;
    }
    if (click && Inside(hits.menu_label, row, column)) return OpenMenu();
    if (click && Inside(hits.done_button, row, column)) return PressDone();

    for (const PaneArea& area : hits.panes) {
        const bool on_pane = Inside(area.text, row, column) || Inside(area.bar, row, column);
        std::lock_guard lock(mutex_);
        auto it = panes_.find(area.pane);
        if (it == panes_.end()) continue;
        PaneModel& model = it->second;
        if ((wheel_up || wheel_down) && on_pane) {
            model.ScrollLines(wheel_up ? -WheelStep : WheelStep);
        } else if (click && Inside(area.bar, row, column)) {  // above or below the thumb: a page
            ThumbPlace thumb = model.ScrollThumb(area.bar.bottom - area.bar.top);
            const long page = std::max(model.Rows() - 1, 1);
            if (row < area.bar.top + thumb.start) model.ScrollLines(-page);
            if (row >= area.bar.top + thumb.start + thumb.length) model.ScrollLines(page);
        } else if (press && Inside(area.text, row, column)) {
            drag_pane_ = area.pane;
            drag_anchor_ = model.OffsetAt(model.TopLine() + static_cast<std::size_t>(row - area.text.top),
                                          model.LeftColumn() + (column - area.text.left));
            drag_cell_ = {column, row, column + 1, row + 1};
        } else {
            continue;
        }
        dirty_.store(true);
        return;
    }
    if (release && drag_pane_ != 0) {  // a drag: the selection from the press to here
        const Hwnd pane = drag_pane_;
        drag_pane_ = 0;
        std::size_t end = drag_anchor_;
        for (const PaneArea& area : hits.panes) {
            if (area.pane != pane || area.text.right <= area.text.left || area.text.bottom <= area.text.top) continue;
            std::lock_guard lock(mutex_);
            auto it = panes_.find(pane);
            if (it == panes_.end()) break;
            const int at_row = std::clamp(row, area.text.top, area.text.bottom - 1) - area.text.top;
            const int at_column = std::clamp(column, area.text.left, area.text.right - 1) - area.text.left;
            end = it->second.OffsetAt(it->second.TopLine() + static_cast<std::size_t>(at_row),
                                      it->second.LeftColumn() + at_column);
            it->second.SetSelection(drag_anchor_, end);
        }
        if (end != drag_anchor_) SetPaneSelection(pane, drag_anchor_, end);
        MarkDirty();
    }
}

// The new size; windows that filled the old desktop fill the new one, which runs their layout
// handlers (WM_SIZE).
void Terminal::Resize() {
    winsize size{};
    if (SysIoctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_row == 0 || size.ws_col == 0) return;
    const Rect before = Desktop();
    if (size.ws_row != LINES || size.ws_col != COLS) resizeterm(size.ws_row, size.ws_col);
    rows_.store(LINES);
    columns_.store(COLS);
    const Rect after = Desktop();
    for (auto& window : AllWindows()) {
        WindowInfo info;
        if (!IsDrawnTopLevel(*window) || !OnThreadOf(*window->queue) || !DescribeWindow(window->handle, &info)) continue;
        const Rect& r = info.rect;
        if (r.left == before.left && r.top == before.top && r.right == before.right && r.bottom == before.bottom) {
            SetWindowPos(window->handle, 0, after.left, after.top, after.right - after.left, after.bottom - after.top,
                         SWP_NOZORDER);
        }
    }
    clearok(curscr, TRUE);
    MarkDirty();
}

// Ctrl+Z: the shell gets its terminal back while the process is stopped.
void Terminal::Suspend() {
    endwin();
    DisarmTerminalRestore();
    ::kill(::getpid(), SIGSTOP);
    RearmTerminalRestore();
    refresh();
    Resize();
}

Hwnd Terminal::DrawnWindow() const {
    Hwnd drawn = 0;
    for (auto& window : AllWindows()) {
        WindowInfo info;
        if (IsDrawnTopLevel(*window) && !window->destroying.load() && DescribeWindow(window->handle, &info) &&
            info.visible) {
            drawn = window->handle;
        }
    }
    return drawn;
}

Hwnd Terminal::FocusPane() const {
    Hwnd window = DrawnWindow();
    if (window == 0) return 0;
    for (auto& child : AllWindows()) {
        WindowInfo info;
        if (child->parent == window && child->class_name == "edit" && DescribeWindow(child->handle, &info) &&
            info.visible) {
            return child->handle;
        }
    }
    return 0;
}

}  // namespace platform::internal
