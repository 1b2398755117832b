// What OpenDevice (platform/devices.cpp) opens, by the kind of path the profile names.
#pragma once

#include "platform/system.h"

namespace platform::internal {

// A tty as a serial port (platform/serial_port.cpp): exclusive, raw, non-blocking underneath.
Handle OpenSerialPort(const char* path);
// A Unix stream socket as a driver service (platform/service.cpp): connects now.
Handle OpenService(const char* path);

}  // namespace platform::internal
