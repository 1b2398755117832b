#include "sim/firmware.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <map>
#include <mutex>

namespace sim {
namespace {

constexpr std::size_t UnknownDigestLength = 12;
constexpr unsigned long long SerialSpan = 100000000000ULL;  // 11 digits after the prefix
constexpr unsigned long long ModulesPerProcess = 1000;

std::mutex known_mutex;
std::map<std::string, std::string>& Known() {
    static std::map<std::string, std::string> known;  // image SHA-256 -> revision
    return known;
}
std::atomic<unsigned> serials_made{0};

}  // namespace

void KnownFirmware(const std::string& sha256, const std::string& revision) {
    if (sha256.empty() || revision.empty()) return;
    std::lock_guard lock(known_mutex);
    Known()[sha256] = revision;
}

std::string FirmwareRevision(const std::string& sha256) {
    {
        std::lock_guard lock(known_mutex);
        auto found = Known().find(sha256);
        if (found != Known().end()) return found->second;
    }
    return "unknown-" + sha256.substr(0, UnknownDigestLength);
}

std::string MakeSerialNumber() {
    // The process and a count within it: handsets of parallel runs differ.
    const unsigned long long number =
        (static_cast<unsigned long long>(::getpid()) * ModulesPerProcess + serials_made.fetch_add(1)) % SerialSpan;
    char text[24];
    std::snprintf(text, sizeof text, "3520%011llu", number);
    return text;
}

}  // namespace sim
