// What `update` reports beyond the pane: --events as JSON Lines (parsed, checked for order and
// completeness) for a confirmed, a refused and a lost run; and the live progress line on a
// terminal's stderr (a pty), absent when stderr is a pipe.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "tests/support/pty.h"
#include "tests/support/update_run.h"
#include "update/payloads.h"

namespace {

using fwu_test::Count;
using Json = nlohmann::json;
using sim::RomFaultKind;
using sim::RomStep;

std::vector<Json> ParseLines(const std::string& text) {
    std::vector<Json> events;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        EXPECT_NE(end, std::string::npos) << "an unfinished last line";
        if (end == std::string::npos) break;
        events.push_back(Json::parse(text.substr(start, end - start)));
        start = end + 1;
    }
    return events;
}

std::vector<std::string> Names(const std::vector<Json>& events) {
    std::vector<std::string> names;
    for (const Json& event : events) names.push_back(event.at("event").get<std::string>());
    return names;
}

// The names without the progress events, which are checked on their own.
std::vector<std::string> Milestones(const std::vector<Json>& events) {
    std::vector<std::string> names;
    for (const std::string& name : Names(events)) {
        if (name != "progress") names.push_back(name);
    }
    return names;
}

struct EventsCase {
    const char* name;
    sim::RomFault fault;
    std::vector<std::string> milestones;
    std::string outcome;
    int exit_code;
};

const std::vector<std::string> ThroughStageThree{"run_start", "attempt",     "stage_start", "stage_end",
                                                 "stage_start", "stage_end", "stage_start", "stage_end",
                                                 "run_end"};

const EventsCase EventsCases[] = {
    {"confirmed", {}, ThroughStageThree, "confirmed", 0},
    {"checksums refused", {RomFaultKind::RejectChecksum, RomStep::FinalAck, 0, 1}, ThroughStageThree, "failed", 1},
    {"line gone in stage 3",
     {RomFaultKind::Vanish, RomStep::Stage3ChunkAck, 50, 1},
     {"run_start", "attempt", "stage_start", "stage_end", "stage_start", "stage_end", "stage_start", "stage_end",
      "module_lost", "run_end"},
     "module_lost",
     1},
};

TEST(UpdateEvents, EveryRunIsReportedInOrderAndComplete) {
    for (const EventsCase& c : EventsCases) {
        SCOPED_TRACE(c.name);
        sim::Handset handset;
        sim::Options options;
        options.module_fault = c.fault;
        std::string error;
        ASSERT_TRUE(handset.Start(options, &error)) << error;
        fwu_test::TempDir dir;
        const std::string path = dir.path() + "/events.jsonl";
        fwu_test::UpdateRun run = fwu_test::RunUpdate(handset, {"--events", path, "--station", "bench-1"});
        EXPECT_EQ(run.result.status, c.exit_code) << run.result.err;
        const std::vector<Json> events = ParseLines(fwu_test::ReadText(path));
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(Milestones(events), c.milestones);

        double last_t = 0;
        for (const Json& event : events) {
            EXPECT_EQ(event.at("v"), 1);
            EXPECT_EQ(event.at("station"), "bench-1");
            EXPECT_GE(event.at("t").get<double>(), last_t) << event.dump();
            last_t = event.at("t").get<double>();
        }
        const Json& start = events.front();
        EXPECT_EQ(start.at("profile"), handset.ProfilePath());
        ASSERT_EQ(start.at("payloads").size(), 3u);
        EXPECT_EQ(start.at("payloads")[2].at("size"), update::FirmwareLength);
        if (c.exit_code == 0) {
            // The digest announced is the one of what the module received.
            EXPECT_EQ(start.at("payloads")[2].at("sha256"), handset.module().ImageSha256());
        }
        const Json& end = events.back();
        EXPECT_EQ(end.at("outcome"), c.outcome);
        EXPECT_EQ(end.at("exit_code"), c.exit_code);

        // Stage ends carry their result; progress grows within its stage up to what was sent.
        std::uint32_t stage = 0, bytes = 0, image_progress = 0;
        for (const Json& event : events) {
            const std::string name = event.at("event");
            if (name == "stage_start") {
                stage = event.at("stage");
                bytes = 0;
            } else if (name == "stage_end") {
                const bool last_refused = c.exit_code != 0 && event.at("stage") == 3;
                EXPECT_EQ(event.at("result"), last_refused ? "refused" : "accepted");
            } else if (name == "progress") {
                EXPECT_EQ(event.at("stage"), stage);
                EXPECT_GT(event.at("bytes").get<std::uint32_t>(), bytes);
                EXPECT_LE(event.at("bytes"), event.at("total"));
                EXPECT_LE(event.at("chunks"), event.at("chunk_total"));
                bytes = event.at("bytes");
                if (stage == 3) ++image_progress;
            }
        }
        EXPECT_GE(image_progress, 1u);
        EXPECT_LT(image_progress, 621u) << "one event per chunk is more than the throttle allows";
        if (c.outcome != "module_lost") {
            EXPECT_EQ(bytes, update::FirmwareLength);
        }
    }
}

