// Before a run: the options the update, the bridge and the observers read, and for `update` its
// events, its record and the observers that report it.
#include <string>

#include "bridge/bridge.h"
#include "platform/platform.h"
#include "shell/run_report.h"
#include "shell/run_steps.h"
#include "update/cechat.h"
#include "update/verify.h"

namespace shell {

void StoreRunOptions(const CliOptions& options) {
    update::ModuleTimeoutMs.store(options.module_timeout_seconds * 1000u);
    update::ShareHeldLine.store(options.force ? 1 : 0);
    update::MaxAttempts.store(options.attempts);
    if (options.invocation == Invocation::Update || options.invocation == Invocation::Bridge) {
        OpenFailureObserver.store(ReportOpenFailureOnStderr);
    }
    if (options.invocation != Invocation::Window) platform::SetPortNoteHandler(ReportPortNote);
    if (options.invocation == Invocation::Update) ControlFailureObserver.store(ReportControlFailureOnStderr);
    if (options.invocation == Invocation::Bridge) {
        bridge::CloseWindowIfNotStarted.store(1);
        bridge::EndOnLostPort.store(1);
        bridge::ReopenLostPort.store(options.reopen ? 1 : 0);
    }
    update::VerifyTimeoutMs.store(options.verify_timeout_seconds * 1000u);
    update::ExpectRevisionOption = options.expect_revision;
    update::ExpectRevisionMatch.store(options.expect_revision_match);
    update::SkipCurrent.store(options.skip_current);
    update::AfterSuccess.store(options.after);
}

int PrepareUpdateRun(const CliOptions& options) {
    if (!options.events.empty()) {
        std::string error;
        if (!OpenRunEvents(options.events, options.station, RunProfilePath, &error)) {
            platform::SayOnStderr("%s", error.c_str());
            return ExitBadArguments;
        }
        if (options.events == "-") platform::HeadlessTextToStderr();
    }
    if (!options.record.empty()) {
        std::string error;
        if (!OpenRunRecord(options.record, &error)) {
            platform::SayOnStderr("%s", error.c_str());
            return ExitBadArguments;
        }
    }
    StartProgressLine();
    update::CloseWindowAfterRun.store(1);
    update::AttemptObserver.store(ReportAttempt);
    update::RunObserver.store(ReportRunNote);
    return 0;
}

}  // namespace shell
