// The registry, read-only, from the profile's [registry] section: a key opens when the profile
// holds a value under it; values are DWORDs. Keys and value names match in any case. Results
// are 0 or an errno (ENOENT: no such key or value), as the handset's registry calls return.
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "platform/base/handles.h"
#include "platform/devices/profile.h"
#include "platform/base/system.h"

namespace platform {
namespace {

constexpr std::uint32_t RegDword = 4;

struct RegistryKey : internal::Object {
    std::string path;  // below HKEY_LOCAL_MACHINE, as given
};

}  // namespace

long RegOpenKeyEx(Handle root, const char* subkey, Handle* key) {
    if (key == nullptr || subkey == nullptr) return EINVAL;
    *key = 0;
    if (root != HkeyLocalMachine) return ENOENT;  // only the local-machine root is kept
    if (!ProfileRegistryKeyExists(subkey)) return ENOENT;
    auto object = std::make_shared<RegistryKey>();
    object->path = subkey;
    *key = internal::InsertObject(std::move(object));
    return 0;
}

long RegQueryValueEx(Handle key, const char* value, std::uint32_t* type, void* data,
                     std::uint32_t* size) {
    auto object = internal::Lookup<RegistryKey>(key);
    if (!object) return EBADF;
    if (value == nullptr) return EINVAL;
    std::uint32_t dword = 0;
    if (!ProfileRegistryValue(object->path.c_str(), value, &dword)) return ENOENT;
    if (type) *type = RegDword;
    if (data == nullptr) {
        if (size) *size = sizeof dword;
        return 0;
    }
    if (size == nullptr) return EINVAL;
    if (*size < sizeof dword) {
        *size = sizeof dword;
        return ERANGE;  // the caller's buffer cannot hold a DWORD
    }
    std::memcpy(data, &dword, sizeof dword);  // a DWORD in the machine's own byte order
    *size = sizeof dword;
    return 0;
}

long RegCloseKey(Handle key) {
    if (!internal::Lookup<RegistryKey>(key)) return EBADF;
    internal::RemoveObject(key);
    return 0;
}

}  // namespace platform
