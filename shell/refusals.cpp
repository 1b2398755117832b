// The runs refused before any device opens, each with its reason and what to do about it:
// `update` ends with it (exit 2), the window refuses every update command with it.
#include <string>

#include "platform/platform.h"
#include "shell/run_context.h"
#include "shell/run_steps.h"
#include "update/payloads.h"
#include "update/update.h"
#include "update/verify.h"

namespace shell {
namespace {

// `update` ends with the reason before any device opens; the window refuses each update
// command with it instead, and `check` reports it. The first refusal stays.
int RefuseRuns(const CliOptions& options, const std::string& reason, const std::string& fix,
               const char* joint = ": ") {
    const update::Explanation refusal{"", platform::CurrentProfile().path, reason, fix, "", joint};
    if (options.invocation == Invocation::Update) {
        platform::SayOnStderr("%s; nothing was opened", update::ExplanationText(refusal).c_str());
        return ExitBadArguments;
    }
    if (Run().update.options.refusal.empty()) Run().update.options.refusal = refusal;
    return 0;
}

// Stand-in payloads are filler: only a simulated handset may be sent them.
int RefuseStandIns(const CliOptions& options) {
    const platform::Profile profile = platform::CurrentProfile();
    if (update::CurrentPayloadSet().source != update::PayloadSource::StandIn || profile.simulated) return 0;
    return RefuseRuns(options,
                      profile.path + " is not a simulated handset, and this build's payloads are generated "
                                     "stand-ins, not firmware",
                      "give a real set with --firmware DIR (or $FIRMWARE_UTILITY_FIRMWARE), or build with "
                      "-DFIRMWARE_DIR=DIR");
}

// A module that cannot be reset never enters its boot ROM: every attempt would wait in vain.
int RefuseWithoutReset(const CliOptions& options) {
    if (platform::CanResetModule()) return 0;
    return RefuseRuns(options, platform::CurrentProfile().path + " gives no way to reset the module",
                      "add a radio driver to [devices] (`RIL1: = /path/to/ril.sock`, a service, or "
                      "`RIL1: = exec:/path/to/program`) or a modem-line pulse to [radio] (`reset = COM1: dtr 100`)");
}

// What follows a success needs its entry: without a reboot entry the default is keep, said on
// the pane at the end; --after reboot asked for without one is refused.
int SettleAfterRun(const CliOptions& options) {
    const platform::Profile profile = platform::CurrentProfile();
    update::UpdateOptions& run = Run().update.options;
    run.no_reboot_entry = false;
    if (!profile.kernel.empty() || options.after != update::AfterRun::Reboot) return 0;
    if (!options.after_given) {
        run.after = update::AfterRun::Keep;
        run.no_reboot_entry = true;
        return 0;
    }
    return RefuseRuns(options, profile.path + " has no reboot entry, so --after reboot cannot be done",
                      std::string(profile.from_options ? "give --reboot exec:PROGRAM"
                                                       : "add `KernelIoControl = exec:/path/to/program` to [kernel]") +
                          ", or --after keep or resume");
}

// An expected revision the payload set does not carry cannot be met by sending that set.
int RefuseForeignRevision(const CliOptions& options) {
    const std::string& version = update::CurrentPayloadSet().revision;
    if (options.expect_revision.empty() || version.empty() || update::RevisionMatches(version, options.expect_revision)) {
        return 0;
    }
    return RefuseRuns(options,
                      "--expect-revision " + options.expect_revision + ": the payload set's version is " + version +
                          ", so the module cannot run " + options.expect_revision + " after it",
                      "");
}

// `--reset none` asks the person at the terminal to reset the module; without a terminal on
// stderr nobody is there to be asked (`check` answers as the update it stands for would).
int RefuseUnattendedReset(const CliOptions& options) {
    if (options.invocation == Invocation::Window || platform::StderrIsTerminal()) return 0;
    return RefuseRuns(options,
                      "--port " + options.port +
                          ": the module cannot be reset: with --reset none (the default) someone presses its reset "
                          "button when asked, and stderr is not a terminal",
                      "give --reset dtr|rts[:MS[:low|high]] or --reset exec:PROGRAM", "; ");
}

}  // namespace

int RefuseImpossibleRuns(const CliOptions& options) {
    if (int code = RefuseStandIns(options)) return code;
    if (int code = RefuseForeignRevision(options)) return code;
    if (int code = SettleAfterRun(options)) return code;
    if (Run().controls.reset_by_hand) return RefuseUnattendedReset(options);
    return RefuseWithoutReset(options);
}

}  // namespace shell
