// Every update run ends with a true verdict, within its bound, against a module that misbehaves
// on purpose: silent, answering the wrong byte, flooding, refusing the loaders every time, going
// silent in stage 3, acknowledging every other chunk, a stray 0xA5 before the checksums it then
// refuses. Exit 0 only ever follows an 0xA5 that the module sent after it had the checksums, and
// only when the module then runs the expected revision: a module that keeps its firmware, an
// 0xA5 made by noise, or an AT port that never gives a revision ends the run failed, unrebooted.
// Also: a healthy module updated twice in a row needs one handshake each time, and a run cut
// short says so.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <fstream>
#include <map>
#include <sstream>

#include <nlohmann/json.hpp>

#include "tests/support/program.h"
#include "tests/support/tmux.h"
#include "tests/support/update_run.h"
#include "resources/commands.h"
#include "update/outcomes.h"
#include "update/payloads.h"

namespace {

using fwu_test::Count;
using fwu_test::RunningProgram;
using fwu_test::TempDir;
using Clock = std::chrono::steady_clock;
using sim::RomFaultKind;
using sim::RomStep;

constexpr int TimeoutSeconds = 1;
constexpr int Attempts = 3;
constexpr int Always = 1000000;  // a fault that strikes on every attempt
// What a run may take at most: each attempt 1 s of casting, the reset, a time-out and 1 s after
// a failed stage; stage 3 at most three missed acknowledgements; and room for the transfer
// and a slow (sanitized) build.
constexpr auto RunBound =
    std::chrono::seconds(Attempts * (2 + TimeoutSeconds) + 3 * TimeoutSeconds + 15);

const std::vector<std::string> Bounded{"--module-timeout", std::to_string(TimeoutSeconds), "--attempts",
                                       std::to_string(Attempts)};

struct Case {
    const char* name;
    sim::RomFault fault;
    const char* pane_line;  // the line that tells the user why
    int attempts;           // handshake attempts the run makes
};

constexpr char NoAnswer[] = "The module did not answer after 3 attempts; the update has stopped\r\n";
constexpr char Refused[] = "The module did not accept the boot loaders after 3 attempts; the update has stopped\r\n";

const Case Cases[] = {
    {"silent", {RomFaultKind::Silent, RomStep::Handshake, 0, Always}, NoAnswer, Attempts},
    {"one wrong byte, then silence", {RomFaultKind::WrongByte, RomStep::Handshake, 0, Always}, NoAnswer, Attempts},
    {"a flood of other bytes", {RomFaultKind::Flood, RomStep::Handshake, 0, Always}, NoAnswer, Attempts},
    {"stage 1 refused every time", {RomFaultKind::RejectChecksum, RomStep::Stage1Ack, 0, Always}, Refused, Attempts},
    {"stage 2 refused every time", {RomFaultKind::RejectChecksum, RomStep::Stage2Ack, 0, Always}, Refused, Attempts},
    {"silent in stage 2 every time", {RomFaultKind::Silent, RomStep::Stage2ChunkAck, 3, Always}, Refused, Attempts},
    {"silent after 0x50", {RomFaultKind::Silent, RomStep::MemoryCheck, 0, 1}, fwu_test::NotConfirmedLine, 1},
    {"silent from chunk 100", {RomFaultKind::Silent, RomStep::Stage3ChunkAck, 100, 1}, fwu_test::NotConfirmedLine, 1},
    {"every other chunk", {RomFaultKind::EveryOther, RomStep::Stage3ChunkAck, 0, 1}, fwu_test::NotConfirmedLine, 1},
    {"stray 0xA5, checksums refused", {RomFaultKind::StrayAck, RomStep::FinalAck, 0, 1}, fwu_test::NotConfirmedLine, 1},
};

// Exit 0 only after the module sent an 0xA5 once it had the checksums and runs the set's image.
void ExpectNoSuccessWithoutConfirmation(const fwu_test::Station& station) {
    if (station.run.result.status == 0) {
        EXPECT_GT(station.handset.module().Confirmations(), 0);
        EXPECT_EQ(station.handset.module().Firmware().revision, update::CurrentPayloadSet().revision);
    }
}

TEST(UpdateVerdict, EveryMisbehavingModuleEndsAsAFailedRunWithinItsBound) {
    std::vector<sim::RomFault> faults;
    for (const Case& c : Cases) faults.push_back(c.fault);
    // Side by side: the runs mostly wait.
    auto stations = fwu_test::RunStations(faults, Bounded, faults.size(), 120000);
    for (std::size_t i = 0; i < stations.size(); ++i) {
        const Case& c = Cases[i];
        const fwu_test::Station& station = *stations[i];
        const fwu_test::UpdateRun& run = station.run;
        SCOPED_TRACE(c.name);
        EXPECT_EQ(run.result.status, 1) << run.result.err;
        EXPECT_LE(station.took, RunBound);
        EXPECT_EQ(station.handset.module().Confirmations(), 0);
        EXPECT_EQ(Count(run.result.out, c.pane_line), 1u) << run.result.out;
        EXPECT_EQ(Count(run.result.out, "Firmware Updated....Done"), 0u);
        // One line per attempt on stderr, one "!Cast 55h!" and one module reset per attempt.
        EXPECT_EQ(Count(run.result.err, "firmware-utility: waiting for the module on COM1: (attempt "), std::size_t(c.attempts))
            << run.result.err;
        EXPECT_EQ(Count(run.result.err, "(attempt " + std::to_string(c.attempts) + " of 3)\n"), 1u) << run.result.err;
        EXPECT_EQ(Count(run.trace, "!Cast 55h!\r\n"), std::size_t(c.attempts));
        EXPECT_EQ(station.handset.module().Resets(), c.attempts);
        // The link closed and the caster ended; the radio driver left suspended, no reboot.
        EXPECT_EQ(Count(run.trace, " Communication Port Closed!!\r\n"), 2u);
        std::vector<std::uint32_t> ril{sim::RilSuspend};
        ril.insert(ril.end(), c.attempts, sim::RilResetModule);
        EXPECT_EQ(station.handset.RilCodes(), ril);
        EXPECT_TRUE(station.handset.KernelCodes().empty());
    }
}

// A module whose answers are disturbed at random (dropped, replaced, doubled, wrapped in bytes
// the handset waits for) and whose checksums are refused at random: whatever the seed, the run
// ends within its bound, and exit 0 only ever follows the module's own confirmation.
TEST(UpdateVerdict, NoiseNeverFakesAConfirmation) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr unsigned Seeds = 40;  // sanitized builds run several times slower
#else
    constexpr unsigned Seeds = 200;
#endif
    std::vector<sim::RomFault> faults;
    for (unsigned seed = 1; seed <= Seeds; ++seed) {
        sim::RomFault fault;
        fault.kind = RomFaultKind::Noise;
        fault.seed = seed;
        faults.push_back(fault);
    }
    const std::vector<std::string> options{"--module-timeout", "1", "--attempts", "2"};
    auto stations = fwu_test::RunStations(faults, options, 40, 120000);
    int confirmed = 0;
    for (const auto& station : stations) {
        SCOPED_TRACE("seed " + std::to_string(station->fault.seed));
        const int status = station->run.result.status;
        EXPECT_TRUE(status == 0 || status == 1) << status << " " << station->run.result.err;
        // Two attempts, the stage 3 bound, and room to wait for a turn: forty runs share the cores.
        EXPECT_LE(station->took, std::chrono::seconds(2 * 3 + 3 + 45));
        ExpectNoSuccessWithoutConfirmation(*station);
        if (status == 0) {
            ++confirmed;
            EXPECT_TRUE(station->handset.module().DownloadDone());
        }
    }
    // Both verdicts occur: the noise is neither harmless nor fatal to every run.
    EXPECT_GT(confirmed, 0);
    EXPECT_LT(confirmed, static_cast<int>(Seeds));
}

