// Helpers of the bridge tests: pseudo-terminals standing in for the handset's UARTs (the test
// keeps the master as the far end and holds the slave open so the master never hangs up), a
// profile naming them, a main window with its log pane on a thread of its own, and counts of
// descriptors and threads.
//
// Index: TestPty MakePty ClosePty WriteAll ReadExactly UseProfile UseGsmAndIrda CountFds CountTasks WaitUntil
// TestWindow
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "bridge/bridge.h"
#include "platform/screen/screen.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "shell/log.h"
#include "sim/pty.h"
#include "resources/commands.h"

namespace bridge_test {

// A UART's far end: the master stands for the wire, the slave (held, raw, 9600 baud) is what
// the bridge opens.
using TestPty = sim::Pty;

inline TestPty MakePty() {
    TestPty pty;
    std::string error;
    if (!sim::OpenPty(&pty, &error)) {
        ADD_FAILURE() << error;
        return pty;
    }
    termios settings{};
    ::tcgetattr(pty.held_slave, &settings);
    ::cfsetspeed(&settings, B9600);
    ::tcsetattr(pty.held_slave, TCSANOW, &settings);
    return pty;
}

// The device goes away: what a pulled USB adapter looks like to the port that has it open.
inline void ClosePty(TestPty* pty) { sim::ClosePty(pty); }

// Writes all of `size` bytes into a (non-blocking) master, each wait for room bounded by
// `timeout_ms`; false when the far end took nothing for that long or `stop` was raised.
inline bool WriteAll(int fd, const void* data, std::size_t size, int timeout_ms = 20000,
                     const std::atomic<bool>* stop = nullptr) {
    auto* p = static_cast<const std::uint8_t*>(data);
    int waited = 0;
    while (size > 0) {
        if (stop && stop->load()) return false;
        ssize_t n = ::write(fd, p, size);
        if (n > 0) {
            p += n;
            size -= static_cast<std::size_t>(n);
            waited = 0;
            continue;
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN) return false;
        if (waited >= timeout_ms) return false;
        pollfd pfd{fd, POLLOUT, 0};
        ::poll(&pfd, 1, 50);
        waited += 50;
    }
    return true;
}

// Reads exactly `size` bytes, each wait bounded by `timeout_ms`; false when the far end went
// quiet for that long (the test reports what it got).
inline bool ReadExactly(int fd, void* data, std::size_t size, int timeout_ms = 20000) {
    auto* p = static_cast<std::uint8_t*>(data);
    while (size > 0) {
        pollfd pfd{fd, POLLIN, 0};
        int r = ::poll(&pfd, 1, timeout_ms);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        ssize_t n = ::read(fd, p, size);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

inline void UseProfile(const std::string& text) {
    platform::Profile profile;
    ASSERT_TRUE(platform::ParseProfile(text, "bridge-test", &profile)) << platform::LastErrorText();
    platform::SetProfile(profile);
}

// The handset's GSM-side UART (COM2:, registry index 2) and IrDA port (COM3:) on two test ptys.
inline void UseGsmAndIrda(const TestPty& gsm, const TestPty& irda) {
    UseProfile("[devices]\nCOM2: = " + gsm.slave_path + "\nCOM3: = " + irda.slave_path +
               "\n[registry]\nHKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial\\Index = 2\n");
}

inline int CountEntries(const char* directory) {
    DIR* dir = ::opendir(directory);
    if (dir == nullptr) return -1;
    int count = 0;
    while (dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
    return count - (std::strcmp(directory, "/proc/self/fd") == 0 ? 1 : 0);  // the DIR's own
}
inline int CountFds() { return CountEntries("/proc/self/fd"); }
inline int CountTasks() { return CountEntries("/proc/self/task"); }

// Waits (sleeping between looks) until `done` holds or `seconds` have passed; the result of
// the last look. Not a timing assertion: the bound only keeps a broken build from hanging.
inline bool WaitUntil(const std::function<bool()>& done, int seconds = 30) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A runtime directory of this test process's own, so that its windows' instance sockets never
// meet those of tests running beside it. Set before the first window, while no thread runs.
inline void UsePrivateRuntimeDirectory() {
    static const bool done = [] {
        char name[] = "/tmp/fwu-bridge-test-XXXXXX";
        if (::mkdtemp(name) == nullptr) return false;
        ::setenv("FIRMWARE_UTILITY_RUNTIME_DIR", name, 1);
        static std::string path = name;
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        });
        return true;
    }();
    (void)done;
}

// The platform joins ended threads (and lets go of their wake-up descriptors) at the next
// thread start or thread-handle close: start and close one, so counts can be compared.
inline void ReapEndedThreads() {
    platform::Handle thread = platform::CreateThread([](void*) -> std::uint32_t { return 0; }, nullptr);
    WaitUntil([&] {
        std::uint32_t code = 0;
        return platform::GetExitCodeThread(thread, &code) && code != platform::StillActive;
    });
    platform::CloseHandle(thread);
}

// The relay threads have left: their exit codes read as ended (a terminated thread's reads 0
// at once) and the process is back to `tasks` kernel tasks. Then they are joined, so that no
// thread outlives the test.
inline bool RelayThreadsFinished(int tasks) {
    auto running = [](platform::Handle thread) {
        std::uint32_t code = 0;
        return platform::GetExitCodeThread(thread, &code) && code == platform::StillActive;
    };
    bool finished = WaitUntil([&] {
        return !running(bridge::GsmToPeerThread.load()) && !running(bridge::PeerToGsmThread.load()) &&
               CountTasks() <= tasks;
    });
    ReapEndedThreads();
    return finished;
}

// A main window with the log pane (edit, child id 5) on a thread of its own that runs the
// message loop, as the window's thread does in the program. Commands sent to it run the bridge
// handlers on that thread; RunOnWindowThread runs any test step there.
class TestWindow {
public:
    static constexpr std::uint16_t RunCommand = 0x7001;

    // The headless screen's output (appended text, boxes) goes to `output`; -1: nowhere.
    explicit TestWindow(int output = -1) {
        UsePrivateRuntimeDirectory();
        quiet_ = output < 0 ? ::open("/dev/null", O_WRONLY | O_CLOEXEC) : -1;
        platform::internal::SetHeadlessOutput(output < 0 ? quiet_ : output);
        thread_ = std::thread([this] { Loop(); });
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return started_; });
    }
    ~TestWindow() {
        if (main_ != 0) platform::PostMessage(main_, platform::WM_CLOSE, 0, 0);
        thread_.join();
        platform::internal::SetHeadlessOutput(-1);
        if (quiet_ >= 0) ::close(quiet_);
    }
    TestWindow(const TestWindow&) = delete;
    TestWindow& operator=(const TestWindow&) = delete;

