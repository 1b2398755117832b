// --record: one line per run for a module's history (see shell/run_report.h). Its fields: "v",
// "station", "profile", "port" and "at_port" (device paths), the module's "manufacturer",
// "model" and "serial", "revision_before", "revision_after", "expected_revision", the payload
// set's "set_source", "set_sha256" and "signer" (null when unsigned), "reboot_failed", "outcome",
// "exit_code", "reason", "start" and "end"
// (UTC, ISO 8601, milliseconds) and "duration" (seconds). Unknown values are null.
#include <time.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include <nlohmann/json.hpp>

#include "device/reboot.h"
#include "platform/platform.h"
#include "shell/run_context.h"
#include "shell/json_lines.h"
#include "shell/lost_records.h"
#include "shell/run_report.h"
#include "update/cechat.h"
#include "update/payloads.h"

namespace shell {
namespace {

using Json = nlohmann::ordered_json;
using WallClock = std::chrono::system_clock;
using Clock = std::chrono::steady_clock;

// Room for a whole line, so the flush is one write.
constexpr std::size_t RecordBuffer = 64 * 1024;
constexpr int RecordVersion = 1;

std::FILE* record = nullptr;  // the program's thread only: opened before the run, written after
std::string record_path;
WallClock::time_point wall_start;
Clock::time_point start;

// "2026-12-07T15:21:36.123Z"
std::string IsoTime(WallClock::time_point at) {
    const std::time_t seconds = WallClock::to_time_t(at);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(at.time_since_epoch()).count() % 1000;
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[40];
    const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + length, sizeof text - length, ".%03dZ", static_cast<int>(millis));
    return text;
}

Json DevicePath(const std::string& name) {
    std::string path;
    if (name.empty() || !platform::ProfileDevicePath(name.c_str(), &path)) return nullptr;
    return path;
}

}  // namespace

bool OpenRunRecord(const std::string& path, std::string* error) {
    record = platform::OpenUserFileStream(path, platform::UserFileUse::Append);
    if (record == nullptr) {
        *error = "--record " + path + ": " + platform::LastErrorText();
        return false;
    }
    record_path = path;
    std::setvbuf(record, nullptr, _IOFBF, RecordBuffer);
    wall_start = WallClock::now();
    start = Clock::now();
    return true;
}

bool WriteRunRecord(const std::string& station, const std::string& profile, const char* outcome, int exit_code,
                    std::string* error) {
    if (record == nullptr) return true;
    update::RunFacts facts = update::LastRunFacts();
    // A run cut short before it read the module still keeps what it was given.
    if (facts.at_port.empty()) facts.at_port = update::AtPortName();
    if (facts.expected.empty()) facts.expected = update::ExpectedRevision();
    const update::ModuleIdentity& known = facts.after.serial.empty() ? facts.before : facts.after;
    const update::PayloadSet& set = update::CurrentPayloadSet();
    Json line = {{"v", RecordVersion}};
    line["station"] = TextOrNull(station);
    line["profile"] = profile;
    line["port"] = DevicePath(update::ModuleLinkName);
    line["at_port"] = DevicePath(facts.at_port);
    line["manufacturer"] = TextOrNull(known.manufacturer);
    line["model"] = TextOrNull(known.model);
    line["serial"] = TextOrNull(known.serial);
    RunEndFields(facts, &line);
    line["reboot_failed"] = Run().controls.reboot_failed.load() != 0;
    line["set_source"] = update::PayloadSourceName(set.source);
    line["set_sha256"] = set.sha256;
    SignerField(&line);
    line["outcome"] = outcome;
    line["exit_code"] = exit_code;
    const auto wall_end = WallClock::now();
    line["start"] = IsoTime(wall_start);
    line["end"] = IsoTime(wall_end);
    line["duration"] = std::chrono::duration<double>(Clock::now() - start).count();
    const std::string text = JsonLine(line);
    const bool written = std::fwrite(text.data(), 1, text.size(), record) == text.size();
    int failure = written ? 0 : (errno ? errno : EIO);
    const bool closed = std::fclose(record) == 0;  // flushes the line in one write
    if (!closed && failure == 0) failure = errno ? errno : EIO;
    record = nullptr;
    if (written && closed) return true;
    // Said once and counted as a lost record: the exit code says the history is incomplete.
    const std::string what = "--record " + record_path;
    ReportWriteFailure(what.c_str(), failure);
    *error = what + ": " + std::strerror(failure);
    return false;
}

}  // namespace shell