// The verdict on the firmware the module runs after a confirmed image (or before the run).
struct RunningCase {
    const char* name;
    sim::RomFault rom;
    sim::AtFault at;
    std::vector<std::string> extra;
    int status;
    const char* verdict;    // the stderr line's start
    const char* pane_line;  // null: the run did not start, the pane is empty
    bool rebooted;
    int downloads;          // images the module accepted
};

void WriteText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

// Stands for a set of the built-in payloads whose version is the simulated module's factory one.
constexpr char FactorySet[] = "@factory-set";

// The built-in payloads as a set whose version is the module's factory revision.
std::string WriteFactorySet(const std::string& dir) {
    fwu_test::Write(dir + "/boot1.bin", fwu_test::BuiltIn(update::PayloadBoot1, update::Boot1Length));
    fwu_test::Write(dir + "/boot2.bin", fwu_test::BuiltIn(update::PayloadBoot2, update::Boot2Length));
    fwu_test::Write(dir + "/filesize.bin", fwu_test::BuiltIn(update::PayloadFileSize, update::FileSizeLength));
    fwu_test::Write(dir + "/fw.bin", fwu_test::BuiltIn(update::PayloadFirmware, update::FirmwareLength));
    fwu_test::Write(dir + "/version", "V.4.1.3\n");
    return dir;
}

