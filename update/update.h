// The firmware update: the update command, the updater and caster threads, and the three
// upload stages.
//
// Index: StartUpdate UpdateThread CasterThread UploadBootLoader1 UploadBootLoader2
// DownloadFirmwareImage UpdateRunning LastUpdateResult
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

namespace update {

std::int32_t StartUpdate(platform::Hwnd window, std::uint16_t id = 0, platform::LParam lparam = 0,
                         std::uint16_t code = 0);
std::uint32_t UpdateThread(void* window);
std::uint32_t CasterThread(void* unused);
std::int32_t UploadBootLoader1();
std::int32_t UploadBootLoader2();
std::int32_t DownloadFirmwareImage(platform::Hwnd window);

}  // namespace update
