// Implemented in shell/check.cpp, shell/cli.cpp, shell/cli_running.cpp, shell/handset_glue.cpp,
// shell/ports.cpp, shell/quick_run.cpp, shell/run_endings.cpp and shell/run_setup.cpp.
// The command line: invocations and options read into one plain record, and the steps of the
// program that main() lists.
//
// Invocations: (none) the window; update; bridge [--reopen]; send [--wait] ID; sim; payloads;
// ports [--tsv | --profile-lines | --json]; check. Options: --profile FILE (update: repeatable, one
// station each), --headless, --trace FILE, --trace-time, --command ID (repeatable),
// --module-timeout SECONDS, --attempts N, --events FILE, --station NAME, --firmware DIR,
// --trusted-keys PATH, --require-signature, --verify-timeout SECONDS, --expect-revision TEXT,
// --expect-revision-match exact|glob, --skip-current, --record FILE, --log-dir DIR, --force,
// --after resume|keep|reboot, --port PATH [--reset KIND] [--at-port PATH] [--reboot ENTRY] (update and check: the
// profile built from the command line), -h/--help, -V/--version; "--name=value" works too. Bad
// arguments: one line on stderr, exit 2.
//
// Index: Invocation CliOptions ParseCommandLine PrintUsage PrintVersion UsePayloadSet OpenTrace
// CheckRuntimeDirectory SendToRunning RefuseSecondWindow SelectWindowScreen RunWindow | hooks:
// ApplyRunOptions PrepareUpdateRun ReportInterruptedUpdate FinishUpdateRun FinishBridgeRun RunSimulatedHandset
// ListPayloads ListSerialPorts (shell/ports.cpp) CheckDevices (shell/check.cpp) | UsePortProfile
// EnterOwnRuntimeScope (shell/cli_running.cpp)
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "update/update.h"
#include "update/verify.h"

