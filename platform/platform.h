// Implemented by the headers it gathers (their first lines name their files).
// The platform layer: everything that the handset's operating system gave the tool, written
// for Linux on POSIX, ncurses and the C++ standard library. The tool's own code includes only
// this header; termios, sockets and ncurses stay behind it. One folder per subsystem:
//
//   base/     system.h  handles, last error, threads, pauses, memory, libraries, registry,
//                       trace, endings
//             files.h   whole-file reads and existence checks (a payload set, profiles)
//             format.h  printf-style formatting with %c as a Latin-1 character
//             sha256.h  SHA-256 digests (payload listing, the simulated module's report)
//             spawn.h   child processes: this program (stations side by side), helpers, adapters
//             openpgp.h OpenPGP armor and packets, detached signatures checked by gpgv
//             user_file.h files named on the command line, opened without ever blocking
//   devices/  serial.h  serial ports and driver services by device name (and the registry and
//                       the kernel library, which read the profile)
//             profile.h the handset profile that names the devices, registry and kernel service
//             kinds.h   the table of device kinds a profile can name, and what each answers
//             explain.h why a device did not open or a control failed, in words a user can act on
//             ports.h   the machine's serial ports (libudev) and the processes holding them
//   window/   window.h  windows, messages, menus, accelerators, message boxes, dialogs,
//                       one window per user
//             resource.h the shape of the resource table
//             scope.h   a private runtime directory per update, and claims on module ports
//             report.h  how a layer of the tool says its lines upward, and the run part it is handed
//   screen/   the headless screen and the terminal one (screen/terminal/), behind window.h;
//             rows.h    live rows redrawn in place on a terminal (stations side by side)
//
// Inside the layer, never included by the tool's own code (the simulated handset takes its
// signal masks and private directories from signals.h and leftovers.h too):
//   base/     signals.h (the one owner of signal handlers and masks), sys.h (the system calls
//             tests make fail), handles.h, thread.h, ending.h, leftovers.h, observe.h
//   devices/  devices.h (what OpenDevice opens, by kind), serial_port.h, service.h, adapter.h,
//             program.h (adapters that are programs), net_address.h, net_link.h, net_port.h
//             (ports across the network), udev_ports.h
//   window/   window_state.h, screen_seam.h (what the window layer asks of a screen),
//             instance.h (the one-window-per-user socket)
//   screen/   screen.h, terminal/terminal.h, terminal/terminal_screen.h, terminal/pane.h
// The folders include one another in that order only (base, devices, window, screen), never
// back: the ctest `platform_include_check` holds them to it.
//
// Tests reach the layer's seam through platform/testing.h, which the program never includes.
//
// Results, one rule for what the tool's own operations leave open:
// - A platform call that fails sets the last error (SetLastError) at the failure, with the
//   reason in words beside the code where it has more to say than the code; its caller reads
//   GetLastError and LastErrorText, never errno, after a platform call. No side channel or
//   reason out-parameter carries a reason.
// - A helper this project added (not one of the tool's named operations) returns bool, or a
//   small enum where the caller must tell failures apart, with the reason in the last error.
// - The tool's operations and command handlers keep their integers: a port or module operation
//   says 1 when done and 0 when not; the radio and reboot operations and the command handlers
//   say 0 when done and 1 when refused or failed. Each folder names them where both meet.
// - A call made for no window passes NoWindow (window/window.h): nothing is logged.
#pragma once

#include "platform/base/files.h"
#include "platform/base/format.h"
#include "platform/base/openpgp.h"
#include "platform/base/sha256.h"
#include "platform/base/spawn.h"
#include "platform/base/system.h"
#include "platform/base/user_file.h"
#include "platform/devices/explain.h"
#include "platform/devices/kinds.h"
#include "platform/devices/ports.h"
#include "platform/devices/profile.h"
#include "platform/devices/serial.h"
#include "platform/screen/rows.h"
#include "platform/window/resource.h"
#include "platform/window/window.h"
#include "platform/window/report.h"
#include "platform/window/scope.h"
