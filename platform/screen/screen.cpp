// The current screen. Headless until SelectScreen picks another; the terminal screen (ncurses,
// screen/terminal/) needs a terminal on stdin and stdout.
#include <cerrno>
#include <mutex>

#include "platform/screen/screen.h"
#include "platform/screen/terminal/terminal.h"
#include "platform/testing.h"
#include "platform/window/window_state.h"

namespace platform {
namespace internal {

namespace {
std::atomic<Screen*> current{nullptr};
}

Screen& CurrentScreen() {
    Screen* screen = current.load();
    return screen ? *screen : *HeadlessScreen();
}

#ifdef FWU_TEST_SEAM
void SetScreen(Screen* screen) { current.store(screen); }
#endif

}  // namespace internal

bool SelectScreen(ScreenKind kind) {
    if (kind == ScreenKind::Headless) {
        internal::current.store(internal::HeadlessScreen());
        return true;
    }
    internal::Screen* terminal = internal::TerminalScreen();
    if (terminal == nullptr) {
        SetLastError(static_cast<std::uint32_t>(errno));
        return false;
    }
    internal::current.store(terminal);
    return true;
}

bool ScreenIsInteractive() { return internal::CurrentScreen().Interactive(); }

namespace {
std::mutex status_mutex;
std::string status_text;  // guarded by status_mutex
}  // namespace

void SetScreenStatus(const std::string& text) {
    std::lock_guard lock(status_mutex);
    status_text = text;
}

std::string ScreenStatus() {
    std::lock_guard lock(status_mutex);
    return status_text;
}

}  // namespace platform
