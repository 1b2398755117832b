#include "tests/support/terminal_screen.h"

#include <algorithm>
#include <sstream>

namespace fwu_test {

std::vector<std::string> ScreenRows(const std::string& screen) {
    std::vector<std::string> rows;
    std::stringstream in(screen);
    std::string row;
    while (std::getline(in, row)) rows.push_back(row);
    return rows;
}

std::string Row(const std::string& screen, std::size_t index) {
    auto rows = ScreenRows(screen);
    return index < rows.size() ? rows[index] : std::string();
}

std::size_t CountOf(const std::string& text, char c) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), c));
}

std::size_t Columns(const std::string& row, std::size_t end) {
    std::size_t cells = 0;
    for (std::size_t i = 0; i < row.size() && i < end; ++i) {
        if ((static_cast<unsigned char>(row[i]) & 0xC0) != 0x80) ++cells;
    }
    return cells;
}

int ColumnOf(const std::string& row, const std::string& text) {
    std::size_t at = row.find(text);
    return at == std::string::npos ? -1 : static_cast<int>(Columns(row, at));
}

bool ShownReversed(const std::string& attributed_screen, const std::string& text) {
    static const std::string reverse = "\033[7m";
    for (std::size_t at = attributed_screen.find(reverse); at != std::string::npos;
         at = attributed_screen.find(reverse, at + 1)) {
        std::size_t start = attributed_screen.find_first_not_of(' ', at + reverse.size());
        if (start != std::string::npos && attributed_screen.compare(start, text.size(), text) == 0) return true;
    }
    return false;
}

bool SttyHas(const std::string& stty, const std::string& mode) {
    std::string token;
    std::stringstream in(stty);
    while (in >> token) {
        if (!token.empty() && token.back() == ';') token.pop_back();
        if (token == mode) return true;
    }
    return false;
}

std::string MouseReport(int button, int column, int row) {
    std::string report = "\033[M";
    report += static_cast<char>(32 + button);
    report += static_cast<char>(33 + column);
    report += static_cast<char>(33 + row);
    return report;
}

std::string MouseClick(int column, int row) { return MouseReport(0, column, row) + MouseReport(3, column, row); }

std::string TerminalRestored(Tmux& tmux, const TerminalRun& run) {
    std::string wrong;
    const std::string stty = run.SttyModes();
    for (const char* mode : {"icanon", "echo", "ixon", "isig", "icrnl"}) {
        if (!SttyHas(stty, mode)) wrong += std::string(" stty lacks ") + mode + ";";
    }
    if (tmux.Format("#{alternate_on}") != "0") wrong += " still on the alternate screen;";
    if (tmux.Format("#{cursor_flag}") != "1") wrong += " cursor hidden;";
    if (tmux.Format("#{mouse_any_flag}") != "0") wrong += " mouse reporting left on;";
    if (tmux.Format("#{keypad_cursor_flag}") != "0") wrong += " cursor keys left in application mode;";
    return wrong;
}

}  // namespace fwu_test
