// What an ending of the program gives back, with the real program: ports it held no longer in
// exclusive mode after a close signal or a fatal one, during an update or a bridge; the simulated
// handset's private directory gone after a signal, and the one of a killed program removed by
// the next start, never a live handset's; the order in which a fatal signal's steps run.
#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "platform/base/signals.h"
#include "sim/sim.h"
#include "tests/support/program.h"
#include "resources/commands.h"

namespace {

using namespace fwu_test;

constexpr int ProgramMs = 20000;  // every wait is bounded; a hang fails the test
constexpr std::uint32_t SlowModuleBaud = 115200;  // the image takes minutes: an update is surely in progress

// Fatal signals sent on purpose write no core file.
const bool no_cores = [] {
    rlimit none{0, 0};
    return ::setrlimit(RLIMIT_CORE, &none) == 0;
}();

// 1 when the tty at `path` is in exclusive mode, 0 when not, -1 when it cannot be told. Root
// passes the mode on open, so the flag is read back; anyone else finds EBUSY.
int Exclusive(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno == EBUSY ? 1 : -1;
    int flag = -1;
    if (::ioctl(fd, TIOCGEXCL, &flag) != 0) flag = -1;
    ::close(fd);
    return flag;
}

std::vector<std::string> HandsetDirectories(const std::string& parent) {
    std::vector<std::string> found;
    DIR* dir = ::opendir(parent.c_str());
    if (dir == nullptr) return found;
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strncmp(entry->d_name, "fwu-handset-", 12) == 0) found.push_back(entry->d_name);
    }
    ::closedir(dir);
    return found;
}

std::string Joined(const std::vector<std::string>& names) {
    std::string text;
    for (const auto& name : names) text += name + " ";
    return text;
}

class Endings : public ::testing::Test {
protected:
    std::vector<std::string> Env() const {
        return {"FIRMWARE_UTILITY_RUNTIME_DIR=" + dir_.path() + "/rt", "TMPDIR=" + dir_.path()};
    }
    TempDir dir_;
};

// ---- ports given back out of exclusive mode

class PortEndings : public Endings {
protected:
    void SetUp() override {
        ASSERT_TRUE(no_cores);
        sim::Options options;
        options.module_baud = SlowModuleBaud;
        std::string error;
        ASSERT_TRUE(handset_.Start(options, &error)) << error;
    }
    std::string Device(const char* name) const { return handset_.DevicePath(name); }
    sim::Handset handset_;
};

TEST_F(PortEndings, AnUpdateEndedBySignalLeavesTheModuleLinkFree) {
    for (int signal_number : {SIGTERM, SIGHUP, SIGSEGV}) {
        RunningProgram program({"update", "--profile", handset_.ProfilePath()}, Env());
        ASSERT_TRUE(program.WaitForOutput("Wait a moment please...", ProgramMs)) << program.out() << program.err();
        ASSERT_EQ(Exclusive(Device("COM1:")), 1) << "held while the image streams";
        program.Signal(signal_number);
        ProgramResult result = program.Wait(ProgramMs);
        EXPECT_NE(result.status, -1) << strsignal(signal_number);
        EXPECT_EQ(Exclusive(Device("COM1:")), 0) << strsignal(signal_number);
    }
}

TEST_F(PortEndings, ABridgeEndedBySignalLeavesBothPortsFree) {
    for (int signal_number : {SIGTERM, SIGSEGV}) {
        RunningProgram program({"bridge", "--profile", handset_.ProfilePath()}, Env());
        ASSERT_TRUE(program.WaitForOutput("Stopbits:1,Databits:8\r\n", ProgramMs)) << program.out() << program.err();
        ASSERT_EQ(Exclusive(Device("COM2:")), 1);
        ASSERT_EQ(Exclusive(Device("COM3:")), 1);
        program.Signal(signal_number);
        EXPECT_NE(program.Wait(ProgramMs).status, -1) << strsignal(signal_number);
        EXPECT_EQ(Exclusive(Device("COM2:")), 0) << strsignal(signal_number);
        EXPECT_EQ(Exclusive(Device("COM3:")), 0) << strsignal(signal_number);
    }
}

// ---- the simulated handset's directory

TEST_F(Endings, TheHandsetDirectoryGoesWithASignalledProgram) {
    ASSERT_TRUE(no_cores);
    for (int signal_number : {SIGTERM, SIGINT, SIGHUP, SIGSEGV, SIGABRT}) {
        RunningProgram program({"bridge"}, Env());
        ASSERT_TRUE(program.WaitForOutput("Stopbits:1,Databits:8\r\n", ProgramMs)) << program.out() << program.err();
        ASSERT_EQ(HandsetDirectories(dir_.path()).size(), 1u);
        program.Signal(signal_number);
        EXPECT_NE(program.Wait(ProgramMs).status, -1) << strsignal(signal_number);
        EXPECT_EQ(Joined(HandsetDirectories(dir_.path())), "") << strsignal(signal_number);
    }
}

