// The table of device kinds and the answers the tool asks of it. See platform/devices/kinds.h.
#include "platform/devices/kinds.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <string_view>

#include "platform/devices/adapter.h"
#include "platform/devices/devices.h"
#include "platform/devices/ports.h"

namespace platform {
namespace {

using internal::KernelEntryName;
using internal::RadioDriverName;

constexpr char SchemeMark[] = "://";
constexpr char Rfc2217Scheme[] = "rfc2217";
constexpr char TcpScheme[] = "tcp";

bool StartsWith(const std::string& value, const char* prefix) {
    return value.compare(0, std::strlen(prefix), prefix) == 0;
}

// Whether `path` is, on disk now, a node of type `type` (S_IFCHR, S_IFSOCK).
bool NodeIs(const std::string& path, mode_t type) {
    struct stat info {};
    return !path.empty() && ::stat(path.c_str(), &info) == 0 && (info.st_mode & S_IFMT) == type;
}

// The scheme of a value that names a network port, well-formed or not ("rfc2217" of
// "rfc2217://..."), else "": a name before a "://" that holds the value's first '/'.
std::string SchemeOf(const std::string& value) {
    const std::size_t mark = value.find(SchemeMark);
    if (mark == std::string::npos || mark == 0 || value.find('/') != mark + 1) return {};
    return value.substr(0, mark);
}

// ---- recognisers, in the table's order
bool IsPulse(const KindQuery& q) {
    return q.profile != nullptr && q.profile->reset.milliseconds != 0 && q.device == RadioDriverName;
}
bool IsProgram(const KindQuery& q) { return StartsWith(q.value, internal::ProgramPrefix); }
// The kernel is a service whatever else its value looks like.
bool IsKernel(const KindQuery& q) { return q.device == KernelEntryName; }
bool IsIdentity(const KindQuery& q) { return StartsWith(q.value, internal::IdentityPrefix); }
bool IsRfc2217(const KindQuery& q) { return SchemeOf(q.value) == Rfc2217Scheme; }
// tcp:// and any other scheme (its check refuses an unknown one).
bool IsOtherNetwork(const KindQuery& q) { return !SchemeOf(q.value).empty(); }
// By text a path is a tty, but the radio driver's a service; on disk a character device.
bool IsTty(const KindQuery& q) { return q.profile == nullptr ? q.device != RadioDriverName : NodeIs(q.value, S_IFCHR); }
bool IsService(const KindQuery& q) { return q.profile == nullptr || NodeIs(q.value, S_IFSOCK); }

// ---- opens
Handle NoSuchDevice() {
    SetLastError(ENOENT);
    return InvalidHandle;
}
Handle OpenPort(const std::string&, const std::string& value, const Profile&) {
    return internal::OpenSerialPort(value.c_str());
}
Handle OpenRemote(const std::string&, const std::string& value, const Profile&) {
    return internal::OpenRemotePort(value.c_str());
}
Handle OpenSocket(const std::string&, const std::string& value, const Profile&) {
    return internal::OpenService(value.c_str());
}
// The kernel is reached through KernelIoControl alone, and only the radio driver is a program.
Handle OpenKernel(const std::string&, const std::string&, const Profile&) { return NoSuchDevice(); }
Handle OpenProgram(const std::string& device, const std::string& value, const Profile&);
Handle OpenPulse(const std::string& device, const std::string& value, const Profile& profile);

// ---- claims
bool ClaimValue(const std::string& value, std::string* node) {
    *node = value;
    return true;
}

// Columns: name, recognised, scheme, profile check, open, failed open explained, check's probe,
// claim (the node now), can come back, line control, ready, one control.
constexpr DeviceKind Kinds[] = {
    {"pulse", IsPulse, nullptr, nullptr, OpenPulse, internal::ExplainEntryOpen, KindProbe::Open, nullptr, false,
     false, nullptr, nullptr},
    {"program", IsProgram, nullptr, internal::CheckProgramEntry, OpenProgram, internal::ExplainProgramOpen,
     KindProbe::Open, nullptr, false, false, internal::ProgramEntryReady, internal::RunProgramEntry},
    {"kernel", IsKernel, nullptr, internal::CheckPathEntry, OpenKernel, internal::ExplainPathOpen, KindProbe::Open,
     nullptr, false, false, internal::ServiceReady, internal::ServiceEntryControl},
    {"udev", IsIdentity, nullptr, internal::CheckIdentityEntry, internal::OpenIdentityPort,
     internal::ExplainIdentityOpen, KindProbe::LineSettings, internal::ResolveIdentity, true, true, nullptr, nullptr},
    {"rfc2217", IsRfc2217, Rfc2217Scheme, internal::CheckNetworkEntry, OpenRemote, internal::ExplainNetworkOpen,
     KindProbe::LineSettings, ClaimValue, false, true, nullptr, nullptr},
    // Raw TCP keeps its line settings here and has no modem lines, as a pty.
    {"tcp", IsOtherNetwork, TcpScheme, internal::CheckNetworkEntry, OpenRemote, internal::ExplainNetworkOpen,
     KindProbe::LineSettings, ClaimValue, false, false, nullptr, nullptr},
    {"tty", IsTty, nullptr, internal::CheckPathEntry, OpenPort, internal::ExplainPathOpen, KindProbe::LineSettings,
     ClaimValue, false, true, nullptr, nullptr},
    {"service", IsService, nullptr, internal::CheckPathEntry, OpenSocket, internal::ExplainPathOpen, KindProbe::Open,
     ClaimValue, false, false, internal::ServiceReady, internal::ServiceEntryControl},
};
constexpr const DeviceKind* PulseKind = &Kinds[0];
constexpr const DeviceKind* ProgramKind = &Kinds[1];
static_assert(std::string_view(Kinds[0].name) == "pulse" && std::string_view(Kinds[1].name) == "program");

const DeviceKind* Scan(const KindQuery& query) {
    for (const DeviceKind& kind : Kinds) {
        if (kind.recognise(query)) return &kind;
    }
    return nullptr;
}

Handle OpenProgram(const std::string& device, const std::string& value, const Profile&) {
    if (device != RadioDriverName) return NoSuchDevice();  // a port or the kernel is no program to open
    return internal::OpenAdapter(device, value, ProgramKind, nullptr);
}

// The pulse takes the reset; the other controls go to what the radio driver's entry is, if any.
Handle OpenPulse(const std::string& device, const std::string& value, const Profile& profile) {
    const DeviceKind* carrier = value.empty() ? nullptr : internal::KindOfEntryText(device, value);
    return internal::OpenAdapter(device, value, carrier, &profile);
}

// The current profile's entry of `device` (with the kernel's), by its text; null for none.
const DeviceKind* KindOfEntry(const char* device) {
    std::string name;
    const std::string value = internal::DeviceEntry(CurrentProfile(), device, &name);
    return value.empty() ? nullptr : internal::KindOfEntryText(name, value);
}

}  // namespace

std::span<const DeviceKind> DeviceKinds() { return Kinds; }

const DeviceKind* KindOfValue(const std::string& value) { return internal::KindOfEntryText({}, value); }

const DeviceKind* KindOfDevice(const char* device) {
    if (device == nullptr || *device == '\0') return nullptr;
    const Profile profile = CurrentProfile();
    std::string name;
    const std::string value = internal::DeviceEntry(profile, device, &name);
    return internal::KindAtOpen(name, value, profile);
}

bool ValueNamesProgram(const std::string& value) { return KindOfValue(value) == ProgramKind; }

bool DeviceRunsProgram(const char* device) { return KindOfEntry(device) == ProgramKind; }

bool DeviceResetsByPulse(const char* device) { return KindOfDevice(device) == PulseKind; }

bool DeviceCanComeBack(const char* device) {
    const DeviceKind* kind = KindOfEntry(device);
    return kind != nullptr && kind->comes_back;
}

KindProbe DeviceProbe(const char* device) {
    const DeviceKind* kind = KindOfDevice(device);
    return kind != nullptr ? kind->probe : KindProbe::Open;
}

bool DeviceClaimKey(const char* device, std::string* key) {
    const DeviceKind* kind = KindOfEntry(device);
    if (kind == nullptr || kind->claim == nullptr) return false;
    std::string name;
    return kind->claim(internal::DeviceEntry(CurrentProfile(), device, &name), key);
}

bool ResolvePortPath(const std::string& value, std::string* node) {
    const DeviceKind* kind = KindOfValue(value);
    if (kind->claim != nullptr) return kind->claim(value, node);
    *node = value;
    return true;
}

namespace internal {

const DeviceKind* KindAtOpen(const std::string& device, const std::string& value, const Profile& profile) {
    return Scan({device, value, &profile});
}

const DeviceKind* KindOfEntryText(const std::string& device, const std::string& value) {
    return Scan({device, value, nullptr});
}

const DeviceKind* KindOfScheme(const std::string& scheme) {
    for (const DeviceKind& kind : Kinds) {
        if (kind.scheme != nullptr && scheme == kind.scheme) return &kind;
    }
    return nullptr;
}

}  // namespace internal
}  // namespace platform
