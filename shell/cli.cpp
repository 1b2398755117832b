// The command line and the steps of the program that main() lists.
#include "shell/cli.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"
#include "resources/commands.h"
#include "shell/main_window.h"
#include "update/payloads.h"
#include "update/set_signature.h"

namespace shell {
namespace {

constexpr char Program[] = "firmware-utility";
constexpr unsigned long MaxAttemptsOption = 1000000;

// invocation word, invocation
constexpr struct {
    const char* word;
    Invocation invocation;
} Invocations[] = {
    {"update", Invocation::Update}, {"bridge", Invocation::Bridge},     {"send", Invocation::Send},
    {"sim", Invocation::Sim},       {"payloads", Invocation::Payloads}, {"ports", Invocation::Ports},
    {"check", Invocation::Check},
};

// Whole decimal numbers only: no sign, no base prefix, no spaces.
std::string WholeNumber(const std::string& text) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return "'" + text + "' is not a whole number";
    }
    return {};
}

std::string NotEmpty(const std::string& text) { return text.empty() ? "needs a value" : std::string(); }

// A text shown in the pane, on stderr and in the events as it is: a name or a revision.
std::string PlainText(const std::string& text) {
    if (text.empty()) return "needs a value";
    const std::string control = platform::FirstControlCharacter(text);
    return control.empty() ? std::string() : "a control character (" + control + ") in the value";
}

// One line out of CLI11's message (some span lines), with the pointer to --help.
int Fail(std::string* error, std::string text) {
    for (char& c : text) {
        if (c == '\n') c = ' ';
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    *error = text + " (see --help)";
    return ExitBadArguments;
}

// --after WORD: what follows a successful update.
constexpr struct {
    const char* word;
    update::AfterRun after;
} AfterWords[] = {{"reboot", update::AfterRun::Reboot}, {"resume", update::AfterRun::Resume}, {"keep", update::AfterRun::Keep}};

// --expect-revision-match WORD: equality, or the expected text as a shell pattern.
void AddRevisionMatchOption(CLI::App* app, CliOptions* options) {
    app->add_option_function<std::string>("--expect-revision-match", [options](const std::string& word) {
           options->expect_revision_match = word == "glob" ? update::RevisionMatch::Glob : update::RevisionMatch::Exact;
       })
        ->type_name("exact|glob")
        ->check(CLI::IsMember({"exact", "glob"}));
}

void AddAfterOption(CLI::App* app, CliOptions* options) {
    app->add_option_function<std::string>("--after", [options](const std::string& word) {
           for (const auto& row : AfterWords) {
               if (word == row.word) options->after = row.after;
           }
           options->after_given = true;
       })
        ->type_name("resume|keep|reboot")
        ->check(CLI::IsMember({"resume", "keep", "reboot"}));
}

// The quick run's options: the profile from the command line, for update and check.
void AddPortOptions(CLI::App* app, CliOptions* options) {
    app->add_option("--port", options->port)->type_name("PATH|udev:...")->check(NotEmpty);
    app->add_option("--reset", options->reset)->type_name("KIND")->check(NotEmpty);
    app->add_option("--at-port", options->at_port)->type_name("PATH")->check(NotEmpty);
    app->add_option("--reboot", options->reboot)->type_name("exec:PROGRAM|SOCKET")->check(NotEmpty);
}

// `ports --tsv`, `--profile-lines` or `--json`; one of them.
void AddPortsFlags(CLI::App* ports, CliOptions* options) {
    auto set = [options](PortsFormat format) { return [options, format]() { options->ports_format = format; }; };
    CLI::Option* tsv = ports->add_flag_callback("--tsv", set(PortsFormat::Tsv));
    CLI::Option* lines = ports->add_flag_callback("--profile-lines", set(PortsFormat::ProfileLines))->excludes(tsv);
    ports->add_flag_callback("--json", set(PortsFormat::Json))->excludes(tsv)->excludes(lines);
}

}  // namespace

