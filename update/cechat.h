// The module link: the serial line "COM1:" to the radio module, open only while an update
// runs. Single bytes go out with a trace line each; WaitForModuleByte waits for one expected
// byte, dropping the others, bounded by ModuleTimeoutMs of silence.
//
// Index: ModuleLink CurrentModuleLink ModuleTimeoutMs | OpenModuleLink CloseModuleLink
// WaitForModuleByte SendModuleByte
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

namespace update {

struct ModuleLink {
    char PortName[8];
    platform::Dcb LineSettings;
    std::atomic<platform::Handle> PortHandle;  // 0 while not open; read by the caster thread
};

// The current link; records are never freed (the caster may still read an old one).
extern std::atomic<ModuleLink*> CurrentModuleLink;
// The bound on one silent wait for the module (--module-timeout), in milliseconds.
extern std::atomic<std::uint32_t> ModuleTimeoutMs;

std::int32_t OpenModuleLink();
void CloseModuleLink();
std::int32_t WaitForModuleByte(std::uint32_t expected);
void SendModuleByte(std::uint32_t byte);
// The current link's port, 0 when there is none.
platform::Handle ModulePort();

}  // namespace update
