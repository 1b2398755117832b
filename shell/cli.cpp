// The command line and the steps of the program that main() lists.
#include "shell/cli.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "shell/main_window.h"

namespace shell {
namespace {

constexpr char Program[] = "firmware-utility";
constexpr std::uint16_t UpdateCommand = 118;
constexpr std::uint16_t BridgeCommand = 153;

// invocation word, invocation
constexpr struct {
    const char* word;
    Invocation invocation;
} Invocations[] = {
    {"update", Invocation::Update}, {"bridge", Invocation::Bridge},     {"send", Invocation::Send},
    {"sim", Invocation::Sim},       {"payloads", Invocation::Payloads},
};

// A whole decimal number within [low, high].
bool ParseNumber(const char* text, unsigned long low, unsigned long high, unsigned long* value) {
    if (text == nullptr || *text < '0' || *text > '9') return false;
    errno = 0;
    char* end = nullptr;
    unsigned long n = std::strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || n < low || n > high) return false;
    *value = n;
    return true;
}

int Fail(std::string* error, const std::string& text) {
    *error = text + " (see --help)";
    return ExitBadArguments;
}

}  // namespace

int ParseCommandLine(int argc, char** argv, CliOptions* options, std::string* error) {
    *options = CliOptions{};
    bool have_invocation = false;
    bool need_send_id = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            std::string name = arg;
            std::string value;
            bool inline_value = false;
            auto equals = arg.find('=');
            if (equals != std::string::npos) {
                name = arg.substr(0, equals);
                value = arg.substr(equals + 1);
                inline_value = true;
            }
            bool takes_value = name == "--profile" || name == "--trace" || name == "--command" ||
                               name == "--module-timeout";
            bool flag = name == "--headless" || name == "--help" || name == "--version";
            if (!takes_value && !flag) return Fail(error, "unknown option '" + name + "'");
            if (flag && inline_value) return Fail(error, name + " takes no value");
            if (takes_value && !inline_value) {
                if (i + 1 >= argc) return Fail(error, name + " needs a value");
                value = argv[++i];
            }
            unsigned long number = 0;
            if (name == "--headless") {
                options->headless = true;
            } else if (name == "--help") {
                options->help = true;
            } else if (name == "--version") {
                options->version = true;
            } else if (name == "--profile") {
                if (value.empty()) return Fail(error, "--profile needs a file name");
                options->profile = value;
            } else if (name == "--trace") {
                if (value.empty()) return Fail(error, "--trace needs a file name or '-'");
                options->trace = value;
            } else if (name == "--command") {
                if (!ParseNumber(value.c_str(), 0, 0xFFFF, &number)) {
                    return Fail(error, "--command needs an id from 0 to 65535, not '" + value + "'");
                }
                options->commands.push_back(static_cast<std::uint16_t>(number));
            } else {  // --module-timeout
                if (!ParseNumber(value.c_str(), 1, 86400, &number)) {
                    return Fail(error, "--module-timeout needs whole seconds from 1 to 86400, not '" + value + "'");
                }
                options->module_timeout_seconds = static_cast<std::uint32_t>(number);
            }
            continue;
        }
        if (need_send_id) {
            unsigned long number = 0;
            if (!ParseNumber(arg.c_str(), 0, 0xFFFF, &number)) {
                return Fail(error, "send needs a command id from 0 to 65535, not '" + arg + "'");
            }
            options->send_id = static_cast<std::uint16_t>(number);
            need_send_id = false;
            continue;
        }
        if (have_invocation) return Fail(error, "unexpected argument '" + arg + "'");
        bool known = false;
        for (const auto& row : Invocations) {
            if (arg == row.word) {
                options->invocation = row.invocation;
                known = true;
            }
        }
        if (!known) return Fail(error, "unknown invocation '" + arg + "'");
        have_invocation = true;
        need_send_id = options->invocation == Invocation::Send;
    }
    if (need_send_id && !options->help && !options->version) return Fail(error, "send needs a command id");
    return 0;
}

