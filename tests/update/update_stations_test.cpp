// Several modules at once: `update --profile P1 ... --profile P4` against four simulated
// handsets in this process, one of them faulty; a station whose link cannot open; Ctrl+C; the live
// rows on a terminal and each station's pane in its file;
// separate `update` runs of one user side by side, one per module port.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include <map>
#include <set>
#include <nlohmann/json.hpp>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/program.h"
#include "tests/support/tmux.h"
#include "tests/support/update_run.h"

namespace {

using fwu_test::Count;
using fwu_test::TempDir;
using Json = nlohmann::json;
using sim::RomFaultKind;
using sim::RomStep;

constexpr int Always = 1000000;

std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

struct Handsets {
    explicit Handsets(const std::vector<sim::RomFault>& faults, std::uint32_t baud = 0) {
        for (const sim::RomFault& fault : faults) {
            auto handset = std::make_unique<sim::Handset>();
            sim::Options options;
            options.module_fault = fault;
            options.module_baud = baud;
            std::string error;
            EXPECT_TRUE(handset->Start(options, &error)) << error;
            list.push_back(std::move(handset));
        }
    }
    // --profile NAME=FILE for each, named m1, m2, ...
    std::vector<std::string> Args(const char* attempts = "2") const {
        std::vector<std::string> args{"update", "--module-timeout", "1", "--attempts", attempts};
        for (std::size_t i = 0; i < list.size(); ++i) {
            args.insert(args.end(), {"--profile", "m" + std::to_string(i + 1) + "=" + list[i]->ProfilePath()});
        }
        return args;
    }
    std::vector<std::unique_ptr<sim::Handset>> list;
};

// The summary table's rows by station: outcome and exit code.
std::map<std::string, std::pair<std::string, int>> Summary(const std::string& text) {
    std::map<std::string, std::pair<std::string, int>> rows;
    std::istringstream lines(text.substr(text.find("station ")));
    std::string line;
    std::getline(lines, line);  // the heading
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string station, outcome, seconds, unit, bytes;
        int exit_code = -1;
        fields >> station >> outcome >> seconds >> unit >> bytes >> exit_code;
        rows[station] = {outcome, exit_code};
    }
    return rows;
}

TEST(UpdateStations, FourModulesAtOnceOneFaulty) {
    Handsets handsets({{}, {}, {RomFaultKind::RejectChecksum, RomStep::FinalAck, 0, 1}, {}});
    TempDir runtime;
    std::vector<std::string> args = handsets.Args();
    args.insert(args.end(), {"--events", "-"});
    fwu_test::ProgramResult result =
        fwu_test::RunProgram(args, {"FIRMWARE_UTILITY_RUNTIME_DIR=" + runtime.path()}, 120000);
    EXPECT_EQ(result.status, 1) << result.err;

    // With --events -, stdout is JSON Lines only; the pane lines and the table go to stderr.
    std::map<std::string, std::vector<std::string>> events;
    std::istringstream lines(result.out);
    for (std::string line; std::getline(lines, line);) {
        Json event = Json::parse(line);
        EXPECT_EQ(event.at("v"), 1);
        events[event.at("station")].push_back(event.at("event"));
    }
    ASSERT_EQ(events.size(), 4u) << result.out;
    for (const auto& [station, names] : events) {
        SCOPED_TRACE(station);
        EXPECT_EQ(names.front(), "run_start");
        EXPECT_EQ(names.back(), "run_end");
    }
    const auto rows = Summary(result.err);
    const std::map<std::string, std::pair<std::string, int>> expected{
        {"m1", {"verified", 0}}, {"m2", {"verified", 0}}, {"m3", {"failed", 1}}, {"m4", {"verified", 0}}};
    EXPECT_EQ(rows, expected) << result.err;
    // Each station's lines carry its name; each module has (or lacks) its image.
    for (int i = 0; i < 4; ++i) {
        const std::string name = "m" + std::to_string(i + 1);
        EXPECT_EQ(Count(result.err, name + ": Bootload2 updated!!"), 1u) << result.err;
        EXPECT_EQ(handsets.list[i]->module().DownloadDone(), i != 2);
    }
}

