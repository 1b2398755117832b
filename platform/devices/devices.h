// Implemented in platform/devices/serial_port.cpp and platform/devices/service.cpp.
// What OpenDevice (platform/devices/devices.cpp) opens, by the kind of path the profile names.
#pragma once

#include "platform/base/system.h"

namespace platform::internal {

// A tty as a serial port (platform/devices/serial_port.cpp): exclusive, raw, non-blocking underneath.
Handle OpenSerialPort(const char* path);
// A Unix stream socket as a driver service (platform/devices/service.cpp): connects now.
Handle OpenService(const char* path);

}  // namespace platform::internal