const RunningCase RunningCases[] = {
    {"runs the new image", {}, {}, {}, 0, "firmware-utility: verified: the module runs revision ",
     "The module runs the expected firmware, revision ", true, 1},
    {"confirms but keeps its old firmware", {}, {sim::AtFaultKind::KeepsOldFirmware}, {}, 1,
     "firmware-utility: revision_mismatch: the module runs revision V.4.1.3, not ",
     "The module runs revision V.4.1.3, not ", false, 1},
    {"an 0xA5 made by noise after refused checksums", {RomFaultKind::FakeAck, RomStep::FinalAck, 0, 1}, {}, {}, 1,
     "firmware-utility: revision_mismatch: the module runs revision V.4.1.3, not ",
     "The module runs revision V.4.1.3, not ", false, 0},
    {"another revision than the set's expected, refused before the run", {}, {}, {"--expect-revision", "V.9.9"}, 2,
     "firmware-utility: --expect-revision V.9.9: the payload set's version is V.4.2.0, so the module cannot run "
     "V.9.9 after it; nothing was opened\n",
     nullptr, false, 0},
    {"never boots", {}, {sim::AtFaultKind::NeverBoots}, {"--verify-timeout", "2"}, 1,
     "firmware-utility: not_verified: the module did not answer on COM2: within 2 s; no reboot was requested\n",
     "The firmware was not verified: the module did not answer on COM2: within 2 s\r\n", false, 1},
    {"boots slowly, within the bound", {}, {sim::AtFaultKind::SlowBoot, std::chrono::milliseconds(3000)},
     {"--verify-timeout", "10"}, 0, "firmware-utility: verified: ", "The module runs the expected firmware", true, 1},
    {"answers ERROR", {}, {sim::AtFaultKind::Error}, {}, 1,
     "firmware-utility: not_verified: the module gave no readable revision on COM2:; no reboot was requested\n",
     "The firmware was not verified: the module gave no readable revision on COM2:\r\n", false, 1},
    {"answers overlong binary lines", {}, {sim::AtFaultKind::Junk}, {}, 1,
     "firmware-utility: not_verified: the module gave no readable revision on COM2:",
     "The firmware was not verified: the module gave no readable revision on COM2:\r\n", false, 1},
    {"already current, skipped", {}, {}, {"--skip-current", "--firmware", FactorySet}, 0,
     "firmware-utility: already_current: the module runs revision V.4.1.3; nothing was written\n",
     "The module already runs revision V.4.1.3; nothing was written\r\n", false, 0},
};

