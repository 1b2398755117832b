// `firmware-utility sim`: the simulated handset in the foreground until a signal ends it.
// The signals are blocked before any of the handset's threads starts, so every thread inherits
// the mask and only WaitCloseSignal here takes them; the handset then stops and cleans up normally.
#include <cstdio>
#include <string>

#include "platform/base/format.h"
#include "platform/base/signals.h"
#include "sim/sim.h"

namespace sim {

int RunForeground() {
    sigset_t previous;
    platform::BlockCloseSignals(&previous);

    Handset handset;
    std::string error;
    if (!handset.Start(Options{}, &error)) {
        platform::SayOnStderrAs("firmware-utility sim", "%s", error.c_str());
        platform::RestoreSignalMask(previous);
        return 1;
    }
    std::printf("%s\n", handset.ProfilePath().c_str());
    for (const Peer& peer : handset.Peers()) {
        std::printf("%s %s (%s far end)\n", peer.device.c_str(), peer.far_path.c_str(), peer.name.c_str());
    }
    std::fflush(stdout);

    platform::WaitCloseSignal();
    handset.Stop();
    platform::RestoreSignalMask(previous);
    return 0;
}

}  // namespace sim
