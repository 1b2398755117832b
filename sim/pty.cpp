#include "sim/pty.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sim {

namespace {

bool Fail(const std::string& step, std::string* error) {
    *error = "pseudo-terminal: " + step + ": " + std::strerror(errno);
    return false;
}

}  // namespace

bool OpenPtyMaster(bool nonblocking, int* master, std::string* slave_path, std::string* error) {
    const int fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | (nonblocking ? O_NONBLOCK : 0));
    if (fd < 0) return Fail("posix_openpt", error);
    char name[128];
    const char* step = ::grantpt(fd) != 0                            ? "grantpt"
                       : ::unlockpt(fd) != 0                         ? "unlockpt"
                       : ::ptsname_r(fd, name, sizeof name) != 0     ? "ptsname"
                                                                     : nullptr;
    if (step != nullptr) {
        Fail(step, error);
        ::close(fd);
        return false;
    }
    *master = fd;
    *slave_path = name;
    return true;
}

bool MakeRaw(int fd) {
    struct termios settings {};
    if (::tcgetattr(fd, &settings) != 0) return false;
    ::cfmakeraw(&settings);
    return ::tcsetattr(fd, TCSANOW, &settings) == 0;
}

std::uint32_t FrameBits(int fd) {
    struct termios settings {};
    if (::tcgetattr(fd, &settings) != 0) return 0;
    std::uint32_t data = 8;
    switch (settings.c_cflag & CSIZE) {
        case CS5: data = 5; break;
        case CS6: data = 6; break;
        case CS7: data = 7; break;
        default: break;
    }
    const std::uint32_t parity = (settings.c_cflag & PARENB) ? 1 : 0;
    const std::uint32_t stop = (settings.c_cflag & CSTOPB) ? 2 : 1;
    constexpr std::uint32_t start = 1;
    return start + data + parity + stop;
}

bool OpenPty(Pty* pty, std::string* error) {
    if (!OpenPtyMaster(true, &pty->master, &pty->slave_path, error)) return false;
    pty->held_slave = ::open(pty->slave_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (pty->held_slave < 0 || !MakeRaw(pty->held_slave)) {
        Fail(pty->slave_path, error);
        ClosePty(pty);
        return false;
    }
    return true;
}

void ClosePty(Pty* pty) {
    if (pty->held_slave >= 0) ::close(pty->held_slave);
    if (pty->master >= 0) ::close(pty->master);
    pty->held_slave = pty->master = -1;
}

}  // namespace sim
