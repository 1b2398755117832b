// Implemented in platform/devices/devices.cpp, platform/devices/explain.cpp,
// platform/devices/kinds.cpp, platform/devices/profile.cpp, platform/devices/serial_port.cpp and
// platform/devices/service.cpp.
// What OpenDevice (platform/devices/devices.cpp) opens, and the pieces of each row of the kind
// table (platform/devices/kinds.h): the value forms, the profile checks, the opens and the
// explanations of a failed open.
//
// Index: ProgramPrefix IdentityPrefix UpperName DeviceEntry IsIdentityValue OpenSerialPort
// OpenService OpenIdentityPort KindAtOpen
// CheckProgramEntry CheckIdentityEntry CheckNetworkEntry CheckPathEntry ExplainValueOpen
// ExplainPathOpen ExplainProgramOpen ExplainIdentityOpen ExplainNetworkOpen
#pragma once

#include <cstdint>
#include <string>

#include "platform/base/system.h"
#include "platform/devices/profile.h"

namespace platform {
struct DeviceKind;
}

namespace platform::internal {

// The prefix of an entry that names a program rather than a socket.
inline constexpr const char* ProgramPrefix = "exec:";
// The prefix of a serial port named by its udev properties.
inline constexpr const char* IdentityPrefix = "udev:";

// A device name or profile key as the profile keeps it: ASCII letters upper-cased (profile.cpp).
std::string UpperName(std::string text);
// The profile's value for `device` (any case), "" when it has none; *name the device name as
// the profile keeps it (profile.cpp).
std::string DeviceEntry(const Profile& profile, const char* device, std::string* name);
// Whether a value names a serial port by identity ("udev:..."), the udev row's text (kinds.cpp).
bool IsIdentityValue(const std::string& value);

// A tty as a serial port (platform/devices/serial_port.cpp): exclusive, raw, non-blocking underneath.
Handle OpenSerialPort(const char* path);
// A Unix stream socket as a driver service (platform/devices/service.cpp): connects now.
Handle OpenService(const char* path);
// A port named by identity opens as the node that matches it now (platform/devices/devices.cpp).
Handle OpenIdentityPort(const std::string& device, const std::string& value, const Profile& profile);

// The first row of the kind table that the entry opens as now; null for none (kinds.cpp).
const DeviceKind* KindAtOpen(const std::string& device, const std::string& value, const Profile& profile);

// The [devices] checks of each kind (profile.cpp): false with the reason in the last-error text.
bool CheckProgramEntry(const std::string& key, const std::string& value);
bool CheckIdentityEntry(const std::string& key, const std::string& value);
bool CheckNetworkEntry(const std::string& key, const std::string& value);
bool CheckPathEntry(const std::string& key, const std::string& value);

// A failed open of each kind in words (explain.cpp); ExplainValueOpen by the value's text.
std::string ExplainValueOpen(const std::string& device, const std::string& value, std::uint32_t error);
std::string ExplainPathOpen(const std::string& device, const std::string& value, std::uint32_t error);
std::string ExplainProgramOpen(const std::string& device, const std::string& value, std::uint32_t error);
std::string ExplainIdentityOpen(const std::string& device, const std::string& value, std::uint32_t error);
std::string ExplainNetworkOpen(const std::string& device, const std::string& value, std::uint32_t error);

}  // namespace platform::internal
