#include "sim/at_port.h"

namespace sim {
namespace {

void Answer(const LineWriter& writer, const std::string& text) {
    writer(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// An information answer: each line framed as the firmware frames it, then OK.
std::string Lines(std::initializer_list<std::string> lines) {
    std::string text;
    for (const std::string& line : lines) text += "\r\n" + line + "\r\n";
    return text + "\r\nOK\r\n";
}

// Bytes of every value but CR and LF, so the line never ends before its length.
std::string JunkLine() {
    std::string junk;
    for (std::size_t i = 0; junk.size() < JunkAnswerLength; ++i) {
        const char c = static_cast<char>(i * 37 % 256);
        if (c != '\r' && c != '\n') junk += c;
    }
    return junk;
}

}  // namespace

void AtPort::Command(const std::string& command) {
    if (command.compare(0, 2, "AT") != 0) return;
    const FirmwareState firmware = state_();
    if (!firmware.answering) return;
    if (command == "AT") return Answer(writer_, "\r\nOK\r\n");

    // command, what it answers
    const struct {
        const char* command;
        std::string answer;
    } rows[] = {
        {"AT+CGMI", Manufacturer},
        {"AT+CGMM", ModelName},
        {"AT+CGMR", firmware.revision},
        {"AT+GMR", firmware.revision},
        {"AT+CGSN", firmware.serial},
    };
    if (firmware.fault.kind == AtFaultKind::Junk) return Answer(writer_, Lines({JunkLine()}));
    if (firmware.fault.kind == AtFaultKind::Error) return Answer(writer_, "\r\nERROR\r\n");
    for (const auto& row : rows) {
        if (command == row.command) return Answer(writer_, Lines({row.answer}));
    }
    if (command == "ATI") {
        return Answer(writer_, Lines({std::string(Manufacturer) + " " + ModelName, "Revision: " + firmware.revision}));
    }
    Answer(writer_, "\r\nERROR\r\n");
}

void AtPort::FromTool(const std::uint8_t* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        const char c = static_cast<char>(data[i]);
        if (c != '\r' && c != '\n') {
            if (line_.size() < MaxLine) line_ += c;
            else overlong_ = true;
            continue;
        }
        std::string command;
        for (char ch : line_) {
            if (ch == ' ' || ch == '\t') continue;
            command += (ch >= 'a' && ch <= 'z') ? static_cast<char>(ch - 'a' + 'A') : ch;
        }
        if (!overlong_) Command(command);
        else if (command.compare(0, 2, "AT") == 0 && state_().answering) Answer(writer_, "\r\nERROR\r\n");
        line_.clear();
        overlong_ = false;
    }
}

}  // namespace sim
