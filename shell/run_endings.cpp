// After the window of `update` or `bridge` has closed: the run's exit code from its outcome
// (update/outcomes.h), the verdict, the events' last line, the record, and what was updated.
#include <string>

#include "bridge/bridge.h"
#include "device/reboot.h"
#include "platform/platform.h"
#include "shell/run_context.h"
#include "shell/run_report.h"
#include "shell/run_steps.h"
#include "update/update.h"

namespace shell {

void ReportInterruptedUpdate() {
    if (!Run().update.state.running.load()) return;
    ClearProgressLine();
    platform::SayOnStderr("the update was interrupted; the module may need another update");
}

// The outcome's exit code: 0 only when the module runs the expected image (or confirmed one that
// could not be checked, or already ran it); a window closed before the run ended (Ctrl+C) did
// not succeed.
int FinishUpdateRun(const CliOptions& options, int window_exit_code) {
    // A run that ended is let finish its last steps; one cut short by Ctrl+C ends with the process.
    update::WaitForRunThread(2000);
    const bool ended = !Run().update.state.running.load();
    const std::int32_t outcome = ended ? Run().update.state.outcome.load() : update::OutcomeInterrupted;
    int code = window_exit_code != 0 ? window_exit_code : update::OutcomeExitCode(outcome);
    ClearProgressLine();
    ReportVerdict(outcome);
    if (code == 0 && Run().controls.reboot_failed.load()) {
        platform::SayOnStderr("the module took the image, but the handset's reboot request "
                              "failed (above); reboot it by hand");
    }
    EventRunEnd(update::OutcomeName(outcome), code);
    CloseRunEvents();
    std::string error;  // a line that could not be written is said and fails the exit code there
    WriteRunRecord(options.station, Run().profile_path, update::OutcomeName(outcome), code, &error);
    SayHandsetAndPayloads();
    return code;
}

int FinishBridgeRun(const CliOptions&, int window_exit_code) {
    if (window_exit_code != 0) return window_exit_code;
    return Run().bridge.start_refused.load() || Run().bridge.ended_by_lost_port.load() ? 1 : 0;
}

}  // namespace shell