// Without --events the table is on stdout; a link that cannot open fails its station alone.
// Started under a soft limit of 64 open files, which the parent's four descriptors per station
// would pass by far: the parent raises it, and every station runs.
TEST(UpdateStations, AStationWhoseLinkCannotOpenFailsAloneAlsoManyUnderALowLimit) {
    constexpr int BadStations = 24;
    Handsets handsets(std::vector<sim::RomFault>{sim::RomFault{}});
    TempDir runtime;
    std::vector<std::string> command{"/bin/sh", "-c", "ulimit -Sn 64 && exec \"$0\" \"$@\"", FWU_PROGRAM};
    const std::vector<std::string> args = handsets.Args();
    command.insert(command.end(), args.begin(), args.end());
    std::map<std::string, std::pair<std::string, int>> expected{{"m1", {"verified", 0}}};
    for (int i = 0; i < BadStations; ++i) {
        const std::string name = "bad" + std::to_string(i) + ".prof";
        // A port of its own each: one update per port.
        std::ofstream(runtime.path() + "/" + name)
            << "[devices]\nCOM1: = /nonexistent/tty" << i << "\nRIL1: = /nonexistent/ril.sock\n[handset]\nsimulated = true\n";
        command.insert(command.end(), {"--profile", runtime.path() + "/" + name});
        expected[name] = {"failed", 1};
    }
    fwu_test::ProgramResult result =
        fwu_test::RunCommand(command, {"FIRMWARE_UTILITY_RUNTIME_DIR=" + runtime.path()}, 120000);
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_EQ(Summary(result.out), expected) << result.out << result.err;
    EXPECT_EQ(Count(result.out, "bad0.prof: Open Comport fail!!"), 1u) << result.out;
    EXPECT_EQ(Count(result.err, "cannot start"), 0u) << result.err;
}

// The stations' radio adapter lists the descriptors it got and leaves a helper running: the
// adapter sees 0-2 only (no station's event pipe, nothing this test holds), and the table comes
// when the stations have ended, not their adapters' leftovers (RunProgram's bound is shorter).
TEST(UpdateStations, AdaptersGetNoStationDescriptorAndTheirLeftoversAreNotAwaited) {
    TempDir runtime;
    const std::string script = runtime.path() + "/ril.sh";
    const std::string profile = runtime.path() + "/adapter.prof";
    {
        std::ofstream(script) << "#!/bin/sh\nls /proc/$$/fd > " << runtime.path() << "/fds.$$\n"
                              << "sleep 30 &\necho $! > " << runtime.path() << "/leftover.$$\n";
        // Marked simulated: the stand-in payloads may go there (nothing opens COM1: anyway). Two
        // ports: one port would be one update's.
        for (const char* port : {"", "2"}) {
            std::ofstream(profile + port) << "[handset]\nsimulated = true\n[devices]\nCOM1: = /nonexistent/tty" << port
                                          << "\nRIL1: = exec:" << script << "\n";
        }
    }
    ::chmod(script.c_str(), 0755);
    int inherited = ::open("/dev/null", O_RDONLY);  // no O_CLOEXEC, as an inherited one
    fwu_test::ProgramResult result = fwu_test::RunProgram(
        {"update", "--attempts", "1", "--profile", "a=" + profile, "--profile", "b=" + profile + "2"},
        {"FIRMWARE_UTILITY_RUNTIME_DIR=" + runtime.path()}, 20000);
    ::close(inherited);
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_EQ(Summary(result.out).size(), 2u) << result.out;
    int listings = 0;
    DIR* dir = ::opendir(runtime.path().c_str());
    ASSERT_NE(dir, nullptr);
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        const std::string path = runtime.path() + "/" + name;
        if (name.rfind("leftover.", 0) == 0) ::kill(std::atoi(ReadText(path).c_str()), SIGKILL);
        if (name.rfind("fds.", 0) != 0) continue;
        ++listings;
        std::istringstream fds(ReadText(path));
        std::string listed;
        for (int fd; fds >> fd;) {
            if (fd < 10) listed += std::to_string(fd) + " ";  // the shell keeps its script on 10 or above
        }
        EXPECT_EQ(listed, "0 1 2 ") << name;
    }
    ::closedir(dir);
    EXPECT_GE(listings, 2);
}

