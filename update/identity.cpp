// Reading the module's identity on its AT port. Every wait sleeps in the port's event wait;
// a module that answers at once with something else than OK is asked again only after the
// rest of its answer time, so a read never spins. One deadline bounds the whole read.
#include "update/identity.h"
#include "update/run.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "platform/platform.h"

namespace update {
namespace {

using Clock = std::chrono::steady_clock;

constexpr char FfRegistryKey[] = "Drivers\\BuiltIn\\Serial";
constexpr std::uint32_t DefaultFfIndex = 2;
constexpr std::uint32_t MaxComIndex = 9;  // port names are "COM0:" to "COM9:"
constexpr std::uint32_t AtBaud = 115200;
constexpr std::uint32_t AtEvents = platform::EvRxChar | platform::EvBreak | platform::EvErr;
// Reads return at once with what is queued; a write gives up after 10 ms a byte and 1 s.
constexpr platform::CommTimeouts AtTimeouts = {platform::MaxDword, 0, 0, 10, 1000};
constexpr std::size_t ReadBlock = 256;

enum class Final { Ok, Error, None };

// Result codes a modem sends on its own, besides the "+NAME: ..." ones.
constexpr const char* BareUnsolicited[] = {"RING", "NO CARRIER", "BUSY", "NO ANSWER", "NO DIALTONE",
                                           "RDY", "Call Ready", "SMS Ready"};
// The revision queries in order; ATI labels its revision line.
constexpr const char* RevisionCommands[] = {"AT+CGMR", "AT+GMR", "ATI"};
constexpr char AtiRevisionLabel[] = "Revision:";

// What a query was answered: its final result code and the lines before it.
struct Answer {
    Final final = Final::None;
    std::vector<std::string> lines;  // taken lines, without the command's own prefix
    bool unreadable = false;         // a line of the answer was overlong or binary
};

std::uint32_t MillisecondsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<std::uint32_t>(left) : 0;
}

bool Configure(platform::Handle port) {
    platform::Dcb dcb{};
    dcb.length = sizeof dcb;
    platform::GetCommState(port, &dcb);
    dcb.baud_rate = AtBaud;
    dcb.binary = 1;
    dcb.byte_size = 8;
    dcb.parity = 0;
    dcb.stop_bits = 0;
    dcb.cts_flow = 0;
    dcb.dsr_flow = 0;
    dcb.in_x = 0;
    dcb.out_x = 0;
    return platform::SetCommState(port, &dcb) && platform::SetCommTimeouts(port, &AtTimeouts) &&
           platform::SetCommMask(port, AtEvents);
}

// One line as it arrives: its printable characters (at most MaxAnswerLine), and whether it
// was overlong or held other bytes.
struct LineReader {
    std::string line;
    bool unreadable = false;
};

// "AT+CGMR" -> "+CGMR": the name a module puts in front of its answer; "" for other commands.
std::string OwnPrefix(const std::string& command) {
    return command.rfind("AT+", 0) == 0 ? command.substr(2) : std::string();
}

// A result code the module sent on its own: a bare one, or a "+NAME" (or "^NAME") line of
// another name than the command's.
bool Unsolicited(const std::string& command, const std::string& line) {
    for (const char* code : BareUnsolicited) {
        if (line == code) return true;
    }
    if (line.empty() || (line[0] != '+' && line[0] != '^')) return false;
    const std::string own = OwnPrefix(command);
    if (own.empty() || line.compare(0, own.size(), own) != 0) return true;
    return line.size() > own.size() && line[own.size()] != ':';
}

// "+CGMR: V.1" -> "V.1" for AT+CGMR.
std::string WithoutOwnPrefix(const std::string& command, const std::string& line) {
    const std::string own = OwnPrefix(command);
    if (own.empty() || line.compare(0, own.size(), own) != 0) return line;
    const std::size_t start = line.find_first_not_of(' ', own.size() + 1);
    return start == std::string::npos ? std::string() : line.substr(start);
}

// One received line of the answer to `command`: true when it was the final result code.
bool TakeLine(const std::string& command, const LineReader& reader, Answer* answer) {
    const std::string& line = reader.line;
    if (!reader.unreadable) {
        if (line.empty()) return false;
        if (line == command) {  // the echo: what came before it answers nothing
            answer->lines.clear();
            answer->unreadable = false;
            return false;
        }
        if (line == "OK") answer->final = Final::Ok;
        if (line == "ERROR" || line.rfind("+CME ERROR", 0) == 0 || line.rfind("+CMS ERROR", 0) == 0) {
            answer->final = Final::Error;
        }
        if (answer->final != Final::None) return true;
    }
    if (Unsolicited(command, line)) return false;
    if (reader.unreadable) {
        answer->unreadable = true;
        return false;
    }
    const std::string value = WithoutOwnPrefix(command, line);
    if (!value.empty()) answer->lines.push_back(value);
    return false;
}

// Reads the answer to `command` up to its final result code. Final::None at the deadline,
// after MaxAnswerBytes, or when the port failed.
void ReadAnswer(platform::Handle port, const std::string& command, Clock::time_point deadline, Answer* answer) {
    LineReader reader;
    std::size_t total = 0;
    for (;;) {
        std::uint8_t block[ReadBlock];
        std::uint32_t got = 0;
        if (!platform::ReadFile(port, block, sizeof block, &got)) return;
        if (got == 0) {
            const std::uint32_t left = MillisecondsLeft(deadline);
            if (left == 0 || platform::PortLost(port)) return;
            std::uint32_t events = 0;
            // A wait that fails or meets the deadline ends the answer: nothing spins.
            if (!platform::WaitCommEventFor(port, &events, left)) return;
            if (events & ~platform::EvRxChar) {
                std::uint32_t errors = 0;
                platform::ComStat status{};
                platform::ClearCommError(port, &errors, &status);
            }
            continue;
        }
        total += got;
        for (std::uint32_t i = 0; i < got; ++i) {
            const char c = static_cast<char>(block[i]);
            if (c != '\r' && c != '\n') {
                if (reader.line.size() >= MaxAnswerLine || c < ' ' || c > '~') reader.unreadable = true;
                else reader.line += c;
                continue;
            }
            const bool final = TakeLine(command, reader, answer);
            reader = {};
            if (final) return;
        }
        // A module that keeps talking without a final result code ends its answer too.
        if (total > MaxAnswerBytes || Clock::now() >= deadline) {
            answer->final = Final::None;
            return;
        }
    }
}

// Sends one command and reads its answer within AtAnswerMs, or until `deadline` when sooner.
Answer Ask(platform::Handle port, const std::string& command, Clock::time_point deadline) {
    Answer answer;
    if (MillisecondsLeft(deadline) == 0) return answer;
    platform::PurgeComm(port, platform::PurgeRxClear);
    const std::string text = command + "\r";
    std::uint32_t written = 0;
    if (!platform::WriteFile(port, text.data(), static_cast<std::uint32_t>(text.size()), &written)) return answer;
    ReadAnswer(port, command, std::min(deadline, Clock::now() + std::chrono::milliseconds(AtAnswerMs)), &answer);
    return answer;
}

// A field of the identity: the answer's lines joined by blanks, at most MaxIdentityField long.
std::string Field(platform::Handle port, const char* command, Clock::time_point deadline) {
    const Answer answer = Ask(port, command, deadline);
    if (answer.final != Final::Ok) return {};
    std::string value;
    for (const std::string& line : answer.lines) value += (value.empty() ? "" : " ") + line;
    return value.substr(0, MaxIdentityField);
}

// The revision: the one line of the first revision query that the module answers with lines
// (one it refuses leads to the next). ATI, which answers its identity on several lines, gives
// the one labelled "Revision:".
AtRead Revision(platform::Handle port, Clock::time_point deadline, ModuleIdentity* identity) {
    for (const char* command : RevisionCommands) {
        const Answer answer = Ask(port, command, deadline);
        if (answer.final == Final::None && MillisecondsLeft(deadline) == 0) return AtRead::Silent;
        if (answer.final != Final::Ok) continue;  // not supported: the next query
        if (answer.unreadable) return AtRead::NoRevision;  // an answer that cannot be taken
        std::vector<std::string> lines = answer.lines;
        if (lines.size() > 1 && std::string(command) == "ATI") {
            std::vector<std::string> labelled;
            for (const std::string& line : lines) {
                if (line.rfind(AtiRevisionLabel, 0) != 0) continue;
                const std::size_t start = line.find_first_not_of(' ', sizeof AtiRevisionLabel - 1);
                if (start != std::string::npos) labelled.push_back(line.substr(start));
            }
            lines = labelled;
        }
        if (lines.size() == 1) {
            identity->revision = lines[0];
            return AtRead::Read;
        }
        if (lines.size() > 1) {
            identity->revision_lines = lines;
            return AtRead::Ambiguous;
        }
    }
    return AtRead::NoRevision;
}

// "AT" until "OK" or the deadline; an answer that is not OK is asked again after its time.
bool AwaitOk(platform::Handle port, Clock::time_point deadline) {
    while (Clock::now() < deadline) {
        const auto asked = Clock::now();
        if (Ask(port, "AT", deadline).final == Final::Ok) return true;
        if (platform::PortLost(port)) return false;
        const auto next = std::min(deadline, asked + std::chrono::milliseconds(AtAnswerMs));
        if (const std::uint32_t left = MillisecondsLeft(next)) platform::Sleep(left);
    }
    return false;
}

}  // namespace

