// Implemented in platform/devices/explain.cpp.
// Why a device did not open, in words a user can act on (platform/devices/explain.cpp): the
// device name, its path, the system's reason, and the fix (the group to join, the process that
// holds the port, where to find the machine's serial ports, that a path is no serial port).
// Likewise why a control of the radio driver or the kernel failed once the device was open.
//
// Index: ErrorText OpenFailureText ExplainOpenFailureParts ExplainOpenFailure NetworkSettingReport ExplainControlFailure ControlFailsForGood
// ControlName CanResetModule
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// The system's reason for an error code, in words ("Permission denied"); "error N" if unknown.
std::string ErrorText(std::uint32_t error);
// Why a device did not open, in its two parts: what was opened, "COM1: (/dev/ttyUSB0)" (empty
// when the profile has no entry for it), and why with the fix, "Permission denied: ...".
// `device` is the profile's device name ("COM1:", "RIL1:") or "KernelIoControl".
struct OpenFailureText {
    std::string head;
    std::string reason;
};
OpenFailureText ExplainOpenFailureParts(const char* device, std::uint32_t error);
// The same in one line, no line end: "COM1: (/dev/ttyUSB0): Permission denied: ...".
std::string ExplainOpenFailure(const char* device, std::uint32_t error);
// What a network port's exporter did when the port's line settings failed on this thread just
// now, from the last error ("the exporter did not answer the stop bits control (2) within 5 s");
// "" for any other port or failure.
std::string NetworkSettingReport(const char* device);
// One line, no line end, for a control that failed on this thread just now: "RIL1:
// (/usr/local/lib/gpio-reset.sh): reset failed: exited with status 1; its last line: cannot
// open gpiochip0". *adapter_line gets a program's last line ("" for none or no program).
std::string ExplainControlFailure(const char* device, std::uint32_t code, std::uint32_t error,
                                  std::string* adapter_line);
// Whether a control that failed with `error` (or the open of its device, `opened` false) would
// fail alike on every retry: a pulse on a port without modem lines, a device or program that
// is not there or may not be used, a program that cannot run (its exec failed, or it ended with
// 126 or 127: a command it runs is not there). Any other exit status of a program, a time-out
// or a busy device may change, and are not.
bool ControlFailsForGood(const char* device, std::uint32_t code, std::uint32_t error, bool opened);
// "suspend", "resume", "reset", "reboot", or the code as "0x%08X".
std::string ControlName(std::uint32_t code);
// Whether the profile gives a way to reset the module: a RIL1: entry or a [radio] reset.
bool CanResetModule();

}  // namespace platform
