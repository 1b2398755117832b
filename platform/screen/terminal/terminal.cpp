// The terminal screen: curses started with the first top-level window and ended with the last
// one (or at exit, or by a fatal signal), the window layer's notifications, and modal boxes.
// See platform/screen/terminal/terminal_screen.h for how the pieces meet.
#include <langinfo.h>
#include <ncurses.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/base/sys.h"
#include "platform/screen/terminal/terminal.h"
#include "platform/screen/terminal/terminal_screen.h"
#include "platform/window/window_state.h"

namespace platform::internal {
namespace {

constexpr std::uint32_t WsVscroll = 0x00200000;
constexpr const char* UnicodeLocales[] = {"C.UTF-8", "C.utf8", "en_US.UTF-8"};

// Keys that terminals send and terminfo entries often lack (xterm-style modifiers, other
// function-key and Home/End forms): sequence, curses key code.
constexpr struct {
    const char* sequence;
    int code;
} ExtraKeys[] = {
    {"\033[1;2A", KEY_SR},   {"\033[1;2B", KEY_SF},    {"\033[1;2C", KEY_SRIGHT}, {"\033[1;2D", KEY_SLEFT},
    {"\033[1;2H", KEY_SHOME}, {"\033[1;2F", KEY_SEND}, {"\033[H", KEY_HOME},      {"\033[F", KEY_END},
    {"\033OH", KEY_HOME},    {"\033OF", KEY_END},      {"\033[1~", KEY_HOME},     {"\033[4~", KEY_END},
    {"\033[7~", KEY_HOME},   {"\033[8~", KEY_END},     {"\033OP", KEY_F(1)},      {"\033[11~", KEY_F(1)},
    {"\033[21~", KEY_F(10)}, {"\033[24~", KEY_F(12)},
};

// A terminfo string that the terminal has, else nothing.
std::string Capability(const char* name) {
    const char* value = tigetstr(name);
    if (value == nullptr || value == reinterpret_cast<const char*>(-1)) return {};
    return value;
}

// The environment's character set; when the environment names no locale at all, or a UTF-8 one
// that this system lacks, a UTF-8 one of the system's, so that box drawing and wide characters
// do not hang on how the program was started.
void ChooseLocale() {
    const bool set = std::setlocale(LC_CTYPE, "") != nullptr;
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(name);
        if (value == nullptr || *value == '\0') continue;
        std::string wanted(value);
        for (char& c : wanted) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (set || (wanted.find("utf-8") == std::string::npos && wanted.find("utf8") == std::string::npos)) return;
        break;
    }
    for (const char* name : UnicodeLocales) {
        if (std::setlocale(LC_CTYPE, name) != nullptr) return;
    }
}

// ACS where the terminfo entry maps every piece and does not warn (U8) that the terminal ignores
// its line-drawing set in UTF-8 mode.
LineStyle ChooseLineStyle(bool unicode) {
    if (unicode) return LineStyle::Unicode;
    const std::string acsc = Capability("acsc");
    if (Capability("smacs").empty() || tigetnum(const_cast<char*>("U8")) > 0) return LineStyle::Ascii;
    for (char piece : std::string_view("qxlkmjtua")) {
        bool mapped = false;
        for (std::size_t i = 0; i + 1 < acsc.size(); i += 2) mapped |= acsc[i] == piece;
        if (!mapped) return LineStyle::Ascii;
    }
    return LineStyle::Acs;
}

Terminal* the_terminal = nullptr;  // set once, before any window exists

void EndCursesAtExit() {
    if (the_terminal) the_terminal->EndAtExit();
}

}  // namespace

Screen* TerminalScreen() {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    if (the_terminal) return the_terminal;
    if (!::isatty(STDIN_FILENO) || !::isatty(STDOUT_FILENO)) {
        errno = ENOTTY;
        return nullptr;
    }
    if (!TerminalTypeKnown()) {
        errno = ENOENT;
        return nullptr;
    }
    if (!TerminalAddressesCursor()) {
        errno = ENOTSUP;
        return nullptr;
    }
    ChooseLocale();
    the_terminal = new Terminal(std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0);  // lives until the process ends
    InstallTerminalSignals();
    std::atexit(EndCursesAtExit);
    return the_terminal;
}

