// The platform layer: everything that the handset's operating system gave the tool, written
// for Linux on POSIX, ncurses and the C++ standard library. The tool's own code includes only
// this header; termios, sockets and ncurses stay behind it.
//
//   system.h    handles, last error, threads, pauses, memory, libraries, registry, trace, faults
//   window.h    windows, messages, menus, accelerators, message boxes, dialogs, resources
//   resource.h  the shape of the resource table
//   serial.h    serial ports and driver services by device name
//   profile.h   the handset profile that names the devices, registry and kernel service
//   format.h    printf-style formatting with %c as a Latin-1 character
//   sha256.h    SHA-256 digests (payload listing, the simulated module's report)
#pragma once

#include "platform/format.h"
#include "platform/profile.h"
#include "platform/resource.h"
#include "platform/serial.h"
#include "platform/sha256.h"
#include "platform/system.h"
#include "platform/window.h"
