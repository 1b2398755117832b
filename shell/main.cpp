// firmware-utility: the program's entry, as the list of steps it takes.
#include "shell/cli.h"

#include <cstdio>
#include <string>

#include "platform/platform.h"
#include "shell/lost_records.h"
#include "shell/run_context.h"
#include "shell/stations.h"

namespace {

// Listings on stdout are flushed and checked before the program says how it went.
int Listed(int code) {
    shell::FlushListing(stdout, "stdout");
    return shell::ExitCodeWithRecords(code);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace shell;

    // 0. Descriptors 0-2 are never the program's own files; a failed write of a record of the
    //    run is said once and makes the exit code non-zero.
    platform::FillStandardDescriptors();
    platform::SetWriteFailureHandler(ReportWriteFailure);

    // 1. The command line, into one plain record; bad arguments end here (one line, exit 2).
    CliOptions options;
    std::string error;
    if (ParseCommandLine(argc, argv, &options, &error) != 0) {
        platform::SayOnStderr("%s", error.c_str());
        return ExitBadArguments;
    }

    // 2. The run's context, filled from the command line as the steps below go and handed down
    //    to the layers once (static: an update cut short still reads it as the process ends).
    static RunContext run;
    UseRunContext(&run);

    // 3. --help answers and ends. The payload set (--firmware DIR) is checked whole before
    //    anything opens; --version then names it and ends.
    if (options.help) return PrintUsage(), 0;
    if (int code = UsePayloadSet(options)) return code;
    if (options.version) return PrintVersion(), 0;

    // 4. The trace channel, where --trace points.
    if (int code = OpenTrace(options)) return code;

    // 5. Invocations without a window of their own; `update` of several profiles runs one
    //    child `update` per station.
    if (options.invocation == Invocation::Update && options.profiles.size() > 1) return Listed(RunStations(options));
    if (options.invocation == Invocation::Sim) return RunSimulatedHandset(options);
    if (options.invocation == Invocation::Payloads) return Listed(ListPayloads(options));
    if (options.invocation == Invocation::Ports) return Listed(ListSerialPorts(options));
    if (options.invocation == Invocation::Check) {
        if (int code = ApplyRunOptions(options)) return code;
        return Listed(CheckDevices(options));
    }

    // 6. The runtime directory through which the one window of this user is found; `send`
    //    is done there (Ctrl+C still ends it at once: no close signals are taken over yet).
    //    Another window of this user running ends every other start here, said on one line;
    //    a headless update takes a runtime directory of its own and runs beside it.
    if (int code = CheckRuntimeDirectory()) return code;
    if (options.invocation == Invocation::Send) return SendToRunning(options);
    if (options.invocation == Invocation::Update) {
        if (int code = EnterOwnRuntimeScope()) return code;
    } else if (int code = RefuseSecondWindow()) {
        return code;
    }

    // 7. SIGPIPE ignored; SIGINT, SIGTERM and SIGHUP close the window through its shut-down.
    platform::InstallCloseSignals();

    // 8. The screen: the terminal, or headless.
    if (int code = SelectWindowScreen(options)) return code;

    // 9. What later pieces read: the handset profile and the module time-out.
    if (int code = ApplyRunOptions(options)) return code;
    if (options.invocation == Invocation::Update) {
        if (int code = PrepareUpdateRun(options)) return code;
    }

    // 10. The window: start-up, message loop, shut-down. Its exit code is the program's
    //    (-1 shows as 255).
    int code = RunWindow(options);
    ReportInterruptedUpdate();
    if (options.invocation == Invocation::Update) code = FinishUpdateRun(options, code);
    if (options.invocation == Invocation::Bridge) code = FinishBridgeRun(options, code);

    // 11. Threads that have ended or are ending (relays released) are joined; one still at
    //     work (an update cut short) ends with the process.
    platform::JoinEndingThreads(1000);
    return ExitCodeWithRecords(code);
}