TEST(UpdateVerdict, ExitZeroOnlyWhenTheModuleRunsTheExpectedRevision) {
    for (const RunningCase& c : RunningCases) {
        SCOPED_TRACE(c.name);
        sim::Handset handset;
        sim::Options options;
        options.module_fault = c.rom;
        options.at_fault = c.at;
        std::string error;
        ASSERT_TRUE(handset.Start(options, &error)) << error;
        TempDir set;
        std::vector<std::string> extra = c.extra;
        for (std::string& option : extra) {
            if (option != FactorySet) continue;
            option = WriteFactorySet(set.path());
        }
        fwu_test::UpdateRun run = fwu_test::RunUpdate(handset, extra);
        EXPECT_EQ(run.result.status, c.status) << run.result.err;
        EXPECT_EQ(Count(run.result.err, c.verdict), 1u) << run.result.err;
        if (c.pane_line == nullptr) {
            EXPECT_EQ(run.result.out, "");
            EXPECT_TRUE(handset.RilCodes().empty());
            continue;
        }
        EXPECT_EQ(Count(run.result.out, c.pane_line), 1u) << run.result.out;
        EXPECT_EQ(Count(run.result.out, "[Successful]"), c.rebooted ? 1u : 0u) << run.result.out;
        EXPECT_EQ(handset.KernelCodes().size(), c.rebooted ? 1u : 0u);
        EXPECT_EQ(handset.module().Downloads(), c.downloads);
        // What it answered before the run is said on stderr.
        const bool readable = c.at.kind != sim::AtFaultKind::Error && c.at.kind != sim::AtFaultKind::Junk;
        EXPECT_EQ(Count(run.result.err, "firmware-utility: module on COM2: Simulated Radio GPRS-37A, revision V.4.1.3, serial "),
                  readable ? 1u : 0u) << run.result.err;
        EXPECT_EQ(Count(run.result.err, "firmware-utility: the module gave no revision on COM2: before the update\n"),
                  readable ? 0u : 1u) << run.result.err;
    }
}

// The revision read is the one line of the answer, matched whole: after the update (the module
// then runs V.4.2.0, answered in the row's shape) and for --skip-current (it runs V.4.1.3).
struct RevisionCase {
    const char* name;
    sim::AtFault at;
    bool glob;
    const char* update_line;  // the verdict of the update on stderr
    bool current;             // --skip-current finds it current
};

sim::AtFault Shaped(const std::string& answer, bool chatty = false) {
    sim::AtFault fault;
    fault.revision_answer = answer;
    fault.echo = fault.unsolicited = chatty;
    return fault;
}

const RevisionCase RevisionCases[] = {
    {"equal", {}, false, "firmware-utility: verified: the module runs revision V.4.2.0 (before: V.4.1.3)\n", true},
    {"contains", Shaped("X%1"), false, "revision XV.4.2.01, not V.4.2.0; no reboot was requested\n", false},
    {"prefix", Shaped("%-rc-broken"), false, "revision V.4.2.0-rc-broken, not V.4.2.0; no reboot", false},
    {"suffix", Shaped("build %"), false, "revision build V.4.2.0, not V.4.2.0; no reboot", false},
    {"two lines", Shaped("V.4.1.3\nprevious: %"), false,
     "firmware-utility: not_verified: the module gave 2 revision lines on COM2: (V.4.1.3 | previous: V.4.2.0); no "
     "reboot was requested\n", false},
    {"echo, unsolicited codes, +CGMR: prefix", Shaped("+CGMR: %", true), false,
     "firmware-utility: verified: the module runs revision V.4.2.0 (before: V.4.1.3)\n", true},
    {"too long", Shaped("%" + std::string(130, 'x')), false,
     "firmware-utility: not_verified: the module gave no readable revision on COM2:; no reboot", false},
    {"a pattern, asked for", Shaped("%-rc-broken"), true,
     "firmware-utility: verified: the module runs revision V.4.2.0-rc-broken (before: V.4.1.3-rc-broken)\n", true},
};