// ---- curses on and off

bool Terminal::Start() {
    if (curses_ == nullptr) {
        termios shell_modes{};
        ::tcgetattr(STDIN_FILENO, &shell_modes);
        curses_ = newterm(nullptr, stdout, stdin);
        if (curses_ == nullptr) return false;
        set_term(curses_);
        cbreak();
        noecho();
        nonl();
        intrflush(stdscr, FALSE);
        keypad(stdscr, TRUE);
        nodelay(stdscr, TRUE);
        set_escdelay(25);
        curs_set(0);
        // Ctrl+Q and Ctrl+S are keys here, not flow control.
        termios modes{};
        ::tcgetattr(STDIN_FILENO, &modes);
        modes.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF);
        ::tcsetattr(STDIN_FILENO, TCSANOW, &modes);
        def_prog_mode();
        mousemask(BUTTON1_PRESSED | BUTTON1_RELEASED | BUTTON4_PRESSED | BUTTON5_PRESSED, nullptr);
        mouseinterval(0);  // presses and releases as they come, no waiting for clicks
        for (const auto& key : ExtraKeys) define_key(key.sequence, key.code);
        line_style_ = ChooseLineStyle(unicode_);

        std::string leave = Capability("sgr0") + Capability("cnorm") + Capability("rmkx") +
                            "\033[?1000l\033[?1002l\033[?1006l" + Capability("rmcup");
        ArmTerminalRestore(STDOUT_FILENO, shell_modes, leave);

        epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
        wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        flash_fd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        frame_fd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        auto add = [&](int fd, std::uint32_t tag) {
            epoll_event event{};
            event.events = EPOLLIN;
            event.data.u32 = tag;
            return fd >= 0 && ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &event) == 0;
        };
        stdin_polled_ = add(STDIN_FILENO, TagStdin);
        add(TerminalSignalPipe(), TagSignals);
        add(wake_fd_, TagWake);
        add(flash_fd_, TagFlash);
        add(frame_fd_, TagFrame);
    } else {
        refresh();  // back from endwin: curses mode again
        RearmTerminalRestore();
    }
    screen_thread_.store(std::this_thread::get_id());
    rows_.store(LINES);
    columns_.store(COLS);
    active_.store(true);
    MarkDirty();
    return true;
}

void Terminal::Stop() {
    if (!active_.exchange(false)) return;
    endwin();
    DisarmTerminalRestore();
}

void Terminal::EndAtExit() {
    if (!active_.load()) return;
    if (OnScreenThread()) {
        Stop();
    } else {
        active_.store(false);
        RestoreTerminalNow();
    }
}

bool Terminal::OnScreenThread() const { return screen_thread_.load() == std::this_thread::get_id(); }

void Terminal::MarkDirty() {
    if (dirty_.exchange(true) || wake_fd_ < 0) return;
    ScheduleFrame();
}

bool Terminal::FrameDue() const { return MonotonicNanoseconds() - last_frame_ns_.load() >= FrameNanoseconds; }

