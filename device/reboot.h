// The handset reboot through the kernel's reboot request, looked up by name in "COREDLL.DLL"
// each time. 0 when the request was accepted, 1 on failure.
//
// Index: RebootDevice
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace device {

inline constexpr std::uint32_t IoctlHalReboot = 0x0101003C;

std::int32_t RebootDevice(platform::Hwnd window, std::uint16_t id = 0, platform::LParam lparam = 0,
                          std::uint16_t code = 0);

}  // namespace device