int ParseCommandLine(int argc, char** argv, CliOptions* options, std::string* error) {
    *options = CliOptions{};
    CLI::App app{"", Program};
    app.set_help_flag();  // PrintUsage is the help text
    app.allow_extras(false);
    app.fallthrough();
    app.require_subcommand(0, 1);

    app.add_option("--profile", options->profiles)
        ->type_name("FILE")
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->check(NotEmpty);
    app.add_flag("--headless", options->headless)->disable_flag_override();
    app.add_option("--trace", options->trace)->type_name("FILE")->check(NotEmpty);
    app.add_flag("--trace-time", options->trace_time)->disable_flag_override();
    app.add_option("--command", options->commands)
        ->type_name("ID")
        ->expected(1)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->check(WholeNumber)
        ->check(CLI::Range(0, 0xFFFF));
    app.add_option("--module-timeout", options->module_timeout_seconds)
        ->type_name("SECONDS")
        ->check(WholeNumber)
        ->check(CLI::Range(1, 86400));
    app.add_option("--attempts", options->attempts)->type_name("N")->check(WholeNumber)->check(CLI::Range(0UL, MaxAttemptsOption));
    app.add_option("--events", options->events)->type_name("FILE")->check(NotEmpty);
    app.add_option("--station", options->station)->type_name("NAME")->check(PlainText);
    app.add_option("--firmware", options->firmware)->type_name("DIR")->check(NotEmpty);
    app.add_option("--trusted-keys", options->trusted_keys)->type_name("PATH")->check(NotEmpty);
    app.add_flag("--require-signature", options->require_signature)->disable_flag_override();
    app.add_option("--verify-timeout", options->verify_timeout_seconds)
        ->type_name("SECONDS")
        ->check(WholeNumber)
        ->check(CLI::Range(1, 86400));
    app.add_option("--expect-revision", options->expect_revision)->type_name("TEXT")->check(PlainText);
    AddRevisionMatchOption(&app, options);
    app.add_flag("--skip-current", options->skip_current)->disable_flag_override();
    app.add_option("--record", options->record)->type_name("FILE")->check(NotEmpty);
    app.add_option("--log-dir", options->log_dir)->type_name("DIR")->check(NotEmpty);
    app.add_flag("--force", options->force)->disable_flag_override();
    AddAfterOption(&app, options);
    AddPortOptions(&app, options);
    app.add_flag("-h,--help", options->help)->disable_flag_override();
    app.add_flag("-V,--version", options->version)->disable_flag_override();

    bool have_send_id = false;
    for (const auto& row : Invocations) {
        CLI::App* invocation = app.add_subcommand(row.word);
        invocation->fallthrough();
        invocation->allow_extras(false);
        if (row.invocation == Invocation::Send) {
            invocation->add_flag("--wait", options->send_wait)->disable_flag_override();
            invocation->add_option("ID", options->send_id)->type_name("ID")->check(WholeNumber)->check(CLI::Range(0, 0xFFFF));
        }
        if (row.invocation == Invocation::Ports) AddPortsFlags(invocation, options);
        if (row.invocation == Invocation::Bridge) invocation->add_flag("--reopen", options->reopen)->disable_flag_override();
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& failure) {
        return Fail(error, failure.what());
    }
    for (const auto& row : Invocations) {
        if (app.got_subcommand(row.word)) options->invocation = row.invocation;
    }
    // A posted id without a row would be carried out as nothing, silently: refuse it as send does.
    for (std::uint16_t id : options->commands) {
        if (!IsCommand(id)) return Fail(error, "--command " + std::to_string(id) + ": no command has this id");
    }
    if (!options->profiles.empty()) options->profile = options->profiles.front();
    if (options->profiles.size() > 1 && options->invocation != Invocation::Update) {
        return Fail(error, "--profile: only update takes several (one station each)");
    }
    if (!options->log_dir.empty() && options->profiles.size() < 2) {
        return Fail(error, "--log-dir: only update with several profiles takes it (one file per station)");
    }
    // The profile comes from --port or from a file, never from both.
    if (!options->port.empty() && !options->profiles.empty()) return Fail(error, "--port and --profile: give one of them");
    if (!options->port.empty() && options->invocation != Invocation::Update && options->invocation != Invocation::Check) {
        return Fail(error, "--port: only update and check take it");
    }
    if (options->port.empty() && (!options->reset.empty() || !options->at_port.empty() || !options->reboot.empty())) {
        return Fail(error, std::string(!options->reset.empty() ? "--reset" : !options->at_port.empty() ? "--at-port" : "--reboot") +
                               " needs --port");
    }
    if (options->invocation == Invocation::Send) have_send_id = app.get_subcommand("send")->count("ID") > 0;
    if (options->invocation == Invocation::Send && !have_send_id && !options->help && !options->version) {
        return Fail(error, "send needs a command id");
    }
    return 0;
}

