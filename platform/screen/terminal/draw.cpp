// The picture of the terminal screen, drawn whole on the screen thread (curses sends only what
// changed): the title bar, the top-level window with its log pane and scroll bar, the menu bar,
// the open menu, and the boxes from the bottom of the stack to the top.
#include <ncurses.h>
#include <sys/timerfd.h>

#include <algorithm>

#include "platform/screen/terminal/terminal_screen.h"

namespace platform::internal {
namespace {

constexpr std::uint32_t WsVscroll = 0x00200000;
constexpr std::uint32_t MbIconMask = 0xF0;
constexpr long FlashNanoseconds = 400'000'000;
constexpr int BoxTextWidth = 60;
constexpr int BoxStepRows = 3, BoxStepColumns = 4;

// icon bits of a message box's type, the mark shown before its text
constexpr struct {
    std::uint32_t icon;
    const char* mark;
} IconMarks[] = {
    {0x10, "(X) "},  // stop
    {0x20, "(?) "},  // question
    {0x30, "(!) "},  // exclamation
    {0x40, "(i) "},  // information
};

// Each piece of a frame as drawn in each line style (LinePiece order).
constexpr struct {
    const char* unicode;
    char acs;    // its letter in terminfo's acsc
    char ascii;
} LinePieces[] = {
    {"\u2500", 'q', '-'}, {"\u2502", 'x', '|'}, {"\u250C", 'l', '+'}, {"\u2510", 'k', '+'}, {"\u2514", 'm', '+'},
    {"\u2518", 'j', '+'}, {"\u251C", 't', '+'}, {"\u2524", 'u', '+'}, {"\u2592", 'a', ':'},
};

}  // namespace

// `count` copies of a piece from (row, column), across or `down`, in the current attributes.
void Terminal::PutLine(int row, int column, LinePiece piece, int count, bool down) {
    const auto& glyph = LinePieces[static_cast<int>(piece)];
    for (int i = 0; i < count; ++i) {
        const int r = down ? row + i : row, c = down ? column : column + i;
        if (line_style_ == LineStyle::Unicode) {
            mvaddstr(r, c, glyph.unicode);
        } else {
            mvaddch(r, c, line_style_ == LineStyle::Acs ? NCURSES_ACS(glyph.acs) : static_cast<chtype>(glyph.ascii));
        }
    }
}

void Terminal::Frame(int top, int left, int height, int width) {
    if (height < 2 || width < 2) return;
    attrset(A_NORMAL);
    for (int row = top + 1; row < top + height - 1; ++row) mvhline(row, left + 1, ' ', width - 2);
    PutLine(top, left, LinePiece::TopLeft, 1, false);
    PutLine(top, left + 1, LinePiece::Horizontal, width - 2, false);
    PutLine(top, left + width - 1, LinePiece::TopRight, 1, false);
    PutLine(top + 1, left, LinePiece::Vertical, height - 2, true);
    PutLine(top + 1, left + width - 1, LinePiece::Vertical, height - 2, true);
    PutLine(top + height - 1, left, LinePiece::BottomLeft, 1, false);
    PutLine(top + height - 1, left + 1, LinePiece::Horizontal, width - 2, false);
    PutLine(top + height - 1, left + width - 1, LinePiece::BottomRight, 1, false);
}

void Terminal::Draw() {
    if (!active_.load() || !OnScreenThread()) return;
    std::lock_guard lock(mutex_);
    if (flash_asked_) {  // asked to the front from elsewhere: the bell and a short flash
        flash_asked_ = false;
        flash_on_ = true;
        beep();
        itimerspec once{};
        once.it_value.tv_nsec = FlashNanoseconds;
        timerfd_settime(flash_fd_, 0, &once, nullptr);
    }
    last_frame_ns_.store(MonotonicNanoseconds());
    hits_ = Hits{};
    attrset(A_NORMAL);
    erase();
    const Hwnd window = DrawnWindow();
    hits_.window = window;
    DrawTitleBar(window);
    if (window != 0) DrawWindow(window);
    DrawMenuBar(window);
    if (menu_open_) DrawMenu();
    for (std::size_t depth = 0; depth < boxes_.size(); ++depth) DrawBox(*boxes_[depth], static_cast<int>(depth));
    // The caret of the log pane, unless something lies over it; during a drag, where it began.
    bool caret = false;
    if (drag_pane_ != 0) {
        caret = true;
        move(drag_cell_.top, drag_cell_.left);
    } else if (boxes_.empty() && !menu_open_ && !hits_.panes.empty()) {
        const PaneArea& area = hits_.panes.front();
        auto it = panes_.find(area.pane);
        int row = 0, column = 0;
        if (it != panes_.end() && it->second.CaretCell(&row, &column)) {
            caret = true;
            move(area.text.top + row, area.text.left + column);
        }
    }
    attrset(A_NORMAL);
    curs_set(caret ? 1 : 0);
    refresh();
}

void Terminal::DrawTitleBar(Hwnd window) {
    const int columns = COLS;
    attrset(flash_on_ ? A_BOLD : A_REVERSE);
    mvhline(0, 0, ' ', columns);
    WindowInfo info;
    const bool described = window != 0 && DescribeWindow(window, &info);
    const bool done = described && done_buttons_.count(window) != 0 && columns >= 6;
    if (described) {
        // The main window's title carries what it works on (the handset and the payload set).
        const std::string status = info.parent == 0 && info.owner == 0 ? ScreenStatus() : std::string();
        const std::string title = status.empty() ? info.title : info.title + " - " + status;
        mvaddstr(0, 1, ClipText(title, columns - 2 - (done ? 6 : 0), unicode_).c_str());
    }
    if (done) {
        mvaddstr(0, columns - 5, "[OK]");
        hits_.done_button = {columns - 5, 0, columns - 1, 1};
    }
    attrset(A_NORMAL);
}

// The window's children at their places, clipped to the window and to the desktop.
void Terminal::DrawWindow(Hwnd window) {
    WindowInfo info;
    if (!DescribeWindow(window, &info)) return;
    const Rect desktop = Desktop();
    const Rect bounds{std::max(info.rect.left, 0), std::max(info.rect.top, desktop.top),
                      std::min(info.rect.right, COLS), std::min(info.rect.bottom, std::min(desktop.bottom, LINES - 1))};
    for (auto& child : AllWindows()) {
        WindowInfo part;
        if (child->parent != window || !DescribeWindow(child->handle, &part) || !part.visible) continue;
        Rect area{std::max(info.rect.left + part.rect.left, bounds.left),
                  std::max(info.rect.top + part.rect.top, bounds.top),
                  std::min(info.rect.left + part.rect.right, bounds.right),
                  std::min(info.rect.top + part.rect.bottom, bounds.bottom)};
        if (area.right <= area.left || area.bottom <= area.top) continue;
        if (part.class_name == "edit") {
            DrawPane(child->handle, area, (part.style & WsVscroll) != 0);
        } else if (part.class_name == "static") {
            auto lines = WrapText(part.title, area.right - area.left, unicode_);
            for (std::size_t i = 0; i < lines.size() && area.top + static_cast<int>(i) < area.bottom; ++i) {
                mvaddstr(area.top + static_cast<int>(i), area.left, lines[i].c_str());
            }
        }
    }
}

void Terminal::DrawPane(Hwnd pane, const Rect& area, bool scroll_bar) {
    auto it = panes_.find(pane);
    if (it == panes_.end()) return;
    PaneModel& model = it->second;
    const int width = area.right - area.left;
    const int height = area.bottom - area.top;
    const int text_width = scroll_bar ? width - 1 : width;
    model.Resize(text_width, height);
    for (int row = 0; row < height && text_width > 0; ++row) {
        move(area.top + row, area.left);
        for (const RowSpan& span : model.RenderRow(row)) {
            attrset(span.selected ? A_REVERSE : A_NORMAL);
            addstr(span.text.c_str());
        }
    }
    attrset(A_NORMAL);
    if (scroll_bar) {
        // A thumb only when there is something to scroll.
        ThumbPlace thumb = model.ScrollThumb(height);
        if (thumb.length >= height) thumb = {0, 0};
        for (int row = 0; row < height; ++row) {
            if (row >= thumb.start && row < thumb.start + thumb.length) {
                mvaddch(area.top + row, area.right - 1, ' ' | A_REVERSE);
            } else {
                PutLine(area.top + row, area.right - 1, LinePiece::Shade, 1, false);
            }
        }
    }
    hits_.panes.push_back({pane,
                           {area.left, area.top, area.left + std::max(text_width, 0), area.bottom},
                           {area.right - (scroll_bar ? 1 : 0), area.top, area.right, area.bottom}});
}

// The last row: the bar's button (its label) at the left, the screen's keys at the right.
void Terminal::DrawMenuBar(Hwnd window) {
    const int row = LINES - 1;
    const int columns = COLS;
    if (row < 1) return;
    attrset(A_REVERSE);
    mvhline(row, 0, ' ', columns);
    Hmenu menu = 0;
    std::string label;
    const bool bar = window != 0 && MenuBarOf(window, &menu, &label) != 0;
    int used = 0;
    if (bar) {
        std::string button = ClipText(" " + label + " ", columns - 1, unicode_);
        attrset(menu_open_ ? (A_NORMAL | A_BOLD) : (A_REVERSE | A_BOLD));
        mvaddstr(row, 0, button.c_str());
        used = TextWidth(button, unicode_);
        hits_.menu_label = {0, row, used, row + 1};
    }
    std::string hint;
    if (bar) hint = "F10 Menu";
    if (hits_.done_button.right > hits_.done_button.left) hint += hint.empty() ? "F12 OK" : "  F12 OK";
    const int hint_width = TextWidth(hint, unicode_);
    if (!hint.empty() && used + 2 + hint_width < columns - 1) {
        attrset(A_REVERSE);
        mvaddstr(row, columns - 2 - hint_width, hint.c_str());
    }
    attrset(A_NORMAL);
}

// The pop-up above the bar's button: a check column, the items, separators as lines.
void Terminal::DrawMenu() {
    Hmenu menu = 0;
    MenuInfo info;
    if (MenuBarOf(menu_owner_, &menu, nullptr) == 0 || !DescribeMenu(menu, &info)) return;
    int widest = 0;
    for (const MenuItemInfo& item : info.items) widest = std::max(widest, TextWidth(item.text, unicode_));
    const int bottom = LINES - 1;
    const int width = std::min(widest + 6, COLS);
    const int height = std::min(static_cast<int>(info.items.size()) + 2, bottom);
    const int top = bottom - height;
    if (width < 4 || height < 3) return;
    Frame(top, 0, height, width);
    const char* check = unicode_ ? "\u2713 " : "* ";
    for (int i = 0; i < height - 2; ++i) {
        const MenuItemInfo& item = info.items[static_cast<std::size_t>(i)];
        const int row = top + 1 + i;
        if (item.separator) {
            PutLine(row, 0, LinePiece::LeftTee, 1, false);
            PutLine(row, 1, LinePiece::Horizontal, width - 2, false);
            PutLine(row, width - 1, LinePiece::RightTee, 1, false);
            continue;
        }
        attrset(i == menu_selected_ ? A_REVERSE : A_NORMAL);
        mvhline(row, 1, ' ', width - 2);
        std::string line = std::string(item.checked ? check : "  ") + item.text;
        mvaddstr(row, 2, ClipText(line, width - 4, unicode_).c_str());
        attrset(A_NORMAL);
    }
    hits_.menu = {0, top, width, bottom};
}

// Centred (the first one). A message box: caption in its frame, text, an OK button. A dialog: caption and
// "[OK]" in its frame (the done button of its caption bar), the static texts at their places
// (a dialog unit is a quarter of a cell across and an eighth down).
void Terminal::DrawBox(TerminalBox& box, int depth) {
    const int rows = LINES, columns = COLS;
    int width, height;
    std::vector<std::string> lines;
    if (box.dialog == 0) {
        std::string text = box.text;
        for (const auto& row : IconMarks) {
            if ((box.type & MbIconMask) == row.icon) text = row.mark + text;
        }
        lines = WrapText(text, std::max(std::min(BoxTextWidth, columns - 6), 1), unicode_);
        int widest = 0;
        for (const auto& line : lines) widest = std::max(widest, TextWidth(line, unicode_));
        width = std::max({widest + 4, TextWidth(box.caption, unicode_) + 6, 12}) + 2;
        height = static_cast<int>(lines.size()) + 5;
    } else {
        width = std::max((box.width_units + 3) / 4, TextWidth(box.caption, unicode_) + 8) + 2;
        height = (box.height_units + 7) / 8 + 2;
    }
    width = std::min(width, columns);
    height = std::min(height, rows);
    // Boxes open at once step down and to the right, so that each one's caption and first line
    // stay in sight under the next.
    const int top = std::min((rows - height) / 2 + depth * BoxStepRows, rows - height);
    const int left = std::min((columns - width) / 2 + depth * BoxStepColumns, columns - width);
    box.area = {left, top, left + width, top + height};
    Frame(top, left, height, width);
    attrset(A_BOLD);
    const int ok_room = box.dialog != 0 ? 6 : 0;
    mvaddstr(top, left + 2, ClipText(" " + box.caption + " ", width - 4 - ok_room, unicode_).c_str());
    attrset(A_NORMAL);
    if (box.dialog == 0) {
        for (std::size_t i = 0; i < lines.size() && top + 2 + static_cast<int>(i) < top + height - 2; ++i) {
            mvaddstr(top + 2 + static_cast<int>(i), left + 3, ClipText(lines[i], width - 4, unicode_).c_str());
        }
        const char* button = "[ OK ]";
        attrset(A_REVERSE);
        mvaddstr(top + height - 2, left + (width - 6) / 2, ClipText(button, width - 2, unicode_).c_str());
        attrset(A_NORMAL);
        return;
    }
    if (width >= 8) {
        attrset(A_BOLD);
        mvaddstr(top, left + width - 6, "[OK]");
        attrset(A_NORMAL);
    }
    for (const TerminalBox::Control& control : box.controls) {
        const int x = left + 1 + control.x / 4;
        const int y = top + 1 + control.y / 8;
        const int cells = std::min((control.width + 3) / 4, left + width - 1 - x);
        const int lines_room = std::min((control.height + 7) / 8, top + height - 1 - y);
        if (cells <= 0 || lines_room <= 0) continue;
        std::string text = control.window_class == "button" ? "[" + control.text + "]" : control.text;
        auto wrapped = WrapText(text, cells, unicode_);
        for (int i = 0; i < lines_room && i < static_cast<int>(wrapped.size()); ++i) {
            mvaddstr(y + i, x, wrapped[static_cast<std::size_t>(i)].c_str());
        }
    }
}

}  // namespace platform::internal
