#include "sim/pty.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sim {

bool OpenPty(Pty* pty, std::string* error) {
    auto fail = [&](const char* step) {
        *error = std::string("pseudo-terminal: ") + step + ": " + std::strerror(errno);
        ClosePty(pty);
        return false;
    };
    pty->master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty->master < 0) return fail("posix_openpt");
    if (::grantpt(pty->master) != 0) return fail("grantpt");
    if (::unlockpt(pty->master) != 0) return fail("unlockpt");
    char name[128];
    if (::ptsname_r(pty->master, name, sizeof name) != 0) return fail("ptsname");
    pty->slave_path = name;
    if (::fcntl(pty->master, F_SETFL, ::fcntl(pty->master, F_GETFL) | O_NONBLOCK) != 0)
        return fail("non-blocking master");
    pty->held_slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (pty->held_slave < 0) return fail(name);
    struct termios settings {};
    if (::tcgetattr(pty->held_slave, &settings) != 0) return fail("tcgetattr");
    ::cfmakeraw(&settings);
    if (::tcsetattr(pty->held_slave, TCSANOW, &settings) != 0) return fail("tcsetattr");
    return true;
}

void ClosePty(Pty* pty) {
    if (pty->held_slave >= 0) ::close(pty->held_slave);
    if (pty->master >= 0) ::close(pty->master);
    pty->held_slave = pty->master = -1;
}

}  // namespace sim
