// Pseudo-terminal pairs for the simulated handset's serial lines. The sim keeps the master and
// also holds the slave open, so that the master never polls as hung up while the tool (or a
// host program) has the slave closed; the held slave is never read, so everything written on
// the master reaches whoever opens the slave path. Slaves start in raw mode (no echo).
//
// Index: Pty OpenPty ClosePty
#pragma once

#include <string>

namespace sim {

struct Pty {
    int master = -1;      // non-blocking, close-on-exec
    int held_slave = -1;  // never read or written
    std::string slave_path;
};

// False with *error set ("pseudo-terminal: reason").
bool OpenPty(Pty* pty, std::string* error);
void ClosePty(Pty* pty);

}  // namespace sim
