// Why a device did not open, in words a user can act on (platform/devices/explain.cpp): the
// device name, its path, the system's reason, and the fix (the group to join, the process that
// holds the port, where to find the machine's serial ports, that a path is no serial port).
//
// Index: ErrorText ExplainOpenFailure
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// The system's reason for an error code, in words ("Permission denied"); "error N" if unknown.
std::string ErrorText(std::uint32_t error);
// One line, no line end: "COM1: (/dev/ttyUSB0): Permission denied: ...". `device` is the
// profile's device name ("COM1:", "RIL1:") or "KernelIoControl".
std::string ExplainOpenFailure(const char* device, std::uint32_t error);

}  // namespace platform
