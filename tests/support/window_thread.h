// In-process helpers for window tests: a window with its log pane on a thread of its own that
// runs the real message loop, code run on that thread, the headless screen's output captured,
// and a private runtime directory for the process.
//
// Index: UsePrivateRuntimeDirectory OutputCapture WindowThread RunOnWindowThread WM_TEST_RUN
#pragma once

#include <functional>
#include <string>
#include <thread>

#include "platform/platform.h"

namespace fwu_test {

// Message a WindowThread window answers by running the std::function<platform::LResult()>
// its lparam points at.
inline constexpr std::uint32_t WM_TEST_RUN = 0x8001;

// Points FIRMWARE_UTILITY_RUNTIME_DIR at a fresh directory; call before any thread starts.
std::string UsePrivateRuntimeDirectory();

// Collects what the headless screen writes, from construction to destruction.
class OutputCapture {
public:
    OutputCapture();
    ~OutputCapture();
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;
    std::string Text();
    // True once the text holds `what` (bounded wait).
    bool WaitFor(const std::string& what, int timeout_ms = 10000);

private:
    struct Impl;
    Impl* impl_;
};

// The default window procedure of WindowThread: WM_TEST_RUN, WM_DESTROY posts quit 0.
platform::LResult TestWindowProc(platform::Hwnd window, std::uint32_t message, platform::WParam wparam,
                                 platform::LParam lparam);

class WindowThread {
public:
    // A top-level window of a fresh class (or `class_name`) with an "edit" child 5, on its own
    // thread, running GetMessage/TranslateMessage/DispatchMessage until the quit message.
    explicit WindowThread(platform::WndProc proc = TestWindowProc, const char* class_name = nullptr);
    ~WindowThread();  // closes the window if it still exists and joins
    WindowThread(const WindowThread&) = delete;
    WindowThread& operator=(const WindowThread&) = delete;

    platform::Hwnd window() const { return window_; }
    platform::Hwnd edit() const { return edit_; }
    std::thread::id thread_id() const { return thread_.get_id(); }
    // Runs `f` on the window thread (a cross-thread SendMessage) and gives its result.
    platform::LResult Run(const std::function<platform::LResult()>& f);
    // Waits for the loop to end; the quit code.
    int Join();

private:
    std::thread thread_;
    platform::Hwnd window_ = 0;
    platform::Hwnd edit_ = 0;
    int quit_code_ = -1;
    bool joined_ = false;
};

}  // namespace fwu_test
