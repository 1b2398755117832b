// A start that finds the window of this user already running says so before it starts
// anything of its own (no simulated handset, no screen), asks that window to the front as the
// start-up's first step does, and ends with 255. A headless update is no window: it runs in a
// runtime directory of its own instead.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "shell/cli.h"
#include "shell/main_window.h"

namespace shell {

int RefuseSecondWindow() {
    platform::Hwnd running = platform::FindWindow(WindowClassName);
    if (running == 0) return 0;
    platform::SayOnStderr("the window of this user already runs (process %u); it is asked to the "
                          "front, and `firmware-utility send ID` delivers commands to it",
                          static_cast<unsigned>(platform::GetWindowProcessId(running)));
    platform::SetForegroundWindow(running | 1);
    return ExitAnotherWindow;
}

int EnterOwnRuntimeScope() {
    std::string directory;
    if (platform::EnterPrivateRuntimeScope(&directory)) return 0;
    platform::SayOnStderr("cannot make a runtime directory of its own for this update: %s",
                          std::strerror(static_cast<int>(platform::GetLastError())));
    return ExitBadArguments;
}

}  // namespace shell