std::string AtPortName() {
    std::uint32_t index = DefaultFfIndex;
    if (!platform::ProfileRegistryValue(FfRegistryKey, "Index", &index) || index > MaxComIndex) {
        index = DefaultFfIndex;
    }
    char name[8];
    std::snprintf(name, sizeof name, "COM%u:", static_cast<unsigned>(index));
    std::string path;
    return platform::ProfileDevicePath(name, &path) ? std::string(name) : std::string();
}

AtRead ReadModuleIdentity(std::uint32_t milliseconds, ModuleIdentity* identity) {
    *identity = {};
    const std::string name = AtPortName();
    if (name.empty()) return AtRead::NoPort;
    const platform::Handle port = platform::OpenDevice(name.c_str());
    if (port == platform::InvalidHandle) {
        ReportOpenFailure(name.c_str(), platform::GetLastError());
        return AtRead::NotOpened;
    }
    AtRead result = AtRead::Silent;
    // One deadline for the whole read, whatever the module answers and however it paces it.
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    if (Configure(port) && AwaitOk(port, deadline)) {
        identity->manufacturer = Field(port, "AT+CGMI", deadline);
        identity->model = Field(port, "AT+CGMM", deadline);
        identity->serial = Field(port, "AT+CGSN", deadline);
        result = Revision(port, deadline, identity);
    }
    platform::CloseHandle(port);
    return result;
}

}  // namespace update
