// Implemented in shell/options.cpp.
// The two options that steer the rest of the tool, the option commands and the about box.
// Both options live in memory for the life of the process; nothing stores them.
//
// Index: BridgePeer DisplayMode SelectOption ShowAboutBox AboutBoxProc
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

namespace shell {

// 1 Bluetooth UART, 2 IR "COM5:", 3 IrDA "COM3:"; read by StartBridge.
extern std::atomic<std::int32_t> BridgePeer;
// 0 quiet, 1 peer-to-GSM relay lines, 2 GSM-to-peer relay lines, 3 both; 0 also drops the
// texts of AppendLogUnlessQuiet. Read by the relay threads and the updater thread.
extern std::atomic<std::int32_t> DisplayMode;

std::int32_t SelectOption(platform::Hwnd window, std::uint16_t id, platform::LParam lparam = 0,
                          std::uint16_t code = 0);
std::int32_t ShowAboutBox(platform::Hwnd window, std::uint16_t id = 0, platform::LParam lparam = 0,
                          std::uint16_t code = 0);
std::intptr_t AboutBoxProc(platform::Hwnd dialog, std::uint32_t message, platform::WParam wparam,
                           platform::LParam lparam);

}  // namespace shell
