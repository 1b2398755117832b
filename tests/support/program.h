// Running the program under test (FWU_PROGRAM) as a child process, and private temporary
// directories. Output is collected through pipes; every wait is bounded by poll deadlines.
//
// Index: TempDir ProgramResult RunProgram RunCommand RunningProgram Banner
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace fwu_test {

// A command id as the command line takes it.
inline std::string Id(std::uint16_t id) { return std::to_string(id); }

// The log pane's first text, as the headless screen writes it.
inline constexpr char Banner[] = "Korvan Halvik Firmware Utility\r\n<< Firmware Version: V.4.2.0 >>\r\n";

// A fresh directory under $TMPDIR (or /tmp), removed with everything in it at the end.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

struct ProgramResult {
    int status = -1;  // the exit code, or 128 + the signal that ended it, or -1: did not end in time
    std::string out;
    std::string err;
};

// A running child. `env` entries ("NAME=VALUE") are added to (or replace in) this process's
// environment for the child.
class RunningProgram {
public:
    RunningProgram(const std::vector<std::string>& args, const std::vector<std::string>& env = {});
    // Another command instead of the program: `command[0]` is the executable's path.
    struct Command {
        std::vector<std::string> argv;
    };
    RunningProgram(const Command& command, const std::vector<std::string>& env = {});
    ~RunningProgram();  // a child still running is killed and reaped
    RunningProgram(const RunningProgram&) = delete;
    RunningProgram& operator=(const RunningProgram&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    // Reads output until stdout holds `text` or the time is up; true when it does.
    bool WaitForOutput(const std::string& text, int timeout_ms = 10000);
    void Signal(int signal_number);
    // Waits for the end (reading output meanwhile); the child is killed when the time is up.
    ProgramResult Wait(int timeout_ms = 10000);
    const std::string& out() const { return out_; }
    const std::string& err() const { return err_; }

private:
    bool Pump(int timeout_ms);
    pid_t pid_ = -1;
    int out_fd_ = -1;
    int err_fd_ = -1;
    std::string out_;
    std::string err_;
    int status_ = -1;
};

// Runs the program to its end.
ProgramResult RunProgram(const std::vector<std::string>& args, const std::vector<std::string>& env = {},
                         int timeout_ms = 20000);
// Runs another command (a wrapper around the program, say) to its end.
ProgramResult RunCommand(const std::vector<std::string>& command, const std::vector<std::string>& env = {},
                         int timeout_ms = 20000);

}  // namespace fwu_test