void PrintUsage() {
    std::fputs(
        "usage: firmware-utility [INVOCATION] [OPTIONS]\n"
        "\n"
        "invocations:\n"
        "  (none)          the window, drawn in the terminal\n"
        "  update          headless: one firmware update, then close (exit 0 verified, or\n"
        "                  accepted and not checkable; 1 failed; 2 did not start: bad\n"
        "                  arguments, profile or payload set, no way to reset the module)\n"
        "  bridge          headless: the port bridge, relaying until SIGINT/SIGTERM (exit 1\n"
        "                  at once when it could not start, or when a port was lost)\n"
        "  bridge --reopen a lost port is waited for and relaying starts again once it is back\n"
        "  send ID         deliver command ID to the running window; print and exit with its\n"
        "                  result (3: no window runs; 4: the window is busy, try again;\n"
        "                  2: no such command)\n"
        "  send --wait ID  for 117 and 118: wait for that update's end; 0 when it succeeded\n"
        "                  (as update's exit 0), else 1\n"
        "  sim             run the simulated handset and print its profile's path\n"
        "  payloads        list the embedded payloads\n"
        "  ports           list the serial ports (--tsv: tab-separated for scripts;\n"
        "                  --json: one JSON array; --profile-lines: COMn: lines for a\n"
        "                  profile's [devices])\n"
        "  check           open every device of the profile and give it back, writing\n"
        "                  nothing to the module: ok or what to fix, per device (exit 0:\n"
        "                  all ready, 1: not)\n"
        "\n"
        "options:\n"
        "  --profile FILE            the handset profile (default $FIRMWARE_UTILITY_PROFILE,\n"
        "                            else $XDG_CONFIG_HOME/firmware-utility/profile or\n"
        "                            ~/.config/..., else /etc/firmware-utility/profile, else\n"
        "                            the built-in simulated handset); update takes it\n"
        "                            repeatedly, [NAME=]FILE, one station per module at once\n"
        "  --headless                the window without a terminal UI: log text to stdout\n"
        "  --trace FILE              where the trace channel goes ('-' is stderr)\n"
        "  --trace-time              start each trace line with the monotonic clock's seconds\n"
        "  --command ID              post command ID after start-up (repeatable, in order)\n"
        "  --module-timeout SECONDS  the bound on one wait for the module (default 10)\n"
        "  --attempts N              handshake attempts of an update before it gives up\n"
        "                            (default 10; 0: no limit)\n"
        "  --events FILE             update: the run as JSON Lines, one event a line ('-' is\n"
        "                            stdout; the pane's text then goes to stderr)\n"
        "  --station NAME            update: tag every event with this station name\n"
        "  --firmware DIR            the payload set to send: boot1.bin, boot2.bin, filesize.bin,\n"
        "                            fw.bin, checked against SHA256SUMS when there, and an optional\n"
        "                            one-line version (default $FIRMWARE_UTILITY_FIRMWARE, else\n"
        "                            the set built in)\n"
        "  --trusted-keys PATH       public keys (a file, or a directory of *.asc/*.gpg files) of\n"
        "                            which one must sign the set's SHA256SUMS (SHA256SUMS.asc or\n"
        "                            .sig); default $FIRMWARE_UTILITY_TRUSTED_KEYS, else\n"
        "                            $XDG_CONFIG_HOME/firmware-utility/trusted-keys/, else\n"
        "                            /etc/firmware-utility/trusted-keys/\n"
        "  --require-signature       refuse to run without trusted keys, and the built-in set\n"
        "  --verify-timeout SECONDS  update: the bound on the wait for the new firmware to\n"
        "                            answer on the AT port after the image (default 30)\n"
        "  --expect-revision TEXT    update: exit 0 only when the revision read after the\n"
        "                            image is TEXT (default: the payload set's revision)\n"
        "  --expect-revision-match exact|glob  update: TEXT is the whole revision (default), or\n"
        "                            a shell pattern (V.4.2.*) that must match all of it\n"
        "  --skip-current            update: end at once, exit 0, when the module already runs\n"
        "                            the expected revision\n"
        "  --record FILE             update: append one JSON line per run to FILE\n"
        "  --log-dir DIR             update with several profiles: each station's pane in\n"
        "                            DIR/NAME.log (on a terminal, default a new directory under\n"
        "                            $XDG_STATE_HOME/firmware-utility/stations)\n"
        "  --force                   update: use a module link that another program has open\n"
        "  --after resume|keep|reboot  update: after a success, resume the radio driver, keep it\n"
        "                            suspended, or request the reboot (default reboot when\n"
        "                            the profile has a reboot entry, else keep)\n"
        "  --port PATH|udev:KEY=VALUE  update, check: no profile file; the module link, with\n"
        "    --reset KIND            how the module is reset: dtr or rts[:MS[:low|high]] (a pulse\n"
        "                            on the link's line, default 100 ms low), exec:PROGRAM (a\n"
        "                            radio driver program), none (default: you press its reset\n"
        "                            button when asked; needs a terminal)\n"
        "    --at-port PATH          the module's AT port (its revision is read there)\n"
        "    --reboot exec:PROGRAM   how the handset is rebooted after a success (a program,\n"
        "                            or a service's socket path); none: it is not rebooted\n"
        "  -h, --help, -V, --version\n"
        "\n"
        "window exit codes: 0 normal end, 255 another window of this user runs (asked to come\n"
        "to the front), 1 window class not registered, 16 window not created; 2 bad arguments.\n",
        stdout);
}

