// Device adapters: the radio driver and the kernel as programs (test scripts that record their
// arguments and environment and end with a chosen status, and one that hangs), and the module
// reset as a modem-line pulse, observed through the system-call seam on a pty.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/devices/adapter.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "tests/support/files.h"
#include "tests/support/program.h"
#include "tests/support/pty.h"

namespace {

using platform::internal::KernelRebootCode;
using platform::internal::RadioResetCode;
using platform::internal::RadioResumeCode;
using platform::internal::RadioSuspendCode;
using fwu_test::ReadFile;
using fwu_test::UseProfile;

void WriteScript(const std::string& path, const std::string& body, mode_t mode = 0755) {
    std::ofstream(path) << "#!/bin/sh\n" << body;
    ::chmod(path.c_str(), mode);
}

// A radio-driver control as the tool issues it: open RIL1:, one control, close.
bool Control(std::uint32_t code, std::uint32_t* error) {
    platform::Handle ril = platform::OpenDevice("RIL1:");
    if (ril == platform::InvalidHandle) {
        *error = platform::GetLastError();
        return false;
    }
    bool done = platform::DeviceIoControl(ril, code, nullptr, 0, nullptr, 0, nullptr);
    *error = done ? 0 : platform::GetLastError();
    platform::CloseHandle(ril);
    return done;
}

class Adapters : public ::testing::Test {
protected:
    void SetUp() override {
        trace_ = dir_.path() + "/trace.txt";
        ASSERT_TRUE(platform::SetTraceSink(trace_.c_str()));
        // The record script: "exec:SCRIPT RECORD STATUS", appends its arguments and environment.
        WriteScript(script_,
                    "out=$1; status=$2; shift 2\n"
                    "for a in \"$@\"; do echo \"arg:$a\"; done >> \"$out\"\n"
                    "env | sed 's/^/env:/' >> \"$out\"\n"
                    "echo \"said on stdout\"; echo \"said on stderr\" >&2\n"
                    "exit $status\n");
        ::setenv("FWU_ADAPTER_TEST_SECRET", "kept out", 1);
    }
    void TearDown() override {
        platform::SetTraceSink("");
        platform::SetProfile(platform::Profile{});
        ::unsetenv("FWU_ADAPTER_TEST_SECRET");
    }
    std::string Program(int status) const {
        return "exec:" + script_ + " " + record_ + " " + std::to_string(status);
    }

