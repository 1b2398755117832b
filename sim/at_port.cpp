#include "sim/at_port.h"

#include <vector>

namespace sim {
namespace {

void Answer(const LineWriter& writer, const std::string& text) {
    writer(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// Result codes a modem sends on its own, as an Unsolicited answer carries them.
std::string UnsolicitedCodes() {
    return "\r\n+CREG: 1\r\n\r\nRING\r\n\r\n+NOISE: " + std::string(300, 'n') + "\r\n";
}

// An information answer: each line framed as the firmware frames it, then OK; with result
// codes of the module's own before, between the lines and after the OK when it sends them.
std::string Lines(const AtFault& fault, const std::vector<std::string>& lines) {
    const std::string own = fault.unsolicited ? UnsolicitedCodes() : std::string();
    std::string text = own;
    for (const std::string& line : lines) text += "\r\n" + line + "\r\n" + own;
    return text + "\r\nOK\r\n" + own;
}

// The revision answer's lines: the fault's shape with '%' as the revision, else the revision.
std::vector<std::string> RevisionLines(const AtFault& fault, const std::string& revision) {
    if (fault.revision_answer.empty()) return {revision};
    std::vector<std::string> lines(1);
    for (char c : fault.revision_answer) {
        if (c == '\n') lines.emplace_back();
        else if (c == '%') lines.back() += revision;
        else lines.back() += c;
    }
    return lines;
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
    const AtFault& fault = firmware.fault;
    if (fault.echo) Answer(writer_, command + "\r");
    if (command == "AT") return Answer(writer_, "\r\nOK\r\n");
    if (fault.kind == AtFaultKind::OnlyOk) return;

    // command, what it answers
    const struct {
        const char* command;
        std::string answer;
    } rows[] = {
        {"AT+CGMI", Manufacturer},
        {"AT+CGMM", ModelName},
        {"AT+CGSN", firmware.serial},
    };
    if (fault.kind == AtFaultKind::Junk) return Answer(writer_, Lines(fault, {JunkLine()}));
    if (fault.kind == AtFaultKind::Error) return Answer(writer_, "\r\nERROR\r\n");
    if (command == "AT+CGMR" || command == "AT+GMR") {
        return Answer(writer_, Lines(fault, RevisionLines(fault, firmware.revision)));
    }
    for (const auto& row : rows) {
        if (command == row.command) return Answer(writer_, Lines(fault, {row.answer}));
    }
    if (command == "ATI") {
        return Answer(writer_, Lines(fault, {std::string(Manufacturer) + " " + ModelName, "Revision: " + firmware.revision}));
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
