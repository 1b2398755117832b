// Implemented in platform/devices/ports.cpp.
// The pieces of libudev that the port listing and the port identities share: owning pointers
// and the test that a tty device is a serial port.
//
// Index: UdevPtr EnumeratePtr DevicePtr MonitorPtr UdevText SerialPortDriver
#pragma once

#include <libudev.h>

#include <memory>
#include <string>

namespace platform::internal {

inline constexpr char TtySubsystem[] = "tty";

struct UdevUnref {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
    void operator()(udev_monitor* m) const { udev_monitor_unref(m); }
};
using UdevPtr = std::unique_ptr<udev, UdevUnref>;
using EnumeratePtr = std::unique_ptr<udev_enumerate, UdevUnref>;
using DevicePtr = std::unique_ptr<udev_device, UdevUnref>;
using MonitorPtr = std::unique_ptr<udev_monitor, UdevUnref>;

inline std::string UdevText(const char* value) { return value ? value : ""; }

// The driver behind a tty that is a serial port: that of its nearest parent past the serial
// core's own devices. Empty for a tty that is none (a console, ptmx, a UART slot with no chip).
std::string SerialPortDriver(udev_device* tty);

}  // namespace platform::internal
