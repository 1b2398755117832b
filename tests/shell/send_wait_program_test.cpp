// `send` results a script can trust: an id the command table does not have is refused (exit 2,
// nothing sent), and `send --wait 118` (or 117) answers with the end of the update it started:
// 0 when the module runs the expected firmware, 1 when the run failed or was refused because one runs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "resources/commands.h"
#include "tests/support/program.h"
#include "tests/support/tmux.h"
#include "tests/support/update_run.h"

namespace {

using fwu_test::Count;
using fwu_test::ProgramResult;
using fwu_test::RunningProgram;
using fwu_test::TempDir;
using sim::RomFaultKind;
using sim::RomStep;

constexpr int Always = 1000000;

// A headless window against its own handset, for commands sent from outside.
struct Window {
    explicit Window(const sim::RomFault& fault) {
        sim::Options options;
        options.module_fault = fault;
        std::string error;
        started = handset.Start(options, &error);
        EXPECT_TRUE(started) << error;
        if (!started) return;
        program = std::make_unique<RunningProgram>(
            std::vector<std::string>{"--headless", "--module-timeout", "1", "--attempts", "2"}, Env());
        started = program->WaitForOutput(fwu_test::Banner);
    }
    std::vector<std::string> Env() const { return fwu_test::UpdateEnv(runtime, handset); }
    ProgramResult Send(const std::vector<std::string>& args) const { return fwu_test::RunProgram(args, Env(), 120000); }
    int Close() {
        Send({"send", fwu_test::Id(commands::Exit)});
        return program->Wait(20000).status;
    }
    sim::Handset handset;
    TempDir runtime;
    std::unique_ptr<RunningProgram> program;
    bool started = false;
};

// A silent module's window with `send --wait 118` waiting on it, its run at its first attempt.
struct WaitingOnSilentModule {
    WaitingOnSilentModule() : window({RomFaultKind::Silent, RomStep::Handshake, 0, Always}) {
        if (!window.started) return;
        waiting = std::make_unique<RunningProgram>(
            std::vector<std::string>{"send", "--wait", fwu_test::Id(commands::UpdateGo)}, window.Env());
        started = fwu_test::WaitUntil([&] { return window.handset.module().Resets() >= 1; }, 15000);
    }
    Window window;
    std::unique_ptr<RunningProgram> waiting;
    bool started = false;
};

struct WaitCase {
    const char* name;
    sim::RomFault fault;
    std::uint16_t command;
    int status;
    const char* says;  // on stderr
};

const WaitCase WaitCases[] = {
    {"verified", {}, commands::UpdateGo, 0, "send --wait 118: the module runs the expected firmware\n"},
    {"verified by 117", {}, commands::Update, 0, "send --wait 117: the module runs the expected firmware\n"},
    {"checksums refused", {RomFaultKind::RejectChecksum, RomStep::FinalAck, 0, 1}, commands::UpdateGo, 1,
     "send --wait 118: the update failed\n"},
    {"silent module", {RomFaultKind::Silent, RomStep::Handshake, 0, Always}, commands::UpdateGo, 1,
     "send --wait 118: the module did not answer; the update gave up\n"},
};

TEST(SendWait, AnswersWithTheEndOfTheUpdateItStarted) {
    for (const WaitCase& c : WaitCases) {
        SCOPED_TRACE(c.name);
        Window window(c.fault);
        ASSERT_TRUE(window.started);
        ProgramResult sent = window.Send({"send", "--wait", fwu_test::Id(c.command)});
        EXPECT_EQ(sent.status, c.status) << sent.err;
        EXPECT_EQ(sent.out, std::to_string(c.status) + "\n");
        EXPECT_EQ(Count(sent.err, c.says), 1u) << sent.err;
        // The answer came at the run's end: the module has (or has not) the image by then.
        EXPECT_EQ(window.handset.module().DownloadDone(), c.status == 0);
        EXPECT_EQ(window.Close(), 0);
    }
}

TEST(SendWait, ASecondUpdateWhileOneRunsIsRefusedAtOnce) {
    WaitingOnSilentModule run;
    ASSERT_TRUE(run.started);
    Window& window = run.window;
    ProgramResult second = window.Send({"send", "--wait", fwu_test::Id(commands::UpdateGo)});
    EXPECT_EQ(second.status, 1) << second.err;
    EXPECT_EQ(second.out, "1\n");
    EXPECT_EQ(Count(second.err, "send --wait 118: refused: an update is already running\n"), 1u) << second.err;
    // The first still waits for its own run, which gives up after its attempts.
    ProgramResult first_end = run.waiting->Wait(60000);
    EXPECT_EQ(first_end.status, 1) << first_end.err;
    EXPECT_EQ(Count(first_end.err, "the update gave up"), 1u) << first_end.err;
    EXPECT_EQ(window.Close(), 0);
}

// The window closing before the run ends answers the waiting sender: not confirmed.
TEST(SendWait, AWindowClosedDuringTheRunAnswersInterrupted) {
    WaitingOnSilentModule run;
    ASSERT_TRUE(run.started);
    EXPECT_EQ(run.window.Close(), 0);
    ProgramResult end = run.waiting->Wait(20000);
    EXPECT_EQ(end.status, 1) << end.err;
    EXPECT_EQ(Count(end.err, "the window closed before the update ended"), 1u) << end.err;
}

struct RefusalCase {
    std::vector<std::string> args;
    const char* says;
};

// Refused before anything is sent: exit 2, and the window did not see the command.
TEST(SendWait, IdsWithoutACommandAndWaitsWithoutAnEndAreRefused) {
    Window window({});
    ASSERT_TRUE(window.started);
    const RefusalCase cases[] = {
        {{"send", "999"}, "firmware-utility: send 999: no command has this id (nothing was sent)\n"},
        {{"send", "0"}, "firmware-utility: send 0: no command has this id (nothing was sent)\n"},
        {{"send", "--wait", "999"}, "firmware-utility: send 999: no command has this id (nothing was sent)\n"},
        {{"send", "--wait", fwu_test::Id(commands::About)},
         "firmware-utility: send --wait 120: only the update commands 117 and 118 have an end to wait for\n"},
    };
    for (const RefusalCase& c : cases) {
        SCOPED_TRACE(c.args.back());
        ProgramResult sent = window.Send(c.args);
        EXPECT_EQ(sent.status, 2);
        EXPECT_EQ(sent.out, "");
        EXPECT_EQ(sent.err, c.says);
    }
    // Plain `send 118` answers 1 once the update has started, whatever its end.
    ProgramResult plain = window.Send({"send", fwu_test::Id(commands::UpdateGo)});
    EXPECT_EQ(plain.status, 1);
    EXPECT_EQ(plain.out, "1\n");
    EXPECT_EQ(window.Close(), 0);
}

}  // namespace
