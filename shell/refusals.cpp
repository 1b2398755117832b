// The runs refused before any device opens, each with its reason and what to do about it:
// `update` ends with it (exit 2), the window refuses every update command with it.
#include <string>

#include "device/radio.h"
#include "platform/platform.h"
#include "shell/run_steps.h"
#include "update/payloads.h"
#include "update/update.h"
#include "update/verify.h"

namespace shell {
namespace {

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

}  // namespace

int RefuseImpossibleRuns(const CliOptions& options) {
    if (int code = RefuseStandIns(options)) return code;
    if (int code = RefuseForeignRevision(options)) return code;
    if (int code = SettleAfterRun(options)) return code;
    if (device::ResetByHand.load()) return RefuseUnattendedReset(options);
    return RefuseWithoutReset(options);
}

}  // namespace shell
