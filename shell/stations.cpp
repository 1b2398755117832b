// Stations side by side: the children are started through the platform (SpawnSelf), each with
// --events on its descriptor 3 so the parent learns every outcome; their stdout and stderr
// lines reach the parent's, prefixed "NAME: ", and their events the parent's --events as they
// are (each already tagged with its station).
#include "shell/stations.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>

#include "platform/platform.h"
#include "shell/lost_records.h"
#include "shell/run_report.h"
#include "update/payloads.h"

namespace shell {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t ReadChunk = 4096;

enum Stream { StreamOut, StreamErr, StreamEvents, StreamCount };

struct Station {
    StationSpec spec;
    platform::ChildProcess child;
    std::string pending[StreamCount];
    Clock::time_point start;
    double seconds = 0;
    bool ended = false;
    int exit_code = 1;
    std::string outcome = "not_started";
    std::uint32_t image_bytes = 0;
    const char* handset = "-";  // "simulated" or "real", as its run_start says
    std::string signer = "-";   // the fingerprint of the set's signer, as its run_start says
    bool run_end_seen = false;  // the child wrote its own run_end
};

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
        station.outcome = "unfinished";  // until its run_end says more
        station.handset = event.value("simulated", false) ? "simulated" : "real";
        const nlohmann::json signer = event.value("signer", nlohmann::json());
        if (signer.is_object()) station.signer = signer.value("fingerprint", "-");
    }
    if (name == "progress" && event.value("stage", 0) == 3) station.image_bytes = event.value("bytes", 0u);
    if (name == "run_end") {
        station.outcome = event.value("outcome", station.outcome);
        station.run_end_seen = true;
    }
}

void PassLine(Station& station, int stream, const std::string& line, bool events_on_stdout) {
    if (stream == StreamEvents) {
        TakeEvent(station, line);
        WriteEventLine(line);
        return;
    }
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
    if (stopped && (station.outcome == "not_started" || station.outcome == "unfinished")) {
        station.outcome = "interrupted";
    }
    // A child that could not write its own end (killed alone) gets it from here.
    if (!station.run_end_seen && station.child.pid > 0) {
        EventRunEnd(station.outcome.c_str(), station.exit_code, station.spec.name);
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
                     station.outcome.c_str(), station.seconds, station.image_bytes, station.exit_code, station.handset,
                     station.signer.c_str());
    }
    std::fflush(to);
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
    // This process holds four descriptors per station (its three streams and its end): a few
    // hundred stations would pass the usual soft limit of 1024 long before the hard one.
    std::string reason;
    if (!platform::RaiseDescriptorLimit(&reason)) {
        platform::SayOnStderr("cannot raise the open-file limit to its hard limit: %s", reason.c_str());
    }
    platform::WatchStopSignals();
    platform::RemoveLeftoverStations();  // those of a parent that was killed
    std::vector<Station> stations;
    for (const StationSpec& spec : StationSpecs(options.profiles)) {
        Station station;
        station.spec = spec;
        stations.push_back(station);
    }
    for (Station& station : stations) Start(options, station);

    bool stopping = false;
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
        std::vector<bool> ready;
        platform::WaitReadable(fds, -1, &ready);
        if (platform::StopRequested() && !stopping) {
            stopping = true;
            for (Station& station : stations) {
                if (!station.ended) platform::StopChild(station.child.pid);
            }
        }
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (!ready[i]) continue;
            if (owners[i].second == StreamCount) {
                TakeLast(*owners[i].first, events_on_stdout);
            } else if (Descriptor(*owners[i].first, owners[i].second) >= 0) {
                Pump(*owners[i].first, owners[i].second, events_on_stdout);
            }
        }
        for (Station& station : stations) Finish(station, stopping);
    }
    for (Station& station : stations) Finish(station, stopping);
    platform::RemoveLeftoverStations();  // the directory of a station killed alone
    CloseRunEvents();

    PrintSummary(stations, events_on_stdout ? stderr : stdout);
    for (const Station& station : stations) {
        if (station.exit_code != 0) return 1;
    }
    return 0;
}

}  // namespace shell
