// Implemented in device/reboot.cpp.
// The handset reboot through the kernel's reboot request, looked up by name in "COREDLL.DLL"
// each time. 0 when the request was accepted, 1 on failure. A failure is also kept in the run's
// reboot_failed (device/controls.h), so that a run that ends well after it can say and record it.
//
// Index: RebootDevice
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

namespace device {

inline constexpr std::uint32_t IoctlHalReboot = 0x0101003C;

std::int32_t RebootDevice(platform::Hwnd window, std::uint16_t id = 0, platform::LParam lparam = 0,
                          std::uint16_t code = 0);

}  // namespace device
