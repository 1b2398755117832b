// Implemented in device/radio.cpp.
// The radio driver "RIL1:": suspend it, resume it, reset the module through it. Each call
// opens the device, issues one control and closes it. Results: 0 success, 1 failure. As
// command handlers they use only the window; a null window makes their lines silent.
//
// Index: SuspendRadio ResumeRadio ResetModule ResetByHand HandResetPrompt ControlFault LastControlFault
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace device {

inline constexpr std::uint32_t IoctlSuspendRadio = 0x03001F80;
inline constexpr std::uint32_t IoctlResumeRadio = 0x03001F84;
inline constexpr std::uint32_t IoctlResetModule = 0x03001F88;

// Set for a module without radio driver or reset line (`update --port` with `--reset none`): the
// person presses its reset button when asked, so every control succeeds at once without a
// device, and each reset asks through HandResetPrompt (null: nobody is asked).
extern std::atomic<bool> ResetByHand;
using HandResetPromptFn = void (*)();
extern std::atomic<HandResetPromptFn> HandResetPrompt;

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
