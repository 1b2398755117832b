// Implemented in update/identity.cpp.
// The module's identity and firmware revision over its AT port: the FF UART, found as the
// bridge finds it (the registry index of the built-in serial driver, else "COM2:").
//
// How a read goes: "AT" until "OK" within the read's bound (a module still in its boot ROM or
// booting is silent), then AT+CGMI, AT+CGMM, AT+CGSN and the revision by AT+CGMR, else AT+GMR,
// else ATI, each answer bounded by AtAnswerMs. An answer line longer than MaxAnswerLine or
// holding bytes that are not printable is not taken; one answer reads at most MaxAnswerBytes.
// A port that does not open is explained as every other device (shell::ReportOpenFailure).
//
// Index: AtAnswerMs MaxAnswerLine MaxAnswerBytes | ModuleIdentity AtRead AtPortName
// ReadModuleIdentity
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace update {

inline constexpr std::uint32_t AtAnswerMs = 1000;
inline constexpr std::size_t MaxAnswerLine = 128;
inline constexpr std::size_t MaxAnswerBytes = 16384;

struct ModuleIdentity {
    std::string manufacturer;
    std::string model;
    std::string revision;
    std::string serial;
};

enum class AtRead {
    Read,        // the module answered with a revision
    NoPort,      // the profile names no AT port
    NotOpened,   // the port did not open (explained)
    Silent,      // no OK to "AT" within the bound
    NoRevision,  // it answered AT, but no readable revision
};

// The AT port's device name; "" when the profile names no such device.
std::string AtPortName();
// Fills what the module told; the bound counts until the first "OK".
AtRead ReadModuleIdentity(std::uint32_t milliseconds, ModuleIdentity* identity);

}  // namespace update
