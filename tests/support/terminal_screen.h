// Reading a captured terminal screen in tests: its rows, the rows of the program's bars, the
// terminal modes that must be back after the program, and mouse reports as a terminal sends them.
//
// Index: ScreenRows Row CountOf Columns ColumnOf ShownReversed SttyHas MouseReport MouseClick TerminalRestored
#pragma once

#include <string>
#include <vector>

#include "tests/support/tmux.h"

namespace fwu_test {

std::vector<std::string> ScreenRows(const std::string& screen);
// Row `index` of the screen; "" past its end.
std::string Row(const std::string& screen, std::size_t index);
std::size_t CountOf(const std::string& text, char c);
// Cells of a captured row up to byte `end` (every character a cell: the screen shows no wide ones).
std::size_t Columns(const std::string& row, std::size_t end = std::string::npos);
// The column at which `text` starts in the row, or -1.
int ColumnOf(const std::string& row, const std::string& text);
// True when a row shows `text` in reverse video (capture with attributes), blanks allowed before it.
bool ShownReversed(const std::string& attributed_screen, const std::string& text);
// True when `stty -a` output shows the mode set ("icanon"), false when cleared ("-icanon") or absent.
bool SttyHas(const std::string& stty, const std::string& mode);
// An X10 mouse report: button 0 left press, 3 release, 64 wheel up, 65 wheel down; 0-based cell.
std::string MouseReport(int button, int column, int row);
std::string MouseClick(int column, int row);  // press and release
// The pane after the program: line discipline back (icanon, echo, ixon, isig), no alternate
// screen, cursor shown, no mouse reporting. Empty when so, else what is wrong.
std::string TerminalRestored(Tmux& tmux, const TerminalRun& run);

}  // namespace fwu_test
