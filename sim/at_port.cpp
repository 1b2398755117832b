#include "sim/at_port.h"

namespace sim {
namespace {

void Answer(const LineWriter& writer, const char* text) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text);
    std::size_t size = 0;
    while (text[size]) ++size;
    writer(bytes, size);
}

}  // namespace

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
        if (!overlong_ && command == "AT") Answer(writer_, "\r\nOK\r\n");
        else if (command.compare(0, 2, "AT") == 0) Answer(writer_, "\r\nERROR\r\n");
        line_.clear();
        overlong_ = false;
    }
}

}  // namespace sim
