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

#include "platform/devices/ports.h"

namespace platform {
namespace {

constexpr char TtySubsystem[] = "tty";
// The serial core's own port and controller devices sit between a UART's tty and the device
// its driver bound to; their drivers ("port", "ctrl") say nothing about the hardware.
constexpr char SerialCoreSubsystem[] = "serial-base";
// A serial-core tty whose "type" is 0 (PORT_UNKNOWN) is a reserved slot with no UART behind it.
constexpr char UartTypeAttribute[] = "type";
constexpr char NoUart[] = "0";
constexpr char ByIdPrefix[] = "/dev/serial/by-id/";

struct UdevUnref {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
};
using UdevPtr = std::unique_ptr<udev, UdevUnref>;
using EnumeratePtr = std::unique_ptr<udev_enumerate, UdevUnref>;
using DevicePtr = std::unique_ptr<udev_device, UdevUnref>;

std::string Text(const char* value) { return value ? value : ""; }

bool Is(const char* value, const char* expected) { return value && std::strcmp(value, expected) == 0; }

// The driver of a tty: that of its nearest parent past the serial core's devices; empty for a
// tty with no device behind it (consoles, ptmx) or whose device has no driver bound.
std::string DriverOf(udev_device* tty) {
    udev_device* parent = udev_device_get_parent(tty);
    while (parent && Is(udev_device_get_subsystem(parent), SerialCoreSubsystem)) {
        parent = udev_device_get_parent(parent);
    }
    return parent ? Text(udev_device_get_driver(parent)) : std::string();
}

// The first /dev/serial/by-id/ name among the node's links: the udev database's links, else
// the DEVLINKS property (space-separated) as a recorded device tree carries it.
std::string ByIdOf(udev_device* tty) {
    for (udev_list_entry* link = udev_device_get_devlinks_list_entry(tty); link;
         link = udev_list_entry_get_next(link)) {
        std::string name = Text(udev_list_entry_get_name(link));
        if (name.rfind(ByIdPrefix, 0) == 0) return name;
    }
    std::string links = Text(udev_device_get_property_value(tty, "DEVLINKS"));
    std::size_t start = 0;
    while (start < links.size()) {
        std::size_t end = links.find(' ', start);
        if (end == std::string::npos) end = links.size();
        std::string name = links.substr(start, end - start);
        if (name.rfind(ByIdPrefix, 0) == 0) return name;
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

bool Fail(std::string* error, const char* what, int code) {
    errno = code > 0 ? code : EIO;
    *error = std::string(what) + ": " + std::strerror(errno);
    return false;
}

}  // namespace

bool ListSerialPorts(std::vector<SerialPortInfo>* ports, std::string* error) {
    ports->clear();
    errno = 0;
    UdevPtr context(udev_new());
    if (!context) return Fail(error, "cannot open udev", errno);
    EnumeratePtr listing(udev_enumerate_new(context.get()));
    if (!listing) return Fail(error, "cannot list udev devices", errno);
    int code = udev_enumerate_add_match_subsystem(listing.get(), TtySubsystem);
    if (code >= 0) code = udev_enumerate_scan_devices(listing.get());
    if (code < 0) return Fail(error, "cannot read the tty devices from udev", -code);

    for (udev_list_entry* entry = udev_enumerate_get_list_entry(listing.get()); entry;
         entry = udev_list_entry_get_next(entry)) {
        DevicePtr tty(udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)));
        if (!tty) continue;  // gone since the scan
        const char* node = udev_device_get_devnode(tty.get());
        if (!node) continue;
        if (Is(udev_device_get_sysattr_value(tty.get(), UartTypeAttribute), NoUart)) continue;
        SerialPortInfo port;
        port.driver = DriverOf(tty.get());
        if (port.driver.empty()) continue;
        port.node = node;
        port.by_id = ByIdOf(tty.get());
        FillUsbIdentity(tty.get(), &port);
        port.holders = FindPortHolders(port.node, &port.holders_unknown);
        ports->push_back(std::move(port));
    }
    std::sort(ports->begin(), ports->end(), NodeBefore);
    return true;
}

std::string PortProperty(const std::string& node, const char* key) {
    struct stat info {};
    if (::stat(node.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) return {};
    UdevPtr context(udev_new());
    if (!context) return {};
    DevicePtr tty(udev_device_new_from_devnum(context.get(), 'c', info.st_rdev));
    if (!tty) return {};
    return Text(udev_device_get_property_value(tty.get(), key));
}

}  // namespace platform
