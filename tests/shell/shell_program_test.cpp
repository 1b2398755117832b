// The program as a user runs it: headless start-up and close, signals, one window per user
// over the real socket, `send`, the command line's refusals, --help, --version, --trace.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "tests/support/files.h"
#include "tests/support/program.h"
#include "tests/support/tmux.h"
#include "tests/support/update_run.h"
#include "resources/commands.h"

namespace {

using fwu_test::Banner;
using fwu_test::ProgramResult;
using fwu_test::ReadFile;
using fwu_test::RunningProgram;
using fwu_test::RunProgram;
using fwu_test::TempDir;

class Program : public ::testing::Test {
protected:
    std::vector<std::string> Env() const { return {"FIRMWARE_UTILITY_RUNTIME_DIR=" + runtime_.path() + "/rt"}; }
    ProgramResult Run(const std::vector<std::string>& args) { return RunProgram(args, Env()); }
    TempDir runtime_;
};

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
    // A display mode change writes nothing; 1 then closes the window.
    ProgramResult result =
        Run({"--headless", "--command=" + fwu_test::Id(commands::DisplayPeerToGsm), "--command", fwu_test::Id(commands::Done)});
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
    // Then the payload set an update would send: here the generated stand-ins.
    EXPECT_EQ(ReadFile(trace).rfind("get current dir " + ProgramDirectory() + "\r\nstand-in payloads (", 0), 0u);
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

// Output that cannot be written is said once on stderr, naming it and the reason, and the
// program then ends with 1 instead of 0.
TEST_F(Program, AnOutputThatCannotBeWrittenIsSaidOnceAndFailsTheExit) {
    struct Case {
        const char* arguments;  // after the program, for sh -c
        const char* named;      // what the line names
    };
    const Case cases[] = {
        {" --headless --command 101 --trace /dev/full", "--trace /dev/full"},
        {" --headless --command 101 >/dev/full", "stdout"},
        {" payloads >/dev/full", "stdout"},
    };
    for (const Case& c : cases) {
        ProgramResult result =
            fwu_test::RunCommand({"/bin/sh", "-c", "exec " + fwu_test::ShellQuote(FWU_PROGRAM) + c.arguments}, Env());
        EXPECT_EQ(result.status, 1) << c.arguments << "\n" << result.err;
        EXPECT_EQ(fwu_test::Count(result.err, std::string("firmware-utility: ") + c.named +
                                                  ": write failed: No space left on device\n"),
                  1u)
            << c.arguments << "\n" << result.err;
    }
}

// A closed stdout is not taken by the trace file: the pane's text never ends up in the trace.
TEST_F(Program, AClosedStdoutIsNotTakenByTheTrace) {
    const std::string trace = runtime_.path() + "/trace.txt";
    ProgramResult result = fwu_test::RunCommand(
        {"/bin/sh", "-c",
         "exec " + fwu_test::ShellQuote(FWU_PROGRAM) + " --headless --command 101 --trace " + trace + " >&-"},
        Env());
    EXPECT_EQ(result.status, 0) << result.err;
    const std::string traced = ReadFile(trace);
    EXPECT_EQ(traced.rfind("get current dir " + ProgramDirectory() + "\r\n", 0), 0u) << traced;
    EXPECT_EQ(traced.find(Banner), std::string::npos) << traced;
}

// A FIFO with nobody at its other end, a device as a profile, a directory as an output: each is
// refused with one line at once; before, opening the FIFO hung the program for good.
TEST_F(Program, FilesThatAreNotFilesAreRefusedWithoutWaiting) {
    const std::string fifo = runtime_.path() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::vector<std::string> args;
        std::string reason;
    } rows[] = {
        {{"update", "--profile", fifo}, fifo + ": a FIFO, not a regular file"},
        {{"update", "--events", fifo}, "--events " + fifo + ": a FIFO with nobody reading it"},
        {{"update", "--trace", fifo}, "--trace " + fifo + ": a FIFO with nobody reading it"},
        {{"--headless", "--trace", fifo}, "--trace " + fifo + ": a FIFO with nobody reading it"},
        {{"update", "--profile", "/dev/null"}, "/dev/null: a character device, not a regular file"},
        {{"update", "--events", runtime_.path()}, "--events " + runtime_.path() + ": a directory, not a regular file"},
        {{"update", "--log-dir", fifo, "--profile", "a", "--profile", "b"}, "--log-dir " + fifo + ": Not a directory"},
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
        {"--command", "999"},
        {"--module-timeout", "0"},
        {"--module-timeout", "ten"},
        {"update", "--verify-timeout", "0"},
        {"update", "--verify-timeout", "-5"},
        {"update", "--verify-timeout", "ten"},
        {"update", "--expect-revision", ""},
        {"update", "--expect-revision", "V.4.2.0\x1B[2J"},
        {"update", "--station", "bench\n1"},
        {"update", "--record", ""},
        {"update", "--log-dir", "panes"},
        {"update", "--after", "never"},
        {"update", "--reset", "dtr"},
        {"update", "--port", "/dev/ttyS0", "--profile", "p"},
        {"bridge", "--port", "/dev/ttyS0"},
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

// The profile a start uses: --profile, else $FIRMWARE_UTILITY_PROFILE, else the user's
// configuration ($XDG_CONFIG_HOME when absolute, else ~/.config), else the system's, else the
// built-in simulated handset. Each file here is malformed, so the refusal names the one taken.
TEST_F(Program, ProfileLookupOrder) {
    const std::string dir = runtime_.path();
    const std::string option = dir + "/option.prof", environment = dir + "/environment.prof";
    const std::string xdg = dir + "/xdg", home = dir + "/home", empty = dir + "/empty";
    for (const std::string& made : {xdg, xdg + "/firmware-utility", home, home + "/.config",
                                    home + "/.config/firmware-utility", empty}) {
        ASSERT_EQ(::mkdir(made.c_str(), 0700), 0) << made;
    }
    const std::string in_xdg = xdg + "/firmware-utility/profile", in_home = home + "/.config/firmware-utility/profile";
    for (const std::string& file : {option, environment, in_xdg, in_home}) std::ofstream(file) << "[nowhere]\n";
    // --profile given, $FIRMWARE_UTILITY_PROFILE, $XDG_CONFIG_HOME, the profile taken ("": built-in)
    const struct {
        bool given;
        std::string environment, config, taken;
    } rows[] = {
        {true, environment, xdg, option},
        {false, environment, xdg, environment},
        {false, "", xdg, in_xdg},      // an empty variable is no profile (a script that forgot one)
        {false, "", "", in_home},
        {false, "", "relative", in_home},  // a relative $XDG_CONFIG_HOME is ignored
        {false, "", empty, ""},
    };
    const bool system_profile = ::access("/etc/firmware-utility/profile", F_OK) == 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.taken);
        if (row.taken.empty() && system_profile) continue;  // this machine has a profile of its own
        std::vector<std::string> args{"--headless", "--command", fwu_test::Id(commands::Exit)};
        if (row.given) args.insert(args.end(), {"--profile", option});
        std::vector<std::string> env = Env();
        env.insert(env.end(), {"FIRMWARE_UTILITY_PROFILE=" + row.environment, "XDG_CONFIG_HOME=" + row.config,
                               "HOME=" + home});
        ProgramResult result = RunProgram(args, env);
        if (row.taken.empty()) {
            EXPECT_EQ(result.status, 0) << result.err;
            EXPECT_NE(result.err.find("no profile given or found, using the simulated handset"), std::string::npos)
                << result.err;
            continue;
        }
        EXPECT_EQ(result.status, 2) << result.err;
        EXPECT_NE(result.err.find("firmware-utility: " + row.taken + ":1: unknown section [nowhere]"), std::string::npos)
            << result.err;
    }
}

TEST_F(Program, HelpAndVersion) {
    for (const char* flag : {"--help", "-h"}) {
        ProgramResult help = Run({flag});
        EXPECT_EQ(help.status, 0) << flag;
        EXPECT_EQ(help.out.rfind("usage: firmware-utility", 0), 0u) << help.out;
        EXPECT_NE(help.out.find("--module-timeout SECONDS"), std::string::npos);
        EXPECT_NE(help.out.find("--verify-timeout SECONDS"), std::string::npos);
        EXPECT_NE(help.out.find("--record FILE"), std::string::npos);
    }
    for (const char* flag : {"--version", "-V"}) {
        ProgramResult version = Run({flag});
        EXPECT_EQ(version.status, 0) << flag;
        EXPECT_EQ(version.out.rfind("firmware-utility 4.2.0\nstand-in payloads (generated filler", 0), 0u) << version.out;
    }
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