void PrintVersion() { std::printf("%s %s\n%s\n", Program, FWU_VERSION, update::PayloadSetLine().c_str()); }

int UsePayloadSet(const CliOptions& options) {
    // Only these send the set to a module or describe it; the rest never read it.
    const bool reads_set = options.version || options.invocation == Invocation::Window ||
                           options.invocation == Invocation::Update || options.invocation == Invocation::Payloads ||
                           options.invocation == Invocation::Sim || options.invocation == Invocation::Check;
    std::string directory = options.firmware;
    const char* given_by = "--firmware";
    if (directory.empty()) {
        const char* from_environment = std::getenv("FIRMWARE_UTILITY_FIRMWARE");
        if (from_environment) directory = from_environment;
        given_by = "$FIRMWARE_UTILITY_FIRMWARE";
    }
    if (!reads_set || (directory.empty() && !options.require_signature)) return 0;
    std::string error;
    update::SetSignaturePolicy(options.trusted_keys, options.require_signature);
    if (!update::LoadTrustedKeys(&error)) {
        platform::SayOnStderr("%s", error.c_str());
        return ExitBadArguments;
    }
    if (directory.empty()) {
        platform::SayOnStderr("--require-signature: the built-in payload set carries no signature; give a signed "
                              "set with --firmware DIR");
        return ExitBadArguments;
    }
    if (!update::UsePayloadDirectory(directory, &error)) {
        platform::SayOnStderr("%s: %s", given_by, error.c_str());
        return ExitBadArguments;
    }
    // Said once per run: a station's parent has said it for its children.
    const bool runs = options.invocation == Invocation::Update || options.invocation == Invocation::Window;
    if (runs && !options.version && !update::HaveTrustedKeys() && options.events != platform::ChildEventsPath) {
        platform::SayOnStderr("%s: %s: not signature-checked: no trusted keys (%s)", given_by,
                              update::CurrentPayloadSet().directory.c_str(), update::TrustedKeyPlaces().c_str());
    }
    return 0;
}

