// Runs a device adapter's program for one control through the layer's launcher (base/spawn.h:
// no shell, a pipe for its output, a pidfd for its end). Everything waits in poll.
#include "platform/devices/program.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform/base/signals.h"
#include "platform/base/spawn.h"
#include "platform/base/sys.h"
#include "platform/base/system.h"
#include "platform/devices/adapter.h"
#include "platform/devices/devices.h"
#include "platform/devices/profile.h"
#include "platform/devices/service.h"

namespace platform::internal {
namespace {

using Clock = std::chrono::steady_clock;

// The exit statuses of a shell that could not run a command: found but not executable, and not
// found.
constexpr int CannotExecuteStatus = 126;
constexpr int NotFoundStatus = 127;

thread_local bool cannot_run = false;

// Stdin /dev/null, stdout and stderr on one pipe in the order written, nothing else; a group of
// its own, so a time-out kills all it started; only the environment given.
constexpr ChildSetup ProgramChild{.events = false, .merged_output = true, .own_group = true,
                                  .inherit_environment = false, .ends_with_parent = false};
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

// Waits for the program's end, passing its output on; false (errno ETIMEDOUT) at the deadline,
// the program then killed with all it started.
bool AwaitEnd(ChildProcess* child, OutputLines* lines, int* exit_code, int* signal_number) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ServiceReplyMilliseconds);
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        std::vector<bool> ready;
        // A close signal ends the run at once: the window's close must not wait for it.
        int error = left <= 0 ? ETIMEDOUT : 0;
        if (error == 0 && !WaitReadable({child->ended, SignalDescriptor(), child->out}, static_cast<int>(left), &ready)) {
            error = errno;
        } else if (error == 0 && ready[1]) {
            error = EINTR;
        }
        if (error != 0) {
            KillChild(*child);
            ReapChild(child->pid, true, exit_code, signal_number);
            errno = error;
            return false;
        }
        if (child->out >= 0 && ready[2] && !Drain(child->out, lines, deadline)) {
            CloseDescriptor(child->out);
            child->out = -1;
        }
        if (ready[0]) {
            const bool reaped = ReapChild(child->pid, true, exit_code, signal_number);
            // What it wrote just before it ended; a child it left behind may keep the pipe
            // open, so nothing more is waited for.
            if (child->out >= 0) Drain(child->out, lines, std::min(deadline, Clock::now() + LastOutputWait));
            return reaped;
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
    cannot_run = true;
    if (!ProgramReady(argv[0])) return ControlResult::Unanswered;
    std::vector<std::string> args = argv;
    args.push_back(CodeText(code));
    const std::vector<std::string> environment = {
        std::string("PATH=") + ProgramPath, std::string("FWU_DEVICE=") + device,
        "FWU_CONTROL=" + CodeText(code), std::string("FWU_ACTION=") + ControlActionName(code).c_str(),
        "FWU_PROFILE=" + CurrentProfile().path};

    ChildProcess child;
    if (!SpawnProgram(args[0], args, environment, &child, ProgramChild)) return ControlResult::Unanswered;
    cannot_run = false;
    OutputLines lines{device, {}, {}};
    int exit_code = 0, signal_number = 0;
    bool ended = AwaitEnd(&child, &lines, &exit_code, &signal_number);
    int error = errno;
    lines.Flush();
    CloseDescriptor(child.ended);
    CloseDescriptor(child.out);
    std::uint32_t status = 0;
    std::string report;
    if (!ended) {
        status = static_cast<std::uint32_t>(error);
        if (error == ETIMEDOUT) {
            report = "did not end within " + std::to_string(ServiceReplyMilliseconds / 1000) + " s and was killed";
        }
    } else {
        status = static_cast<std::uint32_t>(exit_code);
        cannot_run = signal_number == 0 && (exit_code == CannotExecuteStatus || exit_code == NotFoundStatus);
        report = signal_number == 0 ? "exited with status " + std::to_string(status)
                                    : "was killed by signal " + std::to_string(signal_number);
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

bool ProgramCannotRun() { return cannot_run; }

bool ProgramEntryReady(const std::string& value) {
    std::vector<std::string> argv;
    if (!SplitProgram(value, &argv)) {
        SetLastError(ENOENT);  // "exec:" and no program: nothing to run
        return false;
    }
    return ProgramReady(argv[0]);
}

ControlResult RunProgramEntry(const char* device, const std::string& value, std::uint32_t code) {
    std::vector<std::string> argv;
    if (!SplitProgram(value, &argv)) {
        cannot_run = true;
        SetLastError(ENOENT);
        return ControlResult::Unanswered;
    }
    return RunControlProgram(argv, device, code);
}

}  // namespace platform::internal
