// The program as a user runs it: headless start-up and close, signals, one window per user
// over the real socket, `send`, the command line's refusals, --help, --version, --trace.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "tests/support/program.h"
#include "resources/commands.h"

namespace {

using fwu_test::Banner;
using fwu_test::ProgramResult;
using fwu_test::RunningProgram;
using fwu_test::RunProgram;
using fwu_test::TempDir;

class Program : public ::testing::Test {
protected:
    std::vector<std::string> Env() const { return {"FIRMWARE_UTILITY_RUNTIME_DIR=" + runtime_.path() + "/rt"}; }
    ProgramResult Run(const std::vector<std::string>& args) { return RunProgram(args, Env()); }
    TempDir runtime_;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string ProgramDirectory() {
    std::string path = FWU_PROGRAM;
    return path.substr(0, path.rfind('/') + 1);
}

TEST_F(Program, HeadlessCommand101PrintsTheBannerFirstAndEndsWith0) {
    ProgramResult result = Run({"--headless", "--command", fwu_test::Id(commands::Exit)});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, Banner);
}

TEST_F(Program, CommandsArePostedInOrder) {
    // 999 has no row and changes nothing; 1 then closes the window.
    ProgramResult result = Run({"--headless", "--command=999", "--command", fwu_test::Id(commands::Done)});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, Banner);
}

TEST_F(Program, CloseSignalsEndTheWindowWithExit0) {
    for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
        RunningProgram program({"--headless"}, Env());
        ASSERT_TRUE(program.WaitForOutput(Banner)) << strsignal(signal_number) << program.err();
        program.Signal(signal_number);
        ProgramResult result = program.Wait();
        EXPECT_EQ(result.status, 0) << strsignal(signal_number) << ": " << result.err;
        EXPECT_EQ(result.out, Banner);
    }
}

TEST_F(Program, SecondStartAsksTheFirstToTheFrontAndEndsWith255) {
    RunningProgram first({"--headless"}, Env());
    ASSERT_TRUE(first.WaitForOutput(Banner)) << first.err();

    ProgramResult second = Run({"--headless"});
    EXPECT_EQ(second.status, 255) << second.err;
    EXPECT_EQ(second.out, "") << "the second start creates no window";

    // The first still runs and answers.
    ProgramResult sent = Run({"send", fwu_test::Id(commands::DisplayBoth)});
    EXPECT_EQ(sent.status, 0) << sent.err;
    EXPECT_EQ(sent.out, "0\n");

    ProgramResult closed = Run({"send", fwu_test::Id(commands::Done)});
    EXPECT_EQ(closed.status, 0) << closed.err;
    EXPECT_EQ(closed.out, "0\n");
    ProgramResult end = first.Wait();
    EXPECT_EQ(end.status, 0) << end.err;
    EXPECT_EQ(end.out, Banner);
}

TEST_F(Program, Send101ClosesTheRunningWindow) {
    RunningProgram first({"--headless"}, Env());
    ASSERT_TRUE(first.WaitForOutput(Banner)) << first.err();
    ProgramResult sent = Run({"send", fwu_test::Id(commands::Exit)});
    EXPECT_EQ(sent.status, 0) << sent.err;
    EXPECT_EQ(sent.out, "0\n");
    EXPECT_EQ(first.Wait().status, 0);
    // Gone for good: the socket went with the window.
    ProgramResult again = Run({"send", fwu_test::Id(commands::Exit)});
    EXPECT_EQ(again.status, 3);
}

TEST_F(Program, SendWithNoWindowRunningEndsWith3) {
    ProgramResult result = Run({"send", fwu_test::Id(commands::Exit)});
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("no window"), std::string::npos) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
}

TEST_F(Program, StaleSocketIsReplaced) {
    RunningProgram first({"--headless"}, Env());
    ASSERT_TRUE(first.WaitForOutput(Banner));
    first.Signal(SIGKILL);  // dies without removing its socket
    first.Wait();
    RunningProgram second({"--headless"}, Env());
    ASSERT_TRUE(second.WaitForOutput(Banner)) << second.err();
    ProgramResult sent = Run({"send", fwu_test::Id(commands::Exit)});
    EXPECT_EQ(sent.status, 0) << sent.err;
    EXPECT_EQ(second.Wait().status, 0);
}