TEST(UpdateVerdict, TheRevisionIsTheAnswersOneLineMatchedWhole) {
    int runs = 0, zero = 0;
    for (const RevisionCase& c : RevisionCases) {
        SCOPED_TRACE(c.name);
        sim::Handset handset;
        sim::Options options;
        options.at_fault = c.at;
        std::string error;
        ASSERT_TRUE(handset.Start(options, &error)) << error;
        fwu_test::TempDir dir;
        const std::string record = dir.path() + "/record.jsonl";
        std::vector<std::string> extra{"--record", record};
        if (c.glob) extra.insert(extra.end(), {"--expect-revision", "V.4.2.*", "--expect-revision-match", "glob"});
        fwu_test::UpdateRun run = fwu_test::RunUpdate(handset, extra);
        const bool verified = Count(c.update_line, "verified: ") == 1 && Count(c.update_line, "not_verified") == 0;
        EXPECT_EQ(run.result.status, verified ? 0 : 1) << run.result.err;
        EXPECT_EQ(Count(run.result.err, c.update_line), 1u) << run.result.err;
        EXPECT_EQ(handset.KernelCodes().size(), verified ? 1u : 0u);
        // Unsolicited lines never reach the identity; several lines are kept in the record.
        if (c.at.unsolicited) {
            EXPECT_EQ(Count(run.result.err, "module on COM2: Simulated Radio GPRS-37A, revision V.4.1.3, serial "), 1u)
                << run.result.err;
        }
        EXPECT_EQ(Count(run.result.err, "NOISE"), 0u);
        EXPECT_EQ(Count(fwu_test::ReadText(record), "\"revision_lines\":[\"V.4.1.3\",\"previous: V.4.2.0\"]"),
                  std::string(c.name) == "two lines" ? 1u : 0u);
        runs += 1;
        zero += run.result.status == 0;

        // --skip-current by the same rule; a module not found current goes on to a handshake
        // that its silent boot ROM ends at once.
        sim::Handset before;
        options.module_fault = {RomFaultKind::Silent, RomStep::Handshake, 0, Always};
        ASSERT_TRUE(before.Start(options, &error)) << error;
        // The expected revision is the set's own, as a run refuses any other before it starts.
        TempDir factory;
        std::vector<std::string> skip{"--skip-current", "--expect-revision", c.glob ? "V.4.1.*" : "V.4.1.3",
                                      "--firmware", WriteFactorySet(factory.path()), "--attempts", "1",
                                      "--module-timeout", "1"};
        if (c.glob) skip.insert(skip.end(), {"--expect-revision-match", "glob"});
        fwu_test::UpdateRun skipped = fwu_test::RunUpdate(before, skip);
        EXPECT_EQ(skipped.result.status, c.current ? 0 : 1) << skipped.result.err;
        EXPECT_EQ(Count(skipped.result.err, "firmware-utility: already_current: "), c.current ? 1u : 0u);
        EXPECT_EQ(before.module().Resets(), c.current ? 0 : 1);
        runs += 1;
        zero += skipped.result.status == 0;
    }
    std::printf("revision table: %d runs, %d exit 0\n", runs, zero);
}

// The whole AT read keeps its bound, however the module answers: "before" within
// --module-timeout, "after" within --verify-timeout, for a chatty module that answers AT and
// then nothing (each query would otherwise take its own second).
TEST(UpdateVerdict, EachAtReadEndsWithinItsBound) {
    sim::Options options;
    options.at_fault = Shaped("", true);
    options.at_fault.kind = sim::AtFaultKind::OnlyOk;
    sim::Handset handset;
    std::string error;
    ASSERT_TRUE(handset.Start(options, &error)) << error;
    fwu_test::TempDir dir;
    const std::string events = dir.path() + "/events.jsonl";
    fwu_test::UpdateRun run =
        fwu_test::RunUpdate(handset, {"--module-timeout", "2", "--verify-timeout", "2", "--events", events});
    EXPECT_EQ(Count(run.result.err, "not_verified: the module did not answer on COM2: within 2 s"), 1u) << run.result.err;
    std::map<std::string, double> at;  // when each step was told
    std::istringstream lines(fwu_test::ReadText(events));
    for (std::string line; std::getline(lines, line);) {
        const auto event = nlohmann::json::parse(line);
        at[event["event"].get<std::string>() + event.value("when", "") + std::to_string(event.value("stage", 0))] = event["t"];
    }
    ASSERT_EQ(at.count("modulebefore0") + at.count("moduleafter0") + at.count("stage_end3"), 3u);
    // Two seconds each, and room for a slow (sanitized) build; the queries alone took 6 s.
    EXPECT_LE(at["modulebefore0"] - at["run_start0"], 3.5);
    EXPECT_LE(at["moduleafter0"] - at["stage_end3"], 3.5);
}

