// Implemented in platform/devices/devices.cpp, platform/devices/explain.cpp,
// platform/devices/kinds.cpp, platform/devices/port_identity.cpp, platform/devices/profile.cpp,
// platform/devices/program.cpp, platform/devices/serial_port.cpp and platform/devices/service.cpp.
// What OpenDevice (platform/devices/devices.cpp) opens, and the pieces of each row of the kind
// table (platform/devices/kinds.h): the value forms, the profile checks, the opens, the
// controls and the explanations of a failed open.
//
// Index: ProgramPrefix IdentityPrefix RadioDriverName KernelEntryName UpperName DeviceEntry
// OpenSerialPort OpenRemotePort OpenService OpenIdentityPort ResolveIdentity KindAtOpen
// KindOfEntryText KindOfScheme ProgramEntryReady RunProgramEntry ServiceReady ServiceEntryControl
// CheckProgramEntry CheckIdentityEntry CheckNetworkEntry CheckPathEntry ExplainEntryOpen
// ExplainPathOpen ExplainProgramOpen ExplainIdentityOpen ExplainNetworkOpen
#pragma once

#include <cstdint>
#include <string>

#include "platform/base/system.h"
#include "platform/devices/explain.h"
#include "platform/devices/profile.h"
#include "platform/devices/service.h"

namespace platform {
struct DeviceKind;
}

namespace platform::internal {

// The prefix of an entry that names a program rather than a socket.
inline constexpr const char* ProgramPrefix = "exec:";
// The prefix of a serial port named by its udev properties.
inline constexpr const char* IdentityPrefix = "udev:";
// The radio driver, and the [kernel] entry as a device name, as the profile keeps them.
inline constexpr const char* RadioDriverName = "RIL1:";
inline constexpr const char* KernelEntryName = "KERNELIOCONTROL";

// A device name or profile key as the profile keeps it: ASCII letters upper-cased (profile.cpp).
std::string UpperName(std::string text);
// The profile's value for `device` (any case; "KernelIoControl" is the [kernel] entry), "" when
// it has none; *name the device name as the profile keeps it (profile.cpp).
std::string DeviceEntry(const Profile& profile, const char* device, std::string* name);

// A tty as a serial port (serial_port.cpp): exclusive, raw, non-blocking underneath.
Handle OpenSerialPort(const char* path);
// A port across the network (rfc2217://, tcp://) as a serial port (serial_port.cpp).
Handle OpenRemotePort(const char* path);
// A Unix stream socket as a driver service (service.cpp): connects now.
Handle OpenService(const char* path);
// A port named by identity opens as the node that matches it now (devices.cpp).
Handle OpenIdentityPort(const std::string& device, const std::string& value, const Profile& profile);
// The one port that matches an identity now (port_identity.cpp), as ResolvePortPath says.
bool ResolveIdentity(const std::string& value, std::string* node);

// The first row of the kind table that the entry opens as now; null for none (kinds.cpp).
const DeviceKind* KindAtOpen(const std::string& device, const std::string& value, const Profile& profile);
// The row the entry's text names for `device` (upper-cased; "" for none): the radio driver's
// and the kernel's paths are services, any other a tty. Never null (kinds.cpp).
const DeviceKind* KindOfEntryText(const std::string& device, const std::string& value);
// The network port row of a scheme ("rfc2217"); null for an unknown one (kinds.cpp).
const DeviceKind* KindOfScheme(const std::string& scheme);

// The controls of a program entry, "exec:/path [args]" (program.cpp), and of a service (a
// socket path, service.cpp): whether one could be taken now, and one control.
bool ProgramEntryReady(const std::string& value);
ControlResult RunProgramEntry(const char* device, const std::string& value, std::uint32_t code);
bool ServiceReady(const std::string& path);
ControlResult ServiceEntryControl(const char* device, const std::string& path, std::uint32_t code);

// The [devices] checks of each kind (profile.cpp): false with the reason in the last-error text.
bool CheckProgramEntry(const std::string& key, const std::string& value);
bool CheckIdentityEntry(const std::string& key, const std::string& value);
bool CheckNetworkEntry(const std::string& key, const std::string& value);
bool CheckPathEntry(const std::string& key, const std::string& value);

// A failed open of each kind in words (explain.cpp); ExplainEntryOpen by the entry's text.
OpenFailureText ExplainEntryOpen(const std::string& device, const std::string& value, std::uint32_t error);
OpenFailureText ExplainPathOpen(const std::string& device, const std::string& value, std::uint32_t error);
OpenFailureText ExplainProgramOpen(const std::string& device, const std::string& value, std::uint32_t error);
OpenFailureText ExplainIdentityOpen(const std::string& device, const std::string& value, std::uint32_t error);
OpenFailureText ExplainNetworkOpen(const std::string& device, const std::string& value, std::uint32_t error);

}  // namespace platform::internal