int ListPayloads(const CliOptions&) { return update::ListPayloads(); }

int OpenTrace(const CliOptions& options) {
    if (options.trace.empty()) return 0;
    platform::SetTraceTimestamps(options.trace_time);
    if (platform::SetTraceSink(options.trace.c_str())) return 0;
    platform::SayOnStderr("--trace %s: %s", options.trace.c_str(), platform::LastErrorText().c_str());
    return ExitBadArguments;
}

int CheckRuntimeDirectory() {
    if (platform::PrepareRuntimeDirectory(WindowClassName)) return 0;
    platform::SayOnStderr("runtime directory %s", platform::LastErrorText().c_str());
    return ExitBadArguments;
}

int SendToRunning(const CliOptions& options) {
    if (!IsCommand(options.send_id)) {
        platform::SayOnStderr("send %u: no command has this id (nothing was sent)", options.send_id);
        return ExitBadArguments;
    }
    const bool awaits_update = options.send_id == commands::Update || options.send_id == commands::UpdateGo;
    if (options.send_wait && !awaits_update) {
        platform::SayOnStderr("send --wait %u: only the update commands %u and %u have an end to wait for", options.send_id,
                              commands::Update, commands::UpdateGo);
        return ExitBadArguments;
    }
    std::intptr_t result = 0;
    if (!platform::SendCommandToRunningWindow(WindowClassName, options.send_id, &result, options.send_wait)) {
        const int error = static_cast<int>(platform::GetLastError());
        if (error == ENOENT) {
            platform::SayOnStderr("send %u: no window of this user runs", options.send_id);
        } else if (error == EBUSY) {
            platform::SayOnStderr("send %u: the window is busy: every connection it serves at once is taken "
                                  "(nothing was sent); try again", options.send_id);
            return ExitWindowBusy;
        } else {
            platform::SayOnStderr("send %u: %s", options.send_id, std::strerror(error));
        }
        return ExitNoWindow;
    }
    if (options.send_wait) {
        const update::OutcomeRow* outcome = update::FindOutcome(result);
        platform::SayOnStderr("send --wait %u: %s", options.send_id,
                              outcome ? outcome->awaited : update::UnknownOutcomeLine);
        result = update::OutcomeSucceeded(static_cast<std::int32_t>(result)) ? 0 : 1;
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
    const int error = static_cast<int>(platform::GetLastError());
    const char* reason = error == ENOTTY   ? "stdin and stdout are not a terminal"
                         : error == ENOENT ? "terminfo does not know the terminal named by TERM"
                         : error == ENOTSUP ? "the terminal named by TERM cannot move its cursor"
                                           : std::strerror(error);
    platform::SayOnStderr("cannot draw the window in the terminal: %s (use --headless)", reason);
    return ExitBadArguments;
}

int RunWindow(const CliOptions& options) {
    std::vector<std::uint16_t> commands;
    if (options.invocation == Invocation::Update) commands.push_back(commands::UpdateGo);
    if (options.invocation == Invocation::Bridge) commands.push_back(commands::StartBridge);
    commands.insert(commands.end(), options.commands.begin(), options.commands.end());
    return RunMainWindow(platform::SW_SHOW, commands.data(), static_cast<int>(commands.size()));
}

}  // namespace shell
