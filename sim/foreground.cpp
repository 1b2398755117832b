// `firmware-utility sim`: the simulated handset in the foreground until a signal ends it.
// The signals are blocked before any of the handset's threads starts, so every thread inherits
// the mask and only sigwait here takes them; the handset then stops and cleans up normally.
#include <signal.h>

#include <cstdio>
#include <string>

#include "sim/sim.h"

namespace sim {

int RunForeground() {
    sigset_t stop_signals, previous;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stop_signals, &previous);

    Handset handset;
    std::string error;
    if (!handset.Start(Options{}, &error)) {
        std::fprintf(stderr, "firmware-utility sim: %s\n", error.c_str());
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        return 1;
    }
    std::printf("%s\n", handset.ProfilePath().c_str());
    for (const Peer& peer : handset.Peers()) {
        std::printf("%s %s (%s far end)\n", peer.device.c_str(), peer.far_path.c_str(), peer.name.c_str());
    }
    std::fflush(stdout);

    int signal_number = 0;
    while (sigwait(&stop_signals, &signal_number) != 0) {
    }
    handset.Stop();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return 0;
}

}  // namespace sim
