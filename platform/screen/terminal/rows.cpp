// Live rows (screen/rows.h) through terminfo: cursor up, clear to the end of a line and of the
// screen, cursor hidden and shown again. Apart from the other terminal files because <term.h>
// defines every capability name as a macro. Called from one thread.
#include <ncurses.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <term.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/screen/rows.h"
#include "platform/screen/terminal/terminal.h"

namespace platform {
namespace {

constexpr int FallbackWidth = 80;
constexpr std::size_t WakeChunk = 64;

bool started = false;
termios shell_modes{};
bool modes_changed = false;  // echo is off (only ever in the terminal's foreground)
std::size_t drawn = 0;    // lines of the block on the terminal now
bool clear_below = false;  // the width changed: what the old block left goes too
std::string out;           // what one redraw writes

bool Has(const char* capability) { return capability != nullptr && capability != reinterpret_cast<char*>(-1); }

int Collect(int c) {
    out.push_back(static_cast<char>(c));
    return c;
}

void Put(const char* capability) {
    if (Has(capability)) tputs(capability, 1, Collect);
}

void Send() {
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    out.clear();
}

// A background job changing the terminal's modes would be stopped (SIGTTOU).
bool InForeground() { return ::tcgetpgrp(STDOUT_FILENO) == ::getpgrp(); }

// Cursor hidden, keys not echoed (a typed ^C would land in a row); a fatal signal undoes both.
void Quiet() {
    modes_changed = InForeground();
    if (modes_changed) {
        termios quiet = shell_modes;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDOUT_FILENO, TCSADRAIN, &quiet);
    }
    internal::ArmTerminalRestore(STDOUT_FILENO, shell_modes, Has(cursor_normal) ? cursor_normal : "");
    Put(cursor_invisible);
    Send();
}

void Loud() {
    Put(cursor_normal);
    Send();
    if (modes_changed && InForeground()) ::tcsetattr(STDOUT_FILENO, TCSADRAIN, &shell_modes);
    modes_changed = false;
    internal::DisarmTerminalRestore();
}

// Cut to width - 1 columns (the last column would wrap on some terminals), counting characters
// of UTF-8, not bytes.
std::string Cut(const std::string& line, int width) {
    int shown = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const bool continuation = (static_cast<unsigned char>(line[i]) & 0xC0) == 0x80;
        if (!continuation && ++shown > width - 1) return line.substr(0, i);
    }
    return line;
}

}  // namespace

bool StartLiveRows() {
    if (started) return true;
    if (!::isatty(STDOUT_FILENO) || !InForeground() || ::tcgetattr(STDOUT_FILENO, &shell_modes) != 0) return false;
    int status = 0;
    if (setupterm(nullptr, STDOUT_FILENO, &status) != OK) return false;
    if (!(Has(cursor_up) || Has(parm_up_cursor)) || !Has(clr_eol)) {
        del_curterm(cur_term);
        return false;
    }
    internal::InstallTerminalSignals();
    started = true;
    drawn = 0;
    Quiet();
    return true;
}

int LiveRowsWake() { return started ? internal::TerminalSignalPipe() : -1; }

bool TakeLiveRowsWakes() {
    char bytes[WakeChunk];
    bool redraw = false;
    ssize_t n;
    while ((n = ::read(internal::TerminalSignalPipe(), bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            if (bytes[i] == 'W') clear_below = redraw = true;
            if (bytes[i] != 'Z' || !started) continue;
            // Stopped as the shell expects, with the terminal as the shell had it; the shell's
            // lines and the resumed command's line then stand under the block: a new one starts.
            Loud();
            ::kill(::getpid(), SIGSTOP);
            Quiet();
            drawn = 0;
            redraw = true;
        }
    }
    return redraw;
}

int LiveRowsWidth() {
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    const int known = started ? tigetnum("cols") : -1;
    return known > 0 ? known : FallbackWidth;
}

void DrawLiveRows(const std::vector<std::string>& block) {
    if (!started) return;
    std::fflush(stdout);
    if (drawn > 0) {
        out.push_back('\r');
        if (Has(parm_up_cursor)) {
            Put(tparm(parm_up_cursor, static_cast<long>(drawn)));
        } else {
            for (std::size_t i = 0; i < drawn; ++i) Put(cursor_up);
        }
    }
    if (clear_below) Put(clr_eos);
    clear_below = false;
    const int width = LiveRowsWidth();
    for (const std::string& line : block) {
        out += Cut(line, width);
        Put(clr_eol);
        out.push_back('\n');
    }
    drawn = block.size();
    Send();
}

void EndLiveRows() {
    if (!started) return;
    Loud();
    started = false;
    drawn = 0;
}

}  // namespace platform
