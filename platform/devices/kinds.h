// Implemented in platform/devices/kinds.cpp.
// The kinds of device a handset profile can name, one row each in a constant table that is
// scanned from the first row (the first match wins): a DTR/RTS reset pulse ([radio] reset: it
// takes the radio driver's open), an exec: program, a serial port named by identity (udev:), a
// network port (rfc2217://, then tcp:// and any other scheme, which its check refuses), a tty,
// a Unix-socket service. A row says how the kind is recognised in a profile value, how the
// profile checks the entry, how it opens, how a failed open is explained, what `check` asks of
// it, what an update claims for it, whether it can come back after its device went, and which
// controls it carries. The profile's [devices] checks, OpenDevice, the open-failure
// explanations, `check` and the update ask this table; nothing above the platform reads a
// device's kind from its text.
//
// Index: KindProbe KindLineSettings KindModemLines KindProgramControls KindServiceControls
// KindResetPulse KindQuery DeviceKind DeviceKinds KindOfValue KindOfDevice ValueNamesProgram
// DeviceRunsProgram DeviceCanComeBack DeviceProbe DeviceClaimKey
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "platform/base/system.h"
#include "platform/devices/profile.h"

namespace platform {

// What `firmware-utility check` asks of a device of the kind once it opened.
enum class KindProbe {
    Open,          // the open is the proof: a service took a connection, a program is executable
    LineSettings,  // the module link's line settings are applied, and the port's own given back
    Pulse,         // one real pulse through the module's reset
};

// The controls a kind carries (bits of DeviceKind::controls).
inline constexpr std::uint32_t KindLineSettings = 0x01;     // speed, data bits, parity, stop bits
inline constexpr std::uint32_t KindModemLines = 0x02;       // DTR and RTS
inline constexpr std::uint32_t KindProgramControls = 0x04;  // suspend, resume, reset, reboot: one run each
inline constexpr std::uint32_t KindServiceControls = 0x08;  // the same, one connection each
inline constexpr std::uint32_t KindResetPulse = 0x10;       // the module's reset as a modem-line pulse

// What a row's recogniser looks at. Without a profile only the value's text counts (a profile
// being read); with one, the entry as it opens now (a path is looked at on disk, and the
// profile's [radio] reset takes the radio driver).
struct KindQuery {
    const std::string& device;  // upper-cased device name ("COM1:"), or the entry's key
    const std::string& value;   // the entry's value, "" when it has none
    const Profile* profile;
};

struct DeviceKind {
    const char* name;  // "tty", "udev", "rfc2217", "tcp", "service", "program", "pulse"
    bool (*recognise)(const KindQuery& query);
    // The [devices] entry's check, `key` as written: false with the reason in the last-error
    // text. Null for the pulse, which is read as [radio] reset.
    bool (*check)(const std::string& key, const std::string& value);
    // Opens the entry of `device` (upper-cased): a handle, or InvalidHandle with the last error.
    Handle (*open)(const std::string& device, const std::string& value, const Profile& profile);
    // A failed open in one line: "COM1: (/dev/ttyUSB0): Permission denied: ...".
    std::string (*explain)(const std::string& device, const std::string& value, std::uint32_t error);
    KindProbe probe;
    // The key an update claims the module port under: false when there is none now.
    bool (*claim)(const std::string& value, std::string* key);
    bool comes_back;  // its device may go and return under another node (re-enumeration)
    std::uint32_t controls;
};

// The rows, in scan order.
std::span<const DeviceKind> DeviceKinds();
// The kind a value's text names (a path counts as a tty); never null.
const DeviceKind* KindOfValue(const std::string& value);
// The kind a device name opens as now, by the current profile; null when it names nothing that
// opens (no entry, or a path that is no device).
const DeviceKind* KindOfDevice(const char* device);

// Small answers for the tool, by the current profile's entry of `device` (any case).
// Whether a value (a command-line option) names a program.
bool ValueNamesProgram(const std::string& value);
// Whether the device's entry is a program (it carries the controls itself).
bool DeviceRunsProgram(const char* device);
// Whether the device may go and come back under another node: worth waiting for.
bool DeviceCanComeBack(const char* device);
// What `check` asks of the device once it opened.
KindProbe DeviceProbe(const char* device);
// The key an update claims the device under; false when it has no entry or none can be had now
// (an identity that matches no port: its open explains that).
bool DeviceClaimKey(const char* device, std::string* key);

}  // namespace platform
