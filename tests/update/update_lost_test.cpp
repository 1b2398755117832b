// The module link lost under a running update (the device vanishes: its far end closes, as a
// pulled USB adapter does) in each stage, and a run interrupted by a close signal. The run
// must end at the first sign with its log line, exit 1, and never spin on the dead line.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include <signal.h>

#include "tests/support/program.h"
#include "tests/support/socket_service.h"
#include "tests/support/tmux.h"
#include "tests/support/update_run.h"

namespace {

using fwu_test::Banner;
using fwu_test::ExpectedTrace;
using fwu_test::FirstDifference;
using fwu_test::LostLine;
using fwu_test::UpdateRun;

constexpr char Closing[] = " Communication Port Closed!!\r\n Communication Port Closed!!\r\n";

class UpdateLost : public ::testing::Test {
protected:
    // A run with the module vanishing at `step`.
    UpdateRun RunLosing(sim::RomStep step, int index) {
        sim::Options options;
        options.module_fault = {sim::RomFaultKind::Vanish, step, index, 1};
        std::string error;
        EXPECT_TRUE(handset_.Start(options, &error)) << error;
        UpdateRun run = fwu_test::RunUpdate(handset_, {"--module-timeout", "1"}, 60000);
        EXPECT_EQ(run.result.status, 1) << run.result.err << run.result.out;
        EXPECT_EQ(run.result.out.substr(run.result.out.size() - std::min(run.result.out.size(), sizeof LostLine - 1)),
                  LostLine)
            << run.result.out;
        EXPECT_EQ(fwu_test::Count(run.result.out, "[Successful]"), 0u);
        // The run stopped at the first sign: a dead line gives no retries (at most the wait
        // that met the hang-up and a stage's final wait fail).
        EXPECT_LE(fwu_test::Count(run.trace, "None byte got from TRX36 !!\r\n"), 2u) << run.trace;
        EXPECT_EQ(run.trace.substr(run.trace.size() - std::min(run.trace.size(), sizeof Closing - 1)), Closing);
        // Nothing after the handshake's reset: no second attempt, no reboot.
        EXPECT_EQ(handset_.RilCodes(), (std::vector<std::uint32_t>{sim::RilSuspend, sim::RilResetModule}));
        EXPECT_TRUE(handset_.KernelCodes().empty());
        EXPECT_EQ(handset_.module().Downloads(), 0);
        return run;
    }
    sim::Handset handset_;
};

TEST_F(UpdateLost, InTheHandshake) {
    UpdateRun run = RunLosing(sim::RomStep::Handshake, 0);
    EXPECT_EQ(run.result.out, std::string(Banner) + LostLine);
    const std::string expected =
        ExpectedTrace().Open().text() + "!Cast 55h!\r\nWaiting for char -> A0 h\r\nNone byte got from TRX36 !!\r\n" + Closing;
    EXPECT_EQ(FirstDifference(fwu_test::TraceFromOpen(run.trace), expected), "");
}

TEST_F(UpdateLost, InStage1) {
    UpdateRun run = RunLosing(sim::RomStep::Stage1Ack, 0);
    EXPECT_EQ(run.result.out, std::string(Banner) + LostLine);
    const std::string expected = ExpectedTrace().Open().Handshake().Stage1(false).text() + Closing;
    EXPECT_EQ(FirstDifference(fwu_test::TraceFromOpen(run.trace), expected), "");
}

TEST_F(UpdateLost, InStage2) {
    UpdateRun run = RunLosing(sim::RomStep::Stage2ChunkAck, 3);
    EXPECT_EQ(run.result.out, std::string(Banner) + "Bootload1 updated!!\r\n" + LostLine);
    // Four chunks went out; the rest was not written into the dead line. The checksum's write
    // fails (count 0) and stage 2 ends on the failed final wait.
    EXPECT_EQ(fwu_test::Count(run.trace, "Waiting for char -> AA h\r\n"), 4u);
    EXPECT_EQ(fwu_test::Count(run.trace, " The last section sent"), 0u);
    EXPECT_NE(run.trace.find("Bootload2 : 1C  F6  3414 checkByte : "), std::string::npos) << run.trace;
    EXPECT_NE(run.trace.find(" 0 char : "), std::string::npos);
    EXPECT_NE(run.trace.find("BootLoad2_v2_bin upload fail!!  Restart sending 55h again!!\r\n"), std::string::npos);
}

TEST_F(UpdateLost, InStage3) {
    UpdateRun run = RunLosing(sim::RomStep::Stage3ChunkAck, 100);
    // The 101st chunk was the last one written; its mark is the last one shown.
    EXPECT_EQ(fwu_test::Count(run.trace, "Write 4000 bytes!"), 101u);
    EXPECT_EQ(fwu_test::Count(run.result.out, "#"), 101u);
    EXPECT_EQ(fwu_test::Count(run.trace, "File upload complete!!"), 0u);
    EXPECT_NE(run.trace.find(" Write to flash  fail!!  !!\r\n"), std::string::npos);
}

// Ctrl+C in the middle of stage 3 closes the window; the process ends with the run unfinished.
// The module is paced so that stage 3 takes seconds (about 7 s), longer than the moment the
// program gives ending threads at exit.
TEST(UpdateInterrupted, CloseSignalEndsTheProcessWithExit1) {
    sim::Handset handset;
    sim::Options options;
    options.module_baud = 4000000;
    std::string error;
    ASSERT_TRUE(handset.Start(options, &error)) << error;
    fwu_test::TempDir runtime;
    fwu_test::RunningProgram program({"update", "--profile", handset.ProfilePath()}, fwu_test::UpdateEnv(runtime, handset));
    ASSERT_TRUE(program.WaitForOutput("#", 30000)) << program.err();
    program.Signal(SIGINT);
    fwu_test::ProgramResult end = program.Wait(30000);
    EXPECT_EQ(end.status, 1) << end.err;
    EXPECT_EQ(fwu_test::Count(end.out, "[Successful]"), 0u);
    EXPECT_EQ(handset.module().Downloads(), 0);
    EXPECT_TRUE(handset.KernelCodes().empty());
}

// A close request that comes before the link has opened ends the run with nothing opened:
// the signal arrives while the window's thread waits for the radio driver's suspend, which
// answers only once the signal is pending.
TEST(UpdateInterrupted, ACloseBeforeTheLinkOpensOpensNothing) {
    sim::Handset handset;
    std::string error;
    ASSERT_TRUE(handset.Start({}, &error)) << error;
    auto radio = std::make_unique<fwu_test::SocketService>();
    radio->Script(fwu_test::SocketService::Reply::Silent);
    fwu_test::TempDir runtime;
    const std::string profile = runtime.path() + "/held-radio.prof";
    const std::string trace = runtime.path() + "/trace.txt";
    std::ofstream(profile) << "[handset]\nsimulated = true\n[devices]\nCOM1: = " << handset.DevicePath("COM1:")
                           << "\nRIL1: = " << radio->path() << "\n";
    fwu_test::RunningProgram program({"update", "--profile", profile, "--trace", trace},
                                     {"FIRMWARE_UTILITY_RUNTIME_DIR=" + runtime.path()});
    ASSERT_TRUE(fwu_test::WaitUntil([&] { return radio->Connections() >= 1; }, 10000)) << program.err();
    program.Signal(SIGTERM);
    radio.reset();  // the suspend fails now; the run would go on to open the link
    fwu_test::ProgramResult end = program.Wait(20000);
    EXPECT_EQ(end.status, 1) << end.err;
    EXPECT_EQ(fwu_test::Count(end.err, "the update was interrupted"), 1u) << end.err;
    EXPECT_EQ(fwu_test::Count(fwu_test::ReadText(trace), "Open : COM1:"), 0u) << fwu_test::ReadText(trace);
    EXPECT_EQ(handset.module().Resets(), 0);
}

// A module link that another program opened without a lock is refused before anything is
// written, naming that program; --force shares it.
TEST(UpdateSharedLine, AHolderWithoutALockIsRefusedUnlessForced) {
    sim::Handset handset;
    std::string error;
    ASSERT_TRUE(handset.Start({}, &error)) << error;
    const std::string node = handset.DevicePath("COM1:");
    fwu_test::RunningProgram holder(fwu_test::RunningProgram::Command{{"/bin/sh", "-c", "exec 3<>" + node + "; exec sleep 120"}});
    const std::string comm = "/proc/" + std::to_string(holder.pid()) + "/comm";
    ASSERT_TRUE(fwu_test::WaitUntil([&] { return fwu_test::ReadText(comm) == "sleep\n"; }, 10000));

    fwu_test::UpdateRun refused = fwu_test::RunUpdate(handset);
    EXPECT_EQ(refused.result.status, 1) << refused.result.err;
    EXPECT_EQ(fwu_test::Count(refused.result.err, "firmware-utility: COM1: (" + node + ") is open in process " +
                                                       std::to_string(holder.pid()) + " (sleep)"),
              1u)
        << refused.result.err;
    EXPECT_EQ(fwu_test::Count(refused.trace, "Open : COM1:"), 0u);
    EXPECT_EQ(handset.module().Resets(), 0);

    fwu_test::UpdateRun forced = fwu_test::RunUpdate(handset, {"--force"});
    EXPECT_EQ(forced.result.status, 0) << forced.result.err;
}

}  // namespace
