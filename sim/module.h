// Implemented in sim/module.cpp.
// The simulated radio module as the handset's lines see it: bytes arrive from the tool on the
// module link ("COM1:"), the radio driver resets it, and it answers through a writer back to the
// tool. The model behind this interface is the boot ROM of sim/boot_rom.h: after a reset it
// answers the casting byte 0x55 with 0xA0 and then takes the download protocol; before any
// reset it ignores what it gets. Calls may come from different threads (the lines' thread
// brings bytes, the radio driver's thread resets, a test sets faults): the model serialises them.
//
// Paced at a baud rate, each byte takes the bits of the line's framing as the tool set it (start
// bit, data bits, parity bit, stop bits: 8 data and 2 stop bits are 11), read from the line
// whenever bytes arrive; its answers take their own wire time back: an answer leaves no earlier
// than the last byte that caused it has arrived, plus its own bytes' time. A pacer thread sends
// each answer (or hangs the line up) at its due time. Unpaced, answers go out at once.
//
// The casting is answered only within BootWindow of the latest reset, as a boot ROM does; a
// Flood fault keeps a thread of its own sending 0x00 until the next reset.
//
// Its firmware (sim/firmware.h) runs when no download holds it: before the first reset, and
// BootWindow plus a boot time after a reset that no casting answered. An image whose checksums
// it accepted runs from the reset after the download on.
//
// Index: LineWriter LineHangUp LineFraming DefaultFrameBits WireClock | Module: FromTool Reset Stop
// SetFault Resets DownloadDone Downloads Confirmations ImageSize ImageSha256 Loader1 Loader2
// Loader1Sha256 Loader2Sha256 LastRefusal SetAtFault Firmware FrameBits | FirmwareState MakeModule
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/boot_rom.h"
#include "sim/firmware.h"

namespace sim {

// Bytes from the module to the tool on the module link.
using LineWriter = std::function<void(const std::uint8_t* data, std::size_t size)>;
// The module link goes away (the device vanishes under the tool).
using LineHangUp = std::function<void()>;

// The bits a byte takes on the line as the tool set it now (start, data, parity and stop bits);
// 0 when that cannot be told.
using LineFraming = std::function<std::uint32_t()>;
// A line nobody set, or whose framing cannot be read: 8 data bits, no parity, 1 stop bit.
inline constexpr std::uint32_t DefaultFrameBits = 10;

// One direction of a serial line at a baud rate: when bytes handed to it at a time have gone
// through. A byte takes bits_per_byte bit times; bytes queue behind those still on the wire.
// Exact to the nanosecond over any number of bytes (the time of a busy stretch is worked out
// from its start).
class WireClock {
public:
    using Clock = std::chrono::steady_clock;
    explicit WireClock(std::uint32_t baud) : baud_(baud) {}
    // `bytes` reach the line at `at`: the time the last of them has arrived at the far end.
    Clock::time_point Carry(Clock::time_point at, std::uint64_t bytes, std::uint32_t bits_per_byte);
    // The wire time of `bytes` at `baud`, each framed in bits_per_byte bits.
    static std::chrono::nanoseconds Time(std::uint64_t bytes, std::uint32_t baud, std::uint32_t bits_per_byte);

private:
    std::uint32_t baud_;
    Clock::time_point run_start_{};  // start of the current busy stretch
    std::uint64_t run_bits_ = 0;     // bits carried since then
    Clock::time_point free_{};       // when the line is idle again
};

// What the module's firmware would answer on its AT port now.
struct FirmwareState {
    bool answering = false;  // false while a boot ROM or loader holds it, or it is still booting
    std::string revision;    // the revision it runs (also while it does not answer)
    std::string serial;
    AtFault fault;
};

class Module {
public:
    virtual ~Module() = default;
    // Bytes the tool wrote on the module link.
    virtual void FromTool(const std::uint8_t* data, std::size_t size) = 0;
    // The radio driver reset the module.
    virtual void Reset() = 0;
    // The module goes quiet for good: answers not yet sent are dropped, the pacer thread ends
    // and nothing more is written or hung up. The handset calls it before its lines stop.
    virtual void Stop() = 0;
    // A fault of the boot ROM from now on (replaces the one given at the start).
    virtual void SetFault(const RomFault& fault) = 0;
    // For tests and reports.
    virtual int Resets() const = 0;
    // A download has completed (also after the reset that follows it), and how many did.
    virtual bool DownloadDone() const = 0;
    virtual int Downloads() const = 0;
    // 0xA5 bytes sent after the image's checksums had arrived (see BootRom::Confirmations).
    virtual int Confirmations() const = 0;
    virtual std::size_t ImageSize() const = 0;
    // SHA-256 (64 lower-case hex digits) of the image of the latest complete download; "" if none.
    virtual std::string ImageSha256() const = 0;
    // The loaders as the module kept them (empty until a stage took one), and their SHA-256.
    virtual std::vector<std::uint8_t> Loader1() const = 0;
    virtual std::vector<std::uint8_t> Loader2() const = 0;
    virtual std::string Loader1Sha256() const = 0;
    virtual std::string Loader2Sha256() const = 0;
    virtual std::string LastRefusal() const = 0;
    // A fault of the firmware's AT side from now on.
    virtual void SetAtFault(const AtFault& fault) = 0;
    virtual FirmwareState Firmware() const = 0;
    // The bits a byte took on the line at the latest bytes from the tool (DefaultFrameBits
    // before any, and always when unpaced or without a LineFraming).
    virtual std::uint32_t FrameBits() const = 0;
};

// baud 0: unpaced, answers go out at once. `framing` is asked on the thread that brings the
// tool's bytes, each time some arrive; none: every byte takes DefaultFrameBits.
std::unique_ptr<Module> MakeModule(LineWriter writer, LineHangUp hang_up, const RomFault& fault,
                                   std::uint32_t baud = 0, const AtFault& at_fault = {},
                                   LineFraming framing = {});

}  // namespace sim