// `--events -`: stdout carries only the events; the pane goes to stderr.
// Events that cannot be written are said once; the update goes on to the module's answer,
// and the exit code tells that its record was lost.
TEST(UpdateEvents, EventsThatCannotBeWrittenAreSaidAndTheUpdateGoesOn) {
    sim::Handset handset;
    std::string error;
    ASSERT_TRUE(handset.Start({}, &error)) << error;
    fwu_test::UpdateRun run = fwu_test::RunUpdate(handset, {"--events", "/dev/full"});
    EXPECT_EQ(run.result.status, 1) << run.result.err;
    EXPECT_EQ(Count(run.result.err, "firmware-utility: --events /dev/full: write failed: No space left on device\n"), 1u)
        << run.result.err;
    EXPECT_EQ(Count(run.trace, " Upgrade succeed!! \r\n"), 1u) << "the module confirmed the image";
}

TEST(UpdateEvents, EventsOnStdoutLeaveThePaneToStderr) {
    sim::Handset handset;
    std::string error;
    ASSERT_TRUE(handset.Start({}, &error)) << error;
    fwu_test::UpdateRun run = fwu_test::RunUpdate(handset, {"--events", "-"});
    EXPECT_EQ(run.result.status, 0) << run.result.err;
    const std::vector<Json> events = ParseLines(run.result.out);
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().at("event"), "run_end");
    EXPECT_EQ(Count(run.result.err, "Firmware Updated....Done"), 1u);
    EXPECT_EQ(events.front().count("station"), 0u);
}

// `update` with its stderr on a pty, stdout to /dev/null; everything the terminal got.
std::string UpdateOnTerminal(const sim::Handset& handset, const fwu_test::TempDir& runtime) {
    fwu_test::Pty pty;
    if (!pty.ok()) return "no pty";
    const std::string program = FWU_PROGRAM;
    const std::string profile = handset.ProfilePath();
    const std::string runtime_env = "FIRMWARE_UTILITY_RUNTIME_DIR=" + runtime.path();
    pid_t child = ::fork();
    if (child == 0) {
        int terminal = ::open(pty.slave(), O_RDWR | O_NOCTTY);
        int null = ::open("/dev/null", O_RDWR);
        ::dup2(terminal, STDERR_FILENO);
        ::dup2(null, STDOUT_FILENO);
        ::dup2(null, STDIN_FILENO);
        ::putenv(const_cast<char*>(runtime_env.c_str()));
        ::execl(program.c_str(), program.c_str(), "update", "--profile", profile.c_str(), nullptr);
        ::_exit(127);
    }
    std::string seen;
    int status = 0;
    for (;;) {
        std::vector<std::uint8_t> got = pty.Receive(200);
        seen.append(got.begin(), got.end());
        if (got.empty() && ::waitpid(child, &status, WNOHANG) == child) break;
    }
    std::vector<std::uint8_t> rest = pty.Receive(200);
    seen.append(rest.begin(), rest.end());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << seen;
    return seen;
}

TEST(UpdateProgressLine, ATerminalGetsOneLiveLineAndASummaryAPipeNeither) {
    sim::Handset handset;
    std::string error;
    ASSERT_TRUE(handset.Start({}, &error)) << error;
    fwu_test::TempDir runtime;
    const std::string terminal = UpdateOnTerminal(handset, runtime);
    // Rewritten in place: each redraw starts at the line's start, none ends a line.
    EXPECT_GT(Count(terminal, "\rimage: "), 1u) << terminal;
    EXPECT_EQ(Count(terminal, "\rimage: 2481250 of 2481250 bytes  100%"), 1u) << terminal;
    EXPECT_GE(Count(terminal, " kB/s  "), Count(terminal, " left")) << terminal;
    EXPECT_GE(Count(terminal, " left"), 1u) << "rate and time left while the image streams: " << terminal;
    EXPECT_EQ(Count(terminal, "firmware-utility: update confirmed after "), 1u) << terminal;
    EXPECT_EQ(Count(terminal, "image: 2481250 of 2481250 bytes sent ("), 1u) << terminal;
    EXPECT_EQ(Count(terminal, "left\r\n"), 0u) << "the live line is never ended by a line break";

    fwu_test::UpdateRun piped = fwu_test::RunUpdate(handset);
    EXPECT_EQ(piped.result.status, 0) << piped.result.err;
    EXPECT_EQ(Count(piped.result.err, "\r"), 0u) << piped.result.err;
    EXPECT_EQ(Count(piped.result.err, "image: "), 0u) << piped.result.err;
}

}  // namespace
