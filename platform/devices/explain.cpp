// Explanations of failed opens. They look at the path as the system sees it now (its kind, its
// owning group) and, for a busy port, at /proc to find who holds it.
#include "platform/devices/explain.h"

#include <grp.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include "platform/base/system.h"
#include "platform/devices/adapter.h"
#include "platform/devices/devices.h"
#include "platform/devices/kinds.h"
#include "platform/devices/net_port.h"
#include "platform/devices/ports.h"
#include "platform/devices/program.h"
#include "platform/devices/profile.h"

namespace platform {
namespace {

constexpr const char* PortsHint = "see `firmware-utility ports` for the serial ports of this machine";
constexpr std::size_t GroupBufferSize = 4096;
constexpr const char* LocksTable = "/proc/locks";

using internal::UpperName;

std::string GroupName(gid_t gid) {
    std::vector<char> buffer(GroupBufferSize);
    struct group entry {};
    struct group* found = nullptr;
    if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found) return found->gr_name;
    return "gid " + std::to_string(gid);
}

// The process that holds an flock on the node (a user of the port: this tool locks what it
// opens), as /proc/locks lists it: "PID MAJOR:MINOR:INODE" of the node's file system, in hex;
// 0 when none does.
int NodeLocker(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return 0;
    char node[64];
    std::snprintf(node, sizeof node, " %02x:%02x:%lu ", major(info.st_dev), minor(info.st_dev),
                  static_cast<unsigned long>(info.st_ino));
    std::ifstream locks(LocksTable);
    for (std::string line; std::getline(locks, line);) {
        const std::size_t at = (line + " ").find(node);
        if (at == std::string::npos) continue;
        const std::size_t pid_at = line.rfind(' ', at == 0 ? 0 : at - 1);
        const int pid = std::atoi(line.c_str() + (pid_at == std::string::npos ? 0 : pid_at + 1));
        return pid > 0 ? pid : -1;  // locked, by a process not named
    }
    return 0;
}

// A pty slave that only the owner of its far end holds, yet refuses to open, is in exclusive
// mode (TIOCEXCL) left by a program that ended without giving it back (one killed): the mode
// lasts until the slave's last close, and the far end's owner keeps it open. A lock on the node
// means a user holds it instead.
std::string LeftExclusive(const std::string& path, const std::vector<PortHolder>& holders) {
    if (holders.empty() || NodeLocker(path) != 0) return {};
    for (const PortHolder& holder : holders) {
        if (!holder.far_end || holder.pid == ::getpid()) return {};
    }
    const PortHolder& owner = holders[0];
    const std::string named = std::to_string(owner.pid) + " (" + owner.name + ")";
    return "left in exclusive mode by a program that ended without giving the port back (killed); process " +
           named + " only owns its far end and keeps " + path + " open, so the mode stays: restart process " +
           std::to_string(owner.pid) + ", or let root take the port once and give it back (`sudo firmware-utility " +
           "update` with the same profile)";
}

// The processes that have `path` open, as far as this user may look ("1234 (picocom)").
std::vector<std::string> Holders(const std::vector<PortHolder>& found) {
    std::vector<std::string> holders;
    for (const PortHolder& holder : found) {
        std::string text = std::to_string(holder.pid) + " (" + holder.name + ")";
        if (holder.pid == ::getpid()) text += ", this program";
        holders.push_back(text);
    }
    return holders;
}

// What a path that is no serial port is, or "" for a character device that might be one.
std::string NotAPort(const std::string& path, const struct stat& info) {
    if (path == "/dev/null") return "/dev/null is not a serial port";
    if (S_ISDIR(info.st_mode)) return "a directory, not a serial port";
    if (S_ISFIFO(info.st_mode)) return "a FIFO, not a serial port";
    if (S_ISREG(info.st_mode)) return "a regular file, not a serial port";
    if (S_ISBLK(info.st_mode)) return "a block device, not a serial port";
    if (S_ISCHR(info.st_mode)) return "a character device that is not a serial port (no tty)";
    return {};
}

std::string Fix(const std::string& path, bool program, std::uint32_t error) {
    struct stat info {};
    bool exists = ::stat(path.c_str(), &info) == 0;
    switch (error) {
    case ENOENT:
        if (program) return "the program does not exist; fix the exec: entry of the profile";
        return exists ? "the device vanished; " + std::string(PortsHint) : "no such device; " + std::string(PortsHint);
    case EACCES:
    case EPERM:
        if (program) return "the program is not an executable file; `chmod +x " + path + "`";
        if (!exists) return "a directory on the way is not open to this user";
        return "the node belongs to group " + GroupName(info.st_gid) + "; join it with `sudo usermod -aG " +
               GroupName(info.st_gid) + " $USER`, then log in again";
    case EBUSY: {
        bool unknown = false;
        const std::vector<PortHolder> found = FindPortHolders(path, &unknown);
        std::string exclusive = LeftExclusive(path, found);
        if (!exclusive.empty()) return exclusive;
        // A pty's far end is the device itself (a simulated handset), not one of its users,
        // unless it holds the port's lock as well.
        const int locker = NodeLocker(path);
        std::vector<PortHolder> users;
        bool ours = true;  // every user is another run of this program
        const std::string own_name = ProcessCommandName(::getpid());
        for (const PortHolder& holder : found) {
            if (holder.far_end && holder.pid != ::getpid() && holder.pid != locker) continue;
            users.push_back(holder);
            ours = ours && holder.pid != ::getpid() && holder.name == own_name;
        }
        std::vector<std::string> holders = Holders(users);
        if (holders.empty())
            return "another process holds it (one this user cannot see: try `sudo fuser -v " + path + "`)";
        std::string text = "held by process " + holders[0];
        for (std::size_t i = 1; i < holders.size(); ++i) text += ", " + holders[i];
        return text + (ours ? "; another run of this program uses it: wait for it to end, or stop it"
                            : "; close that program first (a modem manager: inhibit it, see examples/)");
    }
    case ECONNREFUSED:
        return "nobody listens on that socket; start the service first";
    case ETIMEDOUT:
        return "the service or program did not answer within 5 s";
    default:
        break;
    }
    if (exists) {
        std::string kind = NotAPort(path, info);
        if (!kind.empty() && (error == EISDIR || error == ENODEV || error == ENOTTY || error == EINVAL ||
                              error == ENXIO || path == "/dev/null"))
            return kind + "; " + PortsHint;
    }
    return {};
}

}  // namespace

