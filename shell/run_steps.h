// Implemented in shell/profile_choice.cpp, shell/refusals.cpp, shell/run_lines.cpp and
// shell/run_setup.cpp.
// The steps behind the command line's run hooks (shell/cli.h): ApplyRunOptions (in
// shell/handset_glue.cpp, the one that may start the built-in simulated handset) stores the
// options, picks the handset profile and refuses the runs that cannot succeed; PrepareUpdateRun
// opens the events and the record; FinishUpdateRun says the verdict (shell/run_endings.cpp).
// What `update` and `bridge` say on stderr as a run goes comes from the observers here.
//
// Index: UseProfileFile UseGivenProfile NameWhatTheWindowUses (profile_choice) |
// RefuseImpossibleRuns (refusals) | ReportAttempt ReportOpenFailureOnStderr ReportPortNote
// ReportControlFailureOnStderr ReportRunNote ReportVerdict SayHandsetAndPayloads (run_lines) |
// StoreRunOptions (run_setup)
#pragma once

#include <cstdint>
#include <string>

#include "shell/cli.h"
#include "device/controls.h"
#include "update/update.h"

namespace shell {

// Loads the profile file and makes it the platform's; 0, or ExitBadArguments after its line.
int UseProfileFile(const std::string& path);
// --port (the quick run's profile), else --profile, $FIRMWARE_UTILITY_PROFILE, or the first
// profile file in the user's configuration and then the system's (said on stderr). *given is
// false when there is none: the built-in simulated handset is the run's. 0, or the exit code
// after one line.
int UseGivenProfile(const CliOptions& options, bool* given);
// The window's title says what it works on: the handset and the payload set.
void NameWhatTheWindowUses();

// The refusals a run is checked against once its profile is known, in order: stand-in payloads
// for a real handset, an expected revision the set does not carry, --after reboot without a
// reboot entry, no way to reset the module. `update` ends with ExitBadArguments after one line;
// the window refuses its update commands with the reason instead (0).
int RefuseImpossibleRuns(const CliOptions& options);

// The observers of `update` and `bridge` (shell/log.h, update/update.h, the platform's port
// notes): each says one line on stderr, the progress line taken away first.
void ReportAttempt(std::uint32_t attempt, std::uint32_t limit);
void ReportOpenFailureOnStderr(const char* explanation);
void ReportPortNote(const char* note);
void ReportControlFailureOnStderr(const device::ControlFailure& failure);
void ReportRunNote(const update::RunNote& note);
// The verdict of a run that got past the image (update/outcomes.h); nothing for the others.
void ReportVerdict(std::int32_t outcome);
// The run's last line: the handset (a simulated one is never taken for a module) and the
// payload set with its image's digest.
void SayHandsetAndPayloads();

// The options the update, the bridge and the observers read, before the profile is chosen.
void StoreRunOptions(const CliOptions& options);

}  // namespace shell
