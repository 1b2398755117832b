// Implemented in shell/progress_line.cpp, shell/run_events.cpp and shell/run_record.cpp.
// What `update` reports about its run beyond the pane: the events for programs (--events, JSON
// Lines, shell/run_events.cpp) and the live progress line for people on a terminal's stderr
// (shell/progress_line.cpp). Both are fed by the run's observers (update/update.h), which the
// program's glue points here.
//
// Index: EventsSchemaVersion OpenRunEvents CloseRunEvents EventAttempt EventRunNote EventRunEnd
// EventControlFailed WriteEventLine RunEndFields SignerField | OpenRunRecord WriteRunRecord |
// StartProgressLine ProgressNote ClearProgressLine
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "device/controls.h"
#include "shell/log.h"
#include "update/update.h"
#include "update/verify.h"

namespace shell {

// The "v" of every event object; raised when a field changes meaning or goes away.
inline constexpr int EventsSchemaVersion = 1;

// --events FILE ('-' stdout): one JSON object per line, flushed as it is written. `station`
// (may be empty) tags every object; `profile` is named by the run's start. False with a
// one-line *error when the file cannot be opened.
bool OpenRunEvents(const std::string& path, const std::string& station, const std::string& profile,
                   std::string* error);
void CloseRunEvents();
void EventAttempt(std::uint32_t attempt, std::uint32_t limit);
// Start, stages, progress (at most every 1 % or 250 ms, and its last), module lost, and
// "module" (the identity read on the AT port, before or after).
void EventRunNote(const update::RunNote& note);
// The run's last event: its outcome's name (update/outcomes.h) and the exit code of `update`,
// the revisions before and after, the expected one, and the reason of a failure (null when not
// known). `station` names the run when the stations' parent writes it for a child that could
// not: then only the outcome and exit code are known.
void EventRunEnd(const char* outcome, int exit_code, const std::string& station = "");
// A radio or kernel control that failed: `control_failed` with device, action, error, reason
// and the adapter program's last line.
void EventControlFailed(const device::ControlFailure& failure);
// Those last four fields, for the run_end event and the run's record.
void RunEndFields(const update::RunFacts& facts, nlohmann::ordered_json* event);
// "signer": the trusted key that signed the payload set, {"fingerprint", "user_id"}, or null
// (run_start and the record).
void SignerField(nlohmann::ordered_json* object);
// A line that is already an event (a station's), written as it is.
void WriteEventLine(const std::string& line);

// --record FILE: one JSON object per run, appended (O_APPEND) and flushed in one write at the
// run's end, so stations sharing the file never mix their lines. Opened before the run, when
// its wall-clock start is taken: false with a one-line *error when it cannot be opened.
bool OpenRunRecord(const std::string& path, std::string* error);
// The run's line (nothing when no record was opened); the file is closed. False with a one-line
// *error when the line could not be written whole.
bool WriteRunRecord(const std::string& station, const std::string& profile, const char* outcome, int exit_code,
                    std::string* error);

// The progress line is drawn only when stderr is a terminal; without a call to this, never.
void StartProgressLine();
void ProgressNote(const update::RunNote& note);
// Takes the live line off the terminal, so another line can be written to stderr.
void ClearProgressLine();

}  // namespace shell
