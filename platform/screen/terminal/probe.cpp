// A look at terminfo for the terminal that TERM names, before curses takes the terminal. Apart
// from the other terminal files because <term.h> defines every capability name as a macro.
#include <ncurses.h>
#include <term.h>
#include <unistd.h>

#include "platform/screen/terminal/terminal.h"

namespace platform::internal {

bool TerminalTypeKnown() {
    int status = 0;
    if (setupterm(nullptr, STDOUT_FILENO, &status) != OK) return false;
    del_curterm(cur_term);
    return true;
}

// Without cursor addressing (a "dumb" terminal) curses can draw nothing but the bottom row.
bool TerminalAddressesCursor() {
    int status = 0;
    if (setupterm(nullptr, STDOUT_FILENO, &status) != OK) return false;
    const bool addresses = cursor_address != nullptr && cursor_address != reinterpret_cast<char*>(-1);
    del_curterm(cur_term);
    return addresses;
}

}  // namespace platform::internal