// The AT port is checked before anything is written: one that does not open ends the run at once.
TEST(UpdateVerdict, AnAtPortThatDoesNotOpenStopsTheRunBeforeTheModuleIsTouched) {
    sim::Handset handset;
    std::string error;
    ASSERT_TRUE(handset.Start({}, &error)) << error;
    fwu_test::TempDir dir;
    const std::string regular = dir.path() + "/not-a-port";
    WriteText(regular, "");
    std::string text = fwu_test::ReadText(handset.ProfilePath());
    const std::string com2 = "COM2: = " + handset.DevicePath("COM2:");
    ASSERT_NE(text.find(com2), std::string::npos);
    text.replace(text.find(com2), com2.size(), "COM2: = " + regular);
    const std::string profile = dir.path() + "/regular.prof";
    WriteText(profile, text);
    fwu_test::UpdateRun run = fwu_test::RunUpdate(handset, {}, 60000, profile);
    EXPECT_EQ(run.result.status, 1) << run.result.err;
    EXPECT_EQ(Count(run.result.err, "firmware-utility: COM2: (" + regular + "): No such device: a regular file, not a serial port"),
              1u) << run.result.err;
    EXPECT_EQ(Count(run.result.out, "The update did not start: the AT port COM2: did not open\r\n"), 1u) << run.result.out;
    EXPECT_EQ(handset.module().Resets(), 0);
    EXPECT_EQ(Count(run.trace, "Open : COM1:"), 0u);
}

// Without an AT port the run ends as the module confirmed it, and says the firmware was not checked.
TEST(UpdateVerdict, WithoutAnAtPortAConfirmedImageIsSaidUnchecked) {
    sim::Handset handset;
    std::string error;
    ASSERT_TRUE(handset.Start({}, &error)) << error;
    fwu_test::TempDir dir;
    std::string text = fwu_test::ReadText(handset.ProfilePath());
    const std::string com2 = "COM2: = " + handset.DevicePath("COM2:") + "\n";
    ASSERT_NE(text.find(com2), std::string::npos);
    text.erase(text.find(com2), com2.size());
    const std::string profile = dir.path() + "/no-at.prof";
    WriteText(profile, text);
    fwu_test::UpdateRun run = fwu_test::RunUpdate(handset, {}, 60000, profile);
    EXPECT_EQ(run.result.status, 0) << run.result.err;
    EXPECT_EQ(Count(run.result.err, "firmware-utility: confirmed: the module accepted the image; the firmware running "
                                    "was not checked (the profile names no AT port)\n"),
              1u)
        << run.result.err;
    EXPECT_EQ(Count(run.result.out, "The firmware running was not checked: the profile names no AT port\r\n"), 1u);
    EXPECT_EQ(handset.KernelCodes().size(), 1u);
}

TEST(UpdateVerdict, StageThreeStopsAtTheSecondMissedAcknowledgementInARow) {
    sim::Handset handset;
    std::string error;
    sim::Options options;
    options.module_fault = {RomFaultKind::Silent, RomStep::Stage3ChunkAck, 10, 1};
    ASSERT_TRUE(handset.Start(options, &error)) << error;
    fwu_test::UpdateRun run = fwu_test::RunUpdate(handset, Bounded, 120000);
    EXPECT_EQ(run.result.status, 1) << run.result.err;
    // Chunks 0 to 10 went out; the waits after chunks 10 and 11 found nothing; no chunk after.
    EXPECT_EQ(Count(run.trace, "Write 4000 bytes!"), 12u);
    EXPECT_EQ(Count(run.trace, "None byte got from TRX36 !!\r\n"), 2u);
    EXPECT_EQ(Count(run.trace, "Update firmware FAIL!!! Write to flash  fail!!  !!\r\n"), 1u);
    EXPECT_EQ(Count(run.trace, " Sending Checksum"), 0u);
}

