// OpenDevice: a device name of the profile becomes a serial port or a driver service, by what
// the named path is on disk (a tty or other character device, or a Unix socket) or a serial
// port across the network (rfc2217://, tcp://); the radio driver named as a program, or with a
// reset pulse, becomes an adapter. A port named by identity (udev:...) is looked up anew at
// each open.
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "platform/devices/adapter.h"
#include "platform/devices/devices.h"
#include "platform/devices/net_address.h"
#include "platform/devices/ports.h"
#include "platform/devices/profile.h"
#include "platform/devices/serial.h"

namespace platform {

Handle OpenDevice(const char* name) {
    std::string path;
    bool named = name != nullptr && *name != '\0' && ProfileDevicePath(name, &path);
    if (name != nullptr) {
        std::string device = name;
        for (char& c : device) c = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
        Profile profile = CurrentProfile();
        if (internal::NeedsAdapter(device, path, profile)) return internal::OpenAdapter(device, path, profile);
    }
    if (!named) {
        SetLastError(ENOENT);  // no such device on this handset
        return InvalidHandle;
    }
    if (internal::IsNetworkPath(path)) return internal::OpenSerialPort(path.c_str());
    // A port named by identity opens as the node that matches it now.
    if (!ResolvePortPath(path, &path)) return InvalidHandle;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        SetLastError(static_cast<std::uint32_t>(errno));
        return InvalidHandle;
    }
    if (S_ISSOCK(info.st_mode)) return internal::OpenService(path.c_str());
    if (S_ISCHR(info.st_mode)) return internal::OpenSerialPort(path.c_str());
    // A regular file, directory, pipe or block device is no device the handset has.
    SetLastError(S_ISDIR(info.st_mode) ? EISDIR : ENODEV);
    return InvalidHandle;
}

}  // namespace platform
