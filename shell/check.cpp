// `firmware-utility check`: every device the profile names, opened as the run would open it and
// given back without a byte written to the module. A serial port gets the module link's line
// settings and its own back; the reset pulse's port shows that it has modem lines (read, not
// changed); the radio
// driver and the kernel show that a control could be taken (a program that is executable, a
// service that accepts a connection), none is sent. One line per device, ok or the reason with
// its fix; exit 0 only when every device is ready. A module that answers on its AT port tells
// its identity and revision there (read-only AT queries); one that does not is no failure: it
// may be off, or in its boot ROM.
#include <cstdio>
#include <string>

#include "platform/platform.h"
#include "shell/cli.h"
#include "update/identity.h"

namespace shell {
namespace {

constexpr char ModuleLink[] = "COM1:";
constexpr char RadioDriver[] = "RIL1:";
constexpr char KernelEntry[] = "KernelIoControl";
constexpr char ModemManager[] = "ModemManager";
constexpr char MmIgnoreProperty[] = "ID_MM_DEVICE_IGNORE";
constexpr char Ready[] = "ok";
// The module link's line settings: 115,200 baud, 8 data bits, no parity, two stop bits.
constexpr std::uint32_t LinkBaud = 115200;
constexpr std::uint8_t LinkByteSize = 8;
constexpr std::uint8_t LinkStopBits = 2;
// How long the module is given to answer "AT" on its AT port.
constexpr std::uint32_t AtAnswerWaitMs = 2000;
constexpr std::uint32_t MillisecondsPerSecond = 1000;
constexpr char ModuleLine[] = "module";

bool IsSerialPort(const std::string& device) { return device.rfind("COM", 0) == 0; }

// The reason a port that opened is still not ready, or "" when it is.
std::string PortProblem(platform::Handle port, const std::string& device, const platform::Profile& profile) {
    platform::Dcb saved{};
    saved.length = sizeof saved;
    if (!platform::GetCommState(port, &saved)) return "its line settings cannot be read: " + platform::ErrorText(platform::GetLastError());
    platform::Dcb link = saved;
    link.baud_rate = LinkBaud;
    link.byte_size = LinkByteSize;
    link.parity = 0;
    link.stop_bits = LinkStopBits;
    const bool applied = platform::SetCommState(port, &link);
    const std::uint32_t error = platform::GetLastError();
    // Given back when taken (an exporter that did not answer would keep this waiting again).
    if (applied) platform::SetCommState(port, &saved);
    if (!applied) {
        const std::string report = platform::NetworkSettingReport(device.c_str());
        return "it refuses the module link's line settings (115200 8N2): " + platform::ErrorText(error) +
               (report.empty() ? "" : ": " + report);
    }
    const platform::ResetPulse& pulse = profile.reset;
    std::uint32_t lines = 0;
    if (pulse.milliseconds != 0 && pulse.port == device && !platform::GetCommModemStatus(port, &lines)) {
        return std::string("it has no ") + (pulse.dtr ? "DTR" : "RTS") + " line for the [radio] reset pulse (" +
               platform::ErrorText(platform::GetLastError()) +
               "); wire the module's reset to a port that has one, or reset it through a RIL1: program";
    }
    return {};
}

// A note on a ready port that ModemManager may still take, or "" when it will not.
std::string ModemManagerProblem(const std::string& path, const platform::Profile& profile) {
    if (!platform::ProcessRunning(ModemManager) || platform::PortProperty(path, MmIgnoreProperty) == "1") return {};
    // A RIL1: program (modem-manager.sh) lets it go for the run.
    auto radio = profile.devices.find(RadioDriver);
    if (radio != profile.devices.end() && radio->second.rfind(platform::ProgramPrefix, 0) == 0) return {};
    return "ModemManager runs and may open this port to probe it; install "
           "examples/70-firmware-utility.rules (ID_MM_DEVICE_IGNORE) or let a RIL1: program stop it";
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

// What the module says on its AT port, on one line of its own; never counted as not ready.
void ReportModule(const std::string& at_path) {
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
    Report(ModuleLine, at_path, said);
}

}  // namespace

int CheckDevices(const CliOptions&) {
    const platform::Profile profile = platform::CurrentProfile();
    std::printf("profile %s\n", platform::EscapeControls(profile.path).c_str());
    int not_ready = 0;
    std::string at_path;  // the AT port's, once it proved ready
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
            if (IsSerialPort(device)) problem = PortProblem(handle, device, profile);
            platform::CloseHandle(handle);
            if (problem.empty() && IsSerialPort(device)) problem = ModemManagerProblem(path, profile);
        }
        Report(device, path, problem);
        if (!problem.empty()) ++not_ready;
        if (device == at_port && problem.empty()) at_path = path;
    }
    if (!at_path.empty()) ReportModule(at_path);
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
