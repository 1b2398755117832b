// One window per user: the top-level window of a class listens on a Unix socket in the runtime
// directory; a second start, or `send ID`, reaches it there.
//
// The listener is a thread of its own, so a slow client never holds up the window's thread; it
// carries each request into the window thread with SendMessage. Clients are bounded by
// time-outs on connect, write and read. A socket nobody listens on (a process that died) is
// removed and replaced. The directory must be the user's own with mode 0700, and the listener
// answers only peers of its own user id.
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>

#include "platform/internal/instance.h"
#include "platform/internal/screen.h"
#include "platform/internal/sys.h"
#include "platform/internal/window_state.h"

namespace platform {
namespace internal {
namespace {

using Clock = std::chrono::steady_clock;
constexpr int PingTimeoutMs = 2000;
constexpr int CommandTimeoutMs = 30000;  // command handlers return quickly; this bounds a stuck window
constexpr int RequestTimeoutMs = 2000;
constexpr int ReplyTimeoutMs = 1000;

struct Listener {
    Hwnd window = 0;
    std::string path;
    int listen_fd = -1;
    int stop_fd = -1;
    dev_t device = 0;
    ino_t inode = 0;
    bool stopped = false;  // guarded by listeners_mutex
    std::thread thread;
};

std::mutex listeners_mutex;
std::vector<std::shared_ptr<Listener>>& Listeners() {
    static auto* list = new std::vector<std::shared_ptr<Listener>>;  // lives until the process ends
    return *list;
}

std::mutex remotes_mutex;
std::map<Hwnd, std::string>& Remotes() {
    static auto* remotes = new std::map<Hwnd, std::string>;
    return *remotes;
}

int MillisecondsLeft(Clock::time_point deadline) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for `events` on fd; false on the deadline (ETIMEDOUT) or when stop_fd fires.
bool WaitFor(int fd, short events, Clock::time_point deadline, int stop_fd) {
    pollfd fds[2] = {{fd, events, 0}, {stop_fd, POLLIN, 0}};
    int n = SysPoll(fds, stop_fd >= 0 ? 2 : 1, MillisecondsLeft(deadline));
    if (n == 0) errno = ETIMEDOUT;
    if (n <= 0) return false;
    if (stop_fd >= 0 && fds[1].revents) {
        errno = ECANCELED;
        return false;
    }
    return true;
}

bool ReadExactly(int fd, void* buffer, std::size_t size, Clock::time_point deadline, int stop_fd) {
    auto* out = static_cast<char*>(buffer);
    while (size > 0) {
        if (!WaitFor(fd, POLLIN, deadline, stop_fd)) return false;
        ssize_t n = SysRead(fd, out, size);
        if (n == 0) errno = ECONNRESET;
        if (n < 0 && errno == EAGAIN) continue;
        if (n <= 0) return false;
        out += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// send() with MSG_NOSIGNAL: a peer that went away is an error here, never a SIGPIPE.
bool WriteAll(int fd, const void* buffer, std::size_t size, Clock::time_point deadline) {
    const auto* in = static_cast<const char*>(buffer);
    while (size > 0) {
        if (!WaitFor(fd, POLLOUT, deadline, -1)) return false;
        ssize_t n = ::send(fd, in, size, MSG_NOSIGNAL);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return false;
        in += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool PeerIsThisUser(int fd) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) == 0 &&
           credentials.uid == ::geteuid();
}

bool FillAddress(const std::string& path, sockaddr_un* address) {
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    if (path.size() >= sizeof address->sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
    return true;
}

// A connected, non-blocking socket to a listener of this user; -1 with errno otherwise.
int Connect(const std::string& path, int timeout_ms) {
    sockaddr_un address;
    if (!FillAddress(path, &address)) return -1;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);  // bounds connect too
    int r;
    do r = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    while (r != 0 && errno == EINTR);
    if (r != 0 || !PeerIsThisUser(fd)) {
        int saved = r != 0 ? errno : EACCES;
        SysClose(fd);
        errno = saved;
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

// One request, one reply. False with errno: ENOENT when nobody listens there.
bool Exchange(const std::string& path, InstanceOp op, std::uint32_t argument, int timeout_ms,
              InstanceReply* reply) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    int fd = Connect(path, timeout_ms);
    if (fd < 0) {
        if (errno == ECONNREFUSED) errno = ENOENT;  // a stale socket: nobody runs
        return false;
    }
    InstanceRequest request{InstanceMagic, op, argument};
    bool ok = WriteAll(fd, &request, sizeof request, deadline) &&
              ReadExactly(fd, reply, sizeof *reply, deadline, -1);
    int saved = errno;
    SysClose(fd);
    if (ok && reply->magic != InstanceMagic) {
        ok = false;
        saved = EPROTO;
    }
    errno = saved;
    return ok;
}

void Answer(const Listener& listener, int fd) {
    if (!PeerIsThisUser(fd)) return;  // another user: closed without a word
    InstanceRequest request{};
    auto deadline = Clock::now() + std::chrono::milliseconds(RequestTimeoutMs);
    if (!ReadExactly(fd, &request, sizeof request, deadline, listener.stop_fd)) return;
    if (request.magic != InstanceMagic) return;
    InstanceReply reply{InstanceMagic, 0, 0};
    if (request.op != InstancePing && !IsWindow(listener.window)) {
        reply.status = ESRCH;
    } else if (request.op == InstanceFront) {
        if (SendMessage(listener.window, WM_FWU_FOREGROUND, 0, 0) == 0) {
            reply.status = ESRCH;
        } else {
            CurrentScreen().AttentionRequested(listener.window);
        }
    } else if (request.op == InstanceCommand) {
        reply.result = SendMessage(listener.window, WM_COMMAND,
                                   MakeWParam(static_cast<std::uint16_t>(request.argument), 0), 0);
    } else if (request.op != InstancePing) {
        reply.status = EINVAL;
    }
    // Written even when the window has just closed: the client waits for its answer.
    WriteAll(fd, &reply, sizeof reply, Clock::now() + std::chrono::milliseconds(ReplyTimeoutMs));
}

void Serve(std::shared_ptr<Listener> listener) {
    for (;;) {
        pollfd fds[2] = {{listener->listen_fd, POLLIN, 0}, {listener->stop_fd, POLLIN, 0}};
        if (SysPoll(fds, 2, -1) < 0 || fds[1].revents) break;
        if (!fds[0].revents) continue;
        int fd = ::accept4(listener->listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) continue;
        Answer(*listener, fd);
        SysClose(fd);
    }
    SysClose(listener->listen_fd);
}

// True when something accepts connections at path (a live window, maybe of another process).
bool SocketAnswers(const std::string& path) {
    int fd = Connect(path, PingTimeoutMs);
    if (fd < 0) return errno != ECONNREFUSED && errno != ENOENT;
    SysClose(fd);
    return true;
}

int BindListener(const std::string& path) {
    sockaddr_un address;
    if (!FillAddress(path, &address)) return -1;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    auto* addr = reinterpret_cast<sockaddr*>(&address);
    if (::bind(fd, addr, sizeof address) != 0) {
        // A socket file is there: keep it if someone answers on it, else it is stale.
        if (errno != EADDRINUSE || SocketAnswers(path) || ::unlink(path.c_str()) != 0 ||
            ::bind(fd, addr, sizeof address) != 0) {
            SysClose(fd);
            return -1;
        }
    }
    if (::listen(fd, 8) != 0) {
        SysClose(fd);
        ::unlink(path.c_str());
        return -1;
    }
    return fd;
}

bool SameClass(const std::string& a, const char* b) {
    if (a.size() != std::strlen(b)) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) {
            return false;
        }
    }
    return true;
}

Hwnd LocalWindowOfClass(const char* class_name) {
    for (auto& window : AllWindows()) {
        if (window->parent == 0 && window->owner == 0 && !window->internal && IsWindow(window->handle) &&
            SameClass(window->class_name, class_name)) {
            return window->handle;
        }
    }
    return 0;
}

}  // namespace

std::string RuntimeDirectory() {
    const char* own = std::getenv("FIRMWARE_UTILITY_RUNTIME_DIR");
    if (own && *own) return own;
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg && *xdg) return std::string(xdg) + "/firmware-utility";
    return "/tmp/firmware-utility-" + std::to_string(::geteuid());
}

std::string InstanceSocketPath(const std::string& directory, const char* class_name) {
    std::string name = class_name ? class_name : "";
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    return directory + "/" + name + ".sock";
}

void StartInstanceListener(const std::shared_ptr<Window>& window) {
    std::string error;
    if (!PrepareRuntimeDirectory(&error)) return;  // the window runs, but cannot be found
    std::string path = InstanceSocketPath(RuntimeDirectory(), window->class_name.c_str());
    {
        std::lock_guard lock(listeners_mutex);
        for (auto& listener : Listeners()) {
            if (listener->path == path && !listener->stopped) return;  // one per class
        }
    }
    auto listener = std::make_shared<Listener>();
    listener->window = window->handle;
    listener->path = path;
    listener->listen_fd = BindListener(path);
    if (listener->listen_fd < 0) return;
    struct stat info {};
    ::stat(path.c_str(), &info);
    listener->device = info.st_dev;
    listener->inode = info.st_ino;
    listener->stop_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (listener->stop_fd < 0) {
        SysClose(listener->listen_fd);
        ::unlink(path.c_str());
        return;
    }
    listener->thread = std::thread(Serve, listener);
    std::lock_guard lock(listeners_mutex);
    Listeners().push_back(listener);
}

// Never waits: the listener may be inside a SendMessage to the very thread calling this.
void StopInstanceListener(Hwnd window) {
    std::lock_guard lock(listeners_mutex);
    for (auto& listener : Listeners()) {
        if (listener->window != window || listener->stopped) continue;
        listener->stopped = true;
        struct stat info {};
        // Only our own socket file: a later window may have replaced it.
        if (::stat(listener->path.c_str(), &info) == 0 && info.st_dev == listener->device &&
            info.st_ino == listener->inode) {
            ::unlink(listener->path.c_str());
        }
        std::uint64_t one = 1;
        (void)SysWrite(listener->stop_fd, &one, sizeof one);
    }
}

void JoinStoppedListeners() {
    std::vector<std::shared_ptr<Listener>> stopped;
    {
        std::lock_guard lock(listeners_mutex);
        auto& list = Listeners();
        for (auto it = list.begin(); it != list.end();) {
            if ((*it)->stopped && (*it)->thread.get_id() != std::this_thread::get_id()) {
                stopped.push_back(*it);
                it = list.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& listener : stopped) {
        if (listener->thread.joinable()) listener->thread.join();
        SysClose(listener->stop_fd);
    }
}

bool IsRemoteWindow(Hwnd window, std::string* socket_path) {
    std::lock_guard lock(remotes_mutex);
    auto it = Remotes().find(window);
    if (it == Remotes().end()) return false;
    if (socket_path) *socket_path = it->second;
    return true;
}

}  // namespace internal

using namespace internal;

bool PrepareRuntimeDirectory(std::string* error) {
    std::string directory = RuntimeDirectory();
    auto fail = [&](int code, const std::string& reason) {
        if (error) *error = directory + ": " + reason;
        errno = code;
        SetLastError(static_cast<std::uint32_t>(code));
        return false;
    };
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) return fail(errno, std::strerror(errno));
    struct stat info {};
    if (::lstat(directory.c_str(), &info) != 0) return fail(errno, std::strerror(errno));
    if (!S_ISDIR(info.st_mode)) return fail(ENOTDIR, "not a directory");
    if (info.st_uid != ::geteuid()) {
        return fail(EACCES, "owned by uid " + std::to_string(info.st_uid) + ", not by this user");
    }
    if (info.st_mode & 077) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "0%03o", static_cast<unsigned>(info.st_mode & 0777));
        return fail(EACCES, std::string("mode ") + mode + ", must be 0700");
    }
    return true;
}