    fwu_test::TempDir dir_;
    std::string script_ = dir_.path() + "/ril.sh";
    std::string record_ = dir_.path() + "/record.txt";
    std::string trace_;
};

// ---- programs

TEST_F(Adapters, ProgramGetsTheCodeAsLastArgumentAndACleanEnvironment) {
    UseProfile("[devices]\nRIL1: = " + Program(0) + "\n");
    std::uint32_t error = 1;
    ASSERT_TRUE(Control(RadioSuspendCode, &error)) << error;
    std::string record = ReadFile(record_);
    EXPECT_NE(record.find("arg:0x03001F80\n"), std::string::npos) << record;
    EXPECT_EQ(record.find("arg:0x03001F80\narg:"), std::string::npos) << "the code is the last argument";
    for (const char* variable : {"env:FWU_DEVICE=RIL1:\n", "env:FWU_CONTROL=0x03001F80\n", "env:FWU_ACTION=suspend\n",
                                 "env:FWU_PROFILE=test.prof\n",
                                 "env:PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin\n"}) {
        EXPECT_NE(record.find(variable), std::string::npos) << variable << record;
    }
    EXPECT_EQ(record.find("FWU_ADAPTER_TEST_SECRET"), std::string::npos) << record;
    EXPECT_EQ(record.find("env:HOME="), std::string::npos) << record;
    std::string trace = ReadFile(trace_);
    EXPECT_NE(trace.find("RIL1: said on stdout\r\n"), std::string::npos) << trace;
    EXPECT_NE(trace.find("RIL1: said on stderr\r\n"), std::string::npos) << trace;
}

// A status of its own may differ next time; 126 and 127, a shell that could not run a command,
// will not.
TEST_F(Adapters, ExitStatusIsTheControlsStatus) {
    const struct {
        int status;
        bool done;
        bool for_good;
    } rows[] = {{0, true, false}, {1, false, false}, {2, false, false}, {22, false, false},
                {125, false, false}, {126, false, true}, {127, false, true}, {255, false, false}};
    for (const auto& row : rows) {
        UseProfile("[devices]\nRIL1: = " + Program(row.status) + "\n");
        std::uint32_t error = 0;
        EXPECT_EQ(Control(RadioResumeCode, &error), row.done) << row.status;
        EXPECT_EQ(error, static_cast<std::uint32_t>(row.status));
        if (!row.done) {
            EXPECT_EQ(platform::ControlFailsForGood("RIL1:", RadioResumeCode, error, true), row.for_good) << row.status;
        }
    }
}

// A program that opened but cannot run (its interpreter or a command it runs is not there)
// fails for good, and its explanation carries what it last said.
TEST_F(Adapters, ProgramThatCannotRunFailsForGood) {
    const std::string program = dir_.path() + "/reset.sh";
    const struct {
        std::string script;
        std::uint32_t error;
        std::string adapter_line;  // its end
    } rows[] = {
        {"#!/bin/sh\nfwu-gpioset-none 1 >/dev/null\n", 127, "fwu-gpioset-none: not found"},
        {"#!/bin/sh\nexec " + dir_.path() + " 1\n", 126, "Permission denied"},
        {"#!" + dir_.path() + "/no-shell\nexit 0\n", ENOENT, ""},
        {"#!/bin/sh\necho \"fwu-gpioset-none: busy\" >&2\nexit 3\n", 3, "fwu-gpioset-none: busy"},
    };
    for (const auto& row : rows) {
        std::ofstream(program) << row.script;
        ::chmod(program.c_str(), 0755);
        UseProfile("[devices]\nRIL1: = exec:" + program + "\n");
        std::uint32_t error = 0;
        EXPECT_FALSE(Control(RadioResetCode, &error)) << row.script;
        EXPECT_EQ(error, row.error) << row.script;
        std::string line;
        platform::ExplainControlFailure("RIL1:", RadioResetCode, error, &line);
        EXPECT_EQ(platform::ControlFailsForGood("RIL1:", RadioResetCode, error, true), row.error != 3) << row.script;
        EXPECT_TRUE(line.size() >= row.adapter_line.size() &&
                    line.compare(line.size() - row.adapter_line.size(), std::string::npos, row.adapter_line) == 0)
            << line;
    }
}

TEST_F(Adapters, MissingOrNotExecutableProgramFailsTheOpen) {
    const std::string plain = dir_.path() + "/plain.sh";
    WriteScript(plain, "exit 0\n", 0644);
    const struct {
        std::string program;
        std::uint32_t error;
    } rows[] = {{dir_.path() + "/missing.sh", ENOENT}, {plain, EACCES}, {dir_.path(), EACCES}};
    for (const auto& row : rows) {
        UseProfile("[devices]\nRIL1: = exec:" + row.program + "\n");
        std::uint32_t error = 0;
        EXPECT_FALSE(Control(RadioSuspendCode, &error)) << row.program;
        EXPECT_EQ(error, row.error) << row.program;
    }
    // A profile made in memory skips the parser's check: "exec:" without a program opens nothing.
    platform::Profile bare;
    bare.devices["RIL1:"] = "exec: ";
    platform::SetProfile(bare);
    std::uint32_t error = 0;
    EXPECT_FALSE(Control(RadioSuspendCode, &error));
    EXPECT_EQ(error, static_cast<std::uint32_t>(ENOENT));
}

TEST_F(Adapters, HangingProgramIsKilledAndReportsATimeOut) {
    const std::string hang = dir_.path() + "/hang.sh";
    const std::string pid_file = dir_.path() + "/sleep.pid";
    WriteScript(hang, "sleep 60 &\necho $! > " + pid_file + "\nwait\n");
    UseProfile("[devices]\nRIL1: = exec:" + hang + "\n");
    std::uint32_t error = 0;
    EXPECT_FALSE(Control(RadioResetCode, &error));
    EXPECT_EQ(error, static_cast<std::uint32_t>(ETIMEDOUT));
    // The whole group went: the script's own child too.
    pid_t child = std::atoi(ReadFile(pid_file).c_str());
    ASSERT_GT(child, 0);
    bool gone = false;
    for (int i = 0; i < 100 && !gone; ++i) {
        gone = ::kill(child, 0) != 0 || ReadFile("/proc/" + std::to_string(child) + "/stat").find(" Z ") != std::string::npos;
        if (!gone) ::usleep(20000);
    }
    EXPECT_TRUE(gone);
}

// The program writes without end and without a line break: it is killed at the deadline, and
// neither the trace nor this process keeps more than a bounded part of it.
TEST_F(Adapters, FloodingProgramIsKilledAtTheDeadlineWithBoundedMemoryAndTrace) {
    UseProfile("[devices]\nRIL1: = exec:/usr/bin/cat /dev/zero\n");
    rusage before {};
    ::getrusage(RUSAGE_SELF, &before);
    std::uint32_t error = 0;
    EXPECT_FALSE(Control(RadioSuspendCode, &error));
    EXPECT_EQ(error, static_cast<std::uint32_t>(ETIMEDOUT));
    rusage after {};
    ::getrusage(RUSAGE_SELF, &after);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 16L * 1024) << "KiB grown";  // the flood is gigabytes
    std::string trace = ReadFile(trace_);
    EXPECT_LT(trace.size(), 4096u);
    EXPECT_NE(trace.find("[...]\r\n"), std::string::npos) << "the line was cut";
    EXPECT_NE(trace.find("more bytes, 0 more lines, not kept)\r\n"), std::string::npos);
    EXPECT_EQ(trace.find('\0'), std::string::npos) << "control bytes are shown as '?'";
}

