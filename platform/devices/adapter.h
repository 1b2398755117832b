// Implemented in platform/devices/adapter.cpp.
// The radio driver's adapters (platform/devices/adapter.cpp): "RIL1:" as a program, or any
// radio driver when the profile's [radio] reset names a modem-line pulse. The pulse takes the
// reset control; suspend and resume go to the program or service named for RIL1:, and succeed
// when none is named.
//
// Index: RadioSuspendCode RadioResumeCode RadioResetCode KernelRebootCode ControlActionName
// OpenAdapter AdapterControl PulseModemLine HeldPortDescriptor
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/base/system.h"
#include "platform/devices/profile.h"

namespace platform {
struct DeviceKind;
}

namespace platform::internal {

// The controls the handset's radio driver and kernel know, as the adapters name them.
inline constexpr std::uint32_t RadioSuspendCode = 0x03001F80;
inline constexpr std::uint32_t RadioResumeCode = 0x03001F84;
inline constexpr std::uint32_t RadioResetCode = 0x03001F88;
inline constexpr std::uint32_t KernelRebootCode = 0x0101003C;

// "suspend", "resume", "reset", "reboot", or the code as "0x%08X".
std::string ControlActionName(std::uint32_t code);

// Opens the radio driver as an adapter (the kind table's pulse and program rows): its controls
// go to `carrier`, the kind its entry `value` is (a program or a service; null: none, each
// succeeds), checked ready now; with `pulse`, that profile's [radio] reset takes the reset.
Handle OpenAdapter(const std::string& device, const std::string& value, const DeviceKind* carrier,
                   const Profile* pulse);
// DeviceIoControl of an adapter handle; false when `handle` is none (last error untouched).
bool AdapterControl(Handle handle, std::uint32_t code, bool* handled);

// One pulse as the profile describes it, on the port's path (the open port when this process
// holds it). False with the last error set.
bool PulseModemLine(const ResetPulse& pulse, const std::string& path);

}  // namespace platform::internal
