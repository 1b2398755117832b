// The simulated radio module as the handset's lines see it: bytes arrive from the tool on the
// module link ("COM1:"), the radio driver resets it, and it answers through a writer back to the
// tool. The model behind this interface is the boot ROM of sim/boot_rom.h: after a reset it
// answers the casting byte 0x55 with 0xA0 and then takes the download protocol; before any
// reset it ignores what it gets. Calls may come from different threads (the lines' thread
// brings bytes, the radio driver's thread resets): the model serialises them.
//
// Index: LineWriter LineHangUp Module MakeModule
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "sim/boot_rom.h"

namespace sim {

// Bytes from the module to the tool on the module link.
using LineWriter = std::function<void(const std::uint8_t* data, std::size_t size)>;
// The module link goes away (the device vanishes under the tool).
using LineHangUp = std::function<void()>;

class Module {
public:
    virtual ~Module() = default;
    // Bytes the tool wrote on the module link.
    virtual void FromTool(const std::uint8_t* data, std::size_t size) = 0;
    // The radio driver reset the module.
    virtual void Reset() = 0;
    // For tests and reports.
    virtual int Resets() const = 0;
    virtual bool DownloadDone() const = 0;
    virtual std::size_t ImageSize() const = 0;
    virtual std::string LastRefusal() const = 0;
};

std::unique_ptr<Module> MakeModule(LineWriter writer, LineHangUp hang_up, const RomFault& fault);

}  // namespace sim