Hwnd FindWindow(const char* class_name) {
    if (class_name == nullptr) return 0;
    if (Hwnd local = LocalWindowOfClass(class_name)) return local;
    if (!PrepareRuntimeDirectory(nullptr)) return 0;
    std::string path = InstanceSocketPath(RuntimeDirectory(), class_name);
    InstanceReply reply{};
    if (!Exchange(path, InstancePing, 0, PingTimeoutMs, &reply) || reply.status != 0) {
        SetLastError(ENOENT);
        return 0;
    }
    Hwnd remote = NewWindowHandle();
    std::lock_guard lock(remotes_mutex);
    Remotes()[remote] = path;
    return remote;
}

bool SetForegroundWindow(Hwnd window_or_1) {
    Hwnd handle = window_or_1 & ~static_cast<Hwnd>(1);  // the low bit asks for owned windows too
    std::string path;
    if (IsRemoteWindow(handle, &path)) {
        InstanceReply reply{};
        if (!Exchange(path, InstanceFront, 0, PingTimeoutMs, &reply)) {
            SetLastError(static_cast<std::uint32_t>(errno));
            return false;
        }
        return reply.status == 0;
    }
    auto window = LookupWindow(handle);
    if (!window || !IsWindow(handle)) {
        SetLastError(EINVAL);
        return false;
    }
    if (OnThreadOf(*window->queue)) {
        NoteForegroundLocal(window);
        return true;
    }
    return SendMessage(handle, WM_FWU_FOREGROUND, 0, 0) != 0;
}

bool SendCommandToRunningWindow(const char* class_name, std::uint16_t command_id, std::intptr_t* result) {
    if (class_name == nullptr || result == nullptr) {
        errno = EINVAL;
        return false;
    }
    if (Hwnd local = LocalWindowOfClass(class_name)) {
        *result = SendMessage(local, WM_COMMAND, MakeWParam(command_id, 0), 0);
        return true;
    }
    if (!PrepareRuntimeDirectory(nullptr)) return false;
    std::string path = InstanceSocketPath(RuntimeDirectory(), class_name);
    InstanceReply reply{};
    if (!Exchange(path, InstanceCommand, command_id, CommandTimeoutMs, &reply)) {
        SetLastError(static_cast<std::uint32_t>(errno));
        return false;
    }
    if (reply.status != 0) {
        errno = reply.status;
        SetLastError(static_cast<std::uint32_t>(reply.status));
        return false;
    }
    *result = static_cast<std::intptr_t>(reply.result);
    return true;
}

}  // namespace platform
