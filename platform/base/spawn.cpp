// Child processes: fork and exec (of /proc/self/exe, or a program by path) with up to three pipes
// and a fourth that reports a failed exec, a pidfd for the end, a poll over the read ends and a
// self-pipe for stop signals, and reaping.
#include "platform/base/spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/base/leftovers.h"
#include "platform/base/signals.h"
#include "platform/base/sys.h"
#include "platform/base/system.h"

extern char** environ;

namespace platform {
namespace {

constexpr int ChildEventsFd = 3;
constexpr int ExecFailed = 127;
constexpr int ExitBySignal = 128;

std::atomic<bool> stop_requested{false};
int stop_read = -1;
volatile sig_atomic_t stop_write = -1;

void WakeStopPipe(int) {
    stop_requested.store(true);
    char byte = 1;
    [[maybe_unused]] ssize_t n = ::write(stop_write, &byte, 1);
}

bool MakePipe(int fds[2]) { return ::pipe2(fds, O_CLOEXEC) == 0; }

bool Failed(int error) {
    errno = error;
    SetLastError(static_cast<std::uint32_t>(error));
    return false;
}

}  // namespace

bool SpawnSelf(const std::vector<std::string>& args, const std::vector<std::string>& env, ChildProcess* child) {
    std::vector<std::string> argument_text{"firmware-utility"};
    argument_text.insert(argument_text.end(), args.begin(), args.end());
    return SpawnProgram("/proc/self/exe", argument_text, env, child);
}

bool SpawnProgram(const std::string& path, const std::vector<std::string>& args, const std::vector<std::string>& env,
                  ChildProcess* child, const ChildSetup& setup) {
    // out, err, events, and the report of a failed exec (closed by a successful one)
    int out[2] = {-1, -1}, err[2] = {-1, -1}, events[2] = {-1, -1}, report[2] = {-1, -1};
    auto close_all = [&] {
        for (int fd : {out[0], out[1], err[0], err[1], events[0], events[1], report[0], report[1]}) {
            if (fd >= 0) internal::SysClose(fd);
        }
    };
    if (!MakePipe(out) || (!setup.merged_output && !MakePipe(err)) || (setup.events && !MakePipe(events)) ||
        !MakePipe(report)) {
        int saved = errno;
        close_all();
        return Failed(saved);
    }
    // Everything the child needs is built before the fork: after it only exec-safe calls.
    std::vector<std::string> argument_text = args;
    std::vector<char*> argv;
    for (std::string& a : argument_text) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> environment_text = env;
    for (char** e = setup.inherit_environment ? environ : nullptr; e && *e; ++e) {
        std::string entry = *e;
        bool replaced = false;
        for (const std::string& own : env) {
            replaced = replaced || entry.compare(0, own.find('=') + 1, own, 0, own.find('=') + 1) == 0;
        }
        if (!replaced) environment_text.push_back(entry);
    }
    std::vector<char*> envp;
    for (std::string& e : environment_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    const int output = out[1], errors = setup.merged_output ? out[1] : err[1];
    const int keep_from = setup.events ? ChildEventsFd + 1 : ChildEventsFd;

    // No handler of this program may run in the child before its exec.
    sigset_t mask;
    BlockAllSignals(&mask);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // A station ends with its parent, through its normal shut-down (ports given back).
        // A parent gone before the request took effect is seen by getppid.
        if (setup.ends_with_parent && (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0 || ::getppid() != parent)) {
            ::_exit(ExecFailed);
        }
        if (setup.own_group) ::setpgid(0, 0);
        const int said = ::fcntl(report[1], F_DUPFD_CLOEXEC, keep_from);  // above what dup2 fills
        int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, STDIN_FILENO);
        ::dup2(output, STDOUT_FILENO);
        ::dup2(errors, STDERR_FILENO);
        if (setup.events) ::dup2(events[1], ChildEventsFd);  // dup2 clears close-on-exec
        // Whatever else this process holds, inherited or its own, stays here.
        ::close_range(keep_from, ~0U, CLOSE_RANGE_CLOEXEC);
        // The parent may watch stop signals; the child takes them as a program does.
        internal::DefaultSignalsInChild();
        ::execve(path.c_str(), argv.data(), envp.data());
        const int error = errno;
        [[maybe_unused]] ssize_t n = ::write(said, &error, sizeof error);
        ::_exit(ExecFailed);
    }
    int saved = errno;
    RestoreSignalMask(mask);
    for (int* fd : {&out[1], &err[1], &events[1], &report[1]}) {
        if (*fd >= 0) internal::SysClose(*fd);
        *fd = -1;
    }
    if (pid < 0) {
        close_all();
        return Failed(saved);
    }
    int exec_error = 0;
    ssize_t n;
    do n = internal::SysRead(report[0], &exec_error, sizeof exec_error);
    while (n < 0 && errno == EINTR);
    // End of file: the exec took place; its errno: it failed, and the child is ending.
    const int ended = n == 0 ? static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)) : -1;
    if (ended < 0) {
        saved = n == 0 ? errno : n == sizeof exec_error ? exec_error : EIO;
        if (n != sizeof exec_error) ::kill(setup.own_group ? -pid : pid, SIGKILL);
        int code = 0;
        ReapChild(pid, true, &code);
        close_all();
        return Failed(saved);
    }
    internal::SysClose(report[0]);
    for (int fd : {out[0], err[0], events[0]}) {
        if (fd >= 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    *child = {static_cast<int>(pid), out[0], err[0], events[0], ended, setup.own_group};
    return true;
}

std::FILE* OpenChildEvents() {
    std::FILE* events = ::fcntl(ChildEventsFd, F_SETFD, FD_CLOEXEC) == 0 ? ::fdopen(ChildEventsFd, "w") : nullptr;
    if (events == nullptr) SetLastError(static_cast<std::uint32_t>(errno));
    return events;
}

bool WaitReadable(const std::vector<int>& fds, int timeout_ms, std::vector<bool>* ready) {
    std::vector<pollfd> polled;
    for (int fd : fds) polled.push_back({fd, POLLIN, 0});
    polled.push_back({stop_read, POLLIN, 0});
    ready->assign(fds.size(), false);
    const int n = internal::SysPoll(polled.data(), polled.size(), timeout_ms);
    if (n < 0) return Failed(errno);
    if (n == 0) return true;
    for (std::size_t i = 0; i < fds.size(); ++i) (*ready)[i] = polled[i].revents != 0;
    if (polled.back().revents) {
        char bytes[16];
        while (internal::SysRead(stop_read, bytes, sizeof bytes) > 0) {
        }
    }
    return true;
}

long ReadAvailable(int fd, char* buffer, std::size_t size) {
    ssize_t n = internal::SysRead(fd, buffer, size);
    if (n < 0) return errno == EAGAIN ? -1 : 0;
    return static_cast<long>(n);
}

void CloseDescriptor(int fd) {
    if (fd >= 0) internal::SysClose(fd);
}

bool ReapChild(int pid, bool wait, int* exit_code, int* signal_number) {
    int status = 0;
    pid_t r;
    do r = ::waitpid(pid, &status, wait ? 0 : WNOHANG);
    while (r < 0 && errno == EINTR);
    if (r != pid) return false;
    const int by_signal = WIFEXITED(status) ? 0 : WTERMSIG(status);
    *exit_code = by_signal == 0 ? WEXITSTATUS(status) : ExitBySignal + by_signal;
    if (signal_number) *signal_number = by_signal;
    return true;
}

void StopChild(int pid) {
    if (pid > 0) ::kill(pid, SIGTERM);
}

void KillChild(const ChildProcess& child) {
    if (child.pid > 0) ::kill(child.own_group ? -child.pid : child.pid, SIGKILL);
}

void WatchStopSignals() {
    int fds[2];
    if (stop_read < 0 && ::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        stop_read = fds[0];
        stop_write = fds[1];
    }
    internal::SetSignalAction(internal::SignalStep::WakeStopPipe, WakeStopPipe);
    internal::IgnoreSignal(SIGPIPE);
}

bool StopRequested() { return stop_requested.load(); }

namespace {

constexpr char StationPrefix[] = "fwu-station-";
constexpr char StationLockName[] = "station.lock";

std::string StationParent() {
    const char* tmp = std::getenv("TMPDIR");
    return tmp && *tmp == '/' ? tmp : "/tmp";
}

}  // namespace

std::string MakeStationDirectory(int* lock) {
    std::string path = StationParent() + "/" + StationPrefix + "XXXXXX";
    if (::mkdtemp(path.data()) == nullptr) {  // mkdtemp makes it 0700
        SetLastError(static_cast<std::uint32_t>(errno));
        return "";
    }
    *lock = TakeDirectoryLock(path, StationLockName);
    if (*lock < 0) {
        int saved = errno;
        ::rmdir(path.c_str());
        errno = saved;
        SetLastError(static_cast<std::uint32_t>(saved));
        return "";
    }
    return path;
}

void RemoveStationDirectory(const std::string& path, int lock) {
    // What a killed child left (its socket) goes too; the lock last, with the directory.
    if (!path.empty()) RemoveDirectoryAndEntries(path);
    if (lock >= 0) internal::SysClose(lock);
}

int RemoveLeftoverStations() { return RemoveLeftoverDirectories(StationParent(), StationPrefix, StationLockName); }

bool RaiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        SetLastError(static_cast<std::uint32_t>(errno));
        return false;
    }
    if (limit.rlim_cur == limit.rlim_max) return true;
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        SetLastError(static_cast<std::uint32_t>(errno));
        return false;
    }
    return true;
}

}  // namespace platform
