// The whole firmware update, end to end, against the simulated module over real
// pseudo-terminals: through `firmware-utility update` and through commands to a running
// headless window. What the module received must be the embedded payloads byte for byte; the
// pane and the trace must be exactly what the update writes; the radio driver and the kernel
// must have seen suspend, reset (handshake), reset (after the image) and the reboot.
#include <gtest/gtest.h>

#include <unistd.h>

#include <sstream>

#include "platform/base/sha256.h"
#include "tests/support/program.h"
#include "tests/support/update_run.h"
#include "update/payloads.h"
#include "resources/commands.h"

namespace {

using fwu_test::Banner;
using fwu_test::ExpectedTrace;
using fwu_test::FirstDifference;
using fwu_test::ProgramResult;
using fwu_test::RunningProgram;
using fwu_test::TempDir;

std::string PayloadSha(std::uint32_t kind, std::uint32_t length) {
    return platform::Sha256Hex(update::LoadPayload(kind), length);
}

std::vector<std::uint8_t> PayloadBytes(std::uint32_t kind, std::uint32_t length) {
    const std::uint8_t* bytes = update::LoadPayload(kind);
    return {bytes, bytes + length};
}

std::string SuccessTrace() {
    return ExpectedTrace().Open().Handshake().Stage1(true).Stage2(true).Stage3(true).Verified().text();
}

// What the module kept and what the services recorded after one confirmed run.
void ExpectConfirmedOnce(const sim::Handset& handset) {
    const sim::Module& module = handset.module();
    EXPECT_EQ(module.Downloads(), 1);
    EXPECT_EQ(module.ImageSha256(), PayloadSha(update::PayloadFirmware, update::FirmwareLength));
    EXPECT_EQ(module.Loader1(), PayloadBytes(update::PayloadBoot1, update::Boot1Length));
    EXPECT_EQ(module.Loader2(), PayloadBytes(update::PayloadBoot2, update::Boot2Length));
    EXPECT_EQ(module.Loader1Sha256(), PayloadSha(update::PayloadBoot1, update::Boot1Length));
    EXPECT_EQ(module.Loader2Sha256(), PayloadSha(update::PayloadBoot2, update::Boot2Length));
    EXPECT_EQ(module.LastRefusal(), "");
    EXPECT_EQ(handset.RilCodes(), (std::vector<std::uint32_t>{sim::RilSuspend, sim::RilResetModule, sim::RilResetModule}));
    EXPECT_EQ(handset.KernelCodes(), std::vector<std::uint32_t>{sim::KernelReboot});
    // The reboot comes after the module's reset that follows the image.
    const auto ril = handset.RilRecords();
    const auto kernel = handset.KernelRecords();
    ASSERT_EQ(ril.size(), 3u);
    ASSERT_EQ(kernel.size(), 1u);
    EXPECT_LE(ril[2].at, kernel[0].at);
}

// The box shows before the module reset, the reboot request and the link's closing: wait
// (bounded) for the run's last trace line before the window is closed.
bool AwaitRunEnd(const std::string& trace_path) {
    const std::string last = " Communication Port Closed!!\r\n" + fwu_test::ExpectedTrace().Verified().text();
    for (int i = 0; i < 3000; ++i) {
        const std::string trace = fwu_test::ReadText(trace_path);
        if (trace.size() >= last.size() && trace.compare(trace.size() - last.size(), last.size(), last) == 0) return true;
        ::usleep(10000);
    }
    return false;
}

class UpdateE2e : public ::testing::Test {
protected:
    void StartHandset(const sim::Options& options = {}) {
        std::string error;
        ASSERT_TRUE(handset_.Start(options, &error)) << error;
    }
    std::vector<std::string> Env() const { return fwu_test::UpdateEnv(runtime_, handset_); }
    ProgramResult Send(const std::string& id) { return fwu_test::RunProgram({"send", id}, Env()); }

    sim::Handset handset_;
    TempDir runtime_;
};

TEST_F(UpdateE2e, UpdateInvocationDeliversThePayloadsByteForByte) {
    StartHandset();
    fwu_test::UpdateRun run = fwu_test::RunUpdate(handset_);
    ASSERT_EQ(run.result.status, 0) << run.result.err << run.result.out;
    EXPECT_EQ(run.result.out, std::string(Banner) + fwu_test::SuccessPane());
    EXPECT_EQ(FirstDifference(fwu_test::TraceFromOpen(run.trace), SuccessTrace()), "");
    EXPECT_EQ(fwu_test::Count(run.trace, "File upload complete!! file size 2481250 , 25DC62 h , Size char 25  DC  62\r\n"), 1u);
    ExpectConfirmedOnce(handset_);

    // The image's hash as `firmware-utility payloads` lists it is what the module received.
    ProgramResult listed = fwu_test::RunProgram({"payloads"}, Env());
    ASSERT_EQ(listed.status, 0) << listed.err;
    std::istringstream lines(listed.out);
    std::string line, sha;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string kind, id, name, size;
        if (fields >> kind >> id >> name >> size >> sha && name == "IDR_FW") break;
        sha.clear();
    }
    EXPECT_EQ(sha, handset_.module().ImageSha256()) << listed.out;
}

