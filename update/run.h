// Implemented in update/driver.cpp.
// One update run's context: what the command line asked of it (written before the window comes
// up, then only read), how it reports (the shell's side), and what it tells back (its state,
// written by the run and read by the shell). The program hands it to this layer once
// (UseUpdateRun) before any command runs; without one the update works silently with the
// initial options. The device controls the update uses have their own part (device/controls.h).
//
// A refusal or an explanation is a value: which device, its path, why, and what to do, with an
// adapter program's last line; nobody parses a text back apart.
//
// Index: Explanation ExplanationText UpdateOptions UpdateReport UpdateState UpdateRun UseUpdateRun
// UpdateRunOf Lines ReportOpenFailure HoldOpenFailures
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "update/outcomes.h"

namespace update {

struct Explanation {
    std::string device;        // "COM1:", "RIL1:", ...; "" for the run as a whole
    std::string path;          // what the profile gives for it; "" when none
    std::string reason;        // why it is not ready; "" when it is
    std::string fix;           // what to do about it; "" when nothing is known
    std::string adapter_line;  // an adapter program's last line; "" when none
    const char* joint = ": ";  // how a line puts the fix after the reason
    bool empty() const { return reason.empty(); }
};
// The reason, then the fix after its joint (or the reason alone), as a line says it.
std::string ExplanationText(const Explanation& explanation);

// What follows a run that succeeded (--after): the reboot request with the radio driver left
// suspended (the handset's way), the radio driver resumed and no reboot, or neither. A failed
// run is never followed by a reboot.
enum class AfterRun : std::int32_t { Reboot, Resume, Keep };
// --expect-revision-match: how the revision read is compared with the expected one.
enum class RevisionMatch : std::int32_t { Exact, Glob };
inline constexpr std::uint32_t DefaultAttempts = 10;
inline constexpr std::uint32_t DefaultModuleTimeoutMs = 10000;
inline constexpr std::uint32_t DefaultVerifyTimeoutSeconds = 30;

struct UpdateOptions {
    std::uint32_t max_attempts = DefaultAttempts;          // --attempts; 0: without limit
    std::uint32_t module_timeout_ms = DefaultModuleTimeoutMs;  // one wait for the module
    std::uint32_t verify_timeout_ms = DefaultVerifyTimeoutSeconds * 1000u;
    bool share_held_line = false;                          // --force
    bool skip_current = false;                             // --skip-current
    std::string expect_revision;                           // empty: the set's
    RevisionMatch expect_match = RevisionMatch::Exact;
    AfterRun after = AfterRun::Reboot;
    bool no_reboot_entry = false;  // after is Keep only because the profile has no reboot entry
    bool close_window_after_run = false;  // `firmware-utility update`: the run's end closes the window
    // Every update command is refused with this before any device opens; empty: none.
    Explanation refusal;
};

struct RunNote;
// The shell's side. Lines go to the pane (always, or unless the display mode is 0); attempts
// and notes to `update`'s progress line and events; an open failure's explanation to stderr;
// image_confirmed when the module took the image (the window stops coming to the front).
struct UpdateReport {
    platform::LineReport lines;
    void (*attempt)(std::uint32_t attempt, std::uint32_t limit) = nullptr;
    void (*note)(const RunNote& note) = nullptr;
    void (*image_confirmed)() = nullptr;
};

struct UpdateState {
    std::atomic<std::int32_t> running{0};             // 1 from StartUpdate until the run has ended
    std::atomic<std::int32_t> outcome{OutcomeNone};   // of the latest run
    std::atomic<bool> after_applied{false};  // the latest run applied its `after` (it succeeded)
    std::atomic<bool> image_confirmed{false};  // the module confirmed the image of this run
    std::atomic<std::uint32_t> noise_bytes{0};  // stage 3 of the latest run dropped these
};

struct UpdateRun {
    UpdateOptions options;
    UpdateReport report;
    UpdateState state;
};

void UseUpdateRun(UpdateRun* run);
UpdateRun& UpdateRunOf();

// The report's lines (platform/window/report.h says them).
const platform::LineReport& Lines();
// Explains a device that did not open on the trace and to the report; returns the explanation.
std::string ReportOpenFailure(const char* device, std::uint32_t error);
// While `last` is set, the calling thread's open failures go to the trace and into *last
// instead of the report: a caller retrying an open says only the failure it gives up on.
// Null ends the hold.
void HoldOpenFailures(std::string* last);

}  // namespace update
