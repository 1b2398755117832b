// Implemented in sim/pty.cpp.
// Pseudo-terminal pairs for the simulated handset's serial lines. The sim keeps the master and
// also holds the slave open, so that the master never polls as hung up while the tool (or a
// host program) has the slave closed; the held slave is never read, so everything written on
// the master reaches whoever opens the slave path. Slaves start in raw mode (no echo).
//
// Index: Pty OpenPty ClosePty | OpenPtyMaster MakeRaw FrameBits
#pragma once

#include <cstdint>
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

// A new pseudo-terminal: its master (close-on-exec, no controlling tty; non-blocking when asked)
// and its slave's path, for whoever needs only the pair (tests, benchmarks). False with *error
// set ("pseudo-terminal: step: reason"), nothing left open.
bool OpenPtyMaster(bool nonblocking, int* master, std::string* slave_path, std::string* error);
// A terminal in raw mode: no echo, no line editing, 8 bits through. False when it is no tty.
bool MakeRaw(int fd);
// The bits one byte takes on a line framed as the terminal is set: a start bit, the data bits,
// a parity bit if any and the stop bits (two for CSTOPB). A master gives its slave's settings,
// as the program on the slave set them (a Linux pty keeps 8 data bits and no parity whatever
// is asked: only its stop bits follow the settings). 0 when `fd` is no terminal.
std::uint32_t FrameBits(int fd);

}  // namespace sim