// The second update of a module that was reset at the end of the first one needs one handshake,
// like the first: from the update invocation run twice, and from one window commanded twice.
TEST(UpdateVerdict, AHealthyModuleUpdatedTwiceInARowNeedsOneHandshakeEachTime) {
    sim::Handset handset;
    std::string error;
    ASSERT_TRUE(handset.Start({}, &error)) << error;
    for (int run_number = 1; run_number <= 2; ++run_number) {
        SCOPED_TRACE(run_number);
        fwu_test::UpdateRun run = fwu_test::RunUpdate(handset, {"--module-timeout", "10"});
        EXPECT_EQ(run.result.status, 0) << run.result.err;
        EXPECT_EQ(Count(run.trace, "!Cast 55h!\r\n"), 1u);
        EXPECT_EQ(Count(run.trace, "None byte got from TRX36 !!\r\n"), 0u);
    }
    EXPECT_EQ(handset.module().Downloads(), 2);

    TempDir runtime;
    const std::string trace_path = runtime.path() + "/trace.txt";
    RunningProgram window({"--headless", "--trace", trace_path}, fwu_test::UpdateEnv(runtime, handset));
    ASSERT_TRUE(window.WaitForOutput(fwu_test::Banner)) << window.err();
    std::string pane = fwu_test::Banner;
    for (int run_number = 1; run_number <= 2; ++run_number) {
        EXPECT_EQ(fwu_test::RunProgram({"send", fwu_test::Id(commands::UpdateGo)}, fwu_test::UpdateEnv(runtime, handset)).status, 1);
        pane += fwu_test::SuccessPane();
        ASSERT_TRUE(window.WaitForOutput(pane, 60000)) << window.out();
        // The run's last trace line, so the next command finds no run in progress.
        ASSERT_TRUE(fwu_test::WaitUntil(
            [&] { return Count(fwu_test::ReadText(trace_path), " Communication Port Closed!!\r\n") == 2u * run_number; },
            20000));
    }
    EXPECT_EQ(fwu_test::RunProgram({"send", fwu_test::Id(commands::Exit)}, fwu_test::UpdateEnv(runtime, handset)).status, 0);
    EXPECT_EQ(window.Wait(20000).status, 0);
    const std::string trace = fwu_test::ReadText(trace_path);
    EXPECT_EQ(Count(trace, "!Cast 55h!\r\n"), 2u);
    EXPECT_EQ(Count(trace, "None byte got from TRX36 !!\r\n"), 0u);
    EXPECT_EQ(handset.module().Downloads(), 4);
}

// Ctrl+C during `update`: exit 1 and one line that the module may need another update.
TEST(UpdateVerdict, AnUpdateCutShortSaysSoOnStderr) {
    sim::Handset handset;
    std::string error;
    sim::Options options;
    options.module_fault = {RomFaultKind::Silent, RomStep::Handshake, 0, Always};
    ASSERT_TRUE(handset.Start(options, &error)) << error;
    TempDir runtime;
    RunningProgram update({"update", "--attempts", "0"}, fwu_test::UpdateEnv(runtime, handset));
    // The first attempt's reset: its line is out, and the run is waiting for the module.
    ASSERT_TRUE(fwu_test::WaitUntil([&] { return handset.module().Resets() >= 1; }, 15000));
    update.Signal(SIGINT);
    fwu_test::ProgramResult result = update.Wait(10000);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(Count(result.err, "firmware-utility: waiting for the module on COM1: (attempt 1)\n"), 1u) << result.err;
    EXPECT_EQ(Count(result.err, "firmware-utility: the update was interrupted; the module may need another update\n"), 1u)
        << result.err;
}

// The terminal window asks before leaving during an update: the first close key shows a box;
// the box says "close again to leave anyway", and so the same key leaves whether the box was
// dismissed first (Enter) or still shows. The interruption is said on stderr once the terminal
// is given back.
TEST(UpdateVerdict, TheTerminalWindowAsksBeforeLeavingDuringAnUpdate) {
    const struct {
        const char* key;
        bool dismiss_first;
    } rows[] = {{"C-q", true}, {"C-q", false}, {"F12", false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.key) + (row.dismiss_first ? " after Enter" : " over the box"));
        sim::Handset handset;
        std::string error;
        sim::Options options;
        options.module_fault = {RomFaultKind::Silent, RomStep::Handshake, 0, Always};
        ASSERT_TRUE(handset.Start(options, &error)) << error;
        fwu_test::Tmux tmux;
        fwu_test::TerminalRun run;
        ASSERT_TRUE(run.Start(tmux, fwu_test::ShellQuote(FWU_PROGRAM) + " --command " + fwu_test::Id(commands::UpdateGo) + " --attempts 0",
                              {"FIRMWARE_UTILITY_PROFILE=" + handset.ProfilePath()}));
        ASSERT_TRUE(fwu_test::WaitUntil([&] { return handset.module().Resets() >= 1; }, 15000));
        ASSERT_TRUE(tmux.SendKeys({row.key}));
        std::string screen;
        ASSERT_TRUE(tmux.WaitForText("Close again to leave anyway.", 10000, &screen)) << screen;
        if (row.dismiss_first) {
            ASSERT_TRUE(tmux.SendKeys({"Enter"}));
            ASSERT_TRUE(tmux.WaitForScreen([](const std::string& s) { return s.find("Close again") == std::string::npos; },
                                           10000, &screen))
                << screen;
            EXPECT_EQ(run.WaitForExit(300), -1);  // still running: the first request only asked
        }
        ASSERT_TRUE(tmux.SendKeys({row.key}));
        EXPECT_EQ(run.WaitForExit(10000), 0);
        EXPECT_EQ(Count(run.Stderr(), "the update was interrupted; the module may need another update\n"), 1u)
            << run.Stderr();
    }
}

