// The table of device kinds and the answers the tool asks of it. See platform/devices/kinds.h.
#include "platform/devices/kinds.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "platform/devices/adapter.h"
#include "platform/devices/devices.h"
#include "platform/devices/net_address.h"
#include "platform/devices/ports.h"

namespace platform {
namespace {

constexpr char RadioDriver[] = "RIL1:";
constexpr char Rfc2217Scheme[] = "rfc2217://";

bool StartsWith(const std::string& value, const char* prefix) {
    return value.compare(0, std::strlen(prefix), prefix) == 0;
}

// Whether `path` is, on disk now, a node of type `type` (S_IFCHR, S_IFSOCK).
bool NodeIs(const std::string& path, mode_t type) {
    struct stat info {};
    return !path.empty() && ::stat(path.c_str(), &info) == 0 && (info.st_mode & S_IFMT) == type;
}

// ---- recognisers, in the table's order
bool IsPulse(const KindQuery& q) {
    return q.profile != nullptr && q.profile->reset.milliseconds != 0 && q.device == RadioDriver;
}
bool IsProgram(const KindQuery& q) { return StartsWith(q.value, internal::ProgramPrefix); }
bool IsIdentity(const KindQuery& q) { return internal::IsIdentityValue(q.value); }
bool IsRfc2217(const KindQuery& q) { return internal::IsNetworkPath(q.value) && StartsWith(q.value, Rfc2217Scheme); }
// tcp:// and any other scheme (its check refuses an unknown one).
bool IsOtherNetwork(const KindQuery& q) { return internal::IsNetworkPath(q.value); }
// By text any other value is a path, read as a tty; on disk a character device.
bool IsTty(const KindQuery& q) { return q.profile == nullptr || NodeIs(q.value, S_IFCHR); }
bool IsService(const KindQuery& q) { return q.profile != nullptr && NodeIs(q.value, S_IFSOCK); }

// ---- opens
Handle OpenPort(const std::string&, const std::string& value, const Profile&) {
    return internal::OpenSerialPort(value.c_str());
}
Handle OpenSocket(const std::string&, const std::string& value, const Profile&) {
    return internal::OpenService(value.c_str());
}
Handle OpenProgram(const std::string& device, const std::string& value, const Profile& profile) {
    if (device != RadioDriver) {  // a serial port cannot be a program: no such device
        SetLastError(ENOENT);
        return InvalidHandle;
    }
    return internal::OpenAdapter(device, value, profile);
}

// ---- claims
bool ClaimValue(const std::string& value, std::string* key) {
    *key = value;
    return true;
}
// A port named by identity is claimed as the node it has now, as a run naming that node would.
bool ClaimNode(const std::string& value, std::string* key) { return ResolvePortPath(value, key); }

constexpr std::uint32_t SerialLine = KindLineSettings | KindModemLines;

// Columns: name, recognised, profile check, open, failed open explained, check's probe, claim
// key, can come back, controls.
constexpr DeviceKind Kinds[] = {
    {"pulse", IsPulse, nullptr, internal::OpenAdapter, internal::ExplainValueOpen, KindProbe::Pulse, nullptr, false,
     KindResetPulse},
    {"program", IsProgram, internal::CheckProgramEntry, OpenProgram, internal::ExplainProgramOpen, KindProbe::Open,
     nullptr, false, KindProgramControls},
    {"udev", IsIdentity, internal::CheckIdentityEntry, internal::OpenIdentityPort, internal::ExplainIdentityOpen,
     KindProbe::LineSettings, ClaimNode, true, SerialLine},
    {"rfc2217", IsRfc2217, internal::CheckNetworkEntry, OpenPort, internal::ExplainNetworkOpen,
     KindProbe::LineSettings, ClaimValue, false, SerialLine},
    // Raw TCP keeps its line settings locally and has no modem lines, as a pty.
    {"tcp", IsOtherNetwork, internal::CheckNetworkEntry, OpenPort, internal::ExplainNetworkOpen,
     KindProbe::LineSettings, ClaimValue, false, KindLineSettings},
    {"tty", IsTty, internal::CheckPathEntry, OpenPort, internal::ExplainPathOpen, KindProbe::LineSettings, ClaimValue,
     false, SerialLine},
    {"service", IsService, internal::CheckPathEntry, OpenSocket, internal::ExplainPathOpen, KindProbe::Open, ClaimValue,
     false, KindServiceControls},
};

const DeviceKind* Scan(const KindQuery& query) {
    for (const DeviceKind& kind : Kinds) {
        if (kind.recognise(query)) return &kind;
    }
    return nullptr;
}

// The current profile's entry of `device` ("" when it has none), by its text.
const DeviceKind* KindOfEntry(const char* device) {
    std::string value;
    if (device == nullptr || !ProfileDevicePath(device, &value)) return nullptr;
    return KindOfValue(value);
}

}  // namespace

std::span<const DeviceKind> DeviceKinds() { return Kinds; }

const DeviceKind* KindOfValue(const std::string& value) {
    const std::string none;
    return Scan({none, value, nullptr});
}

const DeviceKind* KindOfDevice(const char* device) {
    if (device == nullptr || *device == '\0') return nullptr;
    const Profile profile = CurrentProfile();
    std::string name;
    const std::string value = internal::DeviceEntry(profile, device, &name);
    return internal::KindAtOpen(name, value, profile);
}

bool ValueNamesProgram(const std::string& value) {
    return (KindOfValue(value)->controls & KindProgramControls) != 0;
}

bool DeviceRunsProgram(const char* device) {
    const DeviceKind* kind = KindOfEntry(device);
    return kind != nullptr && (kind->controls & KindProgramControls) != 0;
}

bool DeviceCanComeBack(const char* device) {
    const DeviceKind* kind = KindOfEntry(device);
    return kind != nullptr && kind->comes_back;
}

KindProbe DeviceProbe(const char* device) {
    const DeviceKind* kind = KindOfDevice(device);
    return kind != nullptr ? kind->probe : KindProbe::Open;
}

bool DeviceClaimKey(const char* device, std::string* key) {
    std::string value;
    if (device == nullptr || !ProfileDevicePath(device, &value)) return false;
    const DeviceKind* kind = KindOfValue(value);
    return kind->claim != nullptr && kind->claim(value, key);
}

namespace internal {

bool IsIdentityValue(const std::string& value) { return StartsWith(value, IdentityPrefix); }

const DeviceKind* KindAtOpen(const std::string& device, const std::string& value, const Profile& profile) {
    return Scan({device, value, &profile});
}

}  // namespace internal
}  // namespace platform