TEST(UpdateStations, CtrlCEndsEveryStationAsInterrupted) {
    const sim::RomFault silent{RomFaultKind::Silent, RomStep::Handshake, 0, Always};
    Handsets handsets({silent, silent, silent});
    TempDir runtime;
    fwu_test::RunningProgram stations(handsets.Args("0"), {"FIRMWARE_UTILITY_RUNTIME_DIR=" + runtime.path()});
    ASSERT_TRUE(fwu_test::WaitUntil(
        [&] {
            for (const auto& handset : handsets.list) {
                if (handset->module().Resets() < 1) return false;
            }
            return true;
        },
        20000));
    stations.Signal(SIGINT);
    fwu_test::ProgramResult result = stations.Wait(20000);
    EXPECT_EQ(result.status, 1) << result.err;
    const std::map<std::string, std::pair<std::string, int>> expected{
        {"m1", {"interrupted", 1}}, {"m2", {"interrupted", 1}}, {"m3", {"interrupted", 1}}};
    EXPECT_EQ(Summary(result.out), expected) << result.out << result.err;
}

// The children of `parent`, from /proc.
std::vector<pid_t> ChildrenOf(pid_t parent) {
    std::vector<pid_t> children;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr) return children;
    while (const dirent* entry = ::readdir(proc)) {
        const pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
        if (pid <= 0) continue;
        const std::string stat = fwu_test::ReadText("/proc/" + std::to_string(pid) + "/stat");
        const std::size_t after_name = stat.rfind(')');
        if (after_name == std::string::npos) continue;
        std::istringstream fields(stat.substr(after_name + 2));
        std::string state;
        pid_t ppid = 0;
        fields >> state >> ppid;
        if (ppid == parent) children.push_back(pid);
    }
    ::closedir(proc);
    return children;
}

bool Gone(pid_t pid) {
    const std::string stat = fwu_test::ReadText("/proc/" + std::to_string(pid) + "/stat");
    return stat.empty() || stat.find(") Z ") != std::string::npos;
}

std::size_t StationDirectories(const std::string& parent) {
    std::size_t found = 0;
    DIR* dir = ::opendir(parent.c_str());
    if (dir == nullptr) return 0;
    while (const dirent* entry = ::readdir(dir)) found += std::strncmp(entry->d_name, "fwu-station-", 12) == 0;
    ::closedir(dir);
    return found;
}

bool EveryModuleReset(const Handsets& handsets) {
    for (const auto& handset : handsets.list) {
        if (handset->module().Resets() < 1) return false;
    }
    return true;
}

// A parent killed outright takes its stations with it; the next run sweeps their directories.
TEST(UpdateStations, StationsEndWithAKilledParent) {
    const sim::RomFault silent{RomFaultKind::Silent, RomStep::Handshake, 0, Always};
    Handsets handsets({silent, silent});
    TempDir runtime;
    const std::vector<std::string> env{"FIRMWARE_UTILITY_RUNTIME_DIR=" + runtime.path(), "TMPDIR=" + runtime.path()};
    auto stations = std::make_unique<fwu_test::RunningProgram>(handsets.Args("0"), env);
    ASSERT_TRUE(fwu_test::WaitUntil([&] { return EveryModuleReset(handsets); }, 20000));
    const std::vector<pid_t> children = ChildrenOf(stations->pid());
    ASSERT_EQ(children.size(), 2u);
    EXPECT_EQ(StationDirectories(runtime.path()), 2u);
    stations->Signal(SIGKILL);
    EXPECT_EQ(stations->Wait(20000).status, 128 + SIGKILL);
    for (pid_t child : children) EXPECT_TRUE(fwu_test::WaitUntil([&] { return Gone(child); }, 20000)) << child;

    const std::string missing = runtime.path() + "/missing.prof";
    std::ofstream(missing) << "[devices]\nCOM1: = /nonexistent/tty\n";
    fwu_test::ProgramResult next =
        fwu_test::RunProgram({"update", "--profile", "a=" + missing, "--profile", "b=" + missing}, env, 60000);
    EXPECT_EQ(next.status, 1) << next.err;
    EXPECT_EQ(StationDirectories(runtime.path()), 0u);
}