// The window with a set from a directory: the banner and the title name that set. Ctrl+Q during
// the update from the menu shows the leave box, which goes when the update ends; Enter on the
// result leaves no box behind.
TEST(UpdateVerdict, TheLeaveBoxGoesWhenTheUpdateEnds) {
    sim::Handset handset;
    std::string error;
    ASSERT_TRUE(handset.Start({}, &error)) << error;
    TempDir dir;
    fwu_test::WriteSet(dir.path());
    fwu_test::Tmux tmux;
    fwu_test::TerminalRun run;
    ASSERT_TRUE(run.Start(tmux, fwu_test::ShellQuote(FWU_PROGRAM) + " --firmware " + dir.path(),
                          {"FIRMWARE_UTILITY_PROFILE=" + handset.ProfilePath()}));
    std::string screen;
    ASSERT_TRUE(tmux.WaitForText(std::string("<< Firmware Version: ") + fwu_test::SetRevision + " >>", 10000, &screen))
        << screen << run.Stderr();
    EXPECT_NE(screen.find("Firmware Utility - simulated handset, set "), std::string::npos) << screen;
    ASSERT_TRUE(tmux.SendKeys({"F10", "Enter"}));  // "Update firmware - Go"
    ASSERT_TRUE(fwu_test::WaitUntil([&] { return handset.module().Resets() >= 1; }, 15000));
    ASSERT_TRUE(tmux.SendKeys({"C-q"}));
    ASSERT_TRUE(tmux.WaitForText("Close again to leave anyway.", 10000, &screen)) << screen;
    ASSERT_TRUE(tmux.WaitForText("Reboot device/Reset module !", 60000, &screen)) << screen;
    ASSERT_TRUE(tmux.SendKeys({"Enter"}));
    EXPECT_TRUE(tmux.WaitForScreen(
        [](const std::string& s) {
            return s.find("Reboot device") == std::string::npos && s.find("Close again") == std::string::npos;
        },
        10000, &screen))
        << screen;
    EXPECT_EQ(handset.module().Downloads(), 1);
    ASSERT_TRUE(tmux.SendKeys({"C-q"}));
    EXPECT_EQ(run.WaitForExit(10000), 0);
}

// Every outcome has its own number and name, a line for `send --wait`, an exit code of 0 or 1,
// and a verdict line with as many %s as its fill gives.
TEST(UpdateVerdict, EveryOutcomeHasOneRowOfItsOwn) {
    std::map<std::int32_t, int> numbers;
    std::map<std::string, int> names;
    for (const update::OutcomeRow& row : update::Outcomes) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(++numbers[row.outcome], 1);
        EXPECT_EQ(++names[row.name], 1);
        EXPECT_FALSE(std::string(row.name).empty());
        EXPECT_FALSE(std::string(row.awaited).empty());
        EXPECT_TRUE(row.exit_code == 0 || row.exit_code == 1);
        if (row.verdict == nullptr) continue;
        const std::size_t fills = row.fill == update::VerdictFill::RevisionAfterAndBefore ? 2 : 1;
        EXPECT_EQ(Count(row.verdict, "%"), fills);
        EXPECT_EQ(Count(row.verdict, "%s"), fills);
    }
    EXPECT_STREQ(update::OutcomeName(update::OutcomeNone), "interrupted");
    EXPECT_EQ(update::OutcomeExitCode(update::OutcomeNone), 1);
}

}  // namespace
