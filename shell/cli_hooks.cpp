// Hooks of the command line for pieces that are not wired into the program yet. Each says so
// in one line; the pieces replace them as they land.
#include <cstdio>
#include <cstdlib>

#include "shell/cli.h"

namespace shell {
namespace {

int NotAvailable(const char* what) {
    std::fprintf(stderr, "firmware-utility: %s: not available in this build\n", what);
    return ExitBadArguments;
}

}  // namespace

// The profile named by --profile or $FIRMWARE_UTILITY_PROFILE is kept for the device layer;
// without one, the built-in simulated handset would start. It is announced, and the window
// runs without devices until then.
int ApplyRunOptions(const CliOptions& options) {
    const char* from_environment = std::getenv("FIRMWARE_UTILITY_PROFILE");
    if (options.profile.empty() && !(from_environment && *from_environment)) {
        std::fprintf(stderr,
                     "firmware-utility: no profile given; the built-in simulated handset is not available "
                     "in this build\n");
    }
    return 0;
}

int PrepareUpdateRun(const CliOptions&) { return NotAvailable("update"); }
int FinishUpdateRun(const CliOptions&, int window_exit_code) { return window_exit_code; }
int RunSimulatedHandset(const CliOptions&) { return NotAvailable("sim"); }
int ListPayloads(const CliOptions&) { return NotAvailable("payloads"); }

}  // namespace shell
