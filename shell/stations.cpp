// Stations side by side: the children are started through the platform (SpawnSelf), each with
// --events on its descriptor 3 so the parent learns every outcome; their stdout and stderr
// lines reach the parent's, prefixed "NAME: ", and their events the parent's --events as they
// are (each already tagged with its station). On a terminal, live rows (shell/station_rows.h)
// take the place of the lines, which then go only to each station's file (--log-dir).
#include "shell/stations.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <system_error>

#include "platform/platform.h"
#include "shell/lost_records.h"
#include "shell/run_report.h"
#include "shell/station_rows.h"
#include "update/cechat.h"
#include "update/outcomes.h"
#include "update/payloads.h"

namespace shell {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t ReadChunk = 4096;
constexpr auto RowsInterval = std::chrono::milliseconds(100);  // redraws at most 10 times a second

enum Stream { StreamOut, StreamErr, StreamEvents, StreamCount };

struct Station {
    StationSpec spec;
    platform::ChildProcess child;
    std::string pending[StreamCount];
    Clock::time_point start;
    double seconds = 0;
    bool ended = false;
    int exit_code = 1;
    std::int32_t outcome = update::OutcomeNotStarted;  // until its run_start
    std::uint32_t image_bytes = 0;
    const char* handset = "-";  // "simulated" or "real", as its run_start says
    std::string signer = "-";   // the fingerprint of the set's signer, as its run_start says
    bool run_end_seen = false;  // the child wrote its own run_end
    StationRow row;
    std::string log_path;          // DIR/NAME.log, its pane lines and its other lines; empty: none
    std::FILE* log = nullptr;
};

// Set while the rows are drawn: the stations' lines then go only to their files.
bool rows_shown = false;
bool rows_changed = false;

int& Descriptor(Station& station, int stream) {
    return stream == StreamOut ? station.child.out : stream == StreamErr ? station.child.err : station.child.events;
}

std::vector<std::string> ChildArguments(const CliOptions& options, const StationSpec& spec) {
    std::vector<std::string> args{"update", "--profile", spec.profile, "--station", spec.name,
                                  "--events", platform::ChildEventsPath,
                                  "--module-timeout", std::to_string(options.module_timeout_seconds),
                                  "--attempts", std::to_string(options.attempts),
                                  "--verify-timeout", std::to_string(options.verify_timeout_seconds)};
    if (!options.expect_revision.empty()) args.insert(args.end(), {"--expect-revision", options.expect_revision});
    if (options.expect_revision_match == update::RevisionMatch::Glob) {
        args.insert(args.end(), {"--expect-revision-match", "glob"});
    }
    if (options.skip_current) args.push_back("--skip-current");
    // Each child appends its own line: O_APPEND keeps whole lines apart.
    if (!options.record.empty()) args.insert(args.end(), {"--record", options.record});
    // One trace file per station; '-' stays stderr, which the parent prefixes.
    if (!options.trace.empty()) {
        args.insert(args.end(), {"--trace", options.trace == "-" ? "-" : options.trace + "." + spec.name});
        if (options.trace_time) args.push_back("--trace-time");
    }
    for (std::uint16_t id : options.commands) args.insert(args.end(), {"--command", std::to_string(id)});
    if (!options.firmware.empty()) args.insert(args.end(), {"--firmware", options.firmware});
    if (!options.trusted_keys.empty()) args.insert(args.end(), {"--trusted-keys", options.trusted_keys});
    if (options.require_signature) args.push_back("--require-signature");
    if (options.force) args.push_back("--force");
    if (options.after != update::AfterRun::Reboot) args.insert(args.end(), {"--after", update::AfterRunName(options.after)});
    return args;
}

// What the parent learns from a child's event line.
void TakeEvent(Station& station, const std::string& line) {
    nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
    if (event.is_discarded() || !event.is_object()) return;
    const std::string name = event.value("event", "");
    if (name == "run_start") {
        station.outcome = update::OutcomeUnfinished;  // until its run_end says more
        station.handset = event.value("simulated", false) ? "simulated" : "real";
        const nlohmann::json signer = event.value("signer", nlohmann::json());
        if (signer.is_object()) station.signer = signer.value("fingerprint", "-");
    }
    if (name == "progress" && event.value("stage", 0) == 3) station.image_bytes = event.value("bytes", 0u);
    if (name == "run_end") {
        const update::OutcomeRow* outcome = update::FindOutcomeNamed(event.value("outcome", ""));
        if (outcome != nullptr) station.outcome = outcome->outcome;
        station.run_end_seen = true;
    }
    RowEvent(&station.row, event);
    rows_changed = true;
}

void WriteLog(Station& station, const std::string& line) {
    if (station.log == nullptr) return;
    errno = 0;
    if (std::fprintf(station.log, "%s\n", line.c_str()) < 0 || std::fflush(station.log) != 0) {
        ReportWriteFailure(station.log_path.c_str(), errno != 0 ? errno : EIO);
        std::clearerr(station.log);
    }
}

void PassLine(Station& station, int stream, const std::string& line, bool events_on_stdout) {
    if (stream == StreamEvents) {
        TakeEvent(station, line);
        WriteEventLine(line);
        return;
    }
    WriteLog(station, line);
    if (rows_shown) return;
    std::FILE* to = stream == StreamErr || events_on_stdout ? stderr : stdout;
    std::fprintf(to, "%s: %s\n", station.spec.name.c_str(), line.c_str());
    FlushListing(to, to == stdout ? "stdout" : "stderr");
}

// Whole lines go on at once; a last piece without its line break when the stream ends.
void Pump(Station& station, int stream, bool events_on_stdout) {
    int& fd = Descriptor(station, stream);
    char buffer[ReadChunk];
    long n;
    while ((n = platform::ReadAvailable(fd, buffer, sizeof buffer)) > 0) {
        std::string& pending = station.pending[stream];
        pending.append(buffer, static_cast<std::size_t>(n));
        std::size_t at;
        while ((at = pending.find('\n')) != std::string::npos) {
            PassLine(station, stream, pending.substr(0, at), events_on_stdout);
            pending.erase(0, at + 1);
        }
    }
    if (n == 0) {
        if (!station.pending[stream].empty()) PassLine(station, stream, station.pending[stream], events_on_stdout);
        station.pending[stream].clear();
        platform::CloseDescriptor(fd);
        fd = -1;
    }
}

void Start(const CliOptions& options, Station& station) {
    station.start = Clock::now();
    // Each child `update` takes a runtime directory of its own (and claims its port in this
    // user's), as every headless update does.
    if (!platform::SpawnSelf(ChildArguments(options, station.spec), {}, &station.child)) {
        platform::SayOnStderr("station %s: cannot start: %s", station.spec.name.c_str(),
                              std::strerror(static_cast<int>(platform::GetLastError())));
        station.ended = true;
        RowEnded(&station.row, station.outcome, 0, station.exit_code);
    }
}

// The child's process ended: what it wrote is taken, and its streams are closed even when a
// program it started still holds them (the table does not wait for grandchildren).
void TakeLast(Station& station, bool events_on_stdout) {
    for (int stream = 0; stream < StreamCount; ++stream) {
        int& fd = Descriptor(station, stream);
        if (fd < 0) continue;
        Pump(station, stream, events_on_stdout);
        if (fd < 0) continue;
        if (!station.pending[stream].empty()) PassLine(station, stream, station.pending[stream], events_on_stdout);
        station.pending[stream].clear();
        platform::CloseDescriptor(fd);
        fd = -1;
    }
    platform::CloseDescriptor(station.child.ended);
    station.child.ended = -1;
}

// Ended when its process and its three streams have; then it is reaped.
void Finish(Station& station, bool stopped) {
    if (station.ended || station.child.out >= 0 || station.child.err >= 0 || station.child.events >= 0) return;
    platform::CloseDescriptor(station.child.ended);
    station.child.ended = -1;
    platform::ReapChild(station.child.pid, true, &station.exit_code);
    station.seconds = std::chrono::duration<double>(Clock::now() - station.start).count();
    station.ended = true;
    if (stopped && (station.outcome == update::OutcomeNotStarted || station.outcome == update::OutcomeUnfinished)) {
        station.outcome = update::OutcomeInterrupted;
    }
    RowEnded(&station.row, station.outcome, station.seconds, station.exit_code);
    rows_changed = true;
    // A child that could not write its own end (killed alone) gets it from here.
    if (!station.run_end_seen && station.child.pid > 0) {
        EventRunEnd(update::OutcomeName(station.outcome), station.exit_code, station.spec.name);
    }
}

void PrintSummary(const std::vector<Station>& stations, std::FILE* to) {
    std::size_t width = std::strlen("station");
    for (const Station& station : stations) width = std::max(width, station.spec.name.size());
    const int w = static_cast<int>(width);
    std::fprintf(to, "%s\n", update::PayloadSetLine().c_str());
    std::fprintf(to, "%-*s  %-17s  %8s  %9s  %4s  %-9s  %s\n", w, "station", "outcome", "time", "bytes", "exit",
                 "handset", "signer");
    for (const Station& station : stations) {
        std::fprintf(to, "%-*s  %-17s  %6.1f s  %9u  %4d  %-9s  %s\n", w, station.spec.name.c_str(),
                     update::OutcomeName(station.outcome), station.seconds, station.image_bytes, station.exit_code,
                     station.handset, station.signer.c_str());
    }
    std::fflush(to);
}

// The module link of the station's profile, for its row.
std::string PortOf(const std::string& profile_path) {
    platform::Profile profile;
    if (!platform::LoadProfile(profile_path, &profile)) return "-";
    const auto link = profile.devices.find(update::ModuleLinkName);
    return link == profile.devices.end() ? "-" : link->second;
}

// Where the rows put the panes when --log-dir names no directory: a new one per run under
// $XDG_STATE_HOME (else ~/.local/state), "firmware-utility/stations/UTCSTAMP".
std::string DefaultLogDirectory() {
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    std::string base;
    if (state != nullptr && state[0] == '/') {
        base = state;
    } else if (home != nullptr && home[0] == '/') {
        base = std::string(home) + "/.local/state";
    } else {
        return "";
    }
    char stamp[32];
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    ::gmtime_r(&now, &utc);
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    return base + "/firmware-utility/stations/" + stamp;
}

// A directory of its own: a run that started in the same second takes STAMP-2, STAMP-3, ...
bool MakeFreshDirectory(std::string* directory, std::string* error) {
    std::error_code failed;
    std::filesystem::create_directories(std::filesystem::path(*directory).parent_path(), failed);
    const std::string base = *directory;
    for (int n = 2; !failed; ++n) {
        if (std::filesystem::create_directory(*directory, failed)) return true;
        *directory = base + "-" + std::to_string(n);
    }
    *error = *directory + ": " + failed.message();
    return false;
}

// DIR (made when missing) and one file per station in it, DIR/NAME.log. False with *error.
bool OpenLogs(const std::string& directory, std::vector<Station>& stations, std::string* error) {
    std::error_code failed;
    std::filesystem::create_directories(directory, failed);
    if (failed) {
        *error = directory + ": " + failed.message();
        return false;
    }
    for (Station& station : stations) {
        station.log_path = directory + "/" + station.spec.name + ".log";
        station.log = std::fopen(station.log_path.c_str(), "we");  // not for the children
        if (station.log == nullptr) {
            *error = station.log_path + ": " + std::strerror(errno);
            return false;
        }
    }
    return true;
}

void CloseLogs(std::vector<Station>& stations) {
    for (Station& station : stations) {
        if (station.log != nullptr && std::fclose(station.log) != 0) {
            ReportWriteFailure(station.log_path.c_str(), errno != 0 ? errno : EIO);
        }
        station.log = nullptr;
    }
}

// How long the loop may sleep: a change to the rows is drawn once its frame has come.
int RowsTimeout(Clock::time_point last_draw) {
    if (!rows_changed) return -1;
    const auto due = std::chrono::ceil<std::chrono::milliseconds>(last_draw + RowsInterval - Clock::now());
    return static_cast<int>(std::max<long long>(0, due.count()));
}

void DrawRows(const std::vector<Station>& stations) {
    std::vector<const StationRow*> rows;
    for (const Station& station : stations) rows.push_back(&station.row);
    platform::DrawLiveRows(StationRowLines(rows, platform::LiveRowsWidth()));
    rows_changed = false;
}

// The panes' files, and the rows when stdout is a terminal (not when it carries the events).
// False with *error when --log-dir cannot be used; without it, the rows are given up instead.
bool ShowStations(const CliOptions& options, bool events_on_stdout, std::vector<Station>& stations,
                  std::string* log_directory, std::string* error) {
    *log_directory = options.log_dir;
    if (!options.log_dir.empty() && !OpenLogs(options.log_dir, stations, error)) return false;
    rows_shown = !events_on_stdout && platform::StartLiveRows();
    if (!rows_shown || !options.log_dir.empty()) return true;
    *log_directory = DefaultLogDirectory();
    std::string why = "HOME is not set";
    if (!log_directory->empty() && MakeFreshDirectory(log_directory, &why) &&
        OpenLogs(*log_directory, stations, &why)) {
        return true;
    }
    // Without files for the panes the lines stay on the terminal, as they were.
    platform::SayOnStderr("no file for the stations' panes (%s); their lines follow", why.c_str());
    CloseLogs(stations);
    log_directory->clear();
    platform::EndLiveRows();
    rows_shown = false;
    return true;
}

}  // namespace

