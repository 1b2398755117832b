// The quick run: `update --port PATH [--reset KIND] [--at-port PATH]` (and `check` alike) needs
// no profile file. The options become the entries a profile would hold, each checked as a
// file's line is; a mistake is said against the option that gave the entry.
#include <cstdio>
#include <string>
#include <vector>

#include "device/radio.h"
#include "platform/platform.h"
#include "shell/run_context.h"
#include "shell/cli.h"
#include "shell/run_report.h"
#include "update/cechat.h"
#include "update/update.h"

namespace shell {
namespace {

// `--reset dtr` (or rts) without a length: the pulse most boards take.
constexpr unsigned DefaultPulseMs = 100;
constexpr char ResetNone[] = "none";
constexpr char ResetForm[] = "expected dtr|rts[:MILLISECONDS[:low|high]], exec:/path/to/program or none";

// Each reset of the module (each handshake attempt, and the start of the new firmware after
// the image) is the person's, asked for on the terminal.
void AskForReset() {
    ClearProgressLine();
    platform::SayOnStderr(Run().update.state.image_confirmed.load()
                              ? "the image was sent; press the module's reset button now to start the new firmware"
                              : "press the module's reset button now");
}

// One entry of the built profile and the option it came from.
struct BuiltEntry {
    const char* section;
    const char* key;
    std::string value;
    std::string option;
};

// "dtr", "rts:50", "dtr:100:high" -> "dtr 50 high"; false when it is none of these forms.
bool PulseWords(const std::string& kind, std::string* words) {
    std::vector<std::string> parts;
    for (std::size_t at = 0;;) {
        const std::size_t colon = kind.find(':', at);
        parts.push_back(kind.substr(at, colon == std::string::npos ? std::string::npos : colon - at));
        if (colon == std::string::npos) break;
        at = colon + 1;
    }
    if ((parts[0] != "dtr" && parts[0] != "rts") || parts.size() > 3) return false;
    for (const std::string& part : parts) {
        if (part.empty() || part.find_first_of(" \t") != std::string::npos) return false;
    }
    *words = parts[0] + " " + (parts.size() > 1 ? parts[1] : std::to_string(DefaultPulseMs));
    if (parts.size() > 2) *words += " " + parts[2];
    return true;
}

// The profile's entries for the options; "" or the reason --reset is refused.
std::string BuildEntries(const CliOptions& options, std::vector<BuiltEntry>* entries) {
    const std::string reset_option = "--reset " + options.reset;
    entries->push_back({"devices", update::ModuleLinkName, options.port, "--port " + options.port});
    if (!options.at_port.empty()) entries->push_back({"devices", "COM2:", options.at_port, "--at-port " + options.at_port});
    if (!options.reboot.empty()) {
        entries->push_back({"kernel", "KernelIoControl", options.reboot, "--reboot " + options.reboot});
    }
    if (options.reset.empty() || options.reset == ResetNone) return {};
    if (platform::ValueNamesProgram(options.reset)) {
        entries->push_back({"devices", "RIL1:", options.reset, reset_option});
        return {};
    }
    std::string words;
    if (!PulseWords(options.reset, &words)) return reset_option + ": " + ResetForm;
    entries->push_back({"radio", "reset", std::string(update::ModuleLinkName) + " " + words, reset_option});
    return {};
}

// A value holding a control character (a newline, an ESC) is no device path or program: it is
// refused whole, with the option that gave it.
std::string ControlProblem(const CliOptions& options) {
    const struct {
        const char* option;
        const std::string& value;
    } values[] = {{"--port", options.port}, {"--at-port", options.at_port}, {"--reset", options.reset},
                       {"--reboot", options.reboot}};
    for (const auto& row : values) {
        const std::string control = platform::FirstControlCharacter(row.value);
        if (!control.empty()) {
            return std::string(row.option) + " " + row.value + ": a control character (" + control +
                   ") in the value; nothing was opened";
        }
    }
    return {};
}

}  // namespace

// The options become the profile's entries directly, one record each, never text to parse:
// a ';' or '#' stays part of a path, and no value can start another line or section.
int UsePortProfile(const CliOptions& options) {
    std::string problem = ControlProblem(options);
    std::vector<BuiltEntry> entries;
    if (problem.empty()) problem = BuildEntries(options, &entries);
    platform::Profile profile;
    profile.path = "--port " + options.port;
    for (const BuiltEntry& entry : entries) {
        if (!problem.empty()) break;
        if (!platform::AddProfileEntry(&profile, entry.section, entry.key, entry.value)) {
            problem = entry.option + ": " + platform::LastErrorText();
        }
    }
    if (problem.empty()) {
        if (!platform::CheckResetPort(profile)) {
            problem = "--reset " + options.reset + ": " + platform::LastErrorText();
        }
    }
    if (!problem.empty()) {
        platform::SayOnStderr("%s", problem.c_str());
        return ExitBadArguments;
    }
    profile.from_options = true;
    platform::SetProfile(profile);
    // No radio driver and no pulse: the person resets the module when asked.
    Run().controls.reset_by_hand = options.reset.empty() || options.reset == ResetNone;
    if (options.invocation == Invocation::Update) Run().controls.report.hand_reset_prompt = AskForReset;
    return 0;
}


}  // namespace shell