TEST_F(Endings, AKilledProgramsDirectoryIsRemovedByTheNextStart) {
    for (int i = 0; i < 2; ++i) {
        RunningProgram program({"bridge"}, Env());
        ASSERT_TRUE(program.WaitForOutput("Stopbits:1,Databits:8\r\n", ProgramMs)) << program.err();
        program.Signal(SIGKILL);
        EXPECT_EQ(program.Wait(ProgramMs).status, 128 + SIGKILL);
    }
    // A SIGKILL runs no code: the last one's directory stays (the second start took the first's).
    ASSERT_EQ(HandsetDirectories(dir_.path()).size(), 1u);
    ProgramResult restart = RunProgram({"--headless", "--command", fwu_test::Id(commands::Exit)}, Env(), ProgramMs);
    EXPECT_EQ(restart.status, 0) << restart.err;
    EXPECT_EQ(restart.out, Banner);
    EXPECT_EQ(Joined(HandsetDirectories(dir_.path())), "");
}

// A live handset keeps its directory, whether it runs in another process (`sim`) or in this
// one; what is not a handset's directory, or has no lock, is left alone.
TEST_F(Endings, AStartNeverRemovesALiveHandsetsDirectory) {
    RunningProgram foreground({"sim"}, Env());
    ASSERT_TRUE(foreground.WaitForOutput("(IrDA far end)\n", ProgramMs)) << foreground.err();
    sim::Options options;
    options.parent_directory = dir_.path();
    sim::Handset here;
    std::string error;
    ASSERT_TRUE(here.Start(options, &error)) << error;
    const std::string unlocked = dir_.path() + "/fwu-handset-nolock", other = dir_.path() + "/fwu-handset-toolong1";
    ASSERT_EQ(::mkdir(unlocked.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(other.c_str(), 0700), 0);
    std::ofstream(other + "/handset.lock") << "";

    ProgramResult restart = RunProgram({"--headless", "--command", fwu_test::Id(commands::Exit)}, Env(), ProgramMs);
    EXPECT_EQ(restart.status, 0) << restart.err;
    auto left = HandsetDirectories(dir_.path());
    EXPECT_EQ(left.size(), 4u) << Joined(left);
    struct stat info {};
    EXPECT_EQ(::stat(here.ProfilePath().c_str(), &info), 0) << "this process's handset";
    EXPECT_EQ(::stat(foreground.out().substr(0, foreground.out().find('\n')).c_str(), &info), 0) << "the sim's";

    foreground.Signal(SIGTERM);
    EXPECT_EQ(foreground.Wait(ProgramMs).status, 0);
    here.Stop();
    EXPECT_EQ(HandsetDirectories(dir_.path()).size(), 2u) << "both stopped handsets took theirs";
}

// ---- the one signal owner: a fatal signal's steps in their order, then its usual course

void Say(const char* text) { [[maybe_unused]] ssize_t n = ::write(STDERR_FILENO, text, std::strlen(text)); }

extern "C" void HandlerBefore(int) {
    Say("before\n");
    ::_exit(3);
}

// Registered in the reverse order of the steps.
void RegisterSteps() {
    using platform::internal::SetSignalAction;
    using platform::internal::SignalStep;
    SetSignalAction(SignalStep::RemoveDirectories, [](int) { Say("directories\n"); });
    SetSignalAction(SignalStep::RestoreTerminal, [](int) { Say("terminal "); });
    SetSignalAction(SignalStep::GiveBackPorts, [](int) { Say("ports "); });
}

TEST(SignalOwner, AFatalSignalRunsTheStepsInOrderThenItsDefaultAction) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (int signal_number : {SIGABRT, SIGQUIT}) {
        EXPECT_EXIT(
            {
                RegisterSteps();
                ::raise(signal_number);
            },
            ::testing::KilledBySignal(signal_number), "^ports terminal directories\n$")
            << strsignal(signal_number);
    }
}

TEST(SignalOwner, TheHandlerThatWasThereBeforeRunsAfterTheSteps) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            ::signal(SIGABRT, HandlerBefore);
            RegisterSteps();
            ::raise(SIGABRT);
        },
        ::testing::ExitedWithCode(3), "^ports terminal directories\nbefore\n$");
}

}  // namespace
