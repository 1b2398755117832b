// The module link: opens and configures "COM1:", sends single bytes with a trace line each,
// waits for one expected byte, and closes the port. Every step is on the trace channel.
//
// Waits never spin and never hang: each wait for the module is bounded by the run's module time-out
// counted from its start, however many other bytes arrive meanwhile, an empty receive queue is waited on in the port's event wait, and a device that
// vanished answers every wait at once with a line error (result 0).
#include "update/cechat.h"
#include "update/run.h"

#include <chrono>
#include <cstring>
#include <new>
#include <string>


namespace update {

std::atomic<ModuleLink*> CurrentModuleLink{nullptr};

namespace {

constexpr std::uint32_t LinkEvents = platform::EvRxChar | platform::EvBreak | platform::EvErr;
constexpr std::uint32_t QueueSize = 32768;

// Reads return at once with what is queued; a write of n bytes gives up after 10 n + 1000 ms.
constexpr platform::CommTimeouts ModuleTimeouts = {platform::MaxDword, 0, 0, 10, 1000};

// Every record ever opened stays reachable from here: records are never freed (a caster may
// still read an old one), and a record that nothing points to would read as a leak.
struct KeptLink {
    ModuleLink* link;
    KeptLink* next;
};
std::atomic<KeptLink*> KeptLinks{nullptr};

void KeepLink(ModuleLink* link) {
    auto* kept = new KeptLink{link, KeptLinks.load()};
    while (!KeptLinks.compare_exchange_weak(kept->next, kept)) {
    }
}

// Formats one of the open-failure texts (80 characters, as on the handset) onto the trace, with
// the system's reason in words after the number: "Error (13: Permission denied) opening COM1:".
void TraceOpenFailure(const char* format, const ModuleLink* link) {
    const std::uint32_t error = platform::GetLastError();
    char text[80];
    platform::FormatText(text, sizeof text, format, static_cast<int>(error), link->PortName);
    std::string line = text;
    std::size_t number_end = line.find(')');
    if (number_end != std::string::npos) line.insert(number_end, ": " + platform::ErrorText(error));
    platform::TracePrint("%s\r\n", line.c_str());
}

// Gives up an open whose settings could not be applied: the device must not stay held.
std::int32_t AbandonOpen(ModuleLink* link) {
    platform::CloseHandle(link->PortHandle.exchange(0));
    return 0;
}

void ClearLineErrors(platform::Handle port) {
    std::uint32_t errors = 0;
    platform::ComStat status{};
    platform::ClearCommError(port, &errors, &status);
}

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline`, 0 once it has passed.
std::uint32_t MillisecondsLeft(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<std::uint32_t>(left) : 0;
}

// After a received-character event: reads byte by byte until the expected one, tracing,
// counting and dropping the others. An empty queue is waited on (no spinning). The deadline holds whatever
// arrives: a module that keeps sending other bytes ends the wait as surely as a silent one.
// False at the deadline, on a break or line error alone, or a failed read.
// Each dropped byte is counted in *dropped; past `limit` the wait ends as a failed one.
bool ReadUntilExpected(platform::Handle port, std::uint8_t expected, Clock::time_point deadline,
                       std::uint32_t* dropped, std::uint32_t limit) {
    for (;;) {
        std::uint8_t byte = 0;
        std::uint32_t got = 0;
        if (!platform::ReadFile(port, &byte, 1, &got)) return false;
        if (got == 1) {
            platform::TracePrint("A byte got from TRX37A : %c , %X h\r\n", byte, byte);
            if (byte == expected) return true;
            if (++*dropped > limit || Clock::now() >= deadline) return false;
            continue;
        }
        const std::uint32_t left = MillisecondsLeft(deadline);
        if (left == 0) return false;
        std::uint32_t events = 0;
        if (!platform::WaitCommEventFor(port, &events, left)) return false;
        if (events & ~platform::EvRxChar) ClearLineErrors(port);
        if (!(events & platform::EvRxChar)) return false;
    }
}

}  // namespace

platform::Handle ModulePort() {
    ModuleLink* link = CurrentModuleLink.load();
    return link ? link->PortHandle.load() : 0;
}

std::int32_t OpenModuleLink() {
    CurrentModuleLink.store(nullptr);
    void* memory = platform::LocalAllocTrace(platform::LmemZeroInit, sizeof(ModuleLink));
    if (memory == nullptr) return 0;  // the caller reports it as a port that did not open
    // Records are never freed: a caster may still read the previous one.
    ModuleLink* link = new (memory) ModuleLink{};
    KeepLink(link);
    CurrentModuleLink.store(link);
    std::strncpy(link->PortName, ModuleLinkName, sizeof link->PortName - 1);
    link->LineSettings = ModuleLineSettings;
    platform::TracePrint("Open : %s\r\n", link->PortName);

    platform::Handle port = platform::OpenDevice(link->PortName);
    if (port == platform::InvalidHandle) {
        const std::uint32_t error = platform::GetLastError();
        TraceOpenFailure("Error (%d) opening %s", link);
        ReportOpenFailure(link->PortName, error);
        link->PortHandle.store(0);
        return 0;
    }
    link->PortHandle.store(port);
    platform::PurgeComm(port, PurgeAll);
    if (!platform::SetCommState(port, &link->LineSettings)) {
        const std::uint32_t error = platform::GetLastError();
        TraceOpenFailure("Error (%d) configuring %s", link);
        // A network port's exporter that did not answer or set the line is said as an open.
        if (!platform::NetworkSettingReport(link->PortName).empty()) ReportOpenFailure(link->PortName, error);
        return AbandonOpen(link);
    }
    platform::CommTimeouts timeouts{};
    platform::GetCommTimeouts(port, &timeouts);
    timeouts = ModuleTimeouts;
    if (!platform::SetCommTimeouts(port, &timeouts)) {
        TraceOpenFailure("Error (%d) setting comm port timeout parameters %s", link);
        return AbandonOpen(link);
    }
    platform::EscapeCommFunction(port, platform::SetDtr);
    platform::EscapeCommFunction(port, platform::SetRts);
    platform::SetupComm(port, QueueSize, QueueSize);
    return 1;
}

std::string ModuleLinkSharers(bool* ours) {
    *ours = true;
    std::string path;
    if (!platform::ProfileDevicePath(ModuleLinkName, &path)) return "";
    bool unknown = false;
    std::string text;
    const std::string own_name = platform::OwnCommandName();
    for (const platform::PortHolder& holder : platform::FindSharingHolders(path, &unknown)) {
        text += (text.empty() ? "" : ", ") + std::to_string(holder.pid) + " (" + holder.name + ")";
        *ours = *ours && holder.name == own_name;
    }
    if (text.empty()) return "";
    return std::string(ModuleLinkName) + " (" + path + ") is open in process " + text;
}

void CloseModuleLink() {
    ModuleLink* link = CurrentModuleLink.load();
    if (link == nullptr) return;
    platform::Handle port = link->PortHandle.load();
    if (port == 0) return;
    platform::PurgeComm(port, PurgeAll);
    platform::CloseHandle(port);
    link->PortHandle.store(0);
}

std::int32_t WaitForModuleByte(std::uint32_t expected) {
    return WaitForModuleByteFor(expected, UpdateRunOf().options.module_timeout_ms);
}

std::int32_t WaitForModuleByteFor(std::uint32_t expected, std::uint32_t milliseconds) {
    std::uint32_t dropped = 0;
    return WaitForModuleByteCounting(expected, milliseconds, &dropped, platform::MaxDword);
}

std::int32_t WaitForModuleAck(std::uint32_t expected, std::uint32_t* dropped, std::uint32_t limit) {
    return WaitForModuleByteCounting(expected, UpdateRunOf().options.module_timeout_ms, dropped, limit);
}

std::int32_t WaitForModuleByteCounting(std::uint32_t expected, std::uint32_t milliseconds, std::uint32_t* dropped,
                                       std::uint32_t limit) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(milliseconds);
    const auto want = static_cast<std::uint8_t>(expected & 0xFF);
    platform::TracePrint("Waiting for char -> %X h\r\n", want);
    const platform::Handle port = ModulePort();
    platform::SetCommMask(port, LinkEvents);
    std::uint32_t events = 0;
    // A wait that fails or meets the deadline is an empty event word.
    if (!platform::WaitCommEventFor(port, &events, milliseconds)) events = 0;
    platform::SetCommMask(port, LinkEvents);
    if (events & ~platform::EvRxChar) ClearLineErrors(port);
    if ((events & platform::EvRxChar) && ReadUntilExpected(port, want, deadline, dropped, limit)) return 1;
    platform::TracePrint("None byte got from TRX36 !!\r\n");
    return 0;
}

std::uint32_t WriteToModule(const void* bytes, std::uint32_t length) {
    std::uint32_t written = 0;
    platform::WriteFile(ModulePort(), bytes, length, &written);
    return written;
}

void PurgeModuleLink() { platform::PurgeComm(ModulePort(), PurgeAll); }

bool ModuleLinkLost() {
    const platform::Handle port = ModulePort();
    return port != 0 && platform::PortLost(port);
}

void DiscardModuleInput() { platform::PurgeQueuedInput(ModulePort()); }

void SendModuleByte(std::uint32_t byte) {
    const auto value = static_cast<std::uint8_t>(byte & 0xFF);
    std::uint32_t written = 0;
    platform::WriteFile(ModulePort(), &value, 1, &written);
    platform::TracePrint(" %d char : %X h sent \r\n", static_cast<int>(written), value);
}

}  // namespace update
