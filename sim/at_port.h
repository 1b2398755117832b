// Implemented in sim/at_port.cpp.
// The module's AT command port as the FF UART ("COM2:") carries it: lines ending in CR (or LF)
// are commands, answered as a module's firmware does ("\r\n" TEXT "\r\n" lines, then "\r\nOK\r\n",
// or "\r\nERROR\r\n" for a command it does not know). No echo unless asked (AtFault::echo),
// and result codes of its own only when asked (AtFault::unsolicited). Anything that is not an AT
// command is ignored, and so is everything while the firmware does not run (sim/module.h):
// in the boot ROM, during a download and for the boot time after a reset.
//
// Commands: AT; AT+CGMI and AT+CGMM (manufacturer, model); AT+CGMR and AT+GMR (revision);
// AT+CGSN (serial); ATI (all of them). Faults (sim/firmware.h): ERROR to all but AT, junk, or
// silence to all but AT; the revision answer's lines may be shaped (AtFault::revision_answer).
// Runs on the lines' thread only.
//
// Index: AtPort::FromTool | FirmwareStateFn JunkAnswerLength
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "sim/module.h"

namespace sim {

// What the firmware behind the port is doing now.
using FirmwareStateFn = std::function<FirmwareState()>;
// The length of a Junk fault's answer line: longer than any answer a tool should take.
inline constexpr std::size_t JunkAnswerLength = 4096;

class AtPort {
public:
    AtPort(LineWriter writer, FirmwareStateFn state) : writer_(std::move(writer)), state_(std::move(state)) {}
    void FromTool(const std::uint8_t* data, std::size_t size);

private:
    void Command(const std::string& command);

    static constexpr std::size_t MaxLine = 512;
    LineWriter writer_;
    FirmwareStateFn state_;
    std::string line_;
    bool overlong_ = false;
};

}  // namespace sim
