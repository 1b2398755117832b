// `firmware-utility check`: the update's own first half. It walks the update's preflight steps
// (update/preflight.h) in their order, through the same functions, and stops before the first
// step that writes to the module: the refusal, the claim of the module port, the programs that
// share its line, every device of the profile opened as the update opens it (a serial port is
// given the module link's line settings and its own back; the radio driver and the kernel
// show that a control could be taken), the module's identity on its AT port (read-only AT
// queries), and one reset as every handshake attempt does it (harmless before an update, and
// said so). One line per step or device, ok or the reason with its fix; exit 0 only when every
// one is ready, which is when the update would reach the module.
#include <cerrno>
#include <cstdio>
#include <string>

#include "device/radio.h"
#include "platform/platform.h"
#include "shell/cli.h"
#include "shell/run_context.h"
#include "update/cechat.h"
#include "update/identity.h"
#include "update/preflight.h"
#include "update/update.h"
#include "update/verify.h"

namespace shell {
namespace {

constexpr const char* ModuleLink = update::ModuleLinkName;
constexpr char RadioDriver[] = "RIL1:";
constexpr char KernelEntry[] = "KernelIoControl";
constexpr char ModemManager[] = "ModemManager";
constexpr char MmIgnoreProperty[] = "ID_MM_DEVICE_IGNORE";
constexpr char Ready[] = "ok";
// How long the module is given to answer "AT" on its AT port.
constexpr std::uint32_t AtAnswerWaitMs = 2000;
constexpr std::uint32_t MillisecondsPerSecond = 1000;
constexpr char ModuleLine[] = "module";
constexpr char ResetLine[] = "reset";
constexpr char UpdateLine[] = "update";

// Whether a port that opened takes the module link's speed and framing (the rest of its own
// settings kept); false with the reason in the last-error text.
bool PortReady(platform::Handle port, const std::string& device) {
    platform::Dcb saved{};
    saved.length = sizeof saved;
    if (!platform::GetCommState(port, &saved)) {
        const std::uint32_t error = platform::GetLastError();
        platform::SetLastError(error, "its line settings cannot be read: " + platform::ErrorText(error));
        return false;
    }
    platform::Dcb link = saved;
    link.baud_rate = update::ModuleLineSettings.baud_rate;
    link.byte_size = update::ModuleLineSettings.byte_size;
    link.parity = update::ModuleLineSettings.parity;
    link.stop_bits = update::ModuleLineSettings.stop_bits;
    const bool applied = platform::SetCommState(port, &link);
    const std::uint32_t error = platform::GetLastError();
    // Given back when taken (an exporter that did not answer would keep this waiting again).
    if (applied) platform::SetCommState(port, &saved);
    if (!applied) {
        const std::string report = platform::NetworkSettingReport(device.c_str());
        platform::SetLastError(error, "it refuses the module link's line settings (115200 8N2): " +
                                          platform::ErrorText(error) + (report.empty() ? "" : ": " + report));
    }
    return applied;
}

// The modem-line reset, done once as every handshake attempt does it: through ResetModule, with
// the pulse's port held as the update holds its link. A port that cannot pulse (no modem lines,
// here or behind an exporter) fails exactly as the update's first attempt would. False with the
// reason in the last-error text.
bool PulseReady(const platform::ResetPulse& pulse) {
    platform::Handle port = platform::OpenDevice(pulse.port.c_str());
    const bool failed = device::ResetModule(platform::NoWindow) != 0;
    const std::uint32_t error = platform::GetLastError();
    if (port != platform::InvalidHandle) platform::CloseHandle(port);
    if (failed) platform::SetLastError(error, device::LastControlFault().explanation);
    return !failed;
}

// Whether ModemManager leaves a ready port alone; false with a note in the last-error text when
// it may still take it.
bool ModemManagerAway(const std::string& path, const platform::Profile& profile) {
    if (!platform::ProcessRunning(ModemManager) || platform::PortProperty(path, MmIgnoreProperty) == "1") return true;
    // A RIL1: program (modem-manager.sh) lets it go for the run.
    if (platform::DeviceRunsProgram(RadioDriver)) return true;
    platform::SetLastError(EBUSY, std::string("ModemManager runs and may open this port to probe it; install "
                                              "examples/70-firmware-utility.rules (ID_MM_DEVICE_IGNORE) or ") +
                                      (profile.from_options ? "give --reset exec:PROGRAM that stops it"
                                                            : "let a RIL1: program stop it"));
    return false;
}

// Why `device` did not open, without what was opened: the line already shows it.
std::string OpenProblem(const char* device) {
    return platform::ExplainOpenFailureParts(device, platform::GetLastError()).reason;
}

void Report(const std::string& device, const std::string& path, const std::string& problem) {
    std::printf("%-16s %-40s %s\n", device.c_str(), path.c_str(), problem.empty() ? Ready : problem.c_str());
}

// What the module says on its AT port, on one line of its own. False when it gave no revision
// although one is expected: the update could not verify its work.
bool ReportModule(const std::string& at_path, bool* answered) {
    update::ModuleIdentity identity;
    const update::AtRead read = update::ReadModuleIdentity(AtAnswerWaitMs, &identity);
    *answered = read == update::AtRead::Read;
    std::string said;
    if (read == update::AtRead::Read) {
        said = identity.manufacturer + " " + identity.model + ", revision " + identity.revision + ", serial " +
               identity.serial;
    } else if (read == update::AtRead::NoRevision) {
        said = "it answers AT but gives no readable revision";
    } else if (read == update::AtRead::Ambiguous) {
        said = "it answers AT but gives " + std::to_string(identity.revision_lines.size()) + " revision lines";
    } else {
        said = "no answer to AT within " + std::to_string(AtAnswerWaitMs / MillisecondsPerSecond) +
               " s (it may be off or in its boot ROM; an update resets it)";
    }
    const std::string expected = update::ExpectedRevision();
    const bool ready = read == update::AtRead::Read || expected.empty();
    if (!ready) said += "; not ready: the update expects revision " + expected + " and could not read it";
    Report(ModuleLine, at_path, said);
    return ready;
}

// What the steps learned for the steps after them.
struct CheckState {
    platform::Profile profile;
    std::string module_problem;  // the claim's or the sharers': COM1: is not opened then
    std::string at_path;         // the AT port's, once it proved ready
    bool reset_device_ready = false;
    bool module_answered = false;  // on its AT port, before the reset
    int not_ready = 0;
};

void Count(CheckState* state, const std::string& problem) {
    if (!problem.empty()) ++state->not_ready;
}

void CheckRefusal(CheckState* state) {
    const update::Explanation refusal = update::RefusalStep();
    if (refusal.empty()) return;
    Report(UpdateLine, "-", "refused: " + update::ExplanationText(refusal));
    ++state->not_ready;
}

// The claim is given back at once: `check` only asks whether the update would get it.
void CheckClaim(CheckState* state) {
    std::string claimed;
    const update::Explanation refusal = update::ClaimStep(&claimed);
    update::ReleaseClaim(&claimed);
    if (!refusal.empty()) state->module_problem = update::ExplanationText(refusal);
}

void CheckSharers(CheckState* state) {
    if (!state->module_problem.empty()) return;
    bool ours = false;
    const update::Explanation shared = update::SharersStep(&ours);
    if (!shared.empty()) state->module_problem = update::ExplanationText(shared);
}

// One device opened as the update opens it; "" when ready, else why not.
std::string DeviceProblem(const std::string& device, const std::string& path, const platform::Profile& profile) {
    platform::Handle handle = platform::OpenDevice(device.c_str());
    if (handle == platform::InvalidHandle) return OpenProblem(device.c_str());
    // A kind with line settings is tried with the module link's; any other proved itself by opening.
    const bool serial = platform::DeviceProbe(device.c_str()) == platform::KindProbe::LineSettings;
    const bool ready = !serial || PortReady(handle, device);
    std::string problem = ready ? "" : platform::LastErrorText();
    platform::CloseHandle(handle);
    if (ready && serial && !ModemManagerAway(path, profile)) problem = platform::LastErrorText();
    return problem;
}

void CheckOpens(CheckState* state) {
    const platform::Profile& profile = state->profile;
    const std::string at_port = update::AtPortName();
    if (!profile.devices.count(ModuleLink)) {
        Report(ModuleLink, "-", "the module link has no entry in [devices]; add `COM1: = /dev/...`");
        ++state->not_ready;
    }
    for (const auto& [device, path] : profile.devices) {
        const bool module_refused = device == ModuleLink && !state->module_problem.empty();
        const std::string problem = module_refused ? state->module_problem : DeviceProblem(device, path, profile);
        Report(device, path, problem);
        Count(state, problem);
        if (!problem.empty()) continue;
        if (device == at_port) state->at_path = path;
        if (device == profile.reset.port || device == RadioDriver) state->reset_device_ready = true;
    }
    if (!profile.kernel.empty()) {
        std::string problem;
        if (!platform::ProbeKernelService()) problem = OpenProblem(KernelEntry);
        Report(KernelEntry, profile.kernel, problem);
        Count(state, problem);
    }
}

void CheckIdentity(CheckState* state) {
    if (!state->at_path.empty() && !ReportModule(state->at_path, &state->module_answered)) ++state->not_ready;
}

// A module that answered before its reset is given the time an update gives it after the
// image to answer again, so that the module is left as it was found (and a second `check`
// finds it answering); what it did is said after the reset's "ok".
std::string AwaitModuleBack(const CheckState& state) {
    if (!state.module_answered) return "";
    const std::uint32_t bound = Run().update.options.verify_timeout_ms;
    update::ModuleIdentity identity;
    if (update::ReadModuleIdentity(bound, &identity) == update::AtRead::Read) return "; it answers on its AT port again";
    return "; it did not answer on its AT port again within " + std::to_string(bound / MillisecondsPerSecond) + " s";
}

// One reset, as each handshake attempt does it; after the AT port was read, and only when
// every step before it was ready: an update stops before its reset otherwise, and leaves the
// module alone. A reset by hand is the person's, asked for by the update itself.
void CheckReset(CheckState* state) {
    const platform::Profile& profile = state->profile;
    if (state->not_ready != 0) {
        Report(ResetLine, "-", "not tried: the update would stop before it");
        return;
    }
    if (Run().controls.reset_by_hand) {
        Report(ResetLine, "by hand", "ok (the update asks for the module's reset button at each attempt)");
        return;
    }
    if (!state->reset_device_ready) return;  // its device said why
    if (platform::DeviceResetsByPulse(RadioDriver)) {
        const std::string problem = PulseReady(profile.reset) ? std::string() : platform::LastErrorText();
        const std::string what = std::string(profile.reset.dtr ? "DTR" : "RTS") + " pulse on " + profile.reset.port;
        Report(ResetLine, what,
               problem.empty() ? "ok (one " + std::to_string(profile.reset.milliseconds) +
                                     " ms pulse sent: the module was reset, harmless before an update" +
                                     AwaitModuleBack(*state) + ")"
                               : problem);
        Count(state, problem);
        return;
    }
    bool lasting = false;
    const update::Explanation failure = update::ResetStep(&lasting);
    const std::string problem = failure.empty() ? "" : "the module could not be reset: " + failure.reason;
    Report(ResetLine, RadioDriver,
           problem.empty() ? "ok (the module was reset through the radio driver, harmless before an update" +
                                 AwaitModuleBack(*state) + ")"
                           : problem);
    Count(state, problem);
}

// The update's preflight steps, each with what `check` does for it; a step that writes to the
// module has no row, and ends the walk.
struct CheckRow {
    update::PreflightStep step;
    void (*check)(CheckState* state);
};
constexpr CheckRow CheckRows[] = {
    {update::PreflightStep::Refusal, CheckRefusal}, {update::PreflightStep::Claim, CheckClaim},
    {update::PreflightStep::Sharers, CheckSharers}, {update::PreflightStep::Open, CheckOpens},
    {update::PreflightStep::Identity, CheckIdentity}, {update::PreflightStep::Reset, CheckReset},
};

const CheckRow* FindCheck(update::PreflightStep step) {
    for (const CheckRow& row : CheckRows) {
        if (row.step == step) return &row;
    }
    return nullptr;
}

}  // namespace

int CheckDevices(const CliOptions&) {
    CheckState state;
    state.profile = platform::CurrentProfile();
    std::printf("profile %s\n", platform::EscapeControls(state.profile.path).c_str());
    for (const update::PreflightRow& step : update::PreflightSteps) {
        if (step.writes_to_module) break;
        if (const CheckRow* row = FindCheck(step.step)) row->check(&state);
    }
    std::fflush(stdout);
    if (state.not_ready != 0) {
        platform::SayOnStderr("check: %d device%s not ready", state.not_ready, state.not_ready == 1 ? "" : "s");
        return 1;
    }
    platform::SayOnStderr("check: every device is ready");
    return 0;
}

}  // namespace shell
