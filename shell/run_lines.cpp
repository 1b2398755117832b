// What `update` and `bridge` say on stderr as a run goes: the attempts, devices that did not
// open, port notes, failed controls, the module as it was before, the verdict and the run's
// last line. The pane keeps its own texts.
#include <string>

#include "platform/platform.h"
#include "shell/run_context.h"
#include "shell/run_report.h"
#include "shell/run_steps.h"
#include "update/payloads.h"
#include "update/verify.h"

namespace shell {
namespace {

// The module as its AT port showed it before the run, said once on stderr.
void ReportModuleBefore() {
    const update::RunFacts facts = update::LastRunFacts();
    ClearProgressLine();
    if (facts.before_read == update::AtRead::Read) {
        platform::SayOnStderr("module on %s %s %s, revision %s, serial %s", facts.at_port.c_str(),
                              facts.before.manufacturer.c_str(), facts.before.model.c_str(),
                              facts.before.revision.c_str(), facts.before.serial.c_str());
    } else if (facts.before_read == update::AtRead::Silent || facts.before_read == update::AtRead::NoRevision ||
               facts.before_read == update::AtRead::Ambiguous) {
        platform::SayOnStderr("the module gave no revision on %s before the update", facts.at_port.c_str());
    }
}

}  // namespace

// `update` says on stderr what it waits for, attempt by attempt; the pane keeps its own texts.
void ReportAttempt(std::uint32_t attempt, std::uint32_t limit) {
    ClearProgressLine();
    EventAttempt(attempt, limit);
    if (limit == 0) {
        platform::SayOnStderr("waiting for the module on COM1: (attempt %u)", attempt);
    } else {
        platform::SayOnStderr("waiting for the module on COM1: (attempt %u of %u)", attempt, limit);
    }
}

// `update` and `bridge` say on stderr why a device did not open and what to do about it.
void ReportOpenFailureOnStderr(const char* explanation) {
    platform::SayOnStderr("%s", explanation);
}

// A port that serves otherwise than asked (an exporter that does not set the line) is said once.
void ReportPortNote(const char* note) {
    ClearProgressLine();
    platform::SayOnStderr("%s", note);
}

// A reset or reboot that failed is said where it happens, with the adapter's own words.
void ReportControlFailureOnStderr(const device::ControlFailure& failure) {
    ClearProgressLine();
    platform::SayOnStderr("%s", failure.explanation);
    EventControlFailed(failure);
}

// The run's steps go to the progress line and the events.
void ReportRunNote(const update::RunNote& note) {
    if (note.step == update::RunStep::ModuleRead && !note.after) ReportModuleBefore();
    ProgressNote(note);
    EventRunNote(note);
}

// "NAME: " and the outcome's verdict line, its %s filled from the run's facts.
void ReportVerdict(std::int32_t outcome) {
    const update::OutcomeRow* row = update::FindOutcome(outcome);
    if (row == nullptr || row->verdict == nullptr) return;
    const update::RunFacts facts = update::LastRunFacts();
    const std::string format = std::string("%s: ") + row->verdict;
    switch (row->fill) {
        case update::VerdictFill::Reason:
            platform::SayOnStderr(format.c_str(), row->name, facts.reason.c_str());
            break;
        case update::VerdictFill::RevisionBefore:
            platform::SayOnStderr(format.c_str(), row->name, facts.before.revision.c_str());
            break;
        case update::VerdictFill::RevisionAfterAndBefore:
            platform::SayOnStderr(format.c_str(), row->name, facts.after.revision.c_str(),
                                  facts.before.revision.empty() ? "unknown" : facts.before.revision.c_str());
            break;
    }
}

void SayHandsetAndPayloads() {
    const platform::Profile profile = platform::CurrentProfile();
    ClearProgressLine();
    if (profile.simulated) {
        platform::SayOnStderr("simulated handset %s (no real module was updated); %s",
                              profile.path.c_str(), update::PayloadSetLine().c_str());
    } else {
        platform::SayOnStderr("handset %s; %s", profile.path.c_str(),
                              update::PayloadSetLine().c_str());
    }
}

}  // namespace shell
