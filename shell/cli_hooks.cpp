// The command line's steps that reach beyond the shell: the handset profile (a file, or the
// built-in simulated handset started inside this process), the module time-out, the update
// run's exit code, and the invocations served by other subsystems.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bridge/bridge.h"
#include "platform/platform.h"
#include "shell/log.h"
#include "shell/cli.h"
#include "shell/run_report.h"
#include "sim/sim.h"
#include "update/cechat.h"
#include "update/payloads.h"
#include "update/update.h"

namespace shell {
namespace {

// The handset profile the run uses, for its events.
std::string RunProfilePath;

// The in-process handset goes away with the process, its directory with it.
void StopBuiltInHandset() { sim::Stop(); }

// `update` says on stderr what it waits for, attempt by attempt; the pane keeps its own texts.
void ReportAttempt(std::uint32_t attempt, std::uint32_t limit) {
    ClearProgressLine();
    EventAttempt(attempt, limit);
    if (limit == 0) {
        std::fprintf(stderr, "firmware-utility: waiting for the module on COM1: (attempt %u)\n", attempt);
    } else {
        std::fprintf(stderr, "firmware-utility: waiting for the module on COM1: (attempt %u of %u)\n", attempt,
                     limit);
    }
}

// `update` and `bridge` say on stderr why a device did not open and what to do about it.
void ReportOpenFailureOnStderr(const char* explanation) {
    std::fprintf(stderr, "firmware-utility: %s\n", explanation);
}

// The run's steps go to the progress line and the events.
void ReportRunNote(const update::RunNote& note) {
    ProgressNote(note);
    EventRunNote(note);
}

int UseProfileFile(const std::string& path) {
    RunProfilePath = path;
    platform::Profile profile;
    std::string error;
    if (!platform::LoadProfile(path, &profile, &error)) {
        std::fprintf(stderr, "firmware-utility: %s\n", error.c_str());
        return ExitBadArguments;
    }
    platform::SetProfile(profile);
    return 0;
}

}  // namespace

int ApplyRunOptions(const CliOptions& options) {
    update::ModuleTimeoutMs.store(options.module_timeout_seconds * 1000u);
    update::ShareHeldLine.store(options.force ? 1 : 0);
    update::MaxAttempts.store(options.attempts);
    if (options.invocation == Invocation::Update || options.invocation == Invocation::Bridge) {
        OpenFailureObserver.store(ReportOpenFailureOnStderr);
    }
    if (options.invocation == Invocation::Bridge) {
        bridge::CloseWindowIfNotStarted.store(1);
        bridge::EndOnLostPort.store(1);
        bridge::ReopenLostPort.store(options.reopen ? 1 : 0);
    }

    std::string path = options.profile;
    if (path.empty()) {
        const char* from_environment = std::getenv("FIRMWARE_UTILITY_PROFILE");
        if (from_environment) path = from_environment;
    }
    if (!path.empty()) return UseProfileFile(path);

    std::string error;
    std::string built_in = sim::Start({}, &error);
    if (built_in.empty()) {
        std::fprintf(stderr, "firmware-utility: %s\n", error.c_str());
        return 1;
    }
    std::atexit(StopBuiltInHandset);
    std::fprintf(stderr, "firmware-utility: no profile given, using the simulated handset: %s\n",
                 built_in.c_str());
    // A host program talks through the bridge on the far ends of the simulated peer ports.
    if (options.invocation == Invocation::Bridge && sim::Current()) {
        for (const sim::Peer& peer : sim::Current()->Peers()) {
            std::fprintf(stderr, "firmware-utility: %s %s (%s far end)\n", peer.device.c_str(),
                         peer.far_path.c_str(), peer.name.c_str());
        }
    }
    return UseProfileFile(built_in);
}

int PrepareUpdateRun(const CliOptions& options) {
    if (!options.events.empty()) {
        std::string error;
        if (!OpenRunEvents(options.events, options.station, RunProfilePath, &error)) {
            std::fprintf(stderr, "firmware-utility: %s\n", error.c_str());
            return ExitBadArguments;
        }
        if (options.events == "-") platform::HeadlessTextToStderr();
    }
    StartProgressLine();
    update::CloseWindowAfterRun.store(1);
    update::AttemptObserver.store(ReportAttempt);
    update::RunObserver.store(ReportRunNote);
    return 0;
}

void ReportInterruptedUpdate() {
    if (!update::UpdateRunning.load()) return;
    ClearProgressLine();
    std::fprintf(stderr, "firmware-utility: the update was interrupted; the module may need another update\n");
}

// 0 only when the module confirmed the image; a window closed before the run ended (Ctrl+C)
// is a run that did not succeed.
int FinishUpdateRun(const CliOptions&, int window_exit_code) {
    // A run that ended is let finish its last steps; one cut short by Ctrl+C ends with the process.
    update::WaitForRunThread(2000);
    const bool ended = !update::UpdateRunning.load();
    const std::int32_t outcome = ended ? update::UpdateOutcome.load() : update::OutcomeInterrupted;
    int code = window_exit_code != 0 ? window_exit_code : outcome == update::OutcomeConfirmed ? 0 : 1;
    EventRunEnd(OutcomeName(outcome), code);
    CloseRunEvents();
    return code;
}

int FinishBridgeRun(const CliOptions&, int window_exit_code) {
    if (window_exit_code != 0) return window_exit_code;
    return bridge::StartRefused.load() || bridge::EndedByLostPort.load() ? 1 : 0;
}

int RunSimulatedHandset(const CliOptions&) { return sim::RunForeground(); }

int ListPayloads(const CliOptions&) { return update::ListPayloads(); }

}  // namespace shell
