// Implemented in update/cechat.cpp.
// The module link: the serial line "COM1:" to the radio module, open only while an update
// runs. Single bytes go out with a trace line each; WaitForModuleByte waits for one expected
// byte, dropping the others, bounded by the run's module time-out from its start whatever else arrives.
// DiscardModuleInput drops what the module sent before a request, so that only an answer that
// follows the request can confirm it.
//
// Index: ModuleLinkName ModuleLineSettings ModuleLink CurrentModuleLink PurgeAll | OpenModuleLink ModuleLinkSharers CloseModuleLink
// WaitForModuleByte WaitForModuleByteFor WaitForModuleAck WaitForModuleByteCounting SendModuleByte WriteToModule PurgeModuleLink
// ModuleLinkLost DiscardModuleInput ModulePort
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace update {

// The module's device name, wherever the tool names its link.
inline constexpr char ModuleLinkName[] = "COM1:";

// The module's line: 115200 baud, 8 bits, no parity, the one-and-a-half stop-bits code (two on
// Linux), DTR and RTS on while open, no flow control; the XON/XOFF limits and the special
// characters are 0.
inline constexpr platform::Dcb ModuleLineSettings = {
    .length = sizeof(platform::Dcb),
    .baud_rate = 115200,
    .binary = 1,
    .parity_check = 0,
    .cts_flow = 0,
    .dsr_flow = 0,
    .dtr_control = 1,
    .dsr_sensitivity = 0,
    .tx_continue_on_xoff = 1,
    .out_x = 0,
    .in_x = 0,
    .error_char_on = 0,
    .null_strip = 0,
    .rts_control = 1,
    .abort_on_error = 0,
    .reserved = 0,
    .reserved2 = 0,
    .xon_limit = 0,
    .xoff_limit = 0,
    .byte_size = 8,
    .parity = 0,
    .stop_bits = 1,
    .xon_char = 0,
    .xoff_char = 0,
    .error_char = 0,
    .eof_char = 0,
    .event_char = 0,
    .reserved3 = 0,
};

// Abort writes and reads, clear both queues.
inline constexpr std::uint32_t PurgeAll =
    platform::PurgeTxAbort | platform::PurgeRxAbort | platform::PurgeTxClear | platform::PurgeRxClear;

struct ModuleLink {
    char PortName[8];
    platform::Dcb LineSettings;
    std::atomic<platform::Handle> PortHandle;  // 0 while not open; read by the caster thread
};

// The current link; records are never freed (the caster may still read an old one).
extern std::atomic<ModuleLink*> CurrentModuleLink;

std::int32_t OpenModuleLink();
// Who else has the module link's node open without a lock (`exec 3<>/dev/ttyUSB0` in a shell),
// as "COM1: (PATH) is open in process 1234 (sleep)"; "" when nobody shares it. *ours: every
// one of them is this program (another update or bridge), which a shared line would not help.
std::string ModuleLinkSharers(bool* ours);
void CloseModuleLink();
std::int32_t WaitForModuleByte(std::uint32_t expected);
// As WaitForModuleByte, bounded by `milliseconds` instead of the module time-out.
std::int32_t WaitForModuleByteFor(std::uint32_t expected, std::uint32_t milliseconds);
// As WaitForModuleByte, adding each byte it drops to *dropped; once *dropped passes `limit`
// the wait ends at once with 0, so a line that keeps sending other bytes is found out.
std::int32_t WaitForModuleAck(std::uint32_t expected, std::uint32_t* dropped, std::uint32_t limit);
std::int32_t WaitForModuleByteCounting(std::uint32_t expected, std::uint32_t milliseconds, std::uint32_t* dropped,
                                       std::uint32_t limit);
void SendModuleByte(std::uint32_t byte);
// One platform write of a whole buffer on the link; the count written (its result is judged by
// the module's reply, not here).
std::uint32_t WriteToModule(const void* bytes, std::uint32_t length);
// Aborts pending reads and writes and clears both queues.
void PurgeModuleLink();
// True once the module link's device has hung up or failed (a pulled adapter, a closed far
// end): every later wait would return 0 at once, so the run ends instead of retrying.
bool ModuleLinkLost();
// Clears the receive queue: bytes that came before the request about to be sent answer nothing.
void DiscardModuleInput();
// The current link's port, 0 when there is none.
platform::Handle ModulePort();

}  // namespace update
