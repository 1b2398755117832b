// Implemented in platform/devices/kinds.cpp.
// The kinds of device a handset profile can name, one row each in a constant table that is
// scanned from the first row (the first match wins): a DTR/RTS reset pulse ([radio] reset: it
// takes the radio driver's open), an exec: program, the [kernel] entry as a service, a serial
// port named by identity (udev:), a network port (rfc2217://, then tcp:// and any other scheme,
// which its check refuses), a tty, a Unix-socket service. A row says how the kind is recognised
// in a profile value (its recogniser is the only reader of the value's form), how the profile
// checks the entry, how it opens, how a failed open is explained, what `check` asks of it, what
// an update claims for it, whether it can come back after its device went, whether line
// settings and modem lines reach the device, and for a kind that carries the controls itself
// how one is taken. The profile's checks, OpenDevice, the adapters, KernelIoControl, the
// explanations, `check` and the update ask this table; nothing reads a device's kind from its
// text beside it.
//
// Index: KindProbe KindQuery DeviceKind DeviceKinds KindOfValue KindOfDevice ValueNamesProgram
// DeviceRunsProgram DeviceResetsByPulse DeviceCanComeBack DeviceProbe DeviceClaimKey
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "platform/base/system.h"
#include "platform/devices/explain.h"
#include "platform/devices/profile.h"
#include "platform/devices/service.h"

namespace platform {

// What `firmware-utility check` asks of a device of the kind once it opened.
enum class KindProbe {
    Open,          // the open is the proof: a service took a connection, a program is executable
    LineSettings,  // the module link's line settings are applied, and the port's own given back
};

// What a row's recogniser looks at. Without a profile only the entry's text counts (a profile
// being read); with one, the entry as it opens now (a path is looked at on disk, and the
// profile's [radio] reset takes the radio driver).
struct KindQuery {
    const std::string& device;  // upper-cased device name ("COM1:", "KERNELIOCONTROL"), or ""
    const std::string& value;   // the entry's value, "" when it has none
    const Profile* profile;
};

struct DeviceKind {
    const char* name;  // "pulse", "program", "kernel", "udev", "rfc2217", "tcp", "tty", "service"
    bool (*recognise)(const KindQuery& query);
    const char* scheme;  // a network port's scheme ("rfc2217", before "://"), else null
    // The entry's check, `key` as written: false with the reason in the last-error text. Null
    // for the pulse, which is read as [radio] reset.
    bool (*check)(const std::string& key, const std::string& value);
    // Opens the entry of `device` (upper-cased): a handle, or InvalidHandle with the last error.
    Handle (*open)(const std::string& device, const std::string& value, const Profile& profile);
    // A failed open: "COM1: (/dev/ttyUSB0)" and "Permission denied: ...".
    OpenFailureText (*explain)(const std::string& device, const std::string& value, std::uint32_t error);
    KindProbe probe;
    // The node the value stands for now, the key an update claims it under: false when there
    // is none now. Null when the value names no port.
    bool (*claim)(const std::string& value, std::string* node);
    bool comes_back;    // its device may go and return under another node (re-enumeration)
    bool line_control;  // line settings and modem lines reach the device (raw TCP keeps them here)
    // A kind that carries the controls itself (a program, a service): whether it could take one
    // now (false with the last error), and one control. Null for the others.
    bool (*ready)(const std::string& value);
    internal::ControlResult (*control)(const char* device, const std::string& value, std::uint32_t code);
};

// The rows, in scan order.
std::span<const DeviceKind> DeviceKinds();
// The kind a value's text names when no device is known (a path counts as a tty); never null.
const DeviceKind* KindOfValue(const std::string& value);
// The kind a device name ("COM1:", "RIL1:", "KernelIoControl", any case) opens as now, by the
// current profile; null when it names nothing that opens (no entry, or a path that is no device).
const DeviceKind* KindOfDevice(const char* device);

// Small answers for the tool, by the current profile's entry of `device` (any case).
// Whether a value (a command-line option) names a program.
bool ValueNamesProgram(const std::string& value);
// Whether the device's entry is a program (it carries the controls itself).
bool DeviceRunsProgram(const char* device);
// Whether the device's reset is a pulse on a port's modem line: the radio driver of a profile
// with a [radio] reset.
bool DeviceResetsByPulse(const char* device);
// Whether the device may go and come back under another node: worth waiting for.
bool DeviceCanComeBack(const char* device);
// What `check` asks of the device once it opened.
KindProbe DeviceProbe(const char* device);
// The key an update claims the device under; false when it has no entry or none can be had now
// (an identity that matches no port: its open explains that).
bool DeviceClaimKey(const char* device, std::string* key);

}  // namespace platform
