// Implemented in platform/screen/terminal/rows.cpp.
// Live rows on a terminal's stdout: a block of lines redrawn in place under what was printed
// before it, for a program that shows the state of several jobs without taking the screen.
//
// How it works: terminfo (ncurses' setupterm) gives the cursor movements; a redraw goes back up
// over the block drawn last, writes each line cut to the terminal's width and clears the rest of
// it, all in one write. While the rows are shown the cursor is hidden and typed keys are not
// echoed; a fatal signal puts both back, and so does EndLiveRows. A resize, a suspend (Ctrl+Z) and
// a continue wake the caller through LiveRowsWake, whose descriptor it polls with the rest.
//
// Index: StartLiveRows LiveRowsWake TakeLiveRowsWakes LiveRowsWidth DrawLiveRows EndLiveRows
#pragma once

#include <string>
#include <vector>

namespace platform {

// True when stdout is a terminal that terminfo knows and that can move its cursor up and clear a
// line: the rows then start. False, changing nothing, otherwise (a pipe, a file, a dumb terminal).
bool StartLiveRows();
// Readable when a resize, a suspend or a continue came; -1 before StartLiveRows.
int LiveRowsWake();
// Takes what woke LiveRowsWake: a suspend stops the process here, with the terminal as the shell
// had it, and returns when it is continued. True when the rows must be drawn anew.
bool TakeLiveRowsWakes();
// The terminal's width in columns.
int LiveRowsWidth();
// Draws `block` in place of the block drawn last; each is cut to the width.
void DrawLiveRows(const std::vector<std::string>& block);
// Leaves the last block as it is, the cursor on the line below it, the terminal as it was.
void EndLiveRows();

}  // namespace platform
