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
#include "shell/run_context.h"
#include "device/reboot.h"
#include "shell/json_lines.h"
#include "shell/lost_records.h"
#include "shell/run_report.h"
#include "update/payloads.h"
#include "update/verify.h"

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
std::string events_name;  // "--events FILE", for a failed write
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

// Caller holds events_mutex. A line that cannot be written is said; the run goes on.
void WriteLine(const std::string& line) {
    if (events == nullptr) return;
    errno = 0;
    if (std::fwrite(line.data(), 1, line.size(), events) != line.size() || std::fflush(events) != 0) {
        ReportWriteFailure(events_name.c_str(), errno != 0 ? errno : EIO);
        std::clearerr(events);
    }
}

// Caller holds events_mutex. Invalid UTF-8 in a path is replaced, never thrown.
void Write(const Json& event) {
    if (events == nullptr) return;
    WriteLine(JsonLine(event));
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

// Where the payloads come from: the stand-ins are fit only for a simulated handset.
Json PayloadSet() {
    const update::PayloadSet& set = update::CurrentPayloadSet();
    Json described = {{"source", update::PayloadSourceName(set.source)}, {"sha256", set.sha256},
                      {"revision", set.revision}};
    if (set.source == update::PayloadSource::Directory) described["directory"] = set.directory;
    return described;
}

}  // namespace

void SignerField(Json* object) {
    const update::PayloadSet& set = update::CurrentPayloadSet();
    Json& signer = (*object)["signer"];
    if (set.signer_fingerprint.empty()) {
        signer = nullptr;
        return;
    }
    signer = {{"fingerprint", set.signer_fingerprint}, {"user_id", set.signer_user_id}};
}

namespace {

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

const char* AtReadName(update::AtRead read) {
    switch (read) {
        case update::AtRead::Read: return "read";
        case update::AtRead::NoPort: return "no_port";
        case update::AtRead::NotOpened: return "not_opened";
        case update::AtRead::Silent: return "silent";
        case update::AtRead::Ambiguous: return "several_revisions";
        default: return "no_revision";
    }
}

// The "module" event: what the AT port said before the handshake or after the image.
void ModuleFields(bool after, const update::RunFacts& facts, Json* event) {
    const update::ModuleIdentity& identity = after ? facts.after : facts.before;
    (*event)["when"] = after ? "after" : "before";
    (*event)["port"] = facts.at_port;
    (*event)["result"] = AtReadName(after ? facts.after_read : facts.before_read);
    (*event)["manufacturer"] = TextOrNull(identity.manufacturer);
    (*event)["model"] = TextOrNull(identity.model);
    (*event)["revision"] = TextOrNull(identity.revision);
    (*event)["serial"] = TextOrNull(identity.serial);
    if (!identity.revision_lines.empty()) (*event)["revision_lines"] = identity.revision_lines;
}

}  // namespace

void RunEndFields(const update::RunFacts& facts, nlohmann::ordered_json* event) {
    (*event)["revision_before"] = TextOrNull(facts.before.revision);
    (*event)["revision_after"] = TextOrNull(facts.after.revision);
    (*event)["expected_revision"] = TextOrNull(facts.expected);
    // The lines of a revision answer that held several (after the image, else before); else null.
    const auto& lines = facts.after.revision_lines.empty() ? facts.before.revision_lines : facts.after.revision_lines;
    (*event)["revision_lines"] = lines.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(lines);
    (*event)["reason"] = TextOrNull(facts.reason);
    // What followed a success (--after); null when the run did not get that far.
    (*event)["after"] = Run().update.state.after_applied.load() ? nlohmann::ordered_json(update::AfterRunName(Run().update.options.after))
                                                    : nlohmann::ordered_json(nullptr);
}

void WriteEventLine(const std::string& line) {
    std::lock_guard lock(events_mutex);
    WriteLine(line + "\n");
}

bool OpenRunEvents(const std::string& path, const std::string& station, const std::string& profile,
                   std::string* error) {
    std::lock_guard lock(events_mutex);
    if (path == "-") {
        events = stdout;
    } else {
        // A station's own event pipe is the one output that is no file.
        events = path == platform::ChildEventsPath
                     ? platform::OpenChildEvents()
                     : platform::OpenUserFileStream(path, platform::UserFileUse::Output);
        if (events == nullptr) {
            *error = "--events " + path + ": " + platform::LastErrorText();
            return false;
        }
        events_owned = true;
    }
    events_station = station;
    events_profile = profile;
    events_name = "--events " + path;
    return true;
}

void CloseRunEvents() {
    std::lock_guard lock(events_mutex);
    if (events_owned && std::fclose(events) != 0) ReportWriteFailure(events_name.c_str(), errno);
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
            event["payload_set"] = PayloadSet();
            SignerField(&event);
            event["simulated"] = platform::CurrentProfile().simulated;
            event["attempts"] = Run().update.options.max_attempts;
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
        case update::RunStep::ModuleRead:
            event = Event("module");
            ModuleFields(note.after, update::LastRunFacts(), &event);
            break;
        case update::RunStep::End:
            return;  // the program writes run_end with its exit code (EventRunEnd)
    }
    Write(event);
}

void EventControlFailed(const device::ControlFailure& failure) {
    std::lock_guard lock(events_mutex);
    Json event = Event("control_failed");
    event["device"] = failure.device;
    event["action"] = failure.action;
    event["error"] = failure.error;
    event["reason"] = failure.explanation;
    event["adapter_line"] = failure.adapter_line;
    Write(event);
}

void EventRunEnd(const char* outcome, int exit_code, const std::string& station) {
    std::lock_guard lock(events_mutex);
    Json event = Event("run_end");
    if (!station.empty()) event["station"] = station;
    event["outcome"] = outcome;
    event["exit_code"] = exit_code;
    if (station.empty()) {  // this process's own run
        event["simulated"] = platform::CurrentProfile().simulated;
        event["reboot_failed"] = Run().controls.reboot_failed.load() != 0;
        RunEndFields(update::LastRunFacts(), &event);
    }
    Write(event);
}

}  // namespace shell
