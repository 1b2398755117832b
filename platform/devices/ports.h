// Implemented in platform/devices/kinds.cpp, platform/devices/port_holders.cpp,
// platform/devices/port_identity.cpp and platform/devices/ports.cpp.
// The machine's serial ports, as udev knows them, and the processes that hold a port open.
//
// How it works: libudev lists the tty devices; a port is one whose device has a driver (the
// nearest parent past the serial core's own port devices), minus the serial core's empty
// slots (a UART of type 0, "unknown": a ttyS that the kernel reserves but found no chip
// for). USB identities come from the USB device above the port. Holders are found by looking
// at every /proc/PID/fd for the port's node; a process whose descriptors may not be read
// makes the answer "unknown" unless a holder was found anyway.
//
// A port named by identity (profile.h: "udev:KEY=VALUE,...") is the one serial port whose tty
// device, or a device above it, has every property as udev reports it (ID_SERIAL_SHORT,
// ID_PATH, ID_VENDOR_ID, ...). It is looked up at each open, so a module that comes back
// under another node after its reset is found there.
//
// Index: PortHolder SerialPortInfo ListSerialPorts IsSerialPortNode FindPortHolders FindSharingHolders ProcessCommandName OwnCommandName
// ProcessRunning PortProperty | ResolvePortPath WaitForPort
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct PortHolder {
    int pid = 0;
    std::string name;  // the process's command name (/proc/PID/comm)
    // It holds the master of this pseudo-terminal too: the far end's owner, which keeps the
    // slave open for itself rather than using the port.
    bool far_end = false;
};

struct SerialPortInfo {
    std::string node;     // the device node, "/dev/ttyUSB0"
    std::string by_id;    // its /dev/serial/by-id/ name, empty when udev names none
    std::string by_path;  // its /dev/serial/by-path/ name, likewise
    std::string id_path;       // udev's ID_PATH (where it is plugged in), else empty
    std::string serial_short;  // udev's ID_SERIAL_SHORT, else empty
    std::string driver;   // "ftdi_sio", "cdc_acm", "serial8250", ...
    std::string usb_id;   // "0403:6001", empty for a port not on USB
    std::string maker;    // the USB device's manufacturer string, else empty
    std::string product;  // its product string
    std::string serial;   // its serial number
    std::vector<PortHolder> holders;
    bool holders_unknown = false;  // none found, but some processes could not be looked at
};

// Every serial port, ordered by node name (ttyS2 before ttyS10). False when udev could not be
// read, with the last error set (errno too), its text one phrase ("cannot open udev: ...");
// no ports is success with an empty list.
bool ListSerialPorts(std::vector<SerialPortInfo>* ports);

// Whether `node` is a serial port now: a pseudo-terminal's slave, or a tty device that udev
// shows with a serial driver behind it (a character device udev cannot tell about counts too).
// /dev/null, a FIFO, a file or a missing node is none.
bool IsSerialPortNode(const std::string& node);
// The processes that hold `node` open; *unknown when none was found and some process's
// descriptors could not be read. None for a node that is no serial port (IsSerialPortNode): its
// open explains what it is instead.
std::vector<PortHolder> FindPortHolders(const std::string& node, bool* unknown);
// The holders that would share `node` with this process: all but this process and, for a
// pseudo-terminal, the processes that hold its master side (the device's own far end).
std::vector<PortHolder> FindSharingHolders(const std::string& node, bool* unknown);

// The command name of process `pid` (/proc/PID/comm), "?" when it cannot be read.
std::string ProcessCommandName(int pid);
// This process's own command name.
std::string OwnCommandName();

// Whether a process whose command name is `name` runs (as far as /proc shows).
bool ProcessRunning(const char* name);

// A udev property of the tty device behind `node` (symbolic links followed; an identity: the
// port it names now): "" when the node is no device udev knows or the property is not set.
std::string PortProperty(const std::string& node, const char* key);

// The node a device value stands for now, as its row of the kind table claims it
// (platform/devices/kinds.h): a path as it is, an identity as the one port that matches it. False with the last error (ENOENT: no port matches; ENOTUNIQ: several do;
// another: udev could not be read) and its text, one phrase naming the identity and the
// candidates: "no serial port matches udev:ID_SERIAL_SHORT=X (ports now: /dev/ttyS0)".
bool ResolvePortPath(const std::string& value, std::string* node);
// Waits, at most `milliseconds`, until `value` stands for a port again (an identity matches
// one port, a path exists), woken by udev's announcements. True when it does.
bool WaitForPort(const std::string& value, std::uint32_t milliseconds);

}  // namespace platform
