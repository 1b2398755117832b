#include "shell/run_context.h"

#include <atomic>

#include "shell/log.h"
#include "shell/main_window.h"
#include "shell/options.h"

namespace shell {
namespace {

// Until main hands its own (and in programs that never do); made on first use, so that a
// context handed over while the program loads is not overwritten by a later initialisation.
RunContext& Unattached() {
    static RunContext run;
    return run;
}
std::atomic<RunContext*> Attached{nullptr};

std::int32_t PeerOption() { return BridgePeer.load(); }
std::int32_t DisplayOption() { return DisplayMode.load(); }
// The module took the image: the window stops coming to the front.
void StopKeepingForeground() { KeepForeground.store(0); }

}  // namespace

void UseRunContext(RunContext* run) {
    if (run == nullptr) run = &Unattached();
    // The pane, for every layer: sent, or posted by the relay threads; formatted lines in the
    // calling thread's buffer.
    for (platform::LineReport* lines : {&run->update.report.lines, &run->bridge.report.lines, &run->controls.report.lines}) {
        lines->line = AppendLog;
        lines->quiet_line = AppendLogUnlessQuiet;
        lines->posted_line = PostLog;
        lines->line_buffer = MessageBuffer;
    }
    run->update.report.image_confirmed = StopKeepingForeground;
    run->bridge.report.peer = PeerOption;
    run->bridge.report.display_mode = DisplayOption;
    Attached.store(run);
    update::UseUpdateRun(&run->update);
    bridge::UseBridgeRun(&run->bridge);
    device::UseControls(&run->controls);
}

RunContext& Run() {
    RunContext* run = Attached.load();
    return run != nullptr ? *run : Unattached();
}

}  // namespace shell
