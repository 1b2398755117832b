// The glue that may start the built-in simulated handset: the one file of the shell built into
// the program only, beside main.cpp, since it links sim/. It holds the command line's steps
// that reach beyond the shell: the handset profile (a file, or that handset started inside this
// process), the module time-out, the update run's exit code, and the invocations served by
// other subsystems.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bridge/bridge.h"
#include "device/radio.h"
#include "device/reboot.h"
#include "platform/platform.h"
#include "shell/log.h"
#include "shell/cli.h"
#include "shell/run_report.h"
#include "sim/sim.h"
#include "update/cechat.h"
#include "update/payloads.h"
#include "update/update.h"
#include "update/verify.h"

namespace shell {
namespace {

// The handset profile the run uses, for its events.
std::string RunProfilePath;
// Where a profile is looked for after --profile and $FIRMWARE_UTILITY_PROFILE: under the user's
// configuration directory, then the system's.
constexpr char ConfigProfile[] = "firmware-utility/profile";
constexpr char SystemProfile[] = "/etc/firmware-utility/profile";

// The in-process handset goes away with the process, its directory with it.
void StopBuiltInHandset() { sim::Stop(); }

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
void ReportControlFailureOnStderr(const ControlFailure& failure) {
    ClearProgressLine();
    platform::SayOnStderr("%s", failure.explanation);
    EventControlFailed(failure);
}

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

// The run's steps go to the progress line and the events.
void ReportRunNote(const update::RunNote& note) {
    if (note.step == update::RunStep::ModuleRead && !note.after) ReportModuleBefore();
    ProgressNote(note);
    EventRunNote(note);
}

// The verdict of a run that got past the image, on one line.
void ReportVerdict(std::int32_t outcome) {
    const update::RunFacts facts = update::LastRunFacts();
    switch (outcome) {
        case update::OutcomeVerified:
            platform::SayOnStderr("verified: the module runs revision %s (before: %s)", facts.after.revision.c_str(),
                                  facts.before.revision.empty() ? "unknown" : facts.before.revision.c_str());
            break;
        case update::OutcomeRevisionMismatch:
        case update::OutcomeNotVerified:
            platform::SayOnStderr("%s: %s; no reboot was requested", OutcomeName(outcome),
                                  facts.reason.c_str());
            break;
        case update::OutcomeLineNoise:
            platform::SayOnStderr("line_noise: %s", facts.reason.c_str());
            break;
        case update::OutcomeAlreadyCurrent:
            platform::SayOnStderr("already_current: the module runs revision %s; nothing was written",
                                  facts.before.revision.c_str());
            break;
        case update::OutcomeConfirmed:
            platform::SayOnStderr("confirmed: the module accepted the image; the firmware running was "
                                  "not checked (%s)", facts.reason.c_str());
            break;
        default:
            break;
    }
}

// The simulated handsets of this process run the payload set's image as its revision.
void TellSimulatorTheSet() {
    const update::PayloadSet& set = update::CurrentPayloadSet();
    sim::KnownFirmware(set.sha256, set.revision);
}

int UseProfileFile(const std::string& path) {
    // The events and the record name the file wherever they are read from.
    std::error_code ignored;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ignored);
    RunProfilePath = absolute.empty() ? path : absolute.string();
    platform::Profile profile;
    if (!platform::LoadProfile(path, &profile)) {
        platform::SayOnStderr("%s", platform::LastErrorText().c_str());
        return ExitBadArguments;
    }
    platform::SetProfile(profile);
    return 0;
}

// --profile, else $FIRMWARE_UTILITY_PROFILE, else the first profile file that exists in the
// user's configuration and then the system's; empty when none does (the built-in handset).
std::string FindProfile(const CliOptions& options) {
    if (!options.profile.empty()) return options.profile;
    const char* from_environment = std::getenv("FIRMWARE_UTILITY_PROFILE");
    if (from_environment && *from_environment) return from_environment;
    std::vector<std::string> candidates;
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    // A relative $XDG_CONFIG_HOME is invalid and ignored, as the base directory rules say.
    if (config && config[0] == '/') {
        candidates.push_back(std::string(config) + "/" + ConfigProfile);
    } else if (home && *home) {
        candidates.push_back(std::string(home) + "/.config/" + ConfigProfile);
    }
    candidates.push_back(SystemProfile);
    for (const std::string& candidate : candidates) {
        if (!platform::PathExists(candidate)) continue;
        platform::SayOnStderr("using the profile %s", candidate.c_str());
        return candidate;
    }
    return {};
}

// `update` ends with the reason before any device opens; the window refuses each update
// command with it instead.
int RefuseRuns(const CliOptions& options, const std::string& reason) {
    if (options.invocation == Invocation::Update) {
        platform::SayOnStderr("%s; nothing was opened", reason.c_str());
        return ExitBadArguments;
    }
    static std::string pane_line;  // the first refusal stays: RunRefusal points into it
    if (update::RunRefusal.load() == nullptr) {
        pane_line = "Update refused: " + platform::EscapeControls(reason) + "\r\n";
        update::RunRefusal.store(pane_line.c_str());
    }
    return 0;
}

// Stand-in payloads are filler: only a simulated handset may be sent them.
int RefuseStandIns(const CliOptions& options) {
    const platform::Profile profile = platform::CurrentProfile();
    if (update::CurrentPayloadSet().source != update::PayloadSource::StandIn || profile.simulated) return 0;
    return RefuseRuns(options, profile.path +
                                   " is not a simulated handset, and this build's payloads are generated "
                                   "stand-ins, not firmware: give a real set with --firmware DIR (or "
                                   "$FIRMWARE_UTILITY_FIRMWARE), or build with -DFIRMWARE_DIR=DIR");
}

// A module that cannot be reset never enters its boot ROM: every attempt would wait in vain.
int RefuseWithoutReset(const CliOptions& options) {
    if (platform::CanResetModule()) return 0;
    return RefuseRuns(options, platform::CurrentProfile().path +
                                   " gives no way to reset the module: add a radio driver to [devices] "
                                   "(`RIL1: = /path/to/ril.sock`, a service, or `RIL1: = exec:/path/to/program`) "
                                   "or a modem-line pulse to [radio] (`reset = COM1: dtr 100`)");
}

// What follows a success needs its entry: without a reboot entry the default is keep, said on
// the pane at the end; --after reboot asked for without one is refused.
int SettleAfterRun(const CliOptions& options) {
    const platform::Profile profile = platform::CurrentProfile();
    update::NoRebootEntry.store(false);
    if (!profile.kernel.empty() || options.after != update::AfterRun::Reboot) return 0;
    if (!options.after_given) {
        update::AfterSuccess.store(update::AfterRun::Keep);
        update::NoRebootEntry.store(true);
        return 0;
    }
    return RefuseRuns(options, profile.path + " has no reboot entry, so --after reboot cannot be done: " +
                                   (profile.from_options ? "give --reboot exec:PROGRAM"
                                                         : "add `KernelIoControl = exec:/path/to/program` to [kernel]") +
                                   ", or --after keep or resume");
}

// An expected revision the payload set does not carry cannot be met by sending that set.
int RefuseForeignRevision(const CliOptions& options) {
    const std::string& version = update::CurrentPayloadSet().revision;
    if (options.expect_revision.empty() || version.empty() || update::RevisionMatches(version, options.expect_revision)) {
        return 0;
    }
    return RefuseRuns(options, "--expect-revision " + options.expect_revision + ": the payload set's version is " +
                                   version + ", so the module cannot run " + options.expect_revision + " after it");
}

// The window's title says what it works on: the handset and the payload set.
void NameWhatTheWindowUses() {
    const platform::Profile profile = platform::CurrentProfile();
    const update::PayloadSet& set = update::CurrentPayloadSet();
    const std::string handset = profile.simulated ? "simulated handset" : "profile " + profile.path;
    const std::string payloads = set.source == update::PayloadSource::Directory ? "set " + set.directory
                                 : set.source == update::PayloadSource::Embedded ? "embedded set"
                                                                                 : "built-in set";
    platform::SetScreenStatus(handset + ", " + payloads);
}

// The refusals a run is checked against once its profile is known, in order.
int RefuseImpossibleRuns(const CliOptions& options) {
    NameWhatTheWindowUses();
    if (int code = RefuseStandIns(options)) return code;
    if (int code = RefuseForeignRevision(options)) return code;
    if (int code = SettleAfterRun(options)) return code;
    if (device::ResetByHand.load()) return RefuseUnattendedReset(options);
    return RefuseWithoutReset(options);
}

// The run's last line on stderr: a simulated handset is never taken for a module, and the
// payloads are named with their image's digest.
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

}  // namespace

