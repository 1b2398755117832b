// Start-up and shut-down of the main window through RunMainWindow and the real message loop,
// run on a thread of the test: exit codes 0, -1, 1 and 16 with each refusal of the create
// handler (through the fault seam), WorkDir and its trace line, the banner, the tables, the
// keep-alive tick, Ctrl+Q, and a worker appending while the window goes.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

#include "platform/screen/screen.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "shell/log.h"
#include "shell/main_window.h"
#include "shell/options.h"
#include "tests/support/program.h"
#include "tests/support/window_thread.h"
#include "update/payloads.h"
#include "resources/commands.h"

namespace {

using namespace platform;
using fwu_test::Banner;
using fwu_test::OutputCapture;

const std::string runtime_directory = fwu_test::UsePrivateRuntimeDirectory();

class Startup : public ::testing::Test {
protected:
    void SetUp() override {
        ClearFaults();
        shell::KeepForeground.store(1);
        shell::DisplayMode.store(3);
        SetModuleFileNameForTest(nullptr);
        trace_path_ = trace_dir_.path() + "/trace";
        ASSERT_TRUE(SetTraceSink(trace_path_.c_str()));
    }
    void TearDown() override {
        ClearFaults();
        SetModuleFileNameForTest(nullptr);
        SetTraceSink("");
        UnregisterClass(shell::WindowClassName, GetModuleHandle());
    }

