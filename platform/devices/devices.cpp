// OpenDevice: a device name of the profile opens as the first row of the kind table
// (platform/devices/kinds.h) that its entry is now: the radio driver with a reset pulse or as a
// program becomes an adapter, a port named by identity (udev:...) is looked up anew at each
// open, a network port (rfc2217://, tcp://) connects, and a path opens by what it is on disk
// (a tty or other character device as a serial port, a Unix socket as a driver service).
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "platform/devices/devices.h"
#include "platform/devices/kinds.h"
#include "platform/devices/ports.h"
#include "platform/devices/serial.h"

namespace platform {
namespace {

// Opens an entry by the table; an entry that is no kind fails with why: missing, or a regular
// file, directory, pipe or block device, which is no device the handset has.
Handle OpenEntry(const std::string& device, const std::string& value, const Profile& profile) {
    if (const DeviceKind* kind = internal::KindAtOpen(device, value, profile)) return kind->open(device, value, profile);
    struct stat info {};
    if (value.empty()) SetLastError(ENOENT);  // no such device on this handset
    else if (::stat(value.c_str(), &info) != 0) SetLastError(static_cast<std::uint32_t>(errno));
    else SetLastError(S_ISDIR(info.st_mode) ? EISDIR : ENODEV);
    return InvalidHandle;
}

}  // namespace

namespace internal {

Handle OpenIdentityPort(const std::string& device, const std::string& value, const Profile& profile) {
    std::string node;
    if (!ResolvePortPath(value, &node)) return InvalidHandle;
    return OpenEntry(device, node, profile);
}

}  // namespace internal

Handle OpenDevice(const char* name) {
    if (name == nullptr || *name == '\0') {
        SetLastError(ENOENT);
        return InvalidHandle;
    }
    const Profile profile = CurrentProfile();
    std::string device;
    const std::string value = internal::DeviceEntry(profile, name, &device);
    return OpenEntry(device, value, profile);
}

}  // namespace platform
