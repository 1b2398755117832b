// Ports named by identity ("udev:KEY=VALUE,..."): the one serial port whose tty device, or a
// device above it, carries every property, looked up through libudev at each open; and the
// wait for a port to be back after its device went away (a module that re-enumerates on
// reset), woken by udev's announcements and rechecked on a short period in case none comes.
#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "platform/base/system.h"
#include "platform/devices/devices.h"
#include "platform/devices/ports.h"
#include "platform/devices/profile.h"
#include "platform/devices/udev_ports.h"

namespace platform {
namespace {

using internal::DevicePtr;
using internal::EnumeratePtr;
using internal::MonitorPtr;
using internal::UdevPtr;

constexpr char MonitorSource[] = "udev";
// Between two looks at the ports while waiting: announcements may not come at all (a
// container without udevd), and a port may still be settling when one does.
constexpr int PortRecheckMs = 250;

// Whether the tty or a device above it has the property with this value.
bool Carries(udev_device* tty, const IdentityProperty& property) {
    for (udev_device* device = tty; device; device = udev_device_get_parent(device)) {
        const char* value = udev_device_get_property_value(device, property.key.c_str());
        if (value && property.value == value) return true;
    }
    return false;
}

std::string Joined(const std::vector<std::string>& nodes) {
    std::string text;
    for (const std::string& node : nodes) text += (text.empty() ? "" : ", ") + node;
    return text;
}

// The serial ports that match, and all serial ports (for the explanation). 0 or the errno of
// a udev that could not be read.
int MatchPorts(const std::vector<IdentityProperty>& properties, std::vector<std::string>* matches,
               std::vector<std::string>* ports) {
    errno = 0;
    UdevPtr context(udev_new());
    if (!context) return errno ? errno : EIO;
    EnumeratePtr listing(udev_enumerate_new(context.get()));
    if (!listing) return errno ? errno : EIO;
    int code = udev_enumerate_add_match_subsystem(listing.get(), internal::TtySubsystem);
    if (code >= 0) code = udev_enumerate_scan_devices(listing.get());
    if (code < 0) return -code;
    for (udev_list_entry* entry = udev_enumerate_get_list_entry(listing.get()); entry;
         entry = udev_list_entry_get_next(entry)) {
        DevicePtr tty(udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
        if (!tty || internal::SerialPortDriver(tty.get()).empty()) continue;  // gone, or no serial port
        const std::string node = udev_device_get_devnode(tty.get());
        ports->push_back(node);
        if (std::all_of(properties.begin(), properties.end(),
                        [&](const IdentityProperty& property) { return Carries(tty.get(), property); })) {
            matches->push_back(node);
        }
    }
    std::sort(matches->begin(), matches->end());
    std::sort(ports->begin(), ports->end());
    return 0;
}

// Whether `value` names a port now (quietly: this thread's last error stays as it was).
bool PortPresent(const std::string& value) {
    const std::uint32_t code = GetLastError();
    std::string text = LastErrorReason();
    // An identity is there once udev shows the one port it matches (its node may come a moment
    // later: the open then says so); a path, once it exists.
    std::string node;
    struct stat info {};
    const bool present = ResolvePortPath(value, &node) && (node != value || ::stat(node.c_str(), &info) == 0);
    SetLastError(code, std::move(text));
    return present;
}

bool Unresolved(std::uint32_t code, std::string reason) {
    SetLastError(code, std::move(reason));
    return false;
}

}  // namespace

namespace internal {

bool ResolveIdentity(const std::string& value, std::string* node) {
    std::vector<IdentityProperty> properties;
    if (!ParsePortIdentity(value, &properties)) return Unresolved(EINVAL, LastErrorText());
    std::vector<std::string> matches, ports;
    if (int error = MatchPorts(properties, &matches, &ports)) {
        return Unresolved(static_cast<std::uint32_t>(error),
                          "udev could not be read to find " + value + ": " + std::strerror(error));
    }
    if (matches.size() == 1) {
        *node = matches[0];
        return true;
    }
    if (matches.empty()) {
        return Unresolved(ENOENT, "no serial port matches " + value +
                                      (ports.empty() ? " (no serial ports now)" : " (ports now: " + Joined(ports) + ")"));
    }
    return Unresolved(ENOTUNIQ, std::to_string(matches.size()) + " serial ports match " + value + ": " +
                                    Joined(matches) + "; add a key that tells them apart (ID_SERIAL_SHORT, ID_PATH)");
}

}  // namespace internal

bool WaitForPort(const std::string& value, std::uint32_t milliseconds) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    // Listening starts before the first look, so a port that comes back in between is heard.
    UdevPtr context(udev_new());
    MonitorPtr monitor(context ? udev_monitor_new_from_netlink(context.get(), MonitorSource) : nullptr);
    if (monitor && (udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), internal::TtySubsystem, nullptr) < 0 ||
                    udev_monitor_enable_receiving(monitor.get()) < 0)) {
        monitor.reset();
    }
    for (;;) {
        if (PortPresent(value)) return true;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return false;
        const int wait = static_cast<int>(std::min<long long>(left, PortRecheckMs));
        pollfd announcements{monitor ? udev_monitor_get_fd(monitor.get()) : -1, POLLIN, 0};
        if (::poll(&announcements, 1, wait) > 0 && monitor) {
            while (udev_device* device = udev_monitor_receive_device(monitor.get())) udev_device_unref(device);
        }
    }
}

}  // namespace platform
