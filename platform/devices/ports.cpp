// The machine's serial ports through libudev: the tty devices that have a driver, with their
// stable names and USB identities.
#include <libudev.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "platform/base/system.h"
#include "platform/devices/ports.h"
#include "platform/devices/udev_ports.h"

namespace platform {
namespace internal {
namespace {

// The serial core's own port and controller devices sit between a UART's tty and the device
// its driver bound to; their drivers ("port", "ctrl") say nothing about the hardware.
constexpr char SerialCoreSubsystem[] = "serial-base";
// A serial-core tty whose "type" is 0 (PORT_UNKNOWN) is a reserved slot with no UART behind it.
constexpr char UartTypeAttribute[] = "type";
constexpr char NoUart[] = "0";

bool Is(const char* value, const char* expected) { return value && std::strcmp(value, expected) == 0; }

}  // namespace

std::string SerialPortDriver(udev_device* tty) {
    if (!udev_device_get_devnode(tty) || Is(udev_device_get_sysattr_value(tty, UartTypeAttribute), NoUart)) return {};
    udev_device* parent = udev_device_get_parent(tty);
    while (parent && Is(udev_device_get_subsystem(parent), SerialCoreSubsystem)) {
        parent = udev_device_get_parent(parent);
    }
    return parent ? UdevText(udev_device_get_driver(parent)) : std::string();
}

}  // namespace internal

namespace {

using internal::DevicePtr;
using internal::EnumeratePtr;
using internal::UdevPtr;

constexpr char ByIdPrefix[] = "/dev/serial/by-id/";
constexpr char ByPathPrefix[] = "/dev/serial/by-path/";
constexpr char PathProperty[] = "ID_PATH";
constexpr char SerialShortProperty[] = "ID_SERIAL_SHORT";

std::string Text(const char* value) { return internal::UdevText(value); }

// The first of the node's links under `prefix` (/dev/serial/by-id/): the udev database's links,
// else the DEVLINKS property (space-separated) as a recorded device tree carries it.
std::string LinkOf(udev_device* tty, const char* prefix) {
    for (udev_list_entry* link = udev_device_get_devlinks_list_entry(tty); link;
         link = udev_list_entry_get_next(link)) {
        std::string name = Text(udev_list_entry_get_name(link));
        if (name.rfind(prefix, 0) == 0) return name;
    }
    std::string links = Text(udev_device_get_property_value(tty, "DEVLINKS"));
    std::size_t start = 0;
    while (start < links.size()) {
        std::size_t end = links.find(' ', start);
        if (end == std::string::npos) end = links.size();
        std::string name = links.substr(start, end - start);
        if (name.rfind(prefix, 0) == 0) return name;
        start = end + 1;
    }
    return {};
}

void FillUsbIdentity(udev_device* tty, SerialPortInfo* port) {
    udev_device* usb = udev_device_get_parent_with_subsystem_devtype(tty, "usb", "usb_device");
    if (!usb) return;
    std::string vendor = Text(udev_device_get_sysattr_value(usb, "idVendor"));
    std::string product = Text(udev_device_get_sysattr_value(usb, "idProduct"));
    if (!vendor.empty() || !product.empty()) port->usb_id = vendor + ":" + product;
    port->maker = Text(udev_device_get_sysattr_value(usb, "manufacturer"));
    port->product = Text(udev_device_get_sysattr_value(usb, "product"));
    port->serial = Text(udev_device_get_sysattr_value(usb, "serial"));
}

// Names compared with their numbers as numbers: ttyS2 before ttyS10.
bool NodeBefore(const SerialPortInfo& a, const SerialPortInfo& b) {
    const std::string& x = a.node;
    const std::string& y = b.node;
    std::size_t i = 0, j = 0;
    while (i < x.size() && j < y.size()) {
        if (std::isdigit(static_cast<unsigned char>(x[i])) && std::isdigit(static_cast<unsigned char>(y[j]))) {
            std::size_t i_end = x.find_first_not_of("0123456789", i);
            std::size_t j_end = y.find_first_not_of("0123456789", j);
            if (i_end == std::string::npos) i_end = x.size();
            if (j_end == std::string::npos) j_end = y.size();
            std::string xn = x.substr(i, i_end - i), yn = y.substr(j, j_end - j);
            xn.erase(0, std::min(xn.find_first_not_of('0'), xn.size()));
            yn.erase(0, std::min(yn.find_first_not_of('0'), yn.size()));
            if (xn.size() != yn.size()) return xn.size() < yn.size();
            if (xn != yn) return xn < yn;
            i = i_end;
            j = j_end;
            continue;
        }
        if (x[i] != y[j]) return x[i] < y[j];
        ++i;
        ++j;
    }
    return x.size() - i < y.size() - j;
}

bool Fail(const char* what, int code) {
    errno = code > 0 ? code : EIO;
    SetLastError(static_cast<std::uint32_t>(errno), std::string(what) + ": " + std::strerror(errno));
    return false;
}

}  // namespace

bool ListSerialPorts(std::vector<SerialPortInfo>* ports) {
    ports->clear();
    errno = 0;
    UdevPtr context(udev_new());
    if (!context) return Fail("cannot open udev", errno);
    EnumeratePtr listing(udev_enumerate_new(context.get()));
    if (!listing) return Fail("cannot list udev devices", errno);
    int code = udev_enumerate_add_match_subsystem(listing.get(), internal::TtySubsystem);
    if (code >= 0) code = udev_enumerate_scan_devices(listing.get());
    if (code < 0) return Fail("cannot read the tty devices from udev", -code);

    for (udev_list_entry* entry = udev_enumerate_get_list_entry(listing.get()); entry;
         entry = udev_list_entry_get_next(entry)) {
        DevicePtr tty(udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
        if (!tty) continue;  // gone since the scan
        SerialPortInfo port;
        port.driver = internal::SerialPortDriver(tty.get());
        if (port.driver.empty()) continue;
        port.node = udev_device_get_devnode(tty.get());
        port.by_id = LinkOf(tty.get(), ByIdPrefix);
        port.by_path = LinkOf(tty.get(), ByPathPrefix);
        port.id_path = Text(udev_device_get_property_value(tty.get(), PathProperty));
        port.serial_short = Text(udev_device_get_property_value(tty.get(), SerialShortProperty));
        FillUsbIdentity(tty.get(), &port);
        port.holders = FindPortHolders(port.node, &port.holders_unknown);
        ports->push_back(std::move(port));
    }
    std::sort(ports->begin(), ports->end(), NodeBefore);
    return true;
}

std::string PortProperty(const std::string& path, const char* key) {
    // A port named by identity is asked about the node it stands for now.
    std::string node;
    if (!ResolvePortPath(path, &node)) return {};
    struct stat info {};
    if (::stat(node.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) return {};
    UdevPtr context(udev_new());
    if (!context) return {};
    DevicePtr tty(udev_device_new_from_devnum(context.get(), 'c', info.st_rdev));
    if (!tty) return {};
    return Text(udev_device_get_property_value(tty.get(), key));
}

}  // namespace platform
