// Implemented in sim/firmware.cpp.
// What the simulated module runs outside its boot ROM: a firmware revision, its identity, and
// the faults of its AT side. The module starts on a factory revision; an image it accepted
// becomes the running one at the next reset. Which revision an image is comes from whoever
// started the handset (the program registers the payload sets it knows, tests theirs): the
// simulator itself knows no set. An image nobody registered runs a revision of its own, named
// after its digest, that names no known set.
//
// Index: FactoryRevision Manufacturer ModelName BootTime | AtFaultKind AtFault | KnownFirmware
// FirmwareRevision MakeSerialNumber
#pragma once

#include <chrono>
#include <string>

namespace sim {

// A module fresh from the factory answers this revision until its first accepted image runs.
inline constexpr char FactoryRevision[] = "V.4.1.3";
inline constexpr char Manufacturer[] = "Simulated Radio";
inline constexpr char ModelName[] = "GPRS-37A";
// After its boot window the firmware takes this long to answer on its AT port.
inline constexpr std::chrono::milliseconds BootTime{500};

enum class AtFaultKind : int {
    None,
    KeepsOldFirmware,  // confirms an image but keeps running the revision it had
    NeverBoots,        // after a reset its AT port stays silent for good
    SlowBoot,          // boots after `boot_time` instead of BootTime
    Error,             // answers OK to AT and ERROR to every other command
    Junk,              // answers every query with an overlong line of binary bytes, then OK
    OnlyOk,            // answers OK to AT and nothing at all to every other command
};

// What the firmware's answers look like besides a fault: an echo of each command, result
// codes of its own around and inside every answer, and the lines of its revision answer.
struct AtFault {
    AtFaultKind kind = AtFaultKind::None;
    std::chrono::milliseconds boot_time{0};  // SlowBoot
    bool echo = false;         // each command line comes back first, as after ATE1
    bool unsolicited = false;  // +CREG: 1, RING and a long +NOISE: line before, inside and after answers
    // AT+CGMR and AT+GMR answer these lines ('\n' between two, '%' stands for the revision);
    // "" answers the revision alone.
    std::string revision_answer{};
};

// The image with this SHA-256 (64 lower-case hex digits) is firmware `revision`. Any thread.
void KnownFirmware(const std::string& sha256, const std::string& revision);
// The revision the image runs as: the registered one, else "unknown-" and its digest's start.
std::string FirmwareRevision(const std::string& sha256);
// A serial number (15 digits, as a handset's) unique among the modules of this machine's runs.
std::string MakeSerialNumber();

}  // namespace sim