// Lines without end: the first ones are kept, the rest only counted, in one last line.
TEST_F(Adapters, ManyLinesAreKeptUpToTheLimitAndTheRestCounted) {
    const std::string lines = dir_.path() + "/lines.sh";
    WriteScript(lines, "i=0; while [ $i -lt 1000 ]; do echo \"line $i\"; i=$((i+1)); done\n");
    UseProfile("[devices]\nRIL1: = exec:" + lines + "\n");
    std::uint32_t error = 1;
    EXPECT_TRUE(Control(RadioResumeCode, &error)) << error;
    std::string trace = ReadFile(trace_);
    EXPECT_NE(trace.find("RIL1: line 199\r\n"), std::string::npos);
    EXPECT_EQ(trace.find("RIL1: line 200\r\n"), std::string::npos);
    EXPECT_NE(trace.find("RIL1: (the program wrote 6400 more bytes, 800 more lines, not kept)\r\n"), std::string::npos)
        << trace.substr(trace.size() - 200);
}

// Only 0-2 reach the program, whatever this process holds without close-on-exec; a child it
// leaves running is not waited for (else the deadline would fail the control).
TEST_F(Adapters, ProgramGetsOnlyTheStandardDescriptorsAndItsLeftoversAreNotAwaited) {
    const std::string list = dir_.path() + "/fds.sh";
    const std::string listing = dir_.path() + "/fds.txt";
    WriteScript(list, "ls /proc/$$/fd > " + listing + "\n(sleep 20) &\n");
    int inherited = ::open("/dev/null", O_RDONLY);  // no O_CLOEXEC, as an inherited one
    ASSERT_GE(inherited, 3);
    UseProfile("[devices]\nRIL1: = exec:" + list + "\n");
    std::uint32_t error = 1;
    EXPECT_TRUE(Control(RadioResumeCode, &error)) << error;
    ::close(inherited);
    std::istringstream fds(ReadFile(listing));
    std::string listed;
    for (int fd; fds >> fd;) {
        if (fd < 10) listed += std::to_string(fd) + " ";  // the shell keeps its script on 10 or above
    }
    EXPECT_EQ(listed, "0 1 2 ") << ReadFile(listing);
}