std::string ErrorText(std::uint32_t error) {
    const char* text = ::strerrordesc_np(static_cast<int>(error));
    return text ? text : "error " + std::to_string(error);
}

OpenFailureText ExplainOpenFailureParts(const char* device, std::uint32_t error) {
    const std::string name = device ? device : "";
    const Profile profile = CurrentProfile();
    std::string upper;
    const std::string path = internal::DeviceEntry(profile, name.c_str(), &upper);
    if (!path.empty()) return internal::KindOfEntryText(upper, path)->explain(name, path, error);
    const std::string where = profile.path.empty() ? "" : " (" + profile.path + ")";
    if (upper == internal::KernelEntryName) {
        return {"", name + " has no entry in the profile's [kernel]" + where +
                        "; add `KernelIoControl = /path/to/kernel.sock` or `exec:/path/to/program`"};
    }
    if (upper == internal::RadioDriverName) {
        // The radio driver is a service or a program, never a serial port.
        return {"", name + " has no entry in the profile's [devices]" + where +
                        "; add `RIL1: = /path/to/ril.sock` (a service) or `RIL1: = exec:/path/to/program`"};
    }
    return {"", name + " has no entry in the profile's [devices]" + where + "; add `" + name + " = /dev/...`; " +
                    PortsHint};
}

std::string ExplainOpenFailure(const char* device, std::uint32_t error) {
    const OpenFailureText text = ExplainOpenFailureParts(device, error);
    return text.head.empty() ? text.reason : text.head + ": " + text.reason;
}

