// The current screen. Headless until SelectScreen picks another; the terminal screen (ncurses)
// is not part of this build yet, so asking for it fails with ENOTSUP.
#include <cerrno>

#include "platform/internal/screen.h"
#include "platform/internal/window_state.h"

namespace platform {
namespace internal {

Screen* HeadlessScreen();

namespace {
std::atomic<Screen*> current{nullptr};
}

Screen& CurrentScreen() {
    Screen* screen = current.load();
    return screen ? *screen : *HeadlessScreen();
}

}  // namespace internal

bool SelectScreen(ScreenKind kind) {
    if (kind == ScreenKind::Headless) {
        internal::current.store(internal::HeadlessScreen());
        return true;
    }
    SetLastError(ENOTSUP);
    errno = ENOTSUP;
    return false;
}

}  // namespace platform