void PrintUsage() {
    std::fputs(
        "usage: firmware-utility [INVOCATION] [OPTIONS]\n"
        "\n"
        "invocations:\n"
        "  (none)          the window, drawn in the terminal\n"
        "  update          headless: one firmware update, then close (exit 0 accepted, 1 failed)\n"
        "  bridge          headless: the port bridge, relaying until SIGINT/SIGTERM\n"
        "  send ID         deliver command ID to the running window; print and exit with its\n"
        "                  result (3: no window runs)\n"
        "  sim             run the simulated handset and print its profile's path\n"
        "  payloads        list the embedded payloads\n"
        "\n"
        "options:\n"
        "  --profile FILE            the handset profile (default $FIRMWARE_UTILITY_PROFILE,\n"
        "                            else the built-in simulated handset)\n"
        "  --headless                the window without a terminal UI: log text to stdout\n"
        "  --trace FILE              where the trace channel goes ('-' is stderr)\n"
        "  --command ID              post command ID after start-up (repeatable, in order)\n"
        "  --module-timeout SECONDS  the bound on one silent wait for the module (default 10)\n"
        "  --help, --version\n"
        "\n"
        "window exit codes: 0 normal end, 255 another window of this user runs (asked to come\n"
        "to the front), 1 window class not registered, 16 window not created; 2 bad arguments.\n",
        stdout);
}

void PrintVersion() { std::printf("%s %s\n", Program, FWU_VERSION); }

int OpenTrace(const CliOptions& options) {
    if (options.trace.empty()) return 0;
    if (platform::SetTraceSink(options.trace.c_str())) return 0;
    std::fprintf(stderr, "%s: --trace %s: %s\n", Program, options.trace.c_str(), std::strerror(errno));
    return ExitBadArguments;
}

int CheckRuntimeDirectory() {
    std::string error;
    if (platform::PrepareRuntimeDirectory(&error, WindowClassName)) return 0;
    std::fprintf(stderr, "%s: runtime directory %s\n", Program, error.c_str());
    return ExitBadArguments;
}

int SendToRunning(const CliOptions& options) {
    std::intptr_t result = 0;
    if (!platform::SendCommandToRunningWindow(WindowClassName, options.send_id, &result)) {
        if (errno == ENOENT) {
            std::fprintf(stderr, "%s: send %u: no window of this user runs\n", Program, options.send_id);
        } else {
            std::fprintf(stderr, "%s: send %u: %s\n", Program, options.send_id, std::strerror(errno));
        }
        return ExitNoWindow;
    }
    std::printf("%ld\n", static_cast<long>(result));
    std::fflush(stdout);
    return static_cast<int>(result);
}

int SelectWindowScreen(const CliOptions& options) {
    bool headless = options.headless || options.invocation == Invocation::Update ||
                    options.invocation == Invocation::Bridge;
    if (platform::SelectScreen(headless ? platform::ScreenKind::Headless : platform::ScreenKind::Terminal)) {
        return 0;
    }
    const char* reason = errno == ENOTTY   ? "stdin and stdout are not a terminal"
                         : errno == ENOENT ? "terminfo does not know the terminal named by TERM"
                                           : std::strerror(errno);
    std::fprintf(stderr, "%s: cannot draw the window in the terminal: %s (use --headless)\n", Program, reason);
    return ExitBadArguments;
}

int RunWindow(const CliOptions& options) {
    std::vector<std::uint16_t> commands;
    if (options.invocation == Invocation::Update) commands.push_back(UpdateCommand);
    if (options.invocation == Invocation::Bridge) commands.push_back(BridgeCommand);
    commands.insert(commands.end(), options.commands.begin(), options.commands.end());
    return RunMainWindow(platform::SW_SHOW, commands.data(), static_cast<int>(commands.size()));
}

}  // namespace shell