namespace internal {

OpenFailureText ExplainEntryOpen(const std::string& device, const std::string& value, std::uint32_t error) {
    return KindOfEntryText(device, value)->explain(device, value, error);
}

OpenFailureText ExplainPathOpen(const std::string& device, const std::string& value, std::uint32_t error) {
    const std::string fix = Fix(value, false, error);
    return {device + " (" + value + ")", ErrorText(error) + (fix.empty() ? "" : ": " + fix)};
}

OpenFailureText ExplainProgramOpen(const std::string& device, const std::string& value, std::uint32_t error) {
    std::vector<std::string> program;
    const bool split = SplitProgram(value, &program);
    const std::string shown = split ? program[0] : value;
    const std::string fix = Fix(shown, split, error);
    return {device + " (" + shown + ")", ErrorText(error) + (fix.empty() ? "" : ": " + fix)};
}

// Not found, or found more than once: the report names the candidates. Found: the node it
// stands for is explained, after the identity.
OpenFailureText ExplainIdentityOpen(const std::string& device, const std::string& value, std::uint32_t error) {
    std::string node;
    std::string report = LastErrorReason();  // the open's, before another resolution sets its own
    if (error == ENOENT || error == ENOTUNIQ || !ResolvePortPath(value, &node)) {
        if (error != ENOENT && error != ENOTUNIQ) report = LastErrorReason();
        if (report.empty()) report = ErrorText(error);  // it matched, then vanished
        return {device + " (" + value + ")", report + "; " + PortsHint};
    }
    const std::string fix = Fix(node, false, error);
    return {device + " (" + value + " at " + node + ")", ErrorText(error) + (fix.empty() ? "" : ": " + fix)};
}

OpenFailureText ExplainNetworkOpen(const std::string& device, const std::string& value, std::uint32_t error) {
    const std::string report = LastErrorReason();
    return {device + " (" + value + ")", ErrorText(error) + (report.empty() ? "" : ": " + report)};
}

}  // namespace internal

std::string NetworkSettingReport(const char* device) {
    const std::string given = LastErrorReason();
    std::string path;
    // Only a network port's exporter gives a reason beside the code.
    if (device == nullptr || !ProfileDevicePath(device, &path) || KindOfValue(path)->scheme == nullptr) return {};
    return given;
}

std::string ExplainControlFailure(const char* device, std::uint32_t code, std::uint32_t error,
                                  std::string* adapter_line) {
    adapter_line->clear();
    const std::string given = LastErrorReason();
    const std::string name = device ? device : "";
    const std::string action = internal::ControlActionName(code);
    const Profile profile = CurrentProfile();
    if (code == internal::RadioResetCode && DeviceResetsByPulse(device)) {
        std::string text = name + " (" + (profile.reset.dtr ? "DTR" : "RTS") + " pulse on " + profile.reset.port +
                           "): reset failed: " + ErrorText(error);
        if (error == ENOTTY || error == EINVAL) {
            text += profile.from_options
                        ? ": the port has no modem lines; give --reset exec:PROGRAM instead (see examples/gpio-reset.sh)"
                        : ": the port has no modem lines; reset the module through an exec: program for RIL1: instead "
                          "(see examples/gpio-reset.sh) and drop the [radio] reset";
        }
        return text;
    }
    std::string upper;
    const std::string path = internal::DeviceEntry(profile, name.c_str(), &upper);
    std::vector<std::string> program;
    if (DeviceRunsProgram(device) && SplitProgram(path, &program)) {
        // "exited with status 1; its last line: cannot open gpiochip0"
        std::string report = given.empty() ? ErrorText(error) : given;
        const std::size_t mark = report.find(internal::LastLineMark);
        if (mark != std::string::npos) *adapter_line = report.substr(mark + std::strlen(internal::LastLineMark));
        return name + " (" + program[0] + "): " + action + " failed: " + report;
    }
    std::string text = name + " (" + path + "): " + action + " failed: " + ErrorText(error);
    if (error == ETIMEDOUT) text += ": the service did not answer within 5 s";
    return text;
}

bool ControlFailsForGood(const char* device, std::uint32_t code, std::uint32_t error, bool opened) {
    // Errors of a device that is not there, is no device of its kind, or may not be used.
    constexpr std::uint32_t Lasting[] = {ENOTTY, EINVAL, ENOENT, ENODEV, ENXIO, EACCES, EPERM, EISDIR, ENOEXEC};
    bool lasting = false;
    for (std::uint32_t each : Lasting) lasting = lasting || error == each;
    if (!opened) return lasting;
    // Once open, a pulse reports the system's errors, and a program that cannot run at all fails
    // alike each time; a program's own status or a service's answer may differ next time.
    if (code == internal::RadioResetCode && DeviceResetsByPulse(device)) return lasting;
    return DeviceRunsProgram(device) && internal::ProgramCannotRun();
}

std::string ControlName(std::uint32_t code) { return internal::ControlActionName(code); }

bool CanResetModule() {
    std::string path;
    return DeviceResetsByPulse(internal::RadioDriverName) || ProfileDevicePath(internal::RadioDriverName, &path);
}

}  // namespace platform
