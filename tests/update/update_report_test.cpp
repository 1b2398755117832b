// What `update` reports beyond the pane: --events as JSON Lines (parsed, checked for order and
// completeness) for a verified, a refused and a lost run; --record's lines; and the live progress
// line on a terminal's stderr (a pty), absent when stderr is a pipe.
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

const std::vector<std::string> ThroughStageThree{"run_start", "module", "attempt", "stage_start", "stage_end",
                                                 "stage_start", "stage_end", "stage_start", "stage_end",
                                                 "run_end"};
const std::vector<std::string> ThroughVerdict{"run_start",   "module",    "attempt",     "stage_start",
                                              "stage_end",   "stage_start", "stage_end", "stage_start",
                                              "stage_end",   "module",    "run_end"};

const EventsCase EventsCases[] = {
    {"verified", {}, ThroughVerdict, "verified", 0},
    {"checksums refused", {RomFaultKind::RejectChecksum, RomStep::FinalAck, 0, 1}, ThroughStageThree, "failed", 1},
    {"line gone in stage 3",
     {RomFaultKind::Vanish, RomStep::Stage3ChunkAck, 50, 1},
     {"run_start", "module", "attempt", "stage_start", "stage_end", "stage_start", "stage_end", "stage_start",
      "stage_end", "module_lost", "run_end"},
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
        // A simulated handset and the generated stand-ins say so at both ends of the run.
        EXPECT_EQ(start.at("simulated"), true);
        EXPECT_EQ(start.at("payload_set").at("source"), "stand-in");
        EXPECT_EQ(start.at("payload_set").at("revision"), update::StandInRevision);
        const Json& end = events.back();
        EXPECT_EQ(end.at("outcome"), c.outcome);
        EXPECT_EQ(end.at("exit_code"), c.exit_code);
        EXPECT_EQ(end.at("simulated"), true);
        EXPECT_EQ(end.at("revision_before"), sim::FactoryRevision);
        EXPECT_EQ(end.at("expected_revision"), update::CurrentPayloadSet().revision);
        if (c.exit_code == 0) {
            EXPECT_EQ(end.at("revision_after"), update::CurrentPayloadSet().revision);
            EXPECT_TRUE(end.at("reason").is_null()) << end.dump();
        } else {
            EXPECT_TRUE(end.at("revision_after").is_null()) << end.dump();
            EXPECT_FALSE(end.at("reason").is_null()) << end.dump();
        }

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

// "2026-12-07T15:48:36.213Z": UTC, ISO 8601, milliseconds.
bool IsUtcTime(const std::string& text) {
    const std::string shape = "dddd-dd-ddTdd:dd:dd.dddZ";
    if (text.size() != shape.size()) return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool ok = shape[i] == 'd' ? (text[i] >= '0' && text[i] <= '9') : text[i] == shape[i];
        if (!ok) return false;
    }
    return true;
}

// --record: two stations append to one file, a module updated and one that kept its firmware;
// each run is one line with what a module's history needs.
TEST(UpdateRecord, EachRunAppendsOneLineWithTheModulesRevisions) {
    fwu_test::TempDir dir;
    const std::string path = dir.path() + "/r.jsonl";
    struct Run {
        const char* station;
        sim::AtFault fault;
        int status;
        const char* outcome;
        std::string after;
    };
    const Run runs[] = {
        {"bench-1", {}, 0, "verified", update::CurrentPayloadSet().revision},
        {"bench-2", {sim::AtFaultKind::KeepsOldFirmware}, 1, "revision_mismatch", sim::FactoryRevision},
    };
    std::vector<std::string> serials;
    for (const Run& r : runs) {
        sim::Handset handset;
        sim::Options options;
        options.at_fault = r.fault;
        std::string error;
        ASSERT_TRUE(handset.Start(options, &error)) << error;
        fwu_test::UpdateRun run = fwu_test::RunUpdate(handset, {"--record", path, "--station", r.station});
        EXPECT_EQ(run.result.status, r.status) << run.result.err;
        const std::vector<Json> lines = ParseLines(fwu_test::ReadText(path));
        ASSERT_EQ(lines.size(), serials.size() + 1);
        const Json& line = lines.back();
        SCOPED_TRACE(line.dump());
        EXPECT_EQ(line.at("station"), r.station);
        EXPECT_EQ(line.at("profile"), handset.ProfilePath());
        EXPECT_EQ(line.at("port"), handset.DevicePath("COM1:"));
        EXPECT_EQ(line.at("at_port"), handset.DevicePath("COM2:"));
        EXPECT_EQ(line.at("manufacturer"), sim::Manufacturer);
        EXPECT_EQ(line.at("model"), sim::ModelName);
        EXPECT_EQ(line.at("serial"), handset.module().Firmware().serial);
        EXPECT_EQ(line.at("revision_before"), sim::FactoryRevision);
        EXPECT_EQ(line.at("revision_after"), r.after);
        EXPECT_EQ(line.at("set_source"), update::PayloadSourceName(update::CurrentPayloadSet().source));
        EXPECT_EQ(line.at("set_sha256"), handset.module().ImageSha256());
        EXPECT_EQ(line.at("outcome"), r.outcome);
        EXPECT_EQ(line.at("exit_code"), r.status);
        EXPECT_TRUE(IsUtcTime(line.at("start")));
        EXPECT_TRUE(IsUtcTime(line.at("end")));
        EXPECT_LE(line.at("start").get<std::string>(), line.at("end").get<std::string>());
        EXPECT_GT(line.at("duration").get<double>(), 0.0);
        serials.push_back(line.at("serial"));
    }
    EXPECT_NE(serials[0], serials[1]);
}

// `update` with its stderr on a pty, stdout to /dev/null or the same pty; everything the
// terminal got.
std::string UpdateOnTerminal(const sim::Handset& handset, const fwu_test::TempDir& runtime, bool stdout_too = false) {
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
        ::dup2(stdout_too ? terminal : null, STDOUT_FILENO);
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
    EXPECT_EQ(Count(terminal, "firmware-utility: update verified after "), 1u) << terminal;
    EXPECT_EQ(Count(terminal, "image: 2481250 of 2481250 bytes sent ("), 1u) << terminal;
    EXPECT_EQ(Count(terminal, "left\r\n"), 0u) << "the live line is never ended by a line break";

    fwu_test::UpdateRun piped = fwu_test::RunUpdate(handset);
    EXPECT_EQ(piped.result.status, 0) << piped.result.err;
    EXPECT_EQ(Count(piped.result.err, "\r"), 0u) << piped.result.err;
    EXPECT_EQ(Count(piped.result.err, "image: "), 1u) << "the summary only: " << piped.result.err;
    EXPECT_EQ(Count(piped.result.err, "firmware-utility: update verified after "), 1u) << piped.result.err;
}

// The rows a terminal shows for what it was sent: "\r" returns to the row's start, "\n" starts
// the next row, anything else overwrites the cell under the cursor.
std::vector<std::string> Rows(const std::string& sent) {
    std::vector<std::string> rows(1);
    std::size_t column = 0;
    for (char c : sent) {
        if (c == '\r') {
            column = 0;
        } else if (c == '\n') {
            rows.emplace_back();
            column = 0;
        } else {
            std::string& row = rows.back();
            if (row.size() <= column) row.resize(column + 1, ' ');
            row[column++] = c;
        }
    }
    for (std::string& row : rows) row.erase(row.find_last_not_of(' ') + 1);
    return rows;
}

// The pane's text and the live line on one terminal: every pane line stays whole on a row of
// its own, the live line never lands on one, and the '#' marks are left to the live line.
TEST(UpdateProgressLine, PaneTextAndTheLiveLineShareATerminalWithoutOverwriting) {
    sim::Handset handset;
    std::string error;
    ASSERT_TRUE(handset.Start({}, &error)) << error;
    fwu_test::TempDir runtime;
    const std::vector<std::string> rows = Rows(UpdateOnTerminal(handset, runtime, true));
    fwu_test::UpdateRun piped = fwu_test::RunUpdate(handset);
    ASSERT_EQ(piped.result.status, 0) << piped.result.err;
    std::vector<std::string> pane_rows;
    for (const std::string& row : Rows(piped.result.out)) {
        const std::size_t text = row.find_first_not_of('#');  // a row of marks may run into text
        if (text != std::string::npos) pane_rows.push_back(row.substr(text));
    }
    ASSERT_GT(pane_rows.size(), 5u);
    std::size_t at = 0;  // in order, each on a row of its own
    for (const std::string& pane_row : pane_rows) {
        while (at < rows.size() && rows[at] != pane_row) ++at;
        EXPECT_LT(at, rows.size()) << "not whole on a row: " << pane_row;
    }
    std::size_t summaries = 0;
    for (const std::string& row : rows) {
        EXPECT_EQ(row.find('#'), std::string::npos) << row;
        if (row.rfind("firmware-utility: update verified after ", 0) == 0) ++summaries;
    }
    EXPECT_EQ(summaries, 1u);
}

// A profile named relative to the working directory, with an ESC in its name: the record names
// it absolute, and stderr shows the ESC escaped on the lines that name it.
TEST(UpdateRecord, TheProfileIsRecordedAbsoluteAndShownEscaped) {
    sim::Handset handset;
    std::string error;
    ASSERT_TRUE(handset.Start({}, &error)) << error;
    fwu_test::TempDir dir;
    const std::string name = "bench\x1B[2J.prof";
    ASSERT_EQ(::symlink(handset.ProfilePath().c_str(), (dir.path() + "/" + name).c_str()), 0);
    std::vector<std::string> command{"/bin/sh", "-c", "cd \"$1\" && shift && exec \"$@\"", "sh", dir.path(),
                                     FWU_PROGRAM, "update", "--profile", name, "--record", "r.jsonl"};
    fwu_test::ProgramResult result = fwu_test::RunCommand(command, fwu_test::UpdateEnv(dir, handset), 60000);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err.find('\x1B'), std::string::npos) << result.err;
    EXPECT_EQ(fwu_test::Count(result.err, "simulated handset bench\\x1B[2J.prof (no real module was updated)"), 1u)
        << result.err;
    const std::vector<Json> lines = ParseLines(fwu_test::ReadText(dir.path() + "/r.jsonl"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].at("profile"), dir.path() + "/" + name);
}

}  // namespace