TEST_F(Adapters, KernelProgramTakesTheRebootRequest) {
    UseProfile("[kernel]\nKernelIoControl = " + Program(0) + "\n");
    platform::Handle coredll = platform::LoadLibrary("COREDLL.DLL");
    ASSERT_NE(coredll, 0);
    auto entry = reinterpret_cast<platform::KernelIoControlProc>(platform::GetProcAddress(coredll, "KernelIoControl"));
    ASSERT_NE(entry, nullptr);
    platform::FreeLibrary(coredll);
    EXPECT_NE(entry(KernelRebootCode, nullptr, 0, nullptr, 0, nullptr), 0);
    std::string record = ReadFile(record_);
    EXPECT_NE(record.find("arg:0x0101003C\n"), std::string::npos) << record;
    EXPECT_NE(record.find("env:FWU_DEVICE=KernelIoControl\n"), std::string::npos) << record;
    EXPECT_NE(record.find("env:FWU_ACTION=reboot\n"), std::string::npos) << record;

    UseProfile("[kernel]\nKernelIoControl = " + Program(5) + "\n");
    EXPECT_EQ(entry(KernelRebootCode, nullptr, 0, nullptr, 0, nullptr), 0);
    EXPECT_EQ(platform::GetLastError(), 5u);
    UseProfile("[kernel]\nKernelIoControl = exec:" + dir_.path() + "/none\n");
    EXPECT_EQ(entry(KernelRebootCode, nullptr, 0, nullptr, 0, nullptr), 0);
    EXPECT_EQ(platform::GetLastError(), static_cast<std::uint32_t>(ENOENT));
}

// ---- the reset pulse, through the system-call seam

struct LineChange {
    int fd;
    unsigned long request;
    int bits;
    std::chrono::steady_clock::time_point at;
};
std::mutex changes_mutex;
std::vector<LineChange> changes;
std::vector<std::string> opened;
platform::internal::SysCallTable saved;

int RecordingIoctl(int fd, unsigned long request, void* argument) {
    if (request == TIOCMBIC || request == TIOCMBIS) {
        std::lock_guard lock(changes_mutex);
        changes.push_back({fd, request, *static_cast<int*>(argument), std::chrono::steady_clock::now()});
        return 0;  // a pty has no modem lines: the seam plays the UART
    }
    return saved.ioctl(fd, request, argument);
}

int RecordingOpen(const char* path, int flags, mode_t mode) {
    {
        std::lock_guard lock(changes_mutex);
        opened.push_back(path);
    }
    return saved.open(path, flags, mode);
}

class ResetPulse : public Adapters {
protected:
    void SetUp() override {
        Adapters::SetUp();
        ASSERT_TRUE(pty_.ok());
        saved = platform::internal::SysCalls();
        platform::internal::SysCalls().ioctl = RecordingIoctl;
        platform::internal::SysCalls().open = RecordingOpen;
        std::lock_guard lock(changes_mutex);
        changes.clear();
        opened.clear();
    }
    void TearDown() override {
        platform::internal::SysCalls() = saved;
        Adapters::TearDown();
    }
    std::vector<LineChange> Pulses() {
        std::lock_guard lock(changes_mutex);
        std::vector<LineChange> pulses;
        for (const LineChange& change : changes) {
            if (change.bits == TIOCM_DTR || change.bits == TIOCM_RTS) pulses.push_back(change);
        }
        return pulses;
    }
    fwu_test::Pty pty_;
};

