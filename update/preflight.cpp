#include "update/preflight.h"

#include "device/radio.h"
#include "update/cechat.h"

namespace update {
namespace {

constexpr char RadioDriver[] = "RIL1:";

}  // namespace

Explanation RefusalStep() { return UpdateRunOf().options.refusal; }

Explanation ClaimStep(std::string* claimed) {
    claimed->clear();
    std::string path;
    if (!platform::DeviceClaimKey(ModuleLinkName, &path)) return {};
    std::uint32_t holder = 0;
    std::string holder_name;
    if (platform::ClaimPort(path, &holder, &holder_name) != platform::PortClaim::Held) {
        *claimed = path;
        return {};
    }
    return {ModuleLinkName, path,
            std::string(ModuleLinkName) + " (" + path + ") is being updated by process " + std::to_string(holder) +
                " (" + holder_name + ")",
            "one update per module at a time", "", "; "};
}

void ReleaseClaim(std::string* claimed) {
    if (!claimed->empty()) platform::ReleasePortClaim(*claimed);
    claimed->clear();
}

Explanation SharersStep(bool* ours) {
    *ours = false;
    if (UpdateRunOf().options.share_held_line) return {};
    const std::string sharers = ModuleLinkSharers(ours);
    if (sharers.empty()) return {};
    std::string path;
    platform::ProfileDevicePath(ModuleLinkName, &path);
    // Another run of this program holds the port exclusively: sharing would fail as busy.
    return {ModuleLinkName, path, sharers,
            *ours ? "another run of this program (under another runtime directory); wait for it to end, or stop it"
                  : "close it first, or share the line with --force",
            "", *ours ? ", " : "; "};
}

Explanation ResetStep(bool* lasting) {
    *lasting = false;
    if (device::ResetModule(platform::NoWindow) == 0) return {};
    const device::ControlFault fault = device::LastControlFault();
    *lasting = fault.lasting;
    return {RadioDriver, "", fault.explanation, "", ""};
}

}  // namespace update