// A station killed alone is reported unfinished, with the run_end its parent writes for it.
TEST(UpdateStations, AStationKilledAloneGetsItsRunEndFromTheParent) {
    const sim::RomFault silent{RomFaultKind::Silent, RomStep::Handshake, 0, Always};
    Handsets handsets({silent, silent});
    TempDir runtime;
    const std::string events = runtime.path() + "/events.jsonl";
    std::vector<std::string> args = handsets.Args("0");
    args.insert(args.end(), {"--events", events});
    fwu_test::RunningProgram stations(args, {"FIRMWARE_UTILITY_RUNTIME_DIR=" + runtime.path(), "TMPDIR=" + runtime.path()});
    ASSERT_TRUE(fwu_test::WaitUntil([&] { return EveryModuleReset(handsets); }, 20000));
    const std::vector<pid_t> children = ChildrenOf(stations.pid());
    ASSERT_EQ(children.size(), 2u);
    ASSERT_EQ(::kill(children[0], SIGKILL), 0);
    ASSERT_TRUE(fwu_test::WaitUntil([&] { return Count(fwu_test::ReadText(events), "\"run_end\"") == 1; }, 20000));
    stations.Signal(SIGINT);
    fwu_test::ProgramResult result = stations.Wait(20000);
    EXPECT_EQ(result.status, 1) << result.err;

    std::map<std::string, std::pair<std::string, int>> ends;
    std::istringstream lines(fwu_test::ReadText(events));
    for (std::string line; std::getline(lines, line);) {
        Json event = Json::parse(line);
        if (event.at("event") == "run_end") ends[event.at("station")] = {event.at("outcome"), event.at("exit_code")};
    }
    const std::map<std::string, std::pair<std::string, int>> summary = Summary(result.out);
    ASSERT_EQ(ends.size(), 2u) << fwu_test::ReadText(events);
    int killed = 0;
    for (const auto& [station, end] : ends) {
        EXPECT_EQ(summary.at(station), end) << station;
        killed += end == std::pair<std::string, int>{"unfinished", 128 + SIGKILL};
    }
    EXPECT_EQ(killed, 1) << fwu_test::ReadText(events);
    EXPECT_EQ(StationDirectories(runtime.path()), 0u);
}

// Two `update` runs of one user, started apart, update two modules at once; a third on a port
// that one of them updates is refused at once, naming that run.
TEST(UpdateStations, SeparateUpdatesRunOnePerPort) {
    const sim::RomFault none{};
    const sim::RomFault silent{RomFaultKind::Silent, RomStep::Handshake, 0, Always};
    Handsets handsets({none, silent});
    TempDir runtime;
    const std::vector<std::string> env{"FIRMWARE_UTILITY_RUNTIME_DIR=" + runtime.path()};
    // The silent module keeps its run in the handshake while the others start.
    fwu_test::RunningProgram waiting({"update", "--profile", handsets.list[1]->ProfilePath(), "--attempts", "0",
                                      "--module-timeout", "1"},
                                     env);
    ASSERT_TRUE(fwu_test::WaitUntil([&] { return handsets.list[1]->module().Resets() >= 1; }, 20000));
    fwu_test::ProgramResult beside =
        fwu_test::RunProgram({"update", "--profile", handsets.list[0]->ProfilePath()}, env, 60000);
    EXPECT_EQ(beside.status, 0) << beside.err;
    EXPECT_EQ(handsets.list[0]->module().Downloads(), 1);

    fwu_test::ProgramResult same =
        fwu_test::RunProgram({"update", "--profile", handsets.list[1]->ProfilePath()}, env, 60000);
    EXPECT_EQ(same.status, 1) << same.err;
    EXPECT_EQ(Count(same.err, "firmware-utility: COM1: (" + handsets.list[1]->DevicePath("COM1:") +
                                  ") is being updated by process " + std::to_string(waiting.pid()) +
                                  " (firmware-utility); one update per module at a time\n"),
              1u)
        << same.err;
    // Refused before the radio driver was asked: the one suspend is the first run's.
    const std::vector<std::uint32_t> codes = handsets.list[1]->RilCodes();
    EXPECT_EQ(std::count(codes.begin(), codes.end(), sim::RilSuspend), 1);
    waiting.Signal(SIGTERM);
    EXPECT_EQ(waiting.Wait(20000).status, 1);
}