    platform::Hwnd main() const { return main_; }
    platform::Hwnd pane() const { return pane_; }

    // A command through the window, as the command table delivers it; the handler's result.
    std::intptr_t Command(std::uint16_t id) {
        return platform::SendMessage(main_, platform::WM_COMMAND, platform::MakeWParam(id, 0), 0);
    }
    void RunOnWindowThread(std::function<void()> step) {
        Step() = std::move(step);
        Command(RunCommand);
        Step() = nullptr;
    }
    // Everything the pane holds once the lines queued so far are in.
    std::string Log() {
        std::string text;
        RunOnWindowThread([&] { text = platform::EditText(pane_); });
        return text;
    }
    // The pane's text from `offset` on, once `done` holds for it (or the bound has passed).
    std::string LogFrom(std::size_t offset, const std::function<bool(const std::string&)>& done) {
        std::string text;
        WaitUntil([&] {
            std::string all = Log();
            text = all.size() > offset ? all.substr(offset) : std::string();
            return done(text);
        });
        return text;
    }

private:
    static std::function<void()>& Step() {
        static std::function<void()> step;
        return step;
    }

    static platform::LResult Proc(platform::Hwnd window, std::uint32_t message, platform::WParam wparam,
                                  platform::LParam lparam) {
        if (message == platform::WM_COMMAND) {
            switch (platform::LowWord(wparam)) {
                case commands::StartBridge: return bridge::StartBridge(window, commands::StartBridge, lparam, 0);
                case commands::ReleaseBridge: return bridge::ReleaseBridge(window, commands::ReleaseBridge, lparam, 0);
                case RunCommand:
                    if (Step()) Step()();
                    return 0;
                default: return 0;
            }
        }
        if (message == platform::WM_DESTROY) {
            bridge::ReleaseBridgeSteps();
            platform::PostQuitMessage(0);
            return 0;
        }
        return platform::DefWindowProc(window, message, wparam, lparam);
    }

    void Loop() {
        static std::once_flag registered;
        std::call_once(registered, [] { platform::RegisterClass("BridgeTestWindow", Proc, 1); });
        main_ = platform::CreateWindowEx(0, "BridgeTestWindow", "Bridge test", platform::WS_VISIBLE, 0, 0,
                                         80, 24, 0, 0, 1, nullptr);
        pane_ = platform::CreateWindowEx(0, "edit", "", platform::WS_CHILD | platform::WS_VISIBLE, 0, 0, 80,
                                         24, main_, shell::LogPaneId, 1, nullptr);
        {
            std::lock_guard lock(mutex_);
            started_ = true;
        }
        ready_.notify_all();
        if (main_ == 0) return;
        platform::Msg msg{};
        while (platform::GetMessage(&msg)) {
            platform::TranslateMessage(&msg);
            platform::DispatchMessage(&msg);
        }
    }

    int quiet_ = -1;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable ready_;
    bool started_ = false;
    platform::Hwnd main_ = 0;
    platform::Hwnd pane_ = 0;
};

}  // namespace bridge_test