    // Runs start-up, loop and shut-down on a thread of its own, as the program's main does.
    std::future<int> Start(std::vector<std::uint16_t> commands = {}) {
        return std::async(std::launch::async, [commands] {
            return shell::RunMainWindow(SW_SHOW, commands.data(), static_cast<int>(commands.size()));
        });
    }
    int Run(std::vector<std::uint16_t> ids = {commands::Exit}) {
        auto done = Start(ids);
        EXPECT_EQ(done.wait_for(std::chrono::seconds(20)), std::future_status::ready);
        return done.get();
    }
    std::string Trace() {
        std::ifstream in(trace_path_, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    // The live main window, once the banner is out.
    Hwnd WaitForWindow(OutputCapture& output) {
        EXPECT_TRUE(output.WaitFor(Banner));
        return shell::MainWindow.load();
    }

    fwu_test::TempDir trace_dir_;
    std::string trace_path_;
};

TEST_F(Startup, NormalRunShowsTheBannerFirstAndEndsWith0) {
    OutputCapture output;
    EXPECT_EQ(Run({commands::Exit}), 0);
    EXPECT_TRUE(output.WaitFor(Banner));
    EXPECT_EQ(output.Text(), Banner);
    EXPECT_EQ(shell::MainWindow.load(), 0u);
    EXPECT_EQ(shell::GpioWindow, nullptr);  // released by the destroy handler
}

TEST_F(Startup, EachRefusalOfTheCreateHandlerEndsWith16AndNoBanner) {
    for (Fault fault : {Fault::MenuBar, Fault::EditControl, Fault::Reserve, Fault::Map, Fault::CreateWindow}) {
        SCOPED_TRACE(static_cast<int>(fault));
        OutputCapture output;
        ClearFaults();
        InjectFault(fault);
        EXPECT_EQ(Run({commands::Exit}), 16);
        EXPECT_FALSE(TakeFault(fault)) << "the fault was not reached";
        EXPECT_EQ(output.Text(), "");
        EXPECT_EQ(Trace(), "") << "the create handler went past the failing step";
        EXPECT_EQ(shell::GpioWindow, nullptr);
        EXPECT_EQ(shell::MainWindow.load(), 0u);
        EXPECT_EQ(FindWindow(shell::WindowClassName), 0u);
        UnregisterClass(shell::WindowClassName, GetModuleHandle());
    }
}

TEST_F(Startup, ClassNotRegisteredEndsWith1) {
    OutputCapture output;
    InjectFault(Fault::RegisterClass);
    EXPECT_EQ(Run({commands::Exit}), 1);
    EXPECT_EQ(output.Text(), "");
}

TEST_F(Startup, AnotherWindowOfTheClassEndsWithMinus1AndAsksItToTheFront) {
    OutputCapture output;
    fwu_test::WindowThread running(fwu_test::TestWindowProc, shell::WindowClassName);
    std::uint64_t before = ObservedKeepAlive().foreground_requests;
    EXPECT_EQ(Run({commands::Exit}), -1);
    EXPECT_EQ(ObservedKeepAlive().foreground_requests, before + 1);
    EXPECT_TRUE(IsWindow(running.window()));
    EXPECT_EQ(output.Text(), "");  // nothing created
}

TEST_F(Startup, WorkDirIsTheProgramDirectoryWithItsSlash) {
    SetModuleFileNameForTest("/opt/fwu/bin/firmware-utility");
    OutputCapture output;
    EXPECT_EQ(Run({commands::Exit}), 0);
    EXPECT_STREQ(shell::WorkDir, "/opt/fwu/bin/");
    EXPECT_EQ(Trace(), "get current dir /opt/fwu/bin/\r\n" + update::PayloadSetLine() + "\r\n");
    EXPECT_TRUE(output.WaitFor(Banner));
    EXPECT_EQ(output.Text(), Banner);
}

TEST_F(Startup, PathWithoutSeparatorShowsWorkDirErrorAndGoesOn) {
    SetModuleFileNameForTest("firmware-utility");
    OutputCapture output;
    EXPECT_EQ(Run({commands::Exit}), 0);
    EXPECT_STREQ(shell::WorkDir, "");
    EXPECT_EQ(Trace(), "get current dir \r\n" + update::PayloadSetLine() + "\r\n");
    std::string expected = std::string("[WorkDir Error] firmware-utility\n") + Banner;
    EXPECT_TRUE(output.WaitFor(expected));
    EXPECT_EQ(output.Text(), expected);
}

// WorkDir holds 100 characters with its terminator. A path longer than that is read whole: a
// long file name never hides the directory (the cut path's last '/' would name a wrong one),
// and a directory that does not fit is treated as not found.
TEST_F(Startup, LongPathsNeverYieldAWrongDirectory) {
    std::string long_name = "/" + std::string(80, 'a') + "/" + std::string(40, 'b');  // 122 characters
    SetModuleFileNameForTest(long_name.c_str());
    {
        OutputCapture output;
        EXPECT_EQ(Run({commands::Exit}), 0);
        EXPECT_EQ(std::string(shell::WorkDir), "/" + std::string(80, 'a') + "/");
        EXPECT_TRUE(output.WaitFor(Banner));
        EXPECT_EQ(output.Text(), Banner);
    }
    UnregisterClass(shell::WindowClassName, GetModuleHandle());
    std::string long_directory = "/" + std::string(98, 'a') + "/b";  // the directory takes 100 characters
    SetModuleFileNameForTest(long_directory.c_str());
    ASSERT_TRUE(SetTraceSink(trace_path_.c_str()));
    OutputCapture output;
    EXPECT_EQ(Run({commands::Exit}), 0);
    EXPECT_STREQ(shell::WorkDir, "");
    EXPECT_EQ(Trace(), "get current dir \r\n" + update::PayloadSetLine() + "\r\n");
    std::string expected = "[WorkDir Error] " + long_directory + "\n" + Banner;
    EXPECT_TRUE(output.WaitFor(expected));
    EXPECT_EQ(output.Text(), expected);
}

TEST_F(Startup, QuietDisplayModeKeepsTheBannerOut) {
    shell::DisplayMode.store(0);
    OutputCapture output;
    EXPECT_EQ(Run({commands::Exit}), 0);
    EXPECT_EQ(output.Text(), "");
}

TEST_F(Startup, CommandsOneAndCtrlQCloseTheWindow) {
    {
        OutputCapture output;
        EXPECT_EQ(Run({1}), 0);
    }
    UnregisterClass(shell::WindowClassName, GetModuleHandle());
    OutputCapture output;
    auto done = Start();
    Hwnd main = WaitForWindow(output);
    ASSERT_NE(main, 0u);
    // A plain Q is no accelerator: the window stays.
    PostMessage(main, WM_KEYDOWN, 'Q', 'q');
    EXPECT_EQ(SendMessage(main, WM_COMMAND, 999, 0), 0);  // also proves the key was handled first
    EXPECT_TRUE(IsWindow(main));
    PostMessage(main, WM_KEYDOWN, 'Q', KeyControl);
    ASSERT_EQ(done.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(done.get(), 0);
}

TEST_F(Startup, TheLiveWindowAnswersAsTheTablesSay) {
    OutputCapture output;
    auto done = Start();
    Hwnd main = WaitForWindow(output);
    ASSERT_NE(main, 0u);

    // An id with no row returns 0 and changes nothing.
    EXPECT_EQ(SendMessage(main, WM_COMMAND, MakeWParam(999, 0), 0), 0);
    EXPECT_TRUE(IsWindow(main));

    // The log pane fills the client area; the menu bar is a bar, not a child.
    Hwnd pane = GetDlgItem(main, shell::LogPaneId);
    ASSERT_NE(pane, 0u);
    internal::WindowInfo info;
    ASSERT_TRUE(internal::DescribeWindow(pane, &info));
    Rect client;
    ASSERT_TRUE(GetClientRect(main, &client));
    EXPECT_EQ(info.rect.left, 0);
    EXPECT_EQ(info.rect.top, 0);
    EXPECT_EQ(info.rect.right, client.right);
    EXPECT_EQ(info.rect.bottom, client.bottom);
    EXPECT_EQ(info.style, 0x50200884u);
    EXPECT_EQ(CommandBarHeight(shell::MenuBarWindow), 0);
    Hmenu menu = CommandBarGetMenu(shell::MenuBarWindow, 0);
    ASSERT_NE(menu, 0u);
    EXPECT_EQ(GetMenuItemChecked(menu, commands::UpdateGo), 0);
    EXPECT_EQ(GetMenuItemChecked(menu, commands::Exit), 0);
    EXPECT_EQ(EditText(pane), Banner);

    // Keep-alive: every tick resets the idle timer and injects the silent key event; the
    // window comes to the front only while KeepForeground holds.
    KeepAliveCounts before = ObservedKeepAlive();
    EXPECT_EQ(SendMessage(main, WM_TIMER, 100, 0), 0);
    KeepAliveCounts after = ObservedKeepAlive();
    EXPECT_EQ(after.idle_resets, before.idle_resets + 1);
    EXPECT_EQ(after.key_events, before.key_events + 1);
    EXPECT_EQ(after.last_key, 0x15u);
    EXPECT_EQ(after.last_key_flags, 6u);
    EXPECT_EQ(after.foreground_requests, before.foreground_requests + 1);
    shell::KeepForeground.store(0);
    EXPECT_EQ(SendMessage(main, WM_TIMER, 12345, 0), 0);  // the timer id is not looked at
    KeepAliveCounts quiet = ObservedKeepAlive();
    EXPECT_EQ(quiet.idle_resets, after.idle_resets + 1);
    EXPECT_EQ(quiet.key_events, after.key_events + 1);
    EXPECT_EQ(quiet.foreground_requests, after.foreground_requests);

    // Exit closes; the destroy handler posts quit 0.
    EXPECT_EQ(SendMessage(main, WM_COMMAND, MakeWParam(commands::Exit, 0), 0), 0);
    ASSERT_EQ(done.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(done.get(), 0);
    EXPECT_FALSE(IsWindow(main));
    EXPECT_FALSE(IsWindow(pane));
    EXPECT_EQ(CommandBarGetMenu(shell::MenuBarWindow, 0), 0u);  // the bar went with its owner
}

TEST_F(Startup, AWorkerAppendingWhileTheWindowCloses) {
    OutputCapture output;
    auto done = Start();
    Hwnd main = WaitForWindow(output);
    ASSERT_NE(main, 0u);
    std::atomic<bool> stop{false};
    std::atomic<int> appended{0};
    std::thread worker([&] {
        while (!stop.load()) {
            shell::AppendLog(main, ".");
            appended.fetch_add(1);
        }
    });
    ASSERT_TRUE(output.WaitFor(std::string(Banner) + "....."));
    PostMessage(main, WM_COMMAND, MakeWParam(commands::Exit, 0), 0);
    ASSERT_EQ(done.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "the window thread hangs";
    EXPECT_EQ(done.get(), 0);
    // The worker is not held up by the window that went: its appends return at once, so it
    // sees the stop request.
    stop.store(true);
    worker.join();
}

// command id, handler: the first row with the id runs.
int first_calls = 0;
int second_calls = 0;
std::int32_t First(Hwnd, std::uint16_t id, LParam lparam, std::uint16_t code) {
    ++first_calls;
    return id + static_cast<std::int32_t>(lparam) + code;
}
std::int32_t Second(Hwnd, std::uint16_t, LParam, std::uint16_t) {
    ++second_calls;
    return -1;
}
constexpr shell::CommandRow TestRows[] = {{7, First}, {7, Second}, {8, Second}};

TEST(CommandDispatch, FirstRowWinsAndUnknownIdsReturn0) {
    first_calls = second_calls = 0;
    EXPECT_EQ(shell::DispatchCommand(TestRows, 3, 0, MakeWParam(7, 2), 100), 109);
    EXPECT_EQ(first_calls, 1);
    EXPECT_EQ(second_calls, 0);
    EXPECT_EQ(shell::DispatchCommand(TestRows, 3, 0, MakeWParam(8, 0), 0), -1);
    EXPECT_EQ(second_calls, 1);
    EXPECT_EQ(shell::DispatchCommand(TestRows, 3, 0, MakeWParam(9, 0), 0), 0);
    EXPECT_EQ(first_calls + second_calls, 2);
}

}  // namespace