// Claims made at the same moment: one run takes the port, and every refusal names it by a real
// process id (the claim file never shows empty). Claim files are gone once nobody holds them:
// those of runs that ended, and one a killed run left, removed by the next update's start.
TEST(UpdateStations, SimultaneousClaimsNameTheirHolder) {
    constexpr int Claimants = 15;
    const sim::RomFault silent{RomFaultKind::Silent, RomStep::Handshake, 0, Always};
    Handsets handsets({silent});
    TempDir runtime;
    const std::vector<std::string> env{"FIRMWARE_UTILITY_RUNTIME_DIR=" + runtime.path()};
    std::vector<std::unique_ptr<fwu_test::RunningProgram>> runs;
    for (int i = 0; i < Claimants; ++i) {
        runs.push_back(std::make_unique<fwu_test::RunningProgram>(
            std::vector<std::string>{"update", "--profile", handsets.list[0]->ProfilePath(), "--attempts", "2",
                                     "--module-timeout", "1"},
            env));
    }
    const std::string refusal = "firmware-utility: COM1: (" + handsets.list[0]->DevicePath("COM1:") +
                                ") is being updated by process ";
    std::set<pid_t> named, ran;
    for (auto& run : runs) {
        fwu_test::ProgramResult end = run->Wait(60000);
        EXPECT_EQ(end.status, 1) << end.err;
        const std::size_t at = end.err.find(refusal);
        if (at == std::string::npos) {  // it held the port: the silent module wore out its attempts
            EXPECT_NE(end.err.find("waiting for the module on COM1: (attempt 2 of 2)"), std::string::npos) << end.err;
            ran.insert(run->pid());
            continue;
        }
        named.insert(static_cast<pid_t>(std::stol(end.err.substr(at + refusal.size()))));
        EXPECT_NE(end.err.find(" (firmware-utility); one update per module at a time\n"), std::string::npos) << end.err;
    }
    EXPECT_FALSE(named.empty());
    EXPECT_FALSE(ran.empty());
    for (pid_t pid : named) EXPECT_EQ(ran.count(pid), 1u) << "a refusal named process " << pid;
    EXPECT_EQ(fwu_test::RunCommand({"/bin/sh", "-c", "ls \"$0\" | grep -c '^port-'", runtime.path()}).out, "0\n");
    // A killed run's claim: nobody holds it, the next update's start removes it.
    std::ofstream(runtime.path() + "/port-1234.lock") << "999999\n";
    EXPECT_EQ(fwu_test::RunProgram({"update", "--profile", runtime.path() + "/none.prof"}, env).status, 2);
    EXPECT_EQ(::access((runtime.path() + "/port-1234.lock").c_str(), F_OK), -1);
}

}  // namespace

