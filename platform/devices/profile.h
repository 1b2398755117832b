// The handset profile: a text file that names the handset's devices, its registry values and
// its kernel service (sections [devices], [registry], [kernel]; comments start with # or ;).
// The platform reads it once at start-up; the tool itself stores no settings.
//
// Index: ParseProfile LoadProfile SetProfile CurrentProfile ProfileDevicePath ProfileRegistryValue
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace platform {

struct Profile {
    std::string path;  // where it was read from (for messages)
    std::map<std::string, std::string> devices;     // upper-cased device name -> path
    std::map<std::string, std::uint32_t> registry;  // upper-cased "KEY\VALUE" -> DWORD
    std::string kernel;                             // KernelIoControl service path, or empty
};

// Parses profile text. False with *error set to "NAME:LINE: what is wrong".
bool ParseProfile(const std::string& text, const std::string& name, Profile* profile,
                  std::string* error);
// Reads and parses a file; a file that cannot be read is "FILE: reason".
bool LoadProfile(const std::string& path, Profile* profile, std::string* error);
// Makes a profile the one the platform uses (thread-safe; a copy is kept).
void SetProfile(const Profile& profile);
Profile CurrentProfile();
// The path of a device name (any case); false when the profile has no entry.
bool ProfileDevicePath(const char* device_name, std::string* path);
// A registry value by key (under HKEY_LOCAL_MACHINE) and value name, any case.
bool ProfileRegistryKeyExists(const char* key);
bool ProfileRegistryValue(const char* key, const char* value, std::uint32_t* data);

}  // namespace platform
