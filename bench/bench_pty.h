// Helpers of the bridge benchmarks: pseudo-terminals whose masters stand for the far ends of the
// handset's UARTs (the slave is held open so the master never sees a hang-up), whole writes and
// reads with a deadline, and the CPU time and resident size of another process.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/base/format.h"
#include "sim/pty.h"

namespace bench {

// The slave is held so the master never sees a hang-up between the runs; it is never read.
using Pty = sim::Pty;

inline Pty MakePty() {
    Pty pty;
    std::string error;
    if (!sim::OpenPty(&pty, &error)) platform::SayOnStderrAs("bench", "%s", error.c_str());
    return pty;
}

inline void Drain(int fd) {
    char buffer[4096];
    while (::read(fd, buffer, sizeof buffer) > 0) {
    }
}

inline bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
        pollfd pfd{fd, POLLOUT, 0};
        if (::poll(&pfd, 1, 10000) == 0) return false;
    }
    return true;
}

inline bool ReadAll(int fd, std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 10000) == 0) return false;
        ssize_t n = ::read(fd, data, size);
        if (n > 0) {
            data += n;
            size -= static_cast<std::size_t>(n);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            return false;
        }
    }
    return true;
}

// The first bytes of /proc/PID/FILE.
inline std::string ProcFile(long pid, const char* file) {
    std::FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/" + file).c_str(), "r");
    if (!f) return {};
    char buffer[4096];
    std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, f);
    std::fclose(f);
    return std::string(buffer, n);
}

// CPU time of all threads of another process, from its user and system clock ticks.
inline double ProcessTicksCpuMs(long pid) {
    const std::string stat = ProcFile(pid, "stat");
    const std::size_t paren = stat.rfind(')');
    unsigned long utime = 0, stime = 0;
    if (paren == std::string::npos ||
        std::sscanf(stat.c_str() + paren + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime,
                    &stime) != 2) {
        return 0;
    }
    return static_cast<double>(utime + stime) * 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// CPU time of a one-thread process, from the scheduler's nanosecond count (ticks as fallback).
inline double ChildCpuMs(long pid) {
    unsigned long long ns = 0;
    if (std::sscanf(ProcFile(pid, "schedstat").c_str(), "%llu", &ns) == 1) return static_cast<double>(ns) / 1e6;
    return ProcessTicksCpuMs(pid);
}

// Resident size in MiB (VmRSS), 0 when the process is gone.
inline double ResidentMiB(long pid) {
    const std::string status = ProcFile(pid, "status");
    const std::size_t at = status.find("VmRSS:");
    return at == std::string::npos ? 0 : std::strtod(status.c_str() + at + 6, nullptr) / 1024.0;
}

}  // namespace bench