void Terminal::ScheduleFrame() {
    const long long wait = last_frame_ns_.load() + FrameNanoseconds - MonotonicNanoseconds();
    if (wait <= 0 || frame_fd_ < 0) {
        std::uint64_t one = 1;
        (void)SysWrite(wake_fd_, &one, sizeof one);
        return;
    }
    itimerspec once{};
    once.it_value.tv_sec = static_cast<time_t>(wait / 1'000'000'000);
    once.it_value.tv_nsec = static_cast<long>(wait % 1'000'000'000);
    ::timerfd_settime(frame_fd_, 0, &once, nullptr);
}

bool Terminal::AnyWindowLeft() const {
    for (auto& window : AllWindows()) {
        if (IsDrawnTopLevel(*window) && window->alive.load() && !window->destroying.load()) return true;
    }
    return false;
}

Rect Terminal::Desktop() const {
    int rows = rows_.load();
    int columns = columns_.load();
    if (rows <= 0 || columns <= 0) {
        winsize size{};
        if (SysIoctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0 && size.ws_col > 0) {
            rows = size.ws_row;
            columns = size.ws_col;
        } else {
            rows = 24;
            columns = 80;
        }
    }
    // Between the title bar (row 0) and the menu bar (the last row).
    return {0, 1, columns, rows > 2 ? rows - 1 : 2};
}

int Terminal::InputDescriptor() const { return active_.load() ? epoll_fd_ : -1; }

// ---- notifications

void Terminal::WindowCreated(Hwnd handle) {
    auto window = LookupWindow(handle);
    if (!window) return;
    if (IsDrawnTopLevel(*window) && !active_.load()) {
        auto screen_queue = ScreenQueue();
        if (screen_queue && OnThreadOf(*screen_queue)) Start();
    }
    if (window->class_name == "edit") SyncPane(handle);
    MarkDirty();
}

void Terminal::WindowDestroyed(Hwnd handle) {
    {
        std::lock_guard lock(mutex_);
        panes_.erase(handle);
        done_buttons_.erase(handle);
        if (menu_owner_ == handle) menu_open_ = false;
        std::erase_if(boxes_, [&](const std::shared_ptr<TerminalBox>& box) { return box->dialog == handle; });
    }
    if (active_.load() && OnScreenThread() && !AnyWindowLeft()) {
        Stop();
        return;
    }
    MarkDirty();
}

void Terminal::WindowChanged(Hwnd handle) {
    auto window = LookupWindow(handle);
    if (window && window->class_name == "edit") {
        std::size_t start = 0, end = 0;
        WindowInfo info;
        if (EditSnapshot(handle, nullptr, &start, &end) && DescribeWindow(handle, &info)) {
            std::lock_guard lock(mutex_);
            auto it = panes_.find(handle);
            if (it != panes_.end()) {
                int bar = (info.style & WsVscroll) ? 1 : 0;
                it->second.SetSelection(start, end);
                it->second.Resize(info.rect.right - info.rect.left - bar, info.rect.bottom - info.rect.top);
            }
        }
    }
    MarkDirty();
}

void Terminal::Paint(Hwnd) {
    MarkDirty();
    if (active_.load() && OnScreenThread() && dirty_.exchange(false)) Draw();
}

// The mirror follows the control change by change; one that does not fit is read again whole.
void Terminal::EditReplaced(Hwnd edit, std::size_t position, std::size_t removed, std::string_view inserted) {
    std::size_t start = 0, end = 0;
    if (!EditSnapshot(edit, nullptr, &start, &end)) return;
    bool in_step;
    {
        std::lock_guard lock(mutex_);
        auto it = panes_.find(edit);
        in_step = it != panes_.end() && it->second.Replace(position, removed, inserted);
        // A drag's anchor moves with the text when the control drops its oldest lines.
        if (in_step && OnScreenThread() && drag_pane_ == edit && position == 0 && inserted.empty()) {
            drag_anchor_ = drag_anchor_ > removed ? drag_anchor_ - removed : 0;
        }
        if (in_step) {
            it->second.SetSelection(start, end);
            it->second.FollowCaret();
        }
    }
    if (!in_step) SyncPane(edit);
    MarkDirty();
}

void Terminal::SyncPane(Hwnd edit) {
    std::string text;
    std::size_t start = 0, end = 0;
    WindowInfo info;
    if (!EditSnapshot(edit, &text, &start, &end) || !DescribeWindow(edit, &info)) return;
    std::lock_guard lock(mutex_);
    auto [it, fresh] = panes_.try_emplace(edit, unicode_);
    it->second.Reset(std::move(text), start, end);
    int bar = (info.style & WsVscroll) ? 1 : 0;
    it->second.Resize(info.rect.right - info.rect.left - bar, info.rect.bottom - info.rect.top);
    it->second.FollowCaret();
}

void Terminal::MenuBarCreated(Hwnd, Hwnd, Hmenu) { MarkDirty(); }

void Terminal::MenuChanged(Hmenu) { MarkDirty(); }

void Terminal::DoneButton(Hwnd window) {
    {
        std::lock_guard lock(mutex_);
        done_buttons_.insert(window);
    }
    MarkDirty();
}

void Terminal::AttentionRequested(Hwnd) {
    {
        std::lock_guard lock(mutex_);
        flash_asked_ = true;
    }
    MarkDirty();
}

// ---- boxes

int Terminal::MessageBox(Hwnd, std::string_view text, std::string_view caption, std::uint32_t type) {
    auto queue = CurrentQueue(true);
    if (!active_.load() || !queue) {
        // No picture to show it in (the window has gone): the text is not lost.
        // Appended piece by piece: GCC 12 sees a false overlap in "[" + std::string(...) (-O2).
        std::string line = "[";
        line.append(caption).append("] ").append(text).append("\n");
        (void)SysWrite(STDERR_FILENO, line.data(), line.size());
        return IDOK;
    }
    auto box = std::make_shared<TerminalBox>();
    box->caption = caption;
    box->text = text;
    box->type = type;
    box->waiter = queue;
    {
        std::lock_guard lock(mutex_);
        menu_open_ = false;
        boxes_.push_back(box);
    }
    MarkDirty();
    PumpMessagesUntil([&] {
        std::lock_guard lock(mutex_);
        return box->done;
    });
    {
        std::lock_guard lock(mutex_);
        std::erase(boxes_, box);
    }
    MarkDirty();
    return IDOK;
}

void Terminal::CloseMessageBoxes(std::string_view caption) {
    std::vector<std::shared_ptr<TerminalBox>> closing;
    {
        std::lock_guard lock(mutex_);
        for (const auto& box : boxes_) {
            if (box->dialog == 0 && !box->done && box->caption == caption) closing.push_back(box);
        }
    }
    for (const auto& box : closing) CloseBox(box, IDOK);
}

void Terminal::DialogShown(Hwnd dialog, const DialogTemplate& dialog_template) {
    if (!active_.load()) {
        EndDialog(dialog, IDCANCEL);  // nobody can see it
        return;
    }
    auto box = std::make_shared<TerminalBox>();
    box->dialog = dialog;
    box->caption = dialog_template.caption ? dialog_template.caption : "";
    box->width_units = dialog_template.width;
    box->height_units = dialog_template.height;
    for (std::size_t i = 0; i < dialog_template.count; ++i) {
        const DialogControlTemplate& control = dialog_template.controls[i];
        box->controls.push_back({control.window_class ? control.window_class : "", control.text ? control.text : "",
                                 control.x, control.y, control.width, control.height});
    }
    {
        std::lock_guard lock(mutex_);
        menu_open_ = false;
        boxes_.push_back(box);
    }
    MarkDirty();
}

// A message box is done and its loop woken with a null message; a dialog gets the command that
// its buttons would send, and goes when its procedure ends it.
void Terminal::CloseBox(const std::shared_ptr<TerminalBox>& box, int command) {
    if (box->dialog != 0) {
        PostMessage(box->dialog, WM_COMMAND, MakeWParam(static_cast<std::uint16_t>(command), 0), 0);
        return;
    }
    std::shared_ptr<Queue> waiter;
    {
        std::lock_guard lock(mutex_);
        box->done = true;
        waiter = box->waiter;
    }
    if (!waiter) return;
    {
        std::lock_guard lock(waiter->mutex);
        waiter->posted.push_back({0, 0, 0, 0});
    }
    waiter->Wake();
}

}  // namespace platform::internal
