// Which handset profile a run uses: --port, a profile file (given, or found where the user or
// the system keeps one), else none and the built-in simulated handset (shell/handset_glue.cpp).
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "shell/run_context.h"
#include "shell/run_steps.h"
#include "update/payloads.h"

namespace shell {


namespace {

// Where a profile is looked for after --profile and $FIRMWARE_UTILITY_PROFILE: under the user's
// configuration directory, then the system's.
constexpr char ConfigProfile[] = "firmware-utility/profile";
constexpr char SystemProfile[] = "/etc/firmware-utility/profile";

// --profile, else $FIRMWARE_UTILITY_PROFILE, else the first profile file that exists in the
// user's configuration and then the system's; empty when none does (the built-in handset).
std::string FindProfile(const CliOptions& options) {
    if (!options.profile.empty()) return options.profile;
    const char* from_environment = std::getenv("FIRMWARE_UTILITY_PROFILE");
    if (from_environment && *from_environment) return from_environment;
    std::vector<std::string> candidates;
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    // A relative $XDG_CONFIG_HOME is invalid and ignored, as the base directory rules say.
    if (config && config[0] == '/') {
        candidates.push_back(std::string(config) + "/" + ConfigProfile);
    } else if (home && *home) {
        candidates.push_back(std::string(home) + "/.config/" + ConfigProfile);
    }
    candidates.push_back(SystemProfile);
    for (const std::string& candidate : candidates) {
        if (!platform::PathExists(candidate)) continue;
        platform::SayOnStderr("using the profile %s", candidate.c_str());
        return candidate;
    }
    return {};
}

}  // namespace

int UseProfileFile(const std::string& path) {
    // The events and the record name the file wherever they are read from.
    std::error_code ignored;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ignored);
    Run().profile_path = absolute.empty() ? path : absolute.string();
    platform::Profile profile;
    if (!platform::LoadProfile(path, &profile)) {
        platform::SayOnStderr("%s", platform::LastErrorText().c_str());
        return ExitBadArguments;
    }
    platform::SetProfile(profile);
    return 0;
}

int UseGivenProfile(const CliOptions& options, bool* given) {
    *given = true;
    if (!options.port.empty()) {
        if (int code = UsePortProfile(options)) return code;
        Run().profile_path = platform::CurrentProfile().path;
        return 0;
    }
    const std::string path = FindProfile(options);
    if (!path.empty()) return UseProfileFile(path);
    *given = false;
    return 0;
}

void NameWhatTheWindowUses() {
    const platform::Profile profile = platform::CurrentProfile();
    const update::PayloadSet& set = update::CurrentPayloadSet();
    const std::string handset = profile.simulated ? "simulated handset" : "profile " + profile.path;
    const std::string payloads = set.source == update::PayloadSource::Directory ? "set " + set.directory
                                 : set.source == update::PayloadSource::Embedded ? "embedded set"
                                                                                 : "built-in set";
    platform::SetScreenStatus(handset + ", " + payloads);
}

}  // namespace shell