namespace {

using fwu_test::ShellQuote;
using fwu_test::TerminalRun;
using fwu_test::Tmux;

// Paced so that each image takes about eight seconds: the rows are seen while it goes out.
constexpr std::uint32_t WatchedBaud = 4000000;
constexpr int ScreenMs = 60000;

std::vector<std::string> ScreenLines(const std::string& screen) {
    std::vector<std::string> lines;
    std::istringstream in(screen);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// The row of each station m1..m3 on the screen shows `text`.
bool RowsShow(const std::string& screen, const std::string& text) {
    int rows = 0;
    for (const std::string& line : ScreenLines(screen)) {
        const bool row = line.rfind("m", 0) == 0 && line.find("/dev/") != std::string::npos;
        rows += row && line.find(text) != std::string::npos;
    }
    return rows == 3;
}

// Three paced stations in a terminal of `width` columns, their panes under *state (XDG_STATE_HOME).
bool StartWatched(Handsets& handsets, Tmux& tmux, TerminalRun& run, const TempDir& state, int width) {
    std::string command = ShellQuote(FWU_PROGRAM);
    for (const std::string& arg : handsets.Args()) command += " " + ShellQuote(arg);
    return run.Start(tmux, command, {"XDG_STATE_HOME=" + state.path()}, width, 24);
}

}  // namespace

// On a terminal: a live row per station with its bar and percentage (no '#' marks), fitted to a
// resized terminal, then the rows' last state, the table, and each pane in the per-run directory.
TEST(UpdateStations, ATerminalShowsALiveRowPerStationThenTheTable) {
    Handsets handsets({{}, {}, {}}, WatchedBaud);
    TempDir state;
    Tmux tmux;
    TerminalRun run;
    ASSERT_TRUE(StartWatched(handsets, tmux, run, state, 100));
    std::string screen;
    ASSERT_TRUE(tmux.WaitForScreen([](const std::string& s) { return RowsShow(s, "kB/s"); }, ScreenMs, &screen))
        << screen;
    EXPECT_EQ(screen.find('#'), std::string::npos) << screen;
    EXPECT_NE(screen.find(" running, "), std::string::npos) << screen;
    ASSERT_TRUE(tmux.Resize(50, 24));
    ASSERT_TRUE(tmux.WaitForScreen(
        [](const std::string& s) {
            for (const std::string& line : ScreenLines(s)) {
                if (line.size() >= 50) return false;
            }
            return RowsShow(s, "%") || RowsShow(s, "verif");
        },
        ScreenMs, &screen))
        << screen;
    ASSERT_TRUE(tmux.Resize(100, 24));  // the table's lines are wider than 50
    EXPECT_EQ(run.WaitForExit(ScreenMs), 0) << run.Stderr();
    screen = tmux.Capture();
    EXPECT_TRUE(RowsShow(screen, "verified")) << screen;
    EXPECT_NE(screen.find("0 running, 3 verified, 0 failed"), std::string::npos) << screen;
    const std::map<std::string, std::pair<std::string, int>> expected{
        {"m1", {"verified", 0}}, {"m2", {"verified", 0}}, {"m3", {"verified", 0}}};
    EXPECT_EQ(Summary(screen.substr(0, screen.find("EXIT="))), expected) << screen;
    const std::string said = run.Stderr();
    const std::string prefix = "each station's pane is in ";
    ASSERT_NE(said.find(prefix), std::string::npos) << said;
    const std::size_t from = said.find(prefix) + prefix.size();
    const std::string directory = said.substr(from, said.find("/NAME.log") - from);
    EXPECT_EQ(directory.rfind(state.path() + "/firmware-utility/stations/", 0), 0u) << said;
    for (const char* name : {"m1", "m2", "m3"}) {
        EXPECT_EQ(Count(ReadText(directory + "/" + name + ".log"), "Bootload2 updated!!"), 1u) << name;
    }
}

// Ctrl+C in the middle of the images: every station is interrupted, the rows keep their last
// state with the cursor below the table, and the terminal is as it was (echo on, cursor shown).
TEST(UpdateStations, CtrlCLeavesTheRowsAndRestoresTheTerminal) {
    Handsets handsets({{}, {}, {}}, WatchedBaud);
    TempDir state;
    Tmux tmux;
    TerminalRun run;
    ASSERT_TRUE(StartWatched(handsets, tmux, run, state, 100));
    std::string screen;
    ASSERT_TRUE(tmux.WaitForScreen([](const std::string& s) { return RowsShow(s, "kB/s"); }, ScreenMs, &screen))
        << screen;
    ASSERT_TRUE(tmux.SendKeys({"C-c"}));
    EXPECT_EQ(run.WaitForExit(ScreenMs), 1) << run.Stderr();
    screen = tmux.Capture();
    EXPECT_TRUE(RowsShow(screen, "interrupted")) << screen;
    const std::vector<std::string> lines = ScreenLines(screen);
    const auto table =
        std::find_if(lines.begin(), lines.end(), [](const std::string& l) { return l.rfind("station ", 0) == 0; });
    ASSERT_NE(table, lines.end()) << screen;
    EXPECT_GT(std::stoi(tmux.Format("#{cursor_y}")), table - lines.begin() + 3) << screen;
    EXPECT_EQ(tmux.Format("#{cursor_flag}"), "1");
    EXPECT_NE(run.SttyModes().find(" echo "), std::string::npos) << run.SttyModes();
}

// Through a pipe the lines are today's, prefixed, with no terminal sequences and no rows;
// --log-dir DIR also puts each station's lines, in order, into DIR/NAME.log.
TEST(UpdateStations, APipeGetsTheLinesAndLogDirGetsEachPane) {
    Handsets handsets({{}, {}, {}});
    TempDir runtime, logs, state;
    std::vector<std::string> args = handsets.Args();
    args.insert(args.end(), {"--log-dir", logs.path() + "/panes"});
    fwu_test::ProgramResult result = fwu_test::RunProgram(
        args, {"FIRMWARE_UTILITY_RUNTIME_DIR=" + runtime.path(), "XDG_STATE_HOME=" + state.path()}, 120000);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out.find('\x1b'), std::string::npos) << result.out;
    EXPECT_EQ(result.out.find(" running, "), std::string::npos) << result.out;
    EXPECT_TRUE(std::filesystem::is_empty(state.path()));  // no default directory without rows
    for (const char* name : {"m1", "m2", "m3"}) {
        SCOPED_TRACE(name);
        const std::string pane = ReadText(logs.path() + "/panes/" + name + ".log");
        std::size_t at = 0, lines = 0;
        for (const std::string& line : ScreenLines(result.out)) {
            if (line.rfind(std::string(name) + ": ", 0) != 0) continue;
            at = pane.find(line.substr(std::strlen(name) + 2) + "\n", at);
            ASSERT_NE(at, std::string::npos) << line << "\n" << pane;
            ++lines;
        }
        EXPECT_GT(lines, 5u) << result.out;
    }
    EXPECT_NE(result.err.find("each station's pane is in " + logs.path() + "/panes/NAME.log"), std::string::npos)
        << result.err;
}