namespace shell {

enum class Invocation { Window, Update, Bridge, Send, Sim, Payloads, Ports, Check };
// How `ports` prints: a table for people, tab-separated for scripts, or profile lines.
enum class PortsFormat { Table, Tsv, ProfileLines, Json };

inline constexpr int ExitBadArguments = 2;
inline constexpr int ExitNoWindow = 3;
inline constexpr int ExitWindowBusy = 4;  // every connection slot of the window is taken
inline constexpr int ExitAnotherWindow = -1;  // shows as 255

struct CliOptions {
    Invocation invocation = Invocation::Window;
    std::uint16_t send_id = 0;                  // send ID
    PortsFormat ports_format = PortsFormat::Table;  // ports --tsv, --profile-lines, --json
    bool send_wait = false;                     // send --wait ID: await the update's end
    bool reopen = false;                        // bridge --reopen: wait for a lost port to return
    bool force = false;                         // --force: update on a line another program has open
    std::string profile;                        // --profile FILE; empty: not given
    std::vector<std::string> profiles;          // every --profile; update runs several at once
    bool headless = false;                      // --headless (update and bridge always are)
    std::string trace;                          // --trace FILE ("-" stderr); empty: nowhere
    bool trace_time = false;                    // --trace-time: a monotonic stamp per trace line
    std::vector<std::uint16_t> commands;        // --command ID, in order
    std::uint32_t module_timeout_seconds = 10;  // --module-timeout SECONDS
    std::uint32_t attempts = update::DefaultAttempts;  // --attempts N; 0: without limit
    std::string events;                         // --events FILE ("-" stdout): the run as JSON Lines
    std::string station;                        // --station NAME: tags every event
    std::string firmware;                       // --firmware DIR: the payload set; empty: not given
    std::string trusted_keys;                   // --trusted-keys PATH: keys a set's signature must be by
    bool require_signature = false;             // --require-signature: no set without a trusted signer
    std::uint32_t verify_timeout_seconds = update::DefaultVerifyTimeoutSeconds;  // --verify-timeout
    std::string expect_revision;                // --expect-revision TEXT; empty: the set's
    update::RevisionMatch expect_revision_match = update::RevisionMatch::Exact;  // --expect-revision-match
    bool skip_current = false;                  // --skip-current
    std::string record;                         // --record FILE: one JSON line per run appended
    std::string log_dir;                        // --log-dir DIR: each station's pane in DIR/NAME.log
    update::AfterRun after = update::AfterRun::Reboot;  // --after: what follows a successful run
    bool after_given = false;                   // --after was on the command line
    std::string port;                           // --port PATH|udev:...: the profile from the command line
    std::string reset;                          // --reset dtr|rts[:MS[:low|high]]|exec:PROGRAM|none
    std::string at_port;                        // --at-port PATH
    std::string reboot;                         // --reboot exec:PROGRAM|SOCKET: the kernel's reboot entry
    bool help = false;
    bool version = false;
};

// 0 with *options filled, or ExitBadArguments with a one-line *error.
int ParseCommandLine(int argc, char** argv, CliOptions* options, std::string* error);
void PrintUsage();
// The program's version and the payload set in use.
void PrintVersion();
// The payload set of the invocations that send or describe it (the window, update, payloads,
// sim, --version): --firmware DIR, else $FIRMWARE_UTILITY_FIRMWARE, else the built-in set. A
// directory is checked whole before anything opens, its signature too when trusted keys are
// found (update/set_signature.h); a run of a set not signature-checked says so once. 0, or
// ExitBadArguments after a line naming the file and the reason.
int UsePayloadSet(const CliOptions& options);
// Points the trace channel at --trace; 0, or ExitBadArguments after a one-line error.
int OpenTrace(const CliOptions& options);
// The directory where the running window is found must be this user's, mode 0700. 0, or
// ExitBadArguments after a one-line error.
int CheckRuntimeDirectory();
// `send ID`: prints the running window's result and returns it; ExitNoWindow when none runs;
// ExitBadArguments, sending nothing, for an id the command table does not have. `send --wait`
// (117, 118) prints and returns 0 when the module confirmed the image, else 1.
int SendToRunning(const CliOptions& options);
// A window of this user already runs: one line naming its process, the window asked to the
// front, ExitAnotherWindow. 0 when none runs (shell/cli_running.cpp).
int RefuseSecondWindow();
// The screen: terminal unless --headless (update and bridge always headless). 0, or
// ExitBadArguments after a one-line error.
int SelectWindowScreen(const CliOptions& options);
// Start-up, message loop, shut-down; the window's exit code (0, 255, 1, 16). Posts the
// invocation's command (118 update, 153 bridge) and then the --command ones.
int RunWindow(const CliOptions& options);

// ---- hooks for the pieces that come with other parts of the tool: ApplyRunOptions and
// RunSimulatedHandset (shell/handset_glue.cpp, with the simulated handset), PrepareUpdateRun
// (shell/run_setup.cpp), the run's ends (shell/run_endings.cpp); their steps in shell/run_steps.h.
// Each returns 0 to go on, or the exit code to end with after printing one line.
// The options that later pieces read: the handset profile (--profile, $FIRMWARE_UTILITY_PROFILE,
// the user's or the system's profile file, or the built-in simulated handset, announced on
// stderr) and --module-timeout. Stand-in payloads and a handset not simulated: `update` ends
// with ExitBadArguments, the window refuses its update commands.
int ApplyRunOptions(const CliOptions& options);
// Before the window of `update` comes up; and its exit code from the window's.
int PrepareUpdateRun(const CliOptions& options);
int FinishUpdateRun(const CliOptions& options, int window_exit_code);
// `bridge`: 1 when the bridge could not start (the window closed at once), else the window's code.
int FinishBridgeRun(const CliOptions& options, int window_exit_code);
// After the window has closed: one line on stderr when it closed on an update still running.
void ReportInterruptedUpdate();
// `sim` and `payloads`: the whole invocation; its exit code.
int RunSimulatedHandset(const CliOptions& options);
int ListPayloads(const CliOptions& options);
// `ports`: 0 when udev was read (also with no ports), 1 when not.
int ListSerialPorts(const CliOptions& options);
// `check`: every device of the profile opened and given back, nothing written to the module; 0
// when every one is ready, else 1 (shell/check.cpp).
int CheckDevices(const CliOptions& options);

// ---- the quick run (shell/quick_run.cpp): --port builds the run's profile as a profile file's
// lines would hold it and makes it the platform's; 0, or ExitBadArguments after one line.
int UsePortProfile(const CliOptions& options);
// A headless `update` runs in a private runtime directory of its own, so that updates of
// different modules run side by side; the user's directory keeps the port claims. 0, or
// ExitBadArguments after one line.
int EnterOwnRuntimeScope();

}  // namespace shell
