// `firmware-utility check`: every device the profile names, asked what an update will ask of
// it, through the same functions, and given back without a byte written to the module. The
// refusals an update makes before it opens anything come first. A serial port (as OpenDevice
// opened it) gets the module link's line settings and its own back; a modem-line reset is one
// real pulse through the update's own reset (harmless before an update, and said so); the
// radio driver and the kernel show that a control could be taken (a program that is
// executable, a service that accepts a connection), none is sent. One line per device, ok or
// the reason with its fix; exit 0 only when every device is ready. A module that answers on its
// AT port tells its identity and revision there (read-only AT queries); one that does not is a
// warning, and not ready when a revision is expected (the update could not verify it).
#include <cerrno>
#include <cstdio>
#include <string>

#include "device/radio.h"
#include "platform/platform.h"
#include "shell/cli.h"
#include "update/cechat.h"
#include "update/identity.h"
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
constexpr char LineEnd[] = "\r\n";
constexpr char RefusalPrefix[] = "Update refused: ";

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

// Why `device` did not open, without the "DEVICE (PATH): " its explanation starts with: the
// line already shows both.
std::string OpenProblem(const char* device) {
    std::string problem = platform::ExplainOpenFailure(device, platform::GetLastError());
    const std::size_t reason = problem.find("): ");
    if (reason != std::string::npos) problem.erase(0, reason + 3);
    return problem;
}

void Report(const std::string& device, const std::string& path, const std::string& problem) {
    std::printf("%-16s %-40s %s\n", device.c_str(), path.c_str(), problem.empty() ? Ready : problem.c_str());
}

// What the module says on its AT port, on one line of its own. False when it gave no revision
// although one is expected: the update could not verify its work.
bool ReportModule(const std::string& at_path) {
    update::ModuleIdentity identity;
    const update::AtRead read = update::ReadModuleIdentity(AtAnswerWaitMs, &identity);
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

// Whether an update goes on past the refusals it makes before it opens anything; false with
// the refusal in the last-error text.
bool RunAllowed() {
    const char* refused = update::RunRefusal.load();
    if (refused == nullptr) return true;
    std::string text = refused;
    if (text.rfind(RefusalPrefix, 0) == 0) text.erase(0, sizeof RefusalPrefix - 1);
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, LineEnd) == 0) text.erase(text.size() - 2);
    platform::SetLastError(EPERM, "refused: " + text);
    return false;
}

}  // namespace

int CheckDevices(const CliOptions&) {
    const platform::Profile profile = platform::CurrentProfile();
    std::printf("profile %s\n", platform::EscapeControls(profile.path).c_str());
    int not_ready = 0;
    if (!RunAllowed()) {
        Report(UpdateLine, "-", platform::LastErrorText());
        ++not_ready;
    }
    std::string at_path;  // the AT port's, once it proved ready
    bool pulse_port_ready = false;
    const std::string at_port = update::AtPortName();
    if (!profile.devices.count(ModuleLink)) {
        Report(ModuleLink, "-", "the module link has no entry in [devices]; add `COM1: = /dev/...`");
        ++not_ready;
    }
    for (const auto& [device, path] : profile.devices) {
        std::string problem;
        platform::Handle handle = platform::OpenDevice(device.c_str());
        if (handle == platform::InvalidHandle) {
            problem = OpenProblem(device.c_str());
        } else {
            // A kind with line settings is tried with the module link's; any other proved itself by opening.
            const bool serial = platform::DeviceProbe(device.c_str()) == platform::KindProbe::LineSettings;
            const bool ready = !serial || PortReady(handle, device);
            if (!ready) problem = platform::LastErrorText();
            platform::CloseHandle(handle);
            if (ready && serial && !ModemManagerAway(path, profile)) problem = platform::LastErrorText();
        }
        Report(device, path, problem);
        if (!problem.empty()) ++not_ready;
        if (device == at_port && problem.empty()) at_path = path;
        if (device == profile.reset.port && problem.empty()) pulse_port_ready = true;
    }
    if (!at_path.empty() && !ReportModule(at_path)) ++not_ready;
    // The pulse resets the module: after the AT port was read.
    if (platform::DeviceResetsByPulse(RadioDriver) && pulse_port_ready) {
        const std::string problem = PulseReady(profile.reset) ? std::string() : platform::LastErrorText();
        const std::string what = std::string(profile.reset.dtr ? "DTR" : "RTS") + " pulse on " + profile.reset.port;
        Report(ResetLine, what,
               problem.empty() ? "ok (one " + std::to_string(profile.reset.milliseconds) +
                                     " ms pulse sent: the module was reset, harmless before an update)"
                               : problem);
        if (!problem.empty()) ++not_ready;
    }
    if (!profile.kernel.empty()) {
        std::string problem;
        if (!platform::ProbeKernelService()) problem = OpenProblem(KernelEntry);
        Report(KernelEntry, profile.kernel, problem);
        if (!problem.empty()) ++not_ready;
    }
    std::fflush(stdout);
    if (not_ready != 0) {
        platform::SayOnStderr("check: %d device%s not ready", not_ready, not_ready == 1 ? "" : "s");
        return 1;
    }
    platform::SayOnStderr("check: every device is ready");
    return 0;
}

}  // namespace shell
