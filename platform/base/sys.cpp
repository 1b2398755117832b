// System calls, each retried on EINTR; through the test's table only in the tests' library.
#include "platform/base/sys.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#ifdef FWU_TEST_SEAM
#include "platform/testing.h"
#endif

namespace platform::internal {
namespace {

int RealOpen(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int RealClose(int fd) { return ::close(fd); }
ssize_t RealRead(int fd, void* buffer, std::size_t size) { return ::read(fd, buffer, size); }
ssize_t RealWrite(int fd, const void* buffer, std::size_t size) { return ::write(fd, buffer, size); }
int RealPoll(struct pollfd* fds, nfds_t count, int timeout_ms) { return ::poll(fds, count, timeout_ms); }
int RealIoctl(int fd, unsigned long request, void* argument) { return ::ioctl(fd, request, argument); }
int RealFlock(int fd, int operation) { return ::flock(fd, operation); }
int RealEventfd(unsigned int initial, int flags) { return ::eventfd(initial, flags); }
int RealSocket(int domain, int type, int protocol) { return ::socket(domain, type, protocol); }
int RealConnect(int fd, const sockaddr* address, socklen_t length) { return ::connect(fd, address, length); }
int RealAccept4(int fd, sockaddr* address, socklen_t* length, int flags) {
    return ::accept4(fd, address, length, flags);
}

}  // namespace

#ifdef FWU_TEST_SEAM
SysCallTable& SysCalls() {
    static SysCallTable table{RealOpen,  RealClose,   RealRead,   RealWrite,   RealPoll,   RealIoctl,
                              RealFlock, RealEventfd, RealSocket, RealConnect, RealAccept4};
    return table;
}
#define FWU_SYSCALL(field, real) SysCalls().field
#else
#define FWU_SYSCALL(field, real) real
#endif

int SysOpen(const char* path, int flags, mode_t mode) {
    int fd;
    do fd = FWU_SYSCALL(open, RealOpen)(path, flags, mode);
    while (fd < 0 && errno == EINTR);
    return fd;
}

// close is not retried: on Linux the descriptor is gone even when EINTR is reported.
int SysClose(int fd) { return FWU_SYSCALL(close, RealClose)(fd); }

ssize_t SysRead(int fd, void* buffer, std::size_t size) {
    ssize_t n;
    do n = FWU_SYSCALL(read, RealRead)(fd, buffer, size);
    while (n < 0 && errno == EINTR);
    return n;
}

ssize_t SysWrite(int fd, const void* buffer, std::size_t size) {
    ssize_t n;
    do n = FWU_SYSCALL(write, RealWrite)(fd, buffer, size);
    while (n < 0 && errno == EINTR);
    return n;
}

int SysPoll(struct pollfd* fds, nfds_t count, int timeout_ms) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
    for (;;) {
        int n = FWU_SYSCALL(poll, RealPoll)(fds, count, timeout_ms);
        if (n >= 0 || errno != EINTR) return n;
        if (timeout_ms > 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            timeout_ms = left > 0 ? static_cast<int>(left) : 0;
        }
    }
}

int SysIoctl(int fd, unsigned long request, void* argument) {
    int r;
    do r = FWU_SYSCALL(ioctl, RealIoctl)(fd, request, argument);
    while (r < 0 && errno == EINTR);
    return r;
}

int SysFlock(int fd, int operation) {
    int r;
    do r = FWU_SYSCALL(flock, RealFlock)(fd, operation);
    while (r < 0 && errno == EINTR);
    return r;
}

int SysEventfd(unsigned int initial, int flags) { return FWU_SYSCALL(eventfd, RealEventfd)(initial, flags); }

int SysSocket(int domain, int type, int protocol) { return FWU_SYSCALL(socket, RealSocket)(domain, type, protocol); }

int SysConnect(int fd, const sockaddr* address, socklen_t length) {
    return FWU_SYSCALL(connect, RealConnect)(fd, address, length);
}

int SysAccept4(int fd, sockaddr* address, socklen_t* length, int flags) {
    int r;
    do r = FWU_SYSCALL(accept4, RealAccept4)(fd, address, length, flags);
    while (r < 0 && errno == EINTR);
    return r;
}

}  // namespace platform::internal
