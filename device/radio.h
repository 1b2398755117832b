// Implemented in device/radio.cpp.
// The radio driver "RIL1:": suspend it, resume it, reset the module through it. Each call
// opens the device, issues one control and closes it. Results: 0 success, 1 failure. As
// command handlers they use only the window; a null window makes their lines silent.
//
// A run with a reset by hand (device/controls.h) asks the person instead of the driver.
//
// Index: SuspendRadio ResumeRadio ResetModule ControlFault LastControlFault
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace device {

inline constexpr std::uint32_t IoctlSuspendRadio = 0x03001F80;
inline constexpr std::uint32_t IoctlResumeRadio = 0x03001F84;
inline constexpr std::uint32_t IoctlResetModule = 0x03001F88;

// The latest control of this thread that failed: why, and whether a retry would fail alike
// (platform::ControlFailsForGood). Empty explanation: the latest one succeeded.
struct ControlFault {
    std::string explanation;
    bool lasting = false;
};
ControlFault LastControlFault();

std::int32_t SuspendRadio(platform::Hwnd window, std::uint16_t id = 0, platform::LParam lparam = 0,
                          std::uint16_t code = 0);
std::int32_t ResumeRadio(platform::Hwnd window, std::uint16_t id = 0, platform::LParam lparam = 0,
                         std::uint16_t code = 0);
std::int32_t ResetModule(platform::Hwnd window, std::uint16_t id = 0, platform::LParam lparam = 0,
                         std::uint16_t code = 0);

}  // namespace device