TEST_F(Program, RuntimeDirectoryOpenToOthersIsRefused) {
    std::string directory = runtime_.path() + "/rt";
    ASSERT_EQ(::mkdir(directory.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(directory.c_str(), 0755), 0);
    ProgramResult result = Run({"--headless", "--command", fwu_test::Id(commands::Exit)});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("mode 0755, must be 0700"), std::string::npos) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
}

TEST_F(Program, TraceGetsTheProgramDirectory) {
    std::string trace = runtime_.path() + "/trace.txt";
    ProgramResult result = Run({"--headless", "--trace", trace, "--command", fwu_test::Id(commands::Exit)});
    ASSERT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(ReadFile(trace), "get current dir " + ProgramDirectory() + "\r\n");
}

TEST_F(Program, TraceDashIsStderr) {
    ProgramResult result = Run({"--headless", "--trace=-", "--command", fwu_test::Id(commands::Exit)});
    ASSERT_EQ(result.status, 0);
    EXPECT_NE(result.err.find("get current dir " + ProgramDirectory() + "\r\n"), std::string::npos);
}

TEST_F(Program, TraceFileThatCannotBeOpenedIsRefused) {
    ProgramResult result = Run({"--headless", "--trace", runtime_.path() + "/no/such/dir/trace"});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
}

// A FIFO with nobody at its other end (or a socket, or a device) named for a file option is
// refused with one line at once; before, opening the FIFO hung the program for good.
TEST_F(Program, FilesThatAreNotFilesAreRefusedWithoutWaiting) {
    const std::string fifo = runtime_.path() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::vector<std::string> args;
        std::string reason;
    } rows[] = {
        {{"update", "--profile", fifo}, fifo + ": a FIFO, not a regular file"},
        {{"update", "--events", fifo}, "--events " + fifo + ": a FIFO, not a regular file"},
        {{"update", "--trace", fifo}, "--trace " + fifo + ": a FIFO, not a regular file"},
        {{"--headless", "--trace", fifo}, "--trace " + fifo + ": a FIFO, not a regular file"},
        {{"update", "--profile", "/dev/null"}, "/dev/null: a character device, not a regular file"},
        {{"update", "--events", runtime_.path()}, "--events " + runtime_.path() + ": a directory, not a regular file"},
    };
    for (const auto& row : rows) {
        ProgramResult result = Run(row.args);
        EXPECT_EQ(result.status, 2) << row.args[1] << " " << row.args[2] << ": " << result.err;
        EXPECT_NE(result.err.find("firmware-utility: " + row.reason + "\n"), std::string::npos) << result.err;
    }
}

TEST_F(Program, BadArgumentsGiveOneLineAndExit2) {
    const std::vector<std::vector<std::string>> cases = {
        {"--bogus"},
        {"--command"},
        {"--command", "x"},
        {"--command", "65536"},
        {"--command", "-1"},
        {"--module-timeout", "0"},
        {"--module-timeout", "ten"},
        {"--headless=1"},
        {"--profile", ""},
        {"send"},
        {"send", "abc"},
        {"send", fwu_test::Id(commands::Done), "2"},
        {"frobnicate"},
        {"update", "bridge"},
    };
    for (const auto& args : cases) {
        ProgramResult result = Run(args);
        std::string shown = args.empty() ? "" : args[0] + (args.size() > 1 ? " " + args[1] : "");
        EXPECT_EQ(result.status, 2) << shown;
        EXPECT_EQ(result.out, "") << shown;
        EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << shown << ": " << result.err;
        EXPECT_EQ(result.err.rfind("firmware-utility: ", 0), 0u) << result.err;
    }
}

TEST_F(Program, AcceptedOptionsAreKept) {
    std::string profile = runtime_.path() + "/empty.profile";
    std::ofstream(profile) << "# a handset without devices\n[devices]\n";
    ProgramResult result =
        Run({"--headless", "--module-timeout", "30", "--profile", profile, "--command", fwu_test::Id(commands::Exit)});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, Banner);
}

TEST_F(Program, HelpAndVersion) {
    ProgramResult help = Run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("usage: firmware-utility", 0), 0u) << help.out;
    EXPECT_NE(help.out.find("--module-timeout SECONDS"), std::string::npos);
    ProgramResult version = Run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "firmware-utility 4.2.0\n");
}

// Without --headless the window is drawn in the terminal; here stdin and stdout are no terminal.
TEST_F(Program, TerminalScreenWithoutATerminalEndsWith2) {
    ProgramResult result = Run({"--command", fwu_test::Id(commands::Exit)});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("--headless"), std::string::npos) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
}

}  // namespace
