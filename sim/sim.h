// Implemented in sim/handset.cpp and sim/foreground.cpp.
// The simulated handset: a real set of devices in a private temporary directory (mode 0700),
// removed when it stops, when the process ends by exit() or a fatal signal, or (after a
// SIGKILL) by the next handset's start (sim/leftovers.h). The radio driver and the kernel are Unix stream sockets (ril.sock,
// kernel.sock) that record every control code; the serial lines are pseudo-terminals whose
// slave paths the profile names: "COM1:" the module's boot/download link, "COM2:" the FF UART
// (the module's AT port), and the peer ports "COM3:" IrDA, "COM4:" Bluetooth UART, "COM5:" IR,
// each relayed both ways to a far end (a second pseudo-terminal) that a host program opens.
// The profile (handset.prof) names them all, with the registry indexes of the FF UART (2) and
// the BT UART (4) and the kernel service.
//
// Index: Options ControlRecord Peer Handset | Start Stop Current | RunForeground
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/boot_rom.h"
#include "sim/control_service.h"
#include "sim/module.h"

namespace sim {

// Radio driver controls it answers with status 0; any other code is answered 22 (EINVAL).
inline constexpr std::uint32_t RilSuspend = 0x03001F80;
inline constexpr std::uint32_t RilResume = 0x03001F84;
inline constexpr std::uint32_t RilResetModule = 0x03001F88;
// The only kernel control it accepts: the reboot request.
inline constexpr std::uint32_t KernelReboot = 0x0101003C;

struct Options {
    ControlFault ril_fault;     // a fault of the radio driver from the start
    ControlFault kernel_fault;  // a fault of the kernel service from the start
    RomFault module_fault;      // a fault of the module's boot ROM
    AtFault at_fault;           // a fault of the module's firmware on its AT port
    std::string parent_directory;  // where the private directory goes; empty: $TMPDIR or /tmp
    std::uint32_t module_baud = 0;  // the module link paced at this baud rate; 0: unpaced
};

// A control code as a service acted on it, and when.
struct ControlRecord {
    std::uint32_t code;
    std::chrono::steady_clock::time_point at;
};

struct Peer {
    std::string device;    // "COM4:" as the tool opens it
    std::string name;      // "Bluetooth UART", "IR", "IrDA"
    std::string far_path;  // the far end a host program opens
};

class Handset {
public:
    Handset();
    ~Handset();  // stops
    Handset(const Handset&) = delete;
    Handset& operator=(const Handset&) = delete;

    // False with *error set ("what: reason"); nothing is left behind then.
    bool Start(const Options& options, std::string* error);
    // Ends every thread, closes every descriptor and removes the directory. Idempotent.
    void Stop();
    bool Running() const;

    std::string ProfilePath() const;
    std::string Directory() const;
    // What the profile names for a device ("COM1:" a pty slave, "RIL1:" a socket); "" if none.
    std::string DevicePath(const std::string& device) const;
    std::vector<Peer> Peers() const;
    std::string PeerFarPath(const std::string& device) const;  // "" for no such peer

    std::vector<std::uint32_t> RilCodes() const;
    std::vector<std::uint32_t> KernelCodes() const;
    void SetRilFault(const ControlFault& fault);
    void SetKernelFault(const ControlFault& fault);
    // The codes the radio driver and the kernel acted on (answered), with their times.
    std::vector<ControlRecord> RilRecords() const;
    std::vector<ControlRecord> KernelRecords() const;
    // A fault of the module's boot ROM from now on.
    void SetModuleFault(const RomFault& fault);
    // A fault of the module's firmware (its AT side) from now on.
    void SetAtFault(const AtFault& fault);
    // The module on "COM1:" (valid while running).
    const Module& module() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The process-wide handset: the program's default profile. Start gives the profile path (the
// running one's if it runs already), or "" with *error set; Stop ends it; Current is it or null.
std::string Start(const Options& options = {}, std::string* error = nullptr);
void Stop();
Handset* Current();

// `firmware-utility sim`: starts a handset, prints its profile path on stdout (one line, then one
// line per peer: "COM4: FAR_PATH (Bluetooth UART far end)"), serves until SIGINT, SIGTERM or
// SIGHUP, removes its directory and returns 0 (1 when it could not start).
int RunForeground();

}  // namespace sim