int ApplyRunOptions(const CliOptions& options) {
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

    if (!options.port.empty()) {
        if (int code = UsePortProfile(options)) return code;
        RunProfilePath = platform::CurrentProfile().path;
        return RefuseImpossibleRuns(options);
    }
    const std::string path = FindProfile(options);
    if (!path.empty()) {
        if (int code = UseProfileFile(path)) return code;
        return RefuseImpossibleRuns(options);
    }

    std::string error;
    TellSimulatorTheSet();
    std::string built_in = sim::Start({}, &error);
    if (built_in.empty()) {
        platform::SayOnStderr("%s", error.c_str());
        return 1;
    }
    std::atexit(StopBuiltInHandset);
    platform::SayOnStderr("no profile given or found, using the simulated handset: %s",
                          built_in.c_str());
    // A host program talks through the bridge on the far ends of the simulated peer ports.
    if (options.invocation == Invocation::Bridge && sim::Current()) {
        for (const sim::Peer& peer : sim::Current()->Peers()) {
            platform::SayOnStderr("%s %s (%s far end)", peer.device.c_str(),
                                  peer.far_path.c_str(), peer.name.c_str());
        }
    }
    if (int code = UseProfileFile(built_in)) return code;
    return RefuseImpossibleRuns(options);
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

void ReportInterruptedUpdate() {
    if (!update::UpdateRunning.load()) return;
    ClearProgressLine();
    platform::SayOnStderr("the update was interrupted; the module may need another update");
}

// 0 only when the module runs the expected image (or confirmed one that could not be checked,
// or already ran it); a window closed before the run ended (Ctrl+C) did not succeed.
int FinishUpdateRun(const CliOptions& options, int window_exit_code) {
    // A run that ended is let finish its last steps; one cut short by Ctrl+C ends with the process.
    update::WaitForRunThread(2000);
    const bool ended = !update::UpdateRunning.load();
    const std::int32_t outcome = ended ? update::UpdateOutcome.load() : update::OutcomeInterrupted;
    int code = window_exit_code != 0 ? window_exit_code : update::OutcomeSucceeded(outcome) ? 0 : 1;
    ClearProgressLine();
    ReportVerdict(outcome);
    if (code == 0 && device::RebootFailed.load()) {
        platform::SayOnStderr("the module took the image, but the handset's reboot request "
                              "failed (above); reboot it by hand");
    }
    EventRunEnd(OutcomeName(outcome), code);
    CloseRunEvents();
    std::string error;  // a line that could not be written is said and fails the exit code there
    WriteRunRecord(options.station, RunProfilePath, OutcomeName(outcome), code, &error);
    SayHandsetAndPayloads();
    return code;
}

int FinishBridgeRun(const CliOptions&, int window_exit_code) {
    if (window_exit_code != 0) return window_exit_code;
    return bridge::StartRefused.load() || bridge::EndedByLostPort.load() ? 1 : 0;
}

int RunSimulatedHandset(const CliOptions&) {
    TellSimulatorTheSet();
    return sim::RunForeground();
}

int ListPayloads(const CliOptions&) { return update::ListPayloads(); }

}  // namespace shell
