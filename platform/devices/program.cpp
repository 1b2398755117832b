// Runs a device adapter's program for one control: posix_spawn (no shell), a pipe for its
// output, and a pidfd to wait for its end without polling by hand. Everything waits in poll.
#include "platform/devices/program.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform/base/sys.h"
#include "platform/base/system.h"
#include "platform/devices/adapter.h"
#include "platform/devices/profile.h"
#include "platform/devices/service.h"
#include "platform/window/window_state.h"

namespace platform::internal {
namespace {

using Clock = std::chrono::steady_clock;

// Signals the tool handles or ignores, given back their defaults in the program.
constexpr int DefaultedSignals[] = {SIGPIPE, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGCHLD, SIGUSR1, SIGUSR2};
constexpr std::size_t OutputChunk = 4096;
constexpr int DrainChunks = 64;
constexpr std::size_t MaxLineBytes = 1024;
constexpr std::size_t MaxTraceLines = 200;
// How long what the program wrote just before its end is read, however much there is.
constexpr auto LastOutputWait = std::chrono::milliseconds(100);

std::string CodeText(std::uint32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", code);
    return text;
}

// Sends what the program wrote to the trace, a line at a time ("DEVICE: line"), within bounds:
// a line is cut at MaxLineBytes, a run keeps at most MaxTraceLines lines, and what is left
// over is only counted and said once at the end. Memory stays at one line whatever comes.
struct OutputLines {
    std::string device;
    std::string last;  // the last line not empty, for the explanation of a failed run
    std::string pending;
    std::size_t lines = 0;
    std::size_t cut_bytes = 0;      // beyond a line's limit, or after the line limit
    std::size_t dropped_lines = 0;  // lines not kept at all
    bool cutting = false;           // the current line passed its limit
    void Add(const char* bytes, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i) {
            if (bytes[i] == '\n') {
                EndLine();
            } else if (lines >= MaxTraceLines || pending.size() >= MaxLineBytes) {
                if (!cutting && lines < MaxTraceLines) cutting = true;
                ++cut_bytes;
            } else {
                // Control bytes would make the trace a binary file.
                const bool control = static_cast<unsigned char>(bytes[i]) < ' ' && bytes[i] != '\t' && bytes[i] != '\r';
                pending.push_back(control ? '?' : bytes[i]);
            }
        }
    }
    void EndLine() {
        if (lines >= MaxTraceLines) {
            ++dropped_lines;
        } else {
            Emit(pending, cutting);
            ++lines;
        }
        pending.clear();
        cutting = false;
    }
    void Flush() {
        if (!pending.empty() || cutting) EndLine();
        if (cut_bytes == 0 && dropped_lines == 0) return;
        char text[160];
        std::snprintf(text, sizeof text, "(the program wrote %zu more bytes, %zu more lines, not kept)", cut_bytes,
                      dropped_lines);
        Emit(text, false);
    }
    void Emit(std::string line, bool cut) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) last = line;
        // "RIL1: text", "KernelIoControl: text"
        std::string text = device + (device.back() == ':' ? " " : ": ") + line + (cut ? " [...]" : "") + "\r\n";
        DebugOutput(text.data(), text.size());
    }
};

// Reads what is there now, but at most DrainChunks at once and never past the deadline, so a
// flood still lets the caller see the program's end and its deadline; false at end of file or
// on an error.
bool Drain(int fd, OutputLines* lines, Clock::time_point deadline) {
    char chunk[OutputChunk];
    for (int i = 0; i < DrainChunks && Clock::now() < deadline; ++i) {
        ssize_t n = SysRead(fd, chunk, sizeof chunk);
        if (n > 0) {
            lines->Add(chunk, static_cast<std::size_t>(n));
            continue;
        }
        return n < 0 && errno == EAGAIN;
    }
    return true;
}

int Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& environment, int output,
          pid_t* pid) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, output, 1);
    posix_spawn_file_actions_adddup2(&actions, output, 2);
    // Nothing else of this process reaches the program: no event pipe, no inherited descriptor.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    for (int signal : DefaultedSignals) sigaddset(&signals, signal);
    posix_spawnattr_setsigdefault(&attributes, &signals);
    posix_spawnattr_setpgroup(&attributes, 0);  // a group of its own: a time-out kills it all
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    std::vector<char*> args, env;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    for (const std::string& variable : environment) env.push_back(const_cast<char*>(variable.c_str()));
    env.push_back(nullptr);
    int error = posix_spawn(pid, args[0], &actions, &attributes, args.data(), env.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return error;
}

