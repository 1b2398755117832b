// Header only: names and numbers, no code.
// The command ids: one place to read them. The menu and the accelerator (resources/), the
// command table (shell/main_window.cpp), the options, the command line and the tests all use
// these names; a command message carries the id in the low word of its wparam.
#pragma once

#include <cstdint>

namespace commands {

inline constexpr std::uint16_t Done = 1;               // the done button [OK]
inline constexpr std::uint16_t Exit = 101;             // "Exit", Ctrl+Q
inline constexpr std::uint16_t PeerBluetooth = 110;    // bridge peer: the Bluetooth UART
inline constexpr std::uint16_t PeerIr = 111;           //              IR "COM5:"
inline constexpr std::uint16_t DisplayQuiet = 112;     // display mode 0: no relay lines, no milestones
inline constexpr std::uint16_t DisplayPeerToGsm = 113; //              1: peer-to-GSM lines
inline constexpr std::uint16_t DisplayGsmToPeer = 114; //              2: GSM-to-peer lines
inline constexpr std::uint16_t DisplayBoth = 115;      //              3: both
inline constexpr std::uint16_t PeerIrda = 116;         // bridge peer: IrDA "COM3:"
inline constexpr std::uint16_t Update = 117;           // update the module's firmware
inline constexpr std::uint16_t UpdateGo = 118;         // the same, from "Update firmware - Go"
inline constexpr std::uint16_t About = 120;            // the about box
inline constexpr std::uint16_t Reboot = 150;           // reboot the handset
inline constexpr std::uint16_t ResumeRadio = 151;      // radio driver: resume
inline constexpr std::uint16_t SuspendRadio = 152;     //               suspend
inline constexpr std::uint16_t StartBridge = 153;      // port bridge: start
inline constexpr std::uint16_t ResetModule = 154;      // radio driver: reset the module
inline constexpr std::uint16_t ReleaseBridge = 155;    // port bridge: release

}  // namespace commands
