// --events: the run as JSON Lines. Every object has "v" (the schema version), "t" (seconds of
// the system's monotonic clock, comparable between processes) and "event"; "station" when one
// was given. The writer is shared by the updater thread and the program's main thread.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <cerrno>
#include <mutex>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/platform.h"
#include "shell/run_report.h"
#include "update/payloads.h"

namespace shell {
namespace {

using Json = nlohmann::ordered_json;  // keys in the order written: v, t, event first
using Clock = std::chrono::steady_clock;
constexpr auto ProgressInterval = std::chrono::milliseconds(250);
constexpr std::uint64_t ProgressStepPercent = 1;

std::mutex events_mutex;  // guards everything below
std::FILE* events = nullptr;
bool events_owned = false;
std::string events_station;
std::string events_profile;
// The latest progress event written: its stage, percent and time.
std::uint32_t last_stage = 0;
std::uint64_t last_percent = 0;
Clock::time_point last_progress{};

const char* StageName(std::uint32_t stage) {
    return stage == 1 ? "boot_loader_1" : stage == 2 ? "boot_loader_2" : "image";
}

Json Event(const char* name) {
    const double t = std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
    Json event = {{"v", EventsSchemaVersion}, {"t", t}, {"event", name}};
    if (!events_station.empty()) event["station"] = events_station;
    return event;
}

// Caller holds events_mutex. Invalid UTF-8 in a path is replaced, never thrown.
void Write(const Json& event) {
    if (events == nullptr) return;
    const std::string line = event.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
    std::fwrite(line.data(), 1, line.size(), events);
    std::fflush(events);
}

Json Payloads() {
    Json list = Json::array();
    for (std::uint32_t kind : {update::PayloadBoot1, update::PayloadBoot2, update::PayloadFirmware}) {
        const char* name = "";
        std::uint32_t size = 0;
        std::string sha256;
        if (!update::DescribePayload(kind, &name, &size, &sha256)) continue;
        list.push_back({{"kind", kind}, {"name", name}, {"size", size}, {"sha256", sha256}});
    }
    return list;
}

// At most every ProgressStepPercent or ProgressInterval, and always the stage's last.
bool ProgressDue(const update::RunNote& note) {
    const std::uint64_t percent = note.total ? std::uint64_t{note.bytes} * 100 / note.total : 100;
    const auto now = Clock::now();
    const bool due = note.stage != last_stage || note.bytes == note.total ||
                     percent >= last_percent + ProgressStepPercent || now - last_progress >= ProgressInterval;
    if (due) {
        last_stage = note.stage;
        last_percent = percent;
        last_progress = now;
    }
    return due;
}

}  // namespace

void WriteEventLine(const std::string& line) {
    std::lock_guard lock(events_mutex);
    if (events == nullptr) return;
    std::fputs((line + "\n").c_str(), events);
    std::fflush(events);
}

const char* OutcomeName(std::int32_t outcome) {
    switch (outcome) {
        case update::OutcomeConfirmed: return "confirmed";
        case update::OutcomeFailed: return "failed";
        case update::OutcomeModuleLost: return "module_lost";
        case update::OutcomeGaveUp: return "gave_up";
        case update::OutcomeRefused: return "refused";
        default: return "interrupted";
    }
}

bool OpenRunEvents(const std::string& path, const std::string& station, const std::string& profile,
                   std::string* error) {
    std::lock_guard lock(events_mutex);
    if (path == "-") {
        events = stdout;
    } else {
        // A station's own event pipe is the one output that is no file.
        std::string reason;
        events = path == platform::ChildEventsPath
                     ? platform::OpenChildEvents()
                     : platform::OpenUserFileStream(path, platform::UserFileUse::Output, &reason);
        if (events == nullptr) {
            *error = "--events " + path + ": " + (reason.empty() ? std::strerror(errno) : reason);
            return false;
        }
        events_owned = true;
    }
    events_station = station;
    events_profile = profile;
    return true;
}

void CloseRunEvents() {
    std::lock_guard lock(events_mutex);
    if (events_owned) std::fclose(events);
    events = nullptr;
    events_owned = false;
}

void EventAttempt(std::uint32_t attempt, std::uint32_t limit) {
    std::lock_guard lock(events_mutex);
    Json event = Event("attempt");
    event["attempt"] = attempt;
    event["limit"] = limit;  // 0: none
    Write(event);
}

void EventRunNote(const update::RunNote& note) {
    std::lock_guard lock(events_mutex);
    if (events == nullptr) return;
    Json event;
    switch (note.step) {
        case update::RunStep::Start:
            event = Event("run_start");
            event["profile"] = events_profile;
            event["payloads"] = Payloads();
            event["attempts"] = update::MaxAttempts.load();
            break;
        case update::RunStep::StageStart:
            event = Event("stage_start");
            event["stage"] = note.stage;
            event["name"] = StageName(note.stage);
            event["total"] = note.total;
            break;
        case update::RunStep::StageEnd:
            event = Event("stage_end");
            event["stage"] = note.stage;
            event["name"] = StageName(note.stage);
            event["result"] = note.accepted ? "accepted" : "refused";
            break;
        case update::RunStep::Progress:
            if (!ProgressDue(note)) return;
            event = Event("progress");
            event["stage"] = note.stage;
            event["bytes"] = note.bytes;
            event["total"] = note.total;
            event["chunks"] = note.chunks;
            event["chunk_total"] = note.chunk_total;
            break;
        case update::RunStep::ModuleLost:
            event = Event("module_lost");
            break;
        case update::RunStep::End:
            return;  // the program writes run_end with its exit code (EventRunEnd)
    }
    Write(event);
}

void EventRunEnd(const char* outcome, int exit_code) {
    std::lock_guard lock(events_mutex);
    Json event = Event("run_end");
    event["outcome"] = outcome;
    event["exit_code"] = exit_code;
    Write(event);
}

}  // namespace shell