TEST_F(ResetPulse, LinesChangeInOrderForAtLeastThePulse) {
    const struct {
        const char* entry;
        int line;
        unsigned long first, second;
        int milliseconds;
    } rows[] = {
        {"COM1: dtr 40", TIOCM_DTR, TIOCMBIC, TIOCMBIS, 40},
        {"COM1: rts 25 high", TIOCM_RTS, TIOCMBIS, TIOCMBIC, 25},
        {"com1: DTR 30 low", TIOCM_DTR, TIOCMBIC, TIOCMBIS, 30},
    };
    for (const auto& row : rows) {
        UseProfile(std::string("[devices]\nCOM1: = ") + pty_.slave() + "\n[radio]\nreset = " + row.entry + "\n");
        // The module link holds its port: the pulse must use that open port.
        platform::Handle link = platform::OpenDevice("COM1:");
        ASSERT_NE(link, platform::InvalidHandle);
        {
            std::lock_guard lock(changes_mutex);
            changes.clear();
            opened.clear();
        }
        std::uint32_t error = 1;
        ASSERT_TRUE(Control(RadioResetCode, &error)) << row.entry << " error " << error;
        std::vector<LineChange> pulses = Pulses();
        ASSERT_EQ(pulses.size(), 2u) << row.entry;
        EXPECT_EQ(pulses[0].request, row.first) << row.entry;
        EXPECT_EQ(pulses[1].request, row.second) << row.entry;
        EXPECT_EQ(pulses[0].bits, row.line);
        EXPECT_EQ(pulses[1].bits, row.line);
        EXPECT_EQ(pulses[0].fd, pulses[1].fd);
        EXPECT_GE(pulses[1].at - pulses[0].at, std::chrono::milliseconds(row.milliseconds)) << row.entry;
        {
            std::lock_guard lock(changes_mutex);
            EXPECT_TRUE(opened.empty()) << "opened " << opened.front();
        }
        platform::CloseHandle(link);
    }
    EXPECT_NE(ReadFile(trace_).find("RIL1: reset pulse: RTS high for 25 ms on COM1:"), std::string::npos);
}

TEST_F(ResetPulse, PortNotHeldIsOpenedForThePulse) {
    UseProfile(std::string("[devices]\nCOM1: = ") + pty_.slave() + "\n[radio]\nreset = COM1: rts 5\n");
    std::uint32_t error = 1;
    ASSERT_TRUE(Control(RadioResetCode, &error)) << error;
    EXPECT_EQ(Pulses().size(), 2u);
    std::lock_guard lock(changes_mutex);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0], pty_.slave());
}

TEST_F(ResetPulse, SuspendAndResumeGoToTheProgramOrSucceed) {
    // No RIL1: entry: only the pulse; suspend and resume have nothing to do.
    UseProfile(std::string("[devices]\nCOM1: = ") + pty_.slave() + "\n[radio]\nreset = COM1: dtr 5\n");
    std::uint32_t error = 1;
    EXPECT_TRUE(Control(RadioSuspendCode, &error)) << error;
    EXPECT_TRUE(Control(RadioResumeCode, &error)) << error;
    EXPECT_TRUE(Pulses().empty());
    // With a program: it takes suspend and resume, the pulse takes the reset.
    UseProfile(std::string("[devices]\nCOM1: = ") + pty_.slave() + "\nRIL1: = " + Program(0) + "\n[radio]\nreset = COM1: dtr 5\n");
    EXPECT_TRUE(Control(RadioSuspendCode, &error)) << error;
    EXPECT_TRUE(Control(RadioResetCode, &error)) << error;
    EXPECT_TRUE(Control(RadioResumeCode, &error)) << error;
    std::string record = ReadFile(record_);
    EXPECT_NE(record.find("arg:0x03001F80\n"), std::string::npos) << record;
    EXPECT_NE(record.find("arg:0x03001F84\n"), std::string::npos) << record;
    EXPECT_EQ(record.find("arg:0x03001F88\n"), std::string::npos) << record;
    EXPECT_EQ(Pulses().size(), 2u);
}

TEST_F(ResetPulse, PtyWithoutModemLinesFailsTheReset) {
    platform::internal::SysCalls() = saved;  // the real ioctl: a pty refuses modem lines
    UseProfile(std::string("[devices]\nCOM1: = ") + pty_.slave() + "\n[radio]\nreset = COM1: dtr 5\n");
    std::uint32_t error = 0;
    EXPECT_FALSE(Control(RadioResetCode, &error));
    EXPECT_TRUE(error == ENOTTY || error == EINVAL) << error;
    UseProfile("[devices]\nCOM1: = " + dir_.path() + "/gone\n[radio]\nreset = COM1: dtr 5\n");
    EXPECT_FALSE(Control(RadioResetCode, &error));
    EXPECT_EQ(error, static_cast<std::uint32_t>(ENOENT));
}

}  // namespace
