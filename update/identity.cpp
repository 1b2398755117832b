// Reading the module's identity on its AT port. Every wait sleeps in the port's event wait;
// a module that answers at once with something else than OK is asked again only after the
// rest of its answer time, so a read never spins.
#include "update/identity.h"

#include <chrono>
#include <cstdio>
#include <vector>

#include "platform/platform.h"
#include "shell/log.h"

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

enum class Answer { Ok, Error, None };

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

// One line of an answer, as it ends: taken, or dropped as overlong or binary.
struct LineReader {
    std::string line;
    bool unreadable = false;
};

// The answer to `command` up to OK or ERROR: its readable information lines (not the echo).
// None at the deadline, after MaxAnswerBytes, or when the port failed.
Answer ReadAnswer(platform::Handle port, const std::string& command, Clock::time_point deadline,
                  std::vector<std::string>* lines) {
    LineReader reader;
    std::size_t total = 0;
    for (;;) {
        std::uint8_t block[ReadBlock];
        std::uint32_t got = 0;
        if (!platform::ReadFile(port, block, sizeof block, &got)) return Answer::None;
        if (got == 0) {
            const std::uint32_t left = MillisecondsLeft(deadline);
            if (left == 0 || platform::PortLost(port)) return Answer::None;
            std::uint32_t events = 0;
            // A wait that fails or meets the deadline ends the answer: nothing spins.
            if (!platform::WaitCommEventFor(port, &events, left)) return Answer::None;
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
            const std::string line = reader.unreadable ? std::string() : reader.line;
            const bool unreadable = reader.unreadable;
            reader = {};
            if (unreadable || line.empty() || line == command) continue;
            if (line == "OK") return Answer::Ok;
            if (line == "ERROR" || line.rfind("+CME ERROR", 0) == 0) return Answer::Error;
            lines->push_back(line);
        }
        if (total > MaxAnswerBytes) return Answer::None;
    }
}

// Sends one command and reads its answer within AtAnswerMs (or `deadline` when sooner).
Answer Ask(platform::Handle port, const std::string& command, Clock::time_point deadline,
           std::vector<std::string>* lines) {
    lines->clear();
    platform::PurgeComm(port, platform::PurgeRxClear);
    const std::string text = command + "\r";
    std::uint32_t written = 0;
    if (!platform::WriteFile(port, text.data(), static_cast<std::uint32_t>(text.size()), &written)) return Answer::None;
    return ReadAnswer(port, command, std::min(deadline, Clock::now() + std::chrono::milliseconds(AtAnswerMs)), lines);
}

// "+CGMR: V.1" -> "V.1": the command's echo in front of a value is not part of it.
std::string Value(const std::string& line) {
    if (line.empty() || line[0] != '+') return line;
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) return line;
    const std::size_t start = line.find_first_not_of(' ', colon + 1);
    return start == std::string::npos ? std::string() : line.substr(start);
}

// The command's value: its information lines joined by blanks; "" when it gave none.
std::string Query(platform::Handle port, const char* command) {
    std::vector<std::string> lines;
    const auto far = Clock::now() + std::chrono::milliseconds(AtAnswerMs);
    if (Ask(port, command, far, &lines) != Answer::Ok) return {};
    std::string value;
    for (const std::string& line : lines) {
        const std::string part = Value(line);
        if (part.empty()) continue;
        if (!value.empty()) value += ' ';
        value += part;
    }
    return value;
}

// "AT" until "OK" or the deadline; an answer that is not OK is asked again after its time.
bool AwaitOk(platform::Handle port, Clock::time_point deadline) {
    std::vector<std::string> lines;
    while (Clock::now() < deadline) {
        const auto asked = Clock::now();
        if (Ask(port, "AT", deadline, &lines) == Answer::Ok) return true;
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
        shell::ReportOpenFailure(name.c_str(), platform::GetLastError());
        return AtRead::NotOpened;
    }
    AtRead result = AtRead::Silent;
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    if (Configure(port) && AwaitOk(port, deadline)) {
        identity->manufacturer = Query(port, "AT+CGMI");
        identity->model = Query(port, "AT+CGMM");
        identity->serial = Query(port, "AT+CGSN");
        for (const char* command : {"AT+CGMR", "AT+GMR", "ATI"}) {
            identity->revision = Query(port, command);
            if (!identity->revision.empty()) break;
        }
        result = identity->revision.empty() ? AtRead::NoRevision : AtRead::Read;
    }
    platform::CloseHandle(port);
    return result;
}

}  // namespace update
