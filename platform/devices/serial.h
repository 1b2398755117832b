// Implemented in platform/devices/devices.cpp, platform/devices/net_port.cpp,
// platform/devices/serial_io.cpp, platform/devices/serial_port.cpp and
// platform/devices/service.cpp.
// Devices by name: serial ports on termios and driver services on Unix sockets.
//
// How it works: OpenDevice looks the name up in the handset profile ([devices], any case). A
// tty opens as a serial port (O_NONBLOCK, flock and TIOCEXCL: a second open fails with EBUSY,
// also inside one process); a Unix socket connects as a driver service. Port calls never spin:
// reads, writes and event waits sleep in poll with the deadlines that the time-out record
// gives, beside a wake-up descriptor that purge-abort, close and thread terminate/suspend use.
// A port whose device hung up (POLLHUP, EIO) reports a line error on every later call.
//
// Index: OpenDevice SetPortNoteHandler CloseHandle(system.h) | GetCommState SetCommState
// GetCommTimeouts
// SetCommTimeouts PurgeComm PurgeQueuedInput SetupComm EscapeCommFunction GetCommModemStatus SetCommMask WaitCommEvent
// WaitCommEventFor ClearCommError PortLost ReadFile ReadQueued WriteFile | DeviceIoControl
#pragma once

#include <cstdint>

#include "platform/base/system.h"

namespace platform {

// The serial line-settings record (fields as the handset's driver has them).
struct Dcb {
    std::uint32_t length;
    std::uint32_t baud_rate;
    std::uint32_t binary : 1;
    std::uint32_t parity_check : 1;
    std::uint32_t cts_flow : 1;
    std::uint32_t dsr_flow : 1;
    std::uint32_t dtr_control : 2;  // 0 disable, 1 enable (on while open), 2 handshake
    std::uint32_t dsr_sensitivity : 1;
    std::uint32_t tx_continue_on_xoff : 1;
    std::uint32_t out_x : 1;
    std::uint32_t in_x : 1;
    std::uint32_t error_char_on : 1;
    std::uint32_t null_strip : 1;
    std::uint32_t rts_control : 2;  // 0 disable, 1 enable, 2 handshake, 3 toggle
    std::uint32_t abort_on_error : 1;
    std::uint32_t reserved : 17;
    std::uint16_t reserved2;
    std::uint16_t xon_limit;
    std::uint16_t xoff_limit;
    std::uint8_t byte_size;
    std::uint8_t parity;     // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::uint8_t stop_bits;  // 0 one, 1 one and a half (two on Linux), 2 two
    char xon_char, xoff_char, error_char, eof_char, event_char;
    std::uint16_t reserved3;
};

struct CommTimeouts {
    std::uint32_t read_interval;
    std::uint32_t read_total_multiplier;
    std::uint32_t read_total_constant;
    std::uint32_t write_total_multiplier;
    std::uint32_t write_total_constant;
};

struct ComStat {
    std::uint32_t in_queue;
    std::uint32_t out_queue;
};

inline constexpr std::uint32_t PurgeTxAbort = 0x0001;
inline constexpr std::uint32_t PurgeRxAbort = 0x0002;
inline constexpr std::uint32_t PurgeTxClear = 0x0004;
inline constexpr std::uint32_t PurgeRxClear = 0x0008;

inline constexpr std::uint32_t EvRxChar = 0x0001;
inline constexpr std::uint32_t EvBreak = 0x0040;
inline constexpr std::uint32_t EvErr = 0x0080;

inline constexpr std::uint32_t CeRxOver = 0x0001;   // the receive queue overflowed
inline constexpr std::uint32_t CeOverrun = 0x0002;  // a character was lost in the device
inline constexpr std::uint32_t CeRxParity = 0x0004;
inline constexpr std::uint32_t CeFrame = 0x0008;
inline constexpr std::uint32_t CeBreak = 0x0010;
inline constexpr std::uint32_t CeIoe = 0x0400;  // the device hung up or failed

inline constexpr int SetRts = 3;
inline constexpr int SetDtr = 5;

inline constexpr std::uint32_t MaxDword = 0xFFFFFFFFu;

// Opens a device of the profile by name; InvalidHandle on failure with the last error set
// (ENOENT: no such device; EBUSY: the port is held; a connect errno for a service).
Handle OpenDevice(const char* name);
// A port that opened but serves otherwise than asked is said once per port (an exporter that
// does not set its port's line settings) on the trace and to this handler; null: the trace only.
using PortNoteHandler = void (*)(const char* note);
void SetPortNoteHandler(PortNoteHandler handler);

bool GetCommState(Handle port, Dcb* dcb);
bool SetCommState(Handle port, const Dcb* dcb);
bool GetCommTimeouts(Handle port, CommTimeouts* timeouts);
bool SetCommTimeouts(Handle port, const CommTimeouts* timeouts);
bool PurgeComm(Handle port, std::uint32_t flags);
// PurgeComm(PurgeRxClear), with no flush at all when the receive queue holds nothing.
bool PurgeQueuedInput(Handle port);
bool SetupComm(Handle port, std::uint32_t in_queue, std::uint32_t out_queue);
bool EscapeCommFunction(Handle port, int function);
// The port's modem lines as the kernel reports them (TIOCM_* bits); false with ENOTTY or EINVAL
// on a tty that has none (a pty).
bool GetCommModemStatus(Handle port, std::uint32_t* status);
bool SetCommMask(Handle port, std::uint32_t mask);
bool GetCommMask(Handle port, std::uint32_t* mask);
// Waits without bound until a masked event occurs (or the wait is aborted: false).
bool WaitCommEvent(Handle port, std::uint32_t* events);
// The same, bounded: false with ETIMEDOUT when nothing happened within `milliseconds`.
bool WaitCommEventFor(Handle port, std::uint32_t* events, std::uint32_t milliseconds);
bool ClearCommError(Handle port, std::uint32_t* errors, ComStat* status);
// True when the port's device hung up or failed (a pulled adapter, a pty whose far end closed),
// or the handle no longer names an open port: nothing will pass through it any more.
bool PortLost(Handle port);
// Both report the count moved in *done (0 on a time-out); false on a failure of the device.
bool ReadFile(Handle port, void* buffer, std::uint32_t size, std::uint32_t* done);
// As ReadFile, but returns at once with what is queued (0 when nothing is), whatever the
// port's time-outs.
bool ReadQueued(Handle port, void* buffer, std::uint32_t size, std::uint32_t* done);
bool WriteFile(Handle port, const void* buffer, std::uint32_t size, std::uint32_t* done);

// A driver service: one control is one exchange on the connection opened by OpenDevice: the
// 32-bit code little-endian out, a 32-bit status little-endian back (bounded to a few seconds).
// Status 0 is success; anything else fails with that status as the last error.
bool DeviceIoControl(Handle device, std::uint32_t code, void* in, std::uint32_t in_size,
                     void* out, std::uint32_t out_size, std::uint32_t* returned);

}  // namespace platform
