// The module's AT command port as the FF UART ("COM2:") carries it: lines ending in CR (or LF)
// are commands; "AT" answers "\r\nOK\r\n", any other AT command "\r\nERROR\r\n", and anything
// that is not an AT command is ignored. No echo. Runs on the lines' thread only.
//
// Index: AtPort::FromTool
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "sim/module.h"

namespace sim {

class AtPort {
public:
    explicit AtPort(LineWriter writer) : writer_(std::move(writer)) {}
    void FromTool(const std::uint8_t* data, std::size_t size);

private:
    static constexpr std::size_t MaxLine = 512;
    LineWriter writer_;
    std::string line_;
    bool overlong_ = false;
};

}  // namespace sim
