// System calls through one table, each retried on EINTR.
#include "platform/base/sys.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace platform::internal {
namespace {

int RealOpen(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int RealClose(int fd) { return ::close(fd); }
ssize_t RealRead(int fd, void* buffer, std::size_t size) { return ::read(fd, buffer, size); }
ssize_t RealWrite(int fd, const void* buffer, std::size_t size) { return ::write(fd, buffer, size); }
int RealPoll(struct pollfd* fds, nfds_t count, int timeout_ms) { return ::poll(fds, count, timeout_ms); }
int RealIoctl(int fd, unsigned long request, void* argument) { return ::ioctl(fd, request, argument); }

}  // namespace

SysCallTable& SysCalls() {
    static SysCallTable table{RealOpen, RealClose, RealRead, RealWrite, RealPoll, RealIoctl};
    return table;
}

int SysOpen(const char* path, int flags, mode_t mode) {
    int fd;
    do fd = SysCalls().open(path, flags, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// close is not retried: on Linux the descriptor is gone even when EINTR is reported.
int SysClose(int fd) { return SysCalls().close(fd); }

ssize_t SysRead(int fd, void* buffer, std::size_t size) {
    ssize_t n;
    do n = SysCalls().read(fd, buffer, size);
    while (n < 0 && errno == EINTR);
    return n;
}

ssize_t SysWrite(int fd, const void* buffer, std::size_t size) {
    ssize_t n;
    do n = SysCalls().write(fd, buffer, size);
    while (n < 0 && errno == EINTR);
    return n;
}

int SysPoll(struct pollfd* fds, nfds_t count, int timeout_ms) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
    for (;;) {
        int n = SysCalls().poll(fds, count, timeout_ms);
        if (n >= 0 || errno != EINTR) return n;
        if (timeout_ms > 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            timeout_ms = left > 0 ? static_cast<int>(left) : 0;
        }
    }
}

int SysIoctl(int fd, unsigned long request, void* argument) {
    int r;
    do r = SysCalls().ioctl(fd, request, argument);
    while (r < 0 && errno == EINTR);
    return r;
}

}  // namespace platform::internal