// Waits for the program's end, passing its output on; false (errno ETIMEDOUT) at the deadline.
bool AwaitEnd(pid_t pid, int pidfd, int output, OutputLines* lines, int* wait_status) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ServiceReplyMilliseconds);
    bool output_open = true;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            ::kill(-pid, SIGKILL);
            ::waitpid(pid, wait_status, 0);
            errno = ETIMEDOUT;
            return false;
        }
        // A close signal ends the run at once: the window's close must not wait for it.
        struct pollfd entries[3] = {{pidfd, POLLIN, 0}, {SignalDescriptor(), POLLIN, 0}, {output, POLLIN, 0}};
        if (SysPoll(entries, output_open ? 3 : 2, static_cast<int>(left)) < 0) return false;
        if (entries[1].revents) {
            ::kill(-pid, SIGKILL);
            ::waitpid(pid, wait_status, 0);
            errno = EINTR;
            return false;
        }
        if (output_open && entries[2].revents) output_open = Drain(output, lines, deadline);
        if (entries[0].revents) {
            pid_t done;
            do done = ::waitpid(pid, wait_status, 0);
            while (done < 0 && errno == EINTR);
            // What it wrote just before it ended; a child it left behind may keep the pipe
            // open, so nothing more is waited for.
            if (output_open) Drain(output, lines, std::min(deadline, Clock::now() + LastOutputWait));
            return done == pid;
        }
    }
}

}  // namespace

bool ProgramReady(const std::string& program) {
    struct stat info {};
    if (::stat(program.c_str(), &info) != 0) {
        SetLastError(static_cast<std::uint32_t>(errno));
        return false;
    }
    if (!S_ISREG(info.st_mode) || ::access(program.c_str(), X_OK) != 0) {
        SetLastError(EACCES);
        return false;
    }
    return true;
}

ControlResult RunControlProgram(const std::vector<std::string>& argv, const char* device, std::uint32_t code) {
    if (!ProgramReady(argv[0])) return ControlResult::Unanswered;
    std::vector<std::string> args = argv;
    args.push_back(CodeText(code));
    const std::vector<std::string> environment = {
        std::string("PATH=") + ProgramPath, std::string("FWU_DEVICE=") + device,
        "FWU_CONTROL=" + CodeText(code), std::string("FWU_ACTION=") + ControlActionName(code).c_str(),
        "FWU_PROFILE=" + CurrentProfile().path};

    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return ControlOutcome(false, 0);
    ::fcntl(pipe_fds[0], F_SETFL, O_NONBLOCK);
    pid_t pid = 0;
    int error = Spawn(args, environment, pipe_fds[1], &pid);
    SysClose(pipe_fds[1]);
    if (error != 0) {
        SysClose(pipe_fds[0]);
        errno = error;
        return ControlOutcome(false, 0);
    }
    int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd < 0) {
        error = errno;
        ::kill(-pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        SysClose(pipe_fds[0]);
        errno = error;
        return ControlOutcome(false, 0);
    }
    OutputLines lines{device, {}, {}};
    int wait_status = 0;
    bool ended = AwaitEnd(pid, pidfd, pipe_fds[0], &lines, &wait_status);
    error = errno;
    lines.Flush();
    SysClose(pidfd);
    SysClose(pipe_fds[0]);
    std::uint32_t status = 0;
    std::string report;
    if (!ended) {
        status = static_cast<std::uint32_t>(error);
        if (error == ETIMEDOUT) {
            report = "did not end within " + std::to_string(ServiceReplyMilliseconds / 1000) + " s and was killed";
        }
    } else if (WIFEXITED(wait_status)) {
        status = static_cast<std::uint32_t>(WEXITSTATUS(wait_status));
        report = "exited with status " + std::to_string(status);
    } else {
        status = 128u + static_cast<std::uint32_t>(WTERMSIG(wait_status));
        report = "was killed by signal " + std::to_string(WTERMSIG(wait_status));
    }
    if (ended && status == 0) return ControlResult::Done;
    if (!lines.last.empty()) {
        const char* words = ::strerrordesc_np(static_cast<int>(status));
        if (report.empty()) report = words ? words : "error " + std::to_string(status);
        report += LastLineMark + lines.last;
    }
    SetLastError(status, report);
    return ended ? ControlResult::Refused : ControlResult::Unanswered;
}

}  // namespace platform::internal
