// The test seam's own state (platform/testing.h), built only into the tests' platform library.
#include "platform/testing.h"

#include <array>
#include <atomic>

#include "platform/screen/screen.h"
#include "platform/window/window_state.h"

namespace platform {
namespace {
std::array<std::atomic<int>, static_cast<std::size_t>(Fault::Count)> faults{};
}

void InjectFault(Fault fault, int times) { faults[static_cast<std::size_t>(fault)].store(times); }

void ClearFaults() {
    for (auto& f : faults) f.store(0);
}

bool TakeFault(Fault fault) {
    auto& left = faults[static_cast<std::size_t>(fault)];
    int n = left.load();
    while (n > 0) {
        if (left.compare_exchange_weak(n, n - 1)) return true;
    }
    return false;
}

std::string EditText(Hwnd edit) {
    std::string text;
    internal::EditSnapshot(edit, &text, nullptr, nullptr);
    return text;
}

std::size_t PendingPostedText(Hwnd window) {
    auto record = internal::LookupWindow(window);
    if (!record) return 0;
    std::lock_guard lock(record->queue->mutex);
    return record->queue->text.size();
}

}  // namespace platform