std::vector<StationSpec> StationSpecs(const std::vector<std::string>& profiles) {
    std::vector<StationSpec> specs;
    for (const std::string& given : profiles) {
        StationSpec spec;
        const std::size_t equals = given.find('=');
        if (equals != std::string::npos && equals > 0 && given.find('/') > equals) {
            spec.name = given.substr(0, equals);
            spec.profile = given.substr(equals + 1);
        } else {
            spec.profile = given;
            const std::size_t slash = given.rfind('/');
            spec.name = slash == std::string::npos ? given : given.substr(slash + 1);
        }
        // A name prefixes every line of the station: its control characters are shown escaped.
        spec.name = platform::EscapeControls(spec.name);
        // Names tell the stations apart: a repeated one gets -2, -3, ...
        const std::string base = spec.name;
        for (int n = 2;; ++n) {
            bool taken = false;
            for (const StationSpec& other : specs) taken = taken || other.name == spec.name;
            if (!taken) break;
            spec.name = base + "-" + std::to_string(n);
        }
        specs.push_back(spec);
    }
    return specs;
}

int RunStations(const CliOptions& options) {
    const bool events_on_stdout = options.events == "-";
    if (!options.events.empty()) {
        std::string error;
        if (!OpenRunEvents(options.events, "", "", &error)) {
            platform::SayOnStderr("%s", error.c_str());
            return ExitBadArguments;
        }
    }
    // This process holds four descriptors per station (its three streams and its end; five with
    // its file): a few hundred stations would pass the usual soft limit of 1024 long before the
    // hard one.
    if (!platform::RaiseDescriptorLimit()) {
        platform::SayOnStderr("cannot raise the open-file limit to its hard limit: %s",
                              platform::LastErrorText().c_str());
    }
    platform::WatchStopSignals();
    platform::RemoveLeftoverStations();  // those of a parent that was killed
    std::vector<Station> stations;
    for (const StationSpec& spec : StationSpecs(options.profiles)) {
        Station station;
        station.spec = spec;
        station.row.name = spec.name;
        station.row.port = PortOf(spec.profile);
        stations.push_back(station);
    }
    std::string log_directory, error;
    if (!ShowStations(options, events_on_stdout, stations, &log_directory, &error)) {
        platform::SayOnStderr("--log-dir %s", error.c_str());
        CloseLogs(stations);
        return ExitBadArguments;
    }
    if (rows_shown) DrawRows(stations);
    for (Station& station : stations) Start(options, station);

    bool stopping = false;
    Clock::time_point last_draw = Clock::now();
    for (;;) {
        std::vector<int> fds;
        std::vector<std::pair<Station*, int>> owners;
        for (Station& station : stations) {
            for (int stream = 0; stream < StreamCount; ++stream) {
                if (Descriptor(station, stream) < 0) continue;
                fds.push_back(Descriptor(station, stream));
                owners.push_back({&station, stream});
            }
            if (station.child.ended >= 0) {
                fds.push_back(station.child.ended);
                owners.push_back({&station, StreamCount});
            }
        }
        if (fds.empty()) break;
        // The rows' wakes (a resize, a suspend) come with the rest; a change waits for its frame.
        int timeout_ms = -1;
        if (rows_shown) {
            fds.push_back(platform::LiveRowsWake());
            owners.push_back({nullptr, StreamCount});
            timeout_ms = RowsTimeout(last_draw);
        }
        std::vector<bool> ready;
        platform::WaitReadable(fds, timeout_ms, &ready);
        if (platform::StopRequested() && !stopping) {
            stopping = true;
            for (Station& station : stations) {
                if (!station.ended) platform::StopChild(station.child.pid);
            }
        }
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (!ready[i]) continue;
            if (owners[i].first == nullptr) {
                // Drawn at once, at the new width.
                if (platform::TakeLiveRowsWakes()) {
                    rows_changed = true;
                    last_draw = {};
                }
            } else if (owners[i].second == StreamCount) {
                TakeLast(*owners[i].first, events_on_stdout);
            } else if (Descriptor(*owners[i].first, owners[i].second) >= 0) {
                Pump(*owners[i].first, owners[i].second, events_on_stdout);
            }
        }
        for (Station& station : stations) Finish(station, stopping);
        if (rows_shown && rows_changed && Clock::now() - last_draw >= RowsInterval) {
            DrawRows(stations);
            last_draw = Clock::now();
        }
    }
    for (Station& station : stations) Finish(station, stopping);
    platform::RemoveLeftoverStations();  // the directory of a station killed alone
    CloseRunEvents();
    CloseLogs(stations);
    if (rows_shown) {
        DrawRows(stations);  // the last state stays on the screen, the table below it
        platform::EndLiveRows();
        rows_shown = false;
    }

    PrintSummary(stations, events_on_stdout ? stderr : stdout);
    if (!log_directory.empty()) {
        platform::SayOnStderr("each station's pane is in %s/NAME.log", log_directory.c_str());
    }
    for (const Station& station : stations) {
        if (station.exit_code != 0) return 1;
    }
    return 0;
}

}  // namespace shell