TEST_F(UpdateE2e, CommandToAWindowRunsItAndASecondCommandIsRefused) {
    StartHandset();
    const std::string trace_path = runtime_.path() + "/trace.txt";
    // 117 starts the run; 118, handled right after 117 has returned, finds it running.
    RunningProgram window({"--headless", "--trace", trace_path, "--command", fwu_test::Id(commands::Update), "--command", fwu_test::Id(commands::UpdateGo)}, Env());
    ASSERT_TRUE(window.WaitForOutput("[Successful] Reboot device/Reset module !\n", 60000)) << window.err() << window.out();
    EXPECT_TRUE(AwaitRunEnd(trace_path));
    ProgramResult closed = Send("1");
    EXPECT_EQ(closed.out, "0\n") << closed.err;
    ProgramResult end = window.Wait(20000);
    EXPECT_EQ(end.status, 0) << end.err;
    EXPECT_EQ(end.out, std::string(Banner) + "An update is already running\r\n" + fwu_test::SuccessPane());
    EXPECT_EQ(FirstDifference(fwu_test::TraceFromOpen(fwu_test::ReadText(trace_path)), SuccessTrace()), "");
    ExpectConfirmedOnce(handset_);  // one run: one suspend
}

TEST_F(UpdateE2e, DisplayModeZeroKeepsThePaneQuietAndTheTraceWhole) {
    StartHandset();
    const std::string trace_path = runtime_.path() + "/trace.txt";
    RunningProgram window({"--headless", "--trace", trace_path}, Env());
    ASSERT_TRUE(window.WaitForOutput(Banner)) << window.err();
    ProgramResult quiet = Send(fwu_test::Id(commands::DisplayQuiet));
    EXPECT_EQ(quiet.out, "0\n") << quiet.err;
    ProgramResult started = Send(fwu_test::Id(commands::UpdateGo));
    EXPECT_EQ(started.out, "1\n") << started.err;  // StartUpdate answers 1 once it has started
    ASSERT_TRUE(window.WaitForOutput("[Successful] Reboot device/Reset module !\n", 60000)) << window.out();
    EXPECT_TRUE(AwaitRunEnd(trace_path));
    EXPECT_EQ(Send("1").out, "0\n");
    ProgramResult end = window.Wait(20000);
    EXPECT_EQ(end.status, 0) << end.err;
    // No milestones, marks or done line; the box is not the pane and still shows.
    EXPECT_EQ(end.out, std::string(Banner) + "[Successful] Reboot device/Reset module !\n");
    EXPECT_EQ(FirstDifference(fwu_test::TraceFromOpen(fwu_test::ReadText(trace_path)), SuccessTrace()), "");
    ExpectConfirmedOnce(handset_);
}

TEST_F(UpdateE2e, ModulePacedAtABaudRateStillReceivesEverything) {
    sim::Options options;
    options.module_baud = 20000000;  // 2.5 MB take about 1.4 s on this wire (11 bits a byte)
    StartHandset(options);
    fwu_test::UpdateRun run = fwu_test::RunUpdate(handset_);
    ASSERT_EQ(run.result.status, 0) << run.result.err << run.result.out;
    EXPECT_EQ(run.result.out, std::string(Banner) + fwu_test::SuccessPane());
    EXPECT_EQ(FirstDifference(fwu_test::TraceFromOpen(run.trace), SuccessTrace()), "");
    ExpectConfirmedOnce(handset_);
    EXPECT_EQ(handset_.module().FrameBits(), 11u) << "paced as the tool set the line: 8 data bits, 2 stop bits";
}

// --after: what follows a verified run, as the radio driver and the kernel saw it and as
// run_end says; a run that failed is followed by nothing, whatever --after asks.
TEST(UpdateAfter, EachChoiceLeavesTheRadioDriverAndTheKernelAsItSays) {
    const std::uint32_t suspend = sim::RilSuspend, reset = sim::RilResetModule;
    const struct {
        const char* after;
        bool silent_module;
        int status;
        std::vector<std::uint32_t> ril;
        std::vector<std::uint32_t> kernel;
        const char* recorded;
    } rows[] = {
        {"reboot", false, 0, {suspend, reset, reset}, {sim::KernelReboot}, "\"after\":\"reboot\""},
        {"resume", false, 0, {suspend, reset, reset, sim::RilResume}, {}, "\"after\":\"resume\""},
        {"keep", false, 0, {suspend, reset, reset}, {}, "\"after\":\"keep\""},
        {"reboot", true, 1, {suspend, reset}, {}, "\"after\":null"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.after) + (row.silent_module ? " after a failed run" : ""));
        sim::Options options;
        if (row.silent_module) options.module_fault = {sim::RomFaultKind::Silent, sim::RomStep::Handshake, 0, 1000000};
        sim::Handset handset;
        std::string error;
        ASSERT_TRUE(handset.Start(options, &error)) << error;
        TempDir dir;
        const std::string events = dir.path() + "/events.jsonl";
        fwu_test::UpdateRun run = fwu_test::RunUpdate(
            handset, {"--after", row.after, "--events", events, "--attempts", "1", "--module-timeout", "1"});
        EXPECT_EQ(run.result.status, row.status) << run.result.err;
        EXPECT_EQ(handset.RilCodes(), row.ril);
        EXPECT_EQ(handset.KernelCodes(), row.kernel);
        const std::string text = fwu_test::ReadText(events);
        EXPECT_EQ(fwu_test::Count(text.substr(text.find("\"run_end\"")), row.recorded), 1u) << text;
    }
}

}  // namespace
