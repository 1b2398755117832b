// Before a run: the options the update, the bridge and the observers read, and for `update` its
// events, its record and the observers that report it.
#include <string>

#include "platform/platform.h"
#include "shell/run_context.h"
#include "shell/run_report.h"
#include "shell/run_steps.h"

namespace shell {

void StoreRunOptions(const CliOptions& options) {
    RunContext& run = Run();
    update::UpdateOptions& update = run.update.options;
    update.module_timeout_ms = options.module_timeout_seconds * 1000u;
    update.share_held_line = options.force;
    update.max_attempts = options.attempts;
    update.verify_timeout_ms = options.verify_timeout_seconds * 1000u;
    update.expect_revision = options.expect_revision;
    update.expect_match = options.expect_revision_match;
    update.skip_current = options.skip_current;
    update.after = options.after;
    if (options.invocation == Invocation::Update || options.invocation == Invocation::Bridge) {
        run.update.report.lines.open_failure = ReportOpenFailureOnStderr;
        run.bridge.report.lines.open_failure = ReportOpenFailureOnStderr;
        run.controls.report.lines.open_failure = ReportOpenFailureOnStderr;
    }
    if (options.invocation != Invocation::Window) platform::SetPortNoteHandler(ReportPortNote);
    if (options.invocation == Invocation::Update) run.controls.report.control_failure = ReportControlFailureOnStderr;
    if (options.invocation == Invocation::Bridge) {
        run.bridge.close_window_if_not_started = true;
        run.bridge.end_on_lost_port = true;
        run.bridge.reopen_lost_port = options.reopen;
    }
}

int PrepareUpdateRun(const CliOptions& options) {
    if (!options.events.empty()) {
        std::string error;
        if (!OpenRunEvents(options.events, options.station, Run().profile_path, &error)) {
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
    Run().update.options.close_window_after_run = true;
    Run().update.report.attempt = ReportAttempt;
    Run().update.report.note = ReportRunNote;
    return 0;
}

}  // namespace shell
