// One window per user, the client's side: a second start, or `send ID`, reaches the window
// that listens on a Unix socket in the runtime directory (the listener: instance_listener.cpp).
// Connect, write and the answer to a ping are bounded by time-outs; a command's answer comes
// when its handler returns, however long a box it opened stays up. The directory must be an
// absolute path, the user's own real directory with mode 0700, short enough for the socket's
// address; only a listener of the same user id is believed.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <thread>

#include "platform/window/instance.h"
#include "platform/window/screen_seam.h"
#include "platform/base/sys.h"
#include "platform/window/window_state.h"

namespace platform {
namespace internal {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto NoDeadline = Clock::time_point::max();
// A window that holds the lock but does not listen yet is asked again after this long.
constexpr auto ListenRetry = std::chrono::milliseconds(20);
constexpr std::size_t HolderTextBytes = 16;
// A claim made under a name of its own first: LOCK.PID.new.
constexpr char FreshClaimSuffix[] = ".new";
// Rounds, at most, in which a claim finds the file let go (another run took the claim and gave
// it back in between) before it gives up.
constexpr int ClaimRounds = 1000;

// The instance locks this process holds, by path; the descriptors stay open while it does.
std::mutex claims_mutex;
std::map<std::string, int>& Claims() {
    static auto* claims = new std::map<std::string, int>;
    return *claims;
}

// A window of another process: where it listens, and its process id.
struct Remote {
    std::string path;
    std::uint32_t process_id = 0;
};
std::mutex remotes_mutex;
std::map<Hwnd, Remote>& Remotes() {
    static auto* remotes = new std::map<Hwnd, Remote>;
    return *remotes;
}

int MillisecondsLeft(Clock::time_point deadline) {
    if (deadline == NoDeadline) return -1;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Waits for `events` on fd; false on the deadline (ETIMEDOUT).
bool WaitFor(int fd, short events, Clock::time_point deadline) {
    pollfd one{fd, events, 0};
    int n = SysPoll(&one, 1, MillisecondsLeft(deadline));
    if (n == 0) errno = ETIMEDOUT;
    return n > 0;
}

bool ReadExactly(int fd, void* buffer, std::size_t size, Clock::time_point deadline) {
    auto* out = static_cast<char*>(buffer);
    while (size > 0) {
        if (!WaitFor(fd, POLLIN, deadline)) return false;
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
        if (!WaitFor(fd, POLLOUT, deadline)) return false;
        ssize_t n = ::send(fd, in, size, MSG_NOSIGNAL);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return false;
        in += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

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

int ConnectToListener(const std::string& path, int timeout_ms) {
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

namespace {

// One request, one reply. Connecting and writing take at most PingTimeoutMs; the reply to a
// command may take as long as its handler does. False with errno: ENOENT when nobody listens.
bool Exchange(const std::string& path, InstanceOp op, std::uint32_t argument, InstanceReply* reply) {
    auto deadline = Clock::now() + std::chrono::milliseconds(PingTimeoutMs);
    int fd = ConnectToListener(path, PingTimeoutMs);
    if (fd < 0) {
        if (errno == ECONNREFUSED) errno = ENOENT;  // a stale socket: nobody runs
        return false;
    }
    InstanceRequest request{InstanceMagic, op, argument};
    bool written = WriteAll(fd, &request, sizeof request, deadline);
    // A busy window answers without reading and closes: its answer is still there to read.
    bool ok = (written || errno == EPIPE || errno == ECONNRESET) &&
              ReadExactly(fd, reply, sizeof *reply,
                          written && (op == InstanceCommand || op == InstanceCommandAwait) ? NoDeadline : deadline);
    if (ok && !written && reply->status != EBUSY) {
        ok = false;
        errno = EPIPE;
    }
    int saved = errno;
    SysClose(fd);
    if (ok && reply->magic != InstanceMagic) {
        ok = false;
        saved = EPROTO;
    }
    errno = saved;
    return ok;
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
    // A relative $XDG_RUNTIME_DIR is to be ignored, as its definition says.
    const char* xdg = std::getenv("XDG_RUNTIME_DIR");
    if (xdg && *xdg == '/') return std::string(xdg) + "/firmware-utility";
    return "/tmp/firmware-utility-" + std::to_string(::geteuid());
}

std::string InstanceSocketPath(const std::string& directory, const char* class_name) {
    std::string name = class_name ? class_name : "";
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    return directory + "/" + name + ".sock";
}

std::string InstanceLockPath(const std::string& directory, const char* class_name) {
    std::string path = InstanceSocketPath(directory, class_name);
    return path.substr(0, path.size() - std::strlen(".sock")) + ".lock";
}

int RemoveUnheldClaim(const std::string& lock_path, std::uint32_t* holder) {
    if (holder != nullptr) *holder = 0;
    int fd = ::open(lock_path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return errno == ENOENT ? 0 : errno;
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_SETLK, &whole) != 0) {
        const int error = errno == EAGAIN || errno == EACCES ? EEXIST : errno;
        // Held: its holder's id was in it before it had its name.
        char text[HolderTextBytes] = {};
        if (error == EEXIST && holder != nullptr && SysRead(fd, text, sizeof text - 1) > 0) {
            *holder = static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10));
        }
        SysClose(fd);
        return error;
    }
    // Held now: removed only while the name is still this file (another run may have removed
    // it and put its own in its place since it was opened).
    struct stat held {}, named {};
    if (::fstat(fd, &held) == 0 && ::lstat(lock_path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
        held.st_ino == named.st_ino) {
        ::unlink(lock_path.c_str());
    }
    SysClose(fd);
    return 0;
}

// The claim file appears under its name only whole: made under a name of its own, locked and
// given this process's id there, then linked to the claim's name, which fails while another
// file has it. So a reader never finds the file empty, and a file nobody holds is one a run
// that was killed left: it is removed and the claim tried again.
int ClaimInstance(const std::string& lock_path, std::uint32_t* holder) {
    if (holder != nullptr) *holder = 0;
    std::lock_guard lock(claims_mutex);
    if (Claims().count(lock_path) != 0) return 0;
    const std::string fresh = lock_path + "." + std::to_string(::getpid()) + FreshClaimSuffix;
    for (int round = 0; round < ClaimRounds; ++round) {
        ::unlink(fresh.c_str());  // one a killed process of this id left
        int fd = ::open(fresh.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
        if (fd < 0) return errno;
        struct flock whole {};
        whole.l_type = F_WRLCK;
        whole.l_whence = SEEK_SET;
        char text[HolderTextBytes];
        const int n = std::snprintf(text, sizeof text, "%d\n", static_cast<int>(::getpid()));
        if (::fcntl(fd, F_OFD_SETLK, &whole) != 0 || SysWrite(fd, text, static_cast<std::size_t>(n)) != n) {
            const int error = errno;
            SysClose(fd);
            ::unlink(fresh.c_str());
            return error;
        }
        const int linked = ::link(fresh.c_str(), lock_path.c_str());
        const int link_error = errno;
        ::unlink(fresh.c_str());
        if (linked == 0) {
            Claims()[lock_path] = fd;
            return 0;
        }
        SysClose(fd);
        if (link_error == ENOENT) continue;  // a sweep took the fresh file before its lock: again
        if (link_error != EEXIST) return link_error;
        if (const int error = RemoveUnheldClaim(lock_path, holder); error != 0) return error;
    }
    return EEXIST;  // taken and let go again each round: another run is at it
}

void ReleaseInstance(const std::string& lock_path) {
    std::lock_guard lock(claims_mutex);
    auto it = Claims().find(lock_path);
    if (it == Claims().end()) return;
    // Nobody else removes the name while this process holds the lock: it is still this file.
    ::unlink(lock_path.c_str());
    SysClose(it->second);  // the lock goes with the descriptor
    Claims().erase(it);
}

bool ClaimedElsewhere(const std::string& lock_path, std::uint32_t* holder) {
    *holder = 0;
    {
        std::lock_guard lock(claims_mutex);
        if (Claims().count(lock_path) != 0) return false;
    }
    int fd = ::open(lock_path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return false;  // nobody holds it
    // Only asks: taking the lock even for a moment could turn away the start that wants it.
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    bool held = ::fcntl(fd, F_OFD_GETLK, &whole) == 0 && whole.l_type != F_UNLCK;
    if (held) {
        char text[HolderTextBytes] = {};
        if (SysRead(fd, text, sizeof text - 1) > 0) *holder = static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10));
    }
    SysClose(fd);
    return held;
}

bool IsRemoteWindow(Hwnd window, std::string* socket_path) {
    std::lock_guard lock(remotes_mutex);
    auto it = Remotes().find(window);
    if (it == Remotes().end()) return false;
    if (socket_path) *socket_path = it->second.path;
    return true;
}

}  // namespace internal

using namespace internal;

bool PrepareRuntimeDirectory(const char* class_name) {
    std::string directory = RuntimeDirectory();
    auto fail = [&](int code, const std::string& reason) {
        SetLastError(static_cast<std::uint32_t>(code), directory + ": " + reason);
        errno = code;
        return false;
    };
    // Relative, it would name another directory from every working directory.
    if (directory.front() != '/') return fail(EINVAL, "not an absolute path");
    if (class_name) {
        std::string socket = InstanceSocketPath(directory, class_name);
        constexpr std::size_t room = sizeof(sockaddr_un::sun_path) - 1;
        if (socket.size() > room) {
            return fail(ENAMETOOLONG, "too long: the socket path " + socket + " has " + std::to_string(socket.size()) +
                                          " bytes, a Unix socket address holds " + std::to_string(room));
        }
    }
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) return fail(errno, std::strerror(errno));
    struct stat info {};
    if (::lstat(directory.c_str(), &info) != 0) return fail(errno, std::strerror(errno));
    // A link could be turned to another place between this check and the socket's use.
    if (S_ISLNK(info.st_mode)) return fail(ELOOP, "a symbolic link, not a directory (name the directory itself)");
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
    if (!PrepareRuntimeDirectory(class_name)) return 0;
    const std::string directory = RuntimeDirectory();
    const std::string path = InstanceSocketPath(directory, class_name);
    std::uint32_t holder = 0;
    if (!ClaimedElsewhere(InstanceLockPath(directory, class_name), &holder)) {
        SetLastError(ENOENT);
        return 0;
    }
    // A window runs; it answers as soon as it listens (a busy one answers too, with its id).
    const auto until = Clock::now() + std::chrono::milliseconds(PingTimeoutMs);
    InstanceReply reply{};
    for (;;) {
        if (Exchange(path, InstancePing, 0, &reply)) {
            if ((reply.status == 0 || reply.status == EBUSY) && reply.result > 0) {
                holder = static_cast<std::uint32_t>(reply.result);
            }
            break;
        }
        if (errno != ENOENT || Clock::now() >= until) break;
        std::this_thread::sleep_for(ListenRetry);
    }
    Hwnd remote = NewWindowHandle();
    std::lock_guard lock(remotes_mutex);
    Remotes()[remote] = {path, holder};
    return remote;
}

std::uint32_t GetWindowProcessId(Hwnd window) {
    {
        std::lock_guard lock(remotes_mutex);
        auto it = Remotes().find(window & ~static_cast<Hwnd>(1));
        if (it != Remotes().end()) return it->second.process_id;
    }
    if (IsWindow(window & ~static_cast<Hwnd>(1))) return static_cast<std::uint32_t>(::getpid());
    SetLastError(EINVAL);
    return 0;
}

bool SetForegroundWindow(Hwnd window_or_1) {
    Hwnd handle = window_or_1 & ~static_cast<Hwnd>(1);  // the low bit asks for owned windows too
    std::string path;
    if (IsRemoteWindow(handle, &path)) {
        InstanceReply reply{};
        if (!Exchange(path, InstanceFront, 0, &reply)) {
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

bool SendCommandToRunningWindow(const char* class_name, std::uint16_t command_id, std::intptr_t* result,
                                bool await) {
    if (class_name == nullptr || result == nullptr) {
        errno = EINVAL;
        SetLastError(EINVAL);
        return false;
    }
    // A window of this very process answers at once: nothing could complete a deferred answer
    // while this thread waits.
    if (Hwnd local = LocalWindowOfClass(class_name)) {
        *result = SendMessage(local, WM_COMMAND, MakeWParam(command_id, 0), 0);
        return true;
    }
    if (!PrepareRuntimeDirectory(class_name)) return false;
    std::string path = InstanceSocketPath(RuntimeDirectory(), class_name);
    InstanceReply reply{};
    if (!Exchange(path, await ? InstanceCommandAwait : InstanceCommand, command_id, &reply)) {
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
