// Fuzzes the handset profile parser: any input is either refused with "NAME:LINE: reason" or
// parsed into a profile that, written out again, parses back to the same profile.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/base/system.h"
#include "platform/devices/profile.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

std::string Write(const platform::Profile& profile) {
    std::string text = "[devices]\n";
    for (const auto& [name, path] : profile.devices) text += name + " = " + path + "\n";
    text += "[registry]\n";
    for (const auto& [name, value] : profile.registry)
        text += "HKEY_LOCAL_MACHINE\\" + name + " = " + std::to_string(value) + "\n";
    if (!profile.kernel.empty()) text += "[kernel]\nKernelIoControl = " + profile.kernel + "\n";
    return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    platform::Profile profile;
    if (!platform::ParseProfile(text, "fuzz.prof", &profile)) {
        const std::string error = platform::LastErrorText();
        Check(error.rfind("fuzz.prof:", 0) == 0);
        Check(error.find(": ", 10) != std::string::npos);
        return 0;
    }
    for (const auto& [name, path] : profile.devices) {
        Check(!name.empty() && !path.empty());
        for (char c : name) Check(!(c >= 'a' && c <= 'z'));
    }
    for (const auto& [name, value] : profile.registry) {
        (void)value;
        Check(name.find('\\') != std::string::npos);
    }
    platform::Profile again;
    Check(platform::ParseProfile(Write(profile), "again", &again));
    Check(again.devices == profile.devices);
    Check(again.registry == profile.registry);
    Check(again.kernel == profile.kernel);
    return 0;
}
