// Implemented in platform/devices/profile.cpp.
// The handset profile: a text file that names the handset's devices, its registry values and
// its kernel service (sections [devices], [registry], [kernel], [radio], [handset]; comments
// start with # or ;). The platform reads it once at start-up; the tool itself stores no
// settings. [handset] "simulated = true" marks a profile a simulated handset wrote: the only
// handsets that may be sent stand-in payloads.
//
// A radio driver or kernel entry is a Unix socket path (a service) or "exec:/path [args]" (a
// program run once per control). [radio] "reset = COMn: dtr|rts MS [low|high]" resets the
// module by a pulse on a port's modem line instead of the radio driver's reset control.
// A serial port may be named by identity, "udev:KEY=VALUE[,KEY=VALUE...]" (platform/devices/
// ports.h finds it).
//
// Every check that refuses something returns false with the reason in the last-error text
// (LastErrorText, platform/base/system.h).
//
// Index: AddProfileEntry CheckResetPort ParseProfile LoadProfile SetProfile CurrentProfile ProfileDevicePath ProfileRegistryValue
// ResetPulse SplitProgram | IdentityProperty IdentityValue ParsePortIdentity
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace platform {

struct IdentityProperty {
    std::string key;    // "ID_SERIAL_SHORT"
    std::string value;  // "A50285BI"
};

// The identity "udev:KEY=VALUE" of a port by one property.
std::string IdentityValue(const std::string& key, const std::string& value);
// The properties of "udev:KEY=VALUE,..."; false (one phrase in the last-error text) when it is
// malformed.
bool ParsePortIdentity(const std::string& value, std::vector<IdentityProperty>* properties);

// A pulse on a modem line of a port: the line is cleared for `milliseconds`, then set again
// ("low", the default), or set, then cleared ("high").
struct ResetPulse {
    std::string port;  // upper-cased device name, "COM1:"
    bool dtr = true;   // else RTS
    bool active_high = false;
    std::uint32_t milliseconds = 0;  // 0: no pulse configured
};

struct Profile {
    std::string path;  // where it was read from (for messages)
    std::map<std::string, std::string> devices;     // upper-cased device name -> path
    std::map<std::string, std::uint32_t> registry;  // upper-cased "KEY\VALUE" -> DWORD
    std::string kernel;                             // KernelIoControl service path, or empty
    ResetPulse reset;                               // [radio] reset, when milliseconds != 0
    bool simulated = false;                         // written by a simulated handset
    bool from_options = false;  // built from the command line (update --port): advice names options
};

// "exec:/path a b" -> {"/path", "a", "b"} (split at blanks); false for any other value.
bool SplitProgram(const std::string& value, std::vector<std::string>* argv);

// Adds one entry to a profile as the line "KEY = VALUE" in [SECTION] of a file would, with the
// same checks (a profile built in memory is held to a file's rules); false when it is refused.
// The value is taken whole: nothing in it is read as a comment or a new line.
bool AddProfileEntry(Profile* profile, const std::string& section, const std::string& key,
                     const std::string& value);
// False for a [radio] reset whose port has no [devices] entry.
bool CheckResetPort(const Profile& profile);
// Parses profile text; false with "NAME:LINE: what is wrong" as the last-error text.
bool ParseProfile(const std::string& text, const std::string& name, Profile* profile);
// Reads and parses a file; a file that cannot be read is "FILE: reason".
bool LoadProfile(const std::string& path, Profile* profile);
// Makes a profile the one the platform uses (thread-safe; a copy is kept).
void SetProfile(const Profile& profile);
Profile CurrentProfile();
// The path of a device name (any case); false when the profile has no entry.
bool ProfileDevicePath(const char* device_name, std::string* path);
// A registry value by key (under HKEY_LOCAL_MACHINE) and value name, any case.
bool ProfileRegistryKeyExists(const char* key);
bool ProfileRegistryValue(const char* key, const char* value, std::uint32_t* data);

}  // namespace platform
