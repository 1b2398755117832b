// Driver services on Unix stream sockets: the handle OpenDevice gives for a socket, and its
// DeviceIoControl. The open connects at once, so a service nobody listens on fails the open
// with the connect's errno. The control uses that connection; a further control on the same
// handle connects anew, as every control is one connection of its own.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/devices/adapter.h"
#include "platform/devices/devices.h"
#include "platform/base/handles.h"
#include "platform/devices/service.h"
#include "platform/base/sys.h"
#include "platform/devices/serial.h"

namespace platform {
namespace internal {
namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for `events` on fd until the deadline: 1 ready, 0 too late, -1 error (errno).
int WaitFor(int fd, short events, Clock::time_point deadline) {
    struct pollfd entry {fd, events, 0};
    int n = SysPoll(&entry, 1, MillisecondsLeft(deadline));
    return n < 0 ? -1 : n;
}

struct Service : Object {
    std::string path;
    std::mutex mutex;
    int fd = -1;  // the connection made at open, until a control takes it
    bool closed = false;

    ~Service() override {
        if (fd >= 0) SysClose(fd);
    }
    void Close() override {
        std::lock_guard lock(mutex);
        closed = true;
        if (fd >= 0) SysClose(fd);
        fd = -1;
    }
    // The connection a control may use, owned by the caller from now on: the one made at open,
    // else a new one. -1 with errno set.
    int TakeConnection() {
        {
            std::lock_guard lock(mutex);
            if (closed) {
                errno = EBADF;
                return -1;
            }
            if (fd >= 0) {
                int taken = fd;
                fd = -1;
                return taken;
            }
        }
        return ConnectService(path.c_str());
    }
};

}  // namespace

int ConnectService(const char* path) {
    struct sockaddr_un address {};
    address.sun_family = AF_UNIX;
    if (std::strlen(path) >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::strcpy(address.sun_path, path);
    int fd = SysSocket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    // A listener whose backlog is full keeps a connect waiting: bound that wait too.
    struct timeval bound {ServiceReplyMilliseconds / 1000, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    int rc;
    do rc = SysConnect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    while (rc != 0 && errno == EINTR);  // a Unix socket is still unconnected after EINTR
    if (rc != 0) {
        int error = errno == EAGAIN ? ETIMEDOUT : errno;
        SysClose(fd);
        errno = error;
        return -1;
    }
    int flags = ::fcntl(fd, F_GETFL);
    ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    return fd;
}

bool ServiceExchange(int fd, std::uint32_t code, std::uint32_t* status) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ServiceReplyMilliseconds);
    unsigned char out[4] = {static_cast<unsigned char>(code), static_cast<unsigned char>(code >> 8),
                            static_cast<unsigned char>(code >> 16),
                            static_cast<unsigned char>(code >> 24)};
    std::size_t sent = 0;
    while (sent < sizeof out) {
        // send with MSG_NOSIGNAL: a service that has gone must not raise SIGPIPE in the tool.
        ssize_t n = ::send(fd, out + sent, sizeof out - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            int ready = WaitFor(fd, POLLOUT, deadline);
            if (ready < 0) return false;
            if (ready == 0) {
                errno = ETIMEDOUT;
                return false;
            }
            continue;
        }
        if (errno == EPIPE || errno == ECONNRESET) errno = EPROTO;  // gone without an answer
        return false;
    }
    unsigned char in[4];
    std::size_t got = 0;
    while (got < sizeof in) {
        int ready = WaitFor(fd, POLLIN, deadline);
        if (ready < 0) return false;
        if (ready == 0) {
            errno = ETIMEDOUT;
            return false;
        }
        ssize_t n = SysRead(fd, in + got, sizeof in - got);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (n == 0 || errno == ECONNRESET) {
            errno = EPROTO;  // the service closed without (a whole) answer
            return false;
        } else if (errno != EAGAIN) {
            return false;
        }
    }
    *status = static_cast<std::uint32_t>(in[0]) | static_cast<std::uint32_t>(in[1]) << 8 |
              static_cast<std::uint32_t>(in[2]) << 16 | static_cast<std::uint32_t>(in[3]) << 24;
    return true;
}

bool ServiceControl(const char* path, std::uint32_t code, std::uint32_t* status) {
    int fd = ConnectService(path);
    if (fd < 0) return false;
    bool ok = ServiceExchange(fd, code, status);
    int error = errno;
    SysClose(fd);
    errno = error;
    return ok;
}

ControlResult ControlOutcome(bool answered, std::uint32_t status) {
    if (!answered) {
        SetLastError(static_cast<std::uint32_t>(errno));
        return ControlResult::Unanswered;
    }
    if (status != 0) {
        SetLastError(status);
        return ControlResult::Refused;
    }
    return ControlResult::Done;
}

bool ServiceReady(const std::string& path) {
    int fd = ConnectService(path.c_str());
    if (fd < 0) {
        SetLastError(static_cast<std::uint32_t>(errno));
        return false;
    }
    SysClose(fd);  // connected and gone without a control: nothing is asked
    return true;
}

ControlResult ServiceEntryControl(const char*, const std::string& path, std::uint32_t code) {
    std::uint32_t status = 0;
    const bool answered = ServiceControl(path.c_str(), code, &status);
    return ControlOutcome(answered, status);
}

Handle OpenService(const char* path) {
    int fd = ConnectService(path);
    if (fd < 0) {
        SetLastError(static_cast<std::uint32_t>(errno));
        return InvalidHandle;
    }
    auto service = std::make_shared<Service>();
    service->path = path;
    service->fd = fd;
    return InsertObject(std::move(service));
}

}  // namespace internal

// The buffers play no part: the services carry the control code and the status only.
bool DeviceIoControl(Handle device, std::uint32_t code, void* in, std::uint32_t in_size, void* out,
                     std::uint32_t out_size, std::uint32_t* returned) {
    (void)in;
    (void)in_size;
    (void)out;
    (void)out_size;
    if (returned) *returned = 0;
    bool adapted = false;
    bool done = internal::AdapterControl(device, code, &adapted);
    if (adapted) return done;
    auto service = internal::Lookup<internal::Service>(device);
    if (!service) {
        // A serial port takes no device controls; a handle that is nothing is a bad handle.
        SetLastError(internal::LookupObject(device) ? ENOTTY : EBADF);
        return false;
    }
    int fd = service->TakeConnection();
    if (fd < 0) {
        SetLastError(static_cast<std::uint32_t>(errno));
        return false;
    }
    std::uint32_t status = 0;
    bool answered = internal::ServiceExchange(fd, code, &status);
    int error = errno;
    internal::SysClose(fd);
    errno = error;
    return internal::ControlOutcome(answered, status) == internal::ControlResult::Done;
}

}  // namespace platform
