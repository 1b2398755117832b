// Implemented in shell/run_context.cpp.
// The run's context: the tool's own run options and outcome in one value, made of the parts the
// layers below define (the update's, the bridge's, the device controls'), plus what only the
// shell keeps. main builds it from the command line and hands it down once (UseRunContext),
// which gives each layer its part and wires each layer's report to the shell: the pane, stderr,
// the events. Everything that reads the run reads it here.
//
// Index: RunContext UseRunContext Run
#pragma once

#include <string>

#include "bridge/bridge.h"
#include "device/controls.h"
#include "update/run.h"

namespace shell {

struct RunContext {
    update::UpdateRun update;
    bridge::BridgeRun bridge;
    device::ControlRun controls;
    std::string profile_path;  // the handset profile the run uses, made absolute
};

// Hands the context down to the update, the bridge and the device controls, with the reports
// every invocation has (the pane, the options); the stderr and events reports are added by the
// run's set-up.
void UseRunContext(RunContext* run);
RunContext& Run();

}  // namespace shell
