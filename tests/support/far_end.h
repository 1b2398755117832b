// The far end of a simulated peer port, as a host terminal program opens it: raw, and read
// with bounded waits.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace fwu_test {

inline int OpenFarEnd(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return fd;
    termios settings{};
    ::tcgetattr(fd, &settings);
    ::cfmakeraw(&settings);
    ::tcsetattr(fd, TCSANOW, &settings);
    return fd;
}

// Reads until `text` has come (each wait bounded to 10 s); what came.
inline std::string ReadUntil(int fd, const std::string& text) {
    std::string got;
    while (got.find(text) == std::string::npos) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 10000) <= 0) break;
        char buffer[256];
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
        else if (n == 0 || errno != EAGAIN) break;
    }
    return got;
}

}  // namespace fwu_test
