// The glue to the simulated handset: the one file of the shell built into the program only,
// beside main.cpp, since it links sim/. It starts the built-in handset when no profile names
// one, tells the handsets of this process which image the payload set carries, and runs `sim`.
#include <cstdlib>
#include <string>

#include "platform/platform.h"
#include "shell/cli.h"
#include "shell/run_steps.h"
#include "sim/sim.h"
#include "update/payloads.h"

namespace shell {
namespace {

// The in-process handset goes away with the process, its directory with it.
void StopBuiltInHandset() { sim::Stop(); }

// The simulated handsets of this process run the payload set's image as its revision.
void TellSimulatorTheSet() {
    const update::PayloadSet& set = update::CurrentPayloadSet();
    sim::KnownFirmware(set.sha256, set.revision);
}

// No profile given or found: a simulated handset started inside this process is the run's.
int UseBuiltInHandset(const CliOptions& options) {
    std::string error;
    TellSimulatorTheSet();
    std::string built_in = sim::Start({}, &error);
    if (built_in.empty()) {
        platform::SayOnStderr("%s", error.c_str());
        return 1;
    }
    std::atexit(StopBuiltInHandset);
    platform::SayOnStderr("no profile given or found, using the simulated handset: %s",
                          built_in.c_str());
    // A host program talks through the bridge on the far ends of the simulated peer ports.
    if (options.invocation == Invocation::Bridge && sim::Current()) {
        for (const sim::Peer& peer : sim::Current()->Peers()) {
            platform::SayOnStderr("%s %s (%s far end)", peer.device.c_str(),
                                  peer.far_path.c_str(), peer.name.c_str());
        }
    }
    return UseProfileFile(built_in);
}

}  // namespace

int ApplyRunOptions(const CliOptions& options) {
    StoreRunOptions(options);
    bool given = false;
    int code = UseGivenProfile(options, &given);
    if (code == 0 && !given) code = UseBuiltInHandset(options);
    if (code != 0) return code;
    NameWhatTheWindowUses();
    return RefuseImpossibleRuns(options);
}

int RunSimulatedHandset(const CliOptions&) {
    TellSimulatorTheSet();
    return sim::RunForeground();
}

}  // namespace shell
