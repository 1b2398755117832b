// Implemented in shell/main_window.cpp.
// The main window: start-up, the window procedure with its message table, the command table,
// the timer table with the keep-alive timer, and the orderly shut-down. Start reading at the tables in
// shell/main_window.cpp.
//
// Index: RunMainWindow MainWindowProc CloseMainWindow CommandHandler CommandRow IsCommand DispatchCommand
// KeepForeground WorkDir MenuBarWindow GpioWindow
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"

namespace shell {

inline constexpr const char* WindowClassName = "Firmware Utility";
inline constexpr std::size_t WorkDirSize = 100;

// The command handler form shared by every row of the command table.
using CommandHandler = std::int32_t (*)(platform::Hwnd window, std::uint16_t id,
                                        platform::LParam lparam, std::uint16_t code);

// A row of a command table: command id, handler.
struct CommandRow {
    std::uint16_t id;
    CommandHandler handler;
};
// Scans the rows from the first; the first row with the command id (low word of wparam) runs
// with the notification code (high word). An id with no row returns 0 and does nothing.
// True when the command table has a row for the id.
bool IsCommand(std::uint16_t id);
std::int32_t DispatchCommand(const CommandRow* rows, std::size_t count, platform::Hwnd window,
                             platform::WParam wparam, platform::LParam lparam);

// While non-zero, each keep-alive tick brings the main window to the front.
extern std::atomic<std::int32_t> KeepForeground;
extern char WorkDir[WorkDirSize];
extern platform::Hwnd MenuBarWindow;
extern void* GpioWindow;
// The main window while it exists (0 otherwise); the program's own entry reads it.
extern std::atomic<platform::Hwnd> MainWindow;

// Start-up, message loop and shut-down. The process exit code: 0 normal end, -1 (255) another
// window runs, 1 class not registered, 16 window not created. `commands` are posted in order
// once the window is up.
int RunMainWindow(int show_state, const std::uint16_t* commands, int command_count);

platform::LResult MainWindowProc(platform::Hwnd window, std::uint32_t message,
                                 platform::WParam wparam, platform::LParam lparam);
std::int32_t CloseMainWindow(platform::Hwnd window, std::uint16_t id, platform::LParam lparam = 0,
                             std::uint16_t code = 0);

}  // namespace shell
