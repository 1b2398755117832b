// Implemented in update/identity.cpp.
// The module's identity and firmware revision over its AT port: the FF UART, found as the
// bridge finds it (the registry index of the built-in serial driver, else "COM2:").
//
// How a read goes: "AT" until "OK", then AT+CGMI, AT+CGMM, AT+CGSN and the revision by
// AT+CGMR, else AT+GMR, else ATI, all within one deadline for the whole read (a module still in
// its boot ROM or booting is silent); each answer is also bounded by AtAnswerMs. The answer to
// a query is the lines between the command's echo (when the module echoes) and its final
// result code, without the unsolicited result codes a modem sends on its own (RING, +CREG: 1)
// and without the command's own "+CGMR: " prefix. The revision is that one line: an answer of
// several is ambiguous. A line longer than MaxAnswerLine or holding bytes that are not
// printable is not taken; one answer reads at most MaxAnswerBytes; each identity field is at
// most MaxIdentityField characters. A port that does not open is explained as every other
// device (shell::ReportOpenFailure).
//
// Index: AtAnswerMs MaxAnswerLine MaxAnswerBytes MaxIdentityField | ModuleIdentity AtRead
// AtPortName ReadModuleIdentity
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace update {

inline constexpr std::uint32_t AtAnswerMs = 1000;
inline constexpr std::size_t MaxAnswerLine = 128;
inline constexpr std::size_t MaxAnswerBytes = 16384;
inline constexpr std::size_t MaxIdentityField = 128;

struct ModuleIdentity {
    std::string manufacturer;
    std::string model;
    std::string revision;
    std::string serial;
    std::vector<std::string> revision_lines;  // an ambiguous revision answer's lines
};

enum class AtRead {
    Read,        // the module answered with a revision
    NoPort,      // the profile names no AT port
    NotOpened,   // the port did not open (explained)
    Silent,      // no OK to "AT", or no revision answer, within the bound
    NoRevision,  // it answered AT, but no readable revision
    Ambiguous,   // the revision answer held several lines (ModuleIdentity::revision_lines)
};

// The AT port's device name; "" when the profile names no such device.
std::string AtPortName();
// Fills what the module told; the whole read ends within `milliseconds`.
AtRead ReadModuleIdentity(std::uint32_t milliseconds, ModuleIdentity* identity);

}  // namespace update
