// Implemented in update/verify.cpp.
// The verdict of a run: which firmware the module runs, read on its AT port (update/identity.h)
// once before the handshake ("before") and once after the confirmation and the module's reset
// ("after", waiting up to the run's verify time-out for the new firmware to answer).
//
// The expected revision is --expect-revision, else the payload set's; a revision read matches
// when it equals the expected text, or, with --expect-revision-match glob, when the expected
// text as a shell pattern (fnmatch) matches the whole revision. A confirmed image then ends verified, revision_mismatch or
// not_verified; only a verified one (or a confirmed one that could not be checked: no expected
// revision, no AT port) goes on to the reboot. With --skip-current, a module whose "before"
// revision already matches ends the run at once, nothing written to it.
//
// Index: ExpectedRevision RevisionMatches RunFacts LastRunFacts SetRunReason | CheckBeforeRun
// VerifyAfterRun
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/platform.h"
#include "update/identity.h"
#include "update/run.h"

namespace update {

// The revision a run expects; "" when neither the option nor the payload set names one.
std::string ExpectedRevision();
bool RevisionMatches(const std::string& revision, const std::string& expected);

// What the latest run learned, for its end's reports.
struct RunFacts {
    std::string at_port;  // the AT port's device name; "" when the profile names none
    std::string expected;
    AtRead before_read = AtRead::NoPort;
    AtRead after_read = AtRead::NoPort;
    bool after_tried = false;
    ModuleIdentity before;
    ModuleIdentity after;
    std::string reason;  // why it failed or was not checked; "" when neither
};
RunFacts LastRunFacts();
// The reason of a run's failure, as its pane line says it (without the line end).
void SetRunReason(const std::string& reason);

// The run's start: forgets the last run's facts and reads "before". OutcomeNone to go on, else
// the outcome to end with at once: already current (SkipCurrent and a matching revision), or
// failed when the AT port did not open although a revision is expected.
std::int32_t CheckBeforeRun(platform::Hwnd window);
// After the module confirmed the image and was reset: reads "after" and says the verdict on the
// pane. Returns the outcome (update.h); the caller requests the reboot only for a success.
std::int32_t VerifyAfterRun(platform::Hwnd window);

}  // namespace update
