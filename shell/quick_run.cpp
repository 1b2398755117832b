// The quick run: `update --port PATH [--reset KIND] [--at-port PATH]` (and `check` alike) needs
// no profile file. The options become the lines a profile would hold and go through the
// profile parser, so they are checked exactly as a file's lines are; a mistake is said against
// the option that gave the line.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "device/radio.h"
#include "platform/platform.h"
#include "shell/cli.h"
#include "shell/run_report.h"
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
    std::fprintf(stderr, update::ImageConfirmed.load()
                             ? "firmware-utility: the image was sent; press the module's reset button now to start "
                               "the new firmware\n"
                             : "firmware-utility: press the module's reset button now\n");
}

// One line of the built profile and the option it came from.
struct BuiltLine {
    std::string text;
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
    *words = parts[0] + " " + (parts.size() > 1 ? parts[1] : std::to_string(DefaultPulseMs));
    if (parts.size() > 2) *words += " " + parts[2];
    return true;
}

// The profile's lines for the options; "" or the reason --reset is refused.
std::string BuildLines(const CliOptions& options, std::vector<BuiltLine>* lines) {
    const std::string reset_option = "--reset " + options.reset;
    lines->push_back({"[devices]", "--port " + options.port});
    lines->push_back({"COM1: = " + options.port, "--port " + options.port});
    if (!options.at_port.empty()) lines->push_back({"COM2: = " + options.at_port, "--at-port " + options.at_port});
    if (!options.reboot.empty()) {
        lines->push_back({"[kernel]", "--reboot " + options.reboot});
        lines->push_back({"KernelIoControl = " + options.reboot, "--reboot " + options.reboot});
        lines->push_back({"[devices]", "--port " + options.port});
    }
    if (options.reset.empty() || options.reset == ResetNone) return {};
    if (options.reset.rfind(platform::ProgramPrefix, 0) == 0) {
        lines->push_back({"RIL1: = " + options.reset, reset_option});
        return {};
    }
    std::string words;
    if (!PulseWords(options.reset, &words)) return reset_option + ": " + ResetForm;
    lines->push_back({"[radio]", reset_option});
    lines->push_back({"reset = COM1: " + words, reset_option});
    return {};
}

}  // namespace

int UsePortProfile(const CliOptions& options) {
    std::vector<BuiltLine> lines;
    std::string problem = BuildLines(options, &lines);
    // The parser says "NAME:LINE: reason"; the option that gave that line is named instead.
    const std::string name = "--port " + options.port;
    std::string text;
    for (const BuiltLine& line : lines) text += line.text + "\n";
    platform::Profile profile;
    std::string error;
    if (problem.empty() && !platform::ParseProfile(text, name, &profile, &error)) {
        const std::size_t number_at = name.size() + 1;
        const std::size_t reason_at = error.find(": ", number_at);
        const unsigned long number = std::strtoul(error.c_str() + number_at, nullptr, 10);
        const std::string option = number >= 1 && number <= lines.size() ? lines[number - 1].option : name;
        problem = option + ": " + (reason_at == std::string::npos ? error : error.substr(reason_at + 2));
    }
    if (!problem.empty()) {
        std::fprintf(stderr, "firmware-utility: %s\n", problem.c_str());
        return ExitBadArguments;
    }
    profile.from_options = true;
    platform::SetProfile(profile);
    // No radio driver and no pulse: the person resets the module when asked.
    device::ResetByHand.store(options.reset.empty() || options.reset == ResetNone);
    if (options.invocation == Invocation::Update) device::HandResetPrompt.store(AskForReset);
    return 0;
}

int RefuseUnattendedReset(const CliOptions& options) {
    if (!device::ResetByHand.load() || options.invocation != Invocation::Update || platform::StderrIsTerminal()) return 0;
    std::fprintf(stderr,
                 "firmware-utility: --port %s: the module cannot be reset: with --reset none (the default) someone "
                 "presses its reset button when asked, and stderr is not a terminal; give --reset dtr|rts[:MS[:low|high]] or "
                 "--reset exec:PROGRAM; nothing was opened\n",
                 options.port.c_str());
    return ExitBadArguments;
}

}  // namespace shell
