// Messages through the real message loop: direct and cross-thread SendMessage, senders released
// by a destroyed window or an ended loop, two window threads sending to each other, posted
// order and the quit message, timers, texts posted while the window's thread is busy, handles
// never reused.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "platform/testing.h"
#include "platform/window/window_state.h"
#include "platform/platform.h"
#include "shell/log.h"
#include "tests/support/window_thread.h"

namespace {

using namespace platform;
using fwu_test::OutputCapture;
using fwu_test::WindowThread;

const std::string runtime_directory = fwu_test::UsePrivateRuntimeDirectory();

constexpr std::uint32_t WM_TEST_ECHO = 0x8100;
constexpr std::uint32_t WM_TEST_LOG = 0x8101;  // lparam: a new std::string to append and delete
constexpr std::uint32_t WM_TEST_TEXT = 0x8102;  // lparam: a posted text

// Counts the calls queued for the window's thread (a test looks; the layer does not wait).
std::size_t QueuedCalls(Hwnd window) {
    auto record = internal::LookupWindow(window);
    if (!record) return 0;
    std::lock_guard lock(record->queue->mutex);
    return record->queue->sent.size();
}

// Waits (bounded) until `done` holds, looking every millisecond: only for conditions that no
// notification reports, such as a call being queued inside the layer.
template <typename F>
bool Eventually(F done, int timeout_ms = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

LResult EchoProc(Hwnd window, std::uint32_t message, WParam wparam, LParam lparam) {
    if (message == WM_TEST_ECHO) return static_cast<LResult>(wparam * 2 + 1);
    if (message == WM_TEST_LOG) {
        auto* text = reinterpret_cast<std::string*>(lparam);
        shell::AppendLog(window, text->c_str());
        delete text;
        return 0;
    }
    return fwu_test::TestWindowProc(window, message, wparam, lparam);
}

TEST(SendMessage, SameThreadIsADirectCall) {
    ASSERT_NE(RegisterClass("DirectCall", EchoProc, GetModuleHandle()), 0);
    Hwnd window = CreateWindowEx(0, "DirectCall", "", 0, 0, 0, 10, 10, 0, 0, GetModuleHandle(), nullptr);
    ASSERT_NE(window, 0u);
    EXPECT_EQ(SendMessage(window, WM_TEST_ECHO, 20, 0), 41);  // no loop runs: only a direct call can answer
    EXPECT_TRUE(DestroyWindow(window));
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(SendMessage(window, WM_TEST_ECHO, 20, 0), 0);
    Msg msg;
    ASSERT_FALSE(GetMessage(&msg));  // the test proc posted quit on WM_DESTROY
    EXPECT_TRUE(UnregisterClass("DirectCall", GetModuleHandle()));
}

TEST(SendMessage, CrossThreadFromSeveralThreadsWhileTheWindowThreadLogs) {
    OutputCapture output;
    WindowThread window(EchoProc);
    constexpr int Threads = 4;
    constexpr int Lines = 200;
    // The window's own thread logs too: it appends whenever a posted message comes in.
    std::vector<std::thread> workers;
    std::atomic<int> wrong_answers{0};
    for (int t = 0; t < Threads; ++t) {
        workers.emplace_back([&, t] {
            for (int i = 0; i < Lines; ++i) {
                std::string line = "t" + std::to_string(t) + "-" + std::to_string(i) + "\r\n";
                shell::AppendLog(window.window(), line.c_str());
                if (SendMessage(window.window(), WM_TEST_ECHO, static_cast<WParam>(i), 0) != 2 * i + 1) {
                    wrong_answers.fetch_add(1);
                }
                if (i % 20 == 0) {
                    // The window's thread appends this one itself, between the workers' appends.
                    auto* own = new std::string("w" + std::to_string(t) + "-" + std::to_string(i) + "\r\n");
                    PostMessage(window.window(), WM_TEST_LOG, 0, reinterpret_cast<LParam>(own));
                }
            }
        });
    }
    for (auto& w : workers) w.join();
    EXPECT_EQ(wrong_answers.load(), 0);
    // Sent calls go before posted messages: the text is read once the posted appends are done,
    // which a last posted message marks (posted messages keep their order).
    std::promise<void> posted_done;
    const std::function<LResult()> mark = [&] {
        posted_done.set_value();
        return 0;
    };
    ASSERT_TRUE(PostMessage(window.window(), fwu_test::WM_TEST_RUN, 0, reinterpret_cast<LParam>(&mark)));
    ASSERT_EQ(posted_done.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
    std::string text;
    window.Run([&] {
        text = EditText(window.edit());
        return 1;
    });
    // Every line once, and each thread's lines in its own order.
    for (int t = 0; t < Threads; ++t) {
        std::size_t last = 0;
        for (int i = 0; i < Lines; ++i) {
            std::string line = "t" + std::to_string(t) + "-" + std::to_string(i) + "\r\n";
            std::size_t at = text.find(line);
            ASSERT_NE(at, std::string::npos) << line;
            EXPECT_EQ(text.find(line, at + 1), std::string::npos) << line;
            EXPECT_GE(at, last) << line;
            last = at;
        }
    }
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), Threads * Lines + Threads * (Lines / 20));
    // The headless screen wrote each append as it came, in the pane's order.
    EXPECT_TRUE(output.WaitFor(text.substr(text.size() - 20)));
    EXPECT_EQ(output.Text(), text);
}

// A thread logging while the window goes: its append waiting in the queue is answered 0 and the
// thread goes on; later appends return at once.
TEST(SendMessage, SenderQueuedWhileTheWindowIsDestroyedGetsZero) {
    OutputCapture output;
    std::promise<LResult> answer;
    std::thread worker;
    std::atomic<Hwnd> edit{0};
    static std::function<void(Hwnd)> on_destroy;
    on_destroy = [&](Hwnd window) {
        // The pane still exists; a worker asks it for its length and must wait for this thread.
        edit.store(GetDlgItem(window, 5));
        worker = std::thread([&] { answer.set_value(SendMessage(edit.load(), WM_GETTEXTLENGTH, 0, 0)); });
        ASSERT_TRUE(Eventually([&] { return QueuedCalls(window) == 1; }));
    };
    auto proc = [](Hwnd window, std::uint32_t message, WParam wparam, LParam lparam) -> LResult {
        if (message == WM_DESTROY) on_destroy(window);
        return fwu_test::TestWindowProc(window, message, wparam, lparam);
    };
    WindowThread window(proc);
    shell::AppendLog(window.window(), "abc");  // handled: the pane answers 3 while it lives
    EXPECT_EQ(SendMessage(window.edit(), WM_GETTEXTLENGTH, 0, 0), 3);
    PostMessage(window.window(), WM_CLOSE, 0, 0);
    auto future = answer.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "the sender hangs";
    EXPECT_EQ(future.get(), 0);
    worker.join();
    EXPECT_EQ(window.Join(), 0);
    EXPECT_FALSE(IsWindow(window.edit()));
    shell::AppendLog(window.window(), "late\r\n");  // returns at once, changes nothing
    EXPECT_TRUE(output.WaitFor("abc"));
    EXPECT_EQ(output.Text(), "abc");
}

TEST(SendMessage, AppendsRacingTheDestructionNeverHang) {
    OutputCapture output;
    auto window = std::make_unique<WindowThread>();
    Hwnd main = window->window();
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    for (int t = 0; t < 3; ++t) {
        workers.emplace_back([&] {
            while (!stop.load()) shell::AppendLog(main, "x");
        });
    }
    ASSERT_TRUE(output.WaitFor("xxxxxxxxxx"));
    PostMessage(main, WM_CLOSE, 0, 0);
    EXPECT_EQ(window->Join(), 0);
    stop.store(true);
    for (auto& w : workers) w.join();
    EXPECT_FALSE(IsWindow(main));
}

TEST(SendMessage, AnEndedLoopAnswersZeroAtOnce) {
    std::promise<void> leave;
    auto left = leave.get_future().share();
    std::promise<Hwnd> created;
    std::thread thread([&] {
        RegisterClass("EndedLoop", EchoProc, GetModuleHandle());
        Hwnd window = CreateWindowEx(0, "EndedLoop", "", 0, 0, 0, 1, 1, 0, 0, GetModuleHandle(), nullptr);
        created.set_value(window);
        Msg msg;
        while (GetMessage(&msg)) DispatchMessage(&msg);
        left.wait();  // the window still exists, but no loop runs any more
        DestroyWindow(window);
    });
    Hwnd window = created.get_future().get();
    EXPECT_EQ(SendMessage(window, WM_TEST_ECHO, 4, 0), 9);  // the loop answers
    // Quit: the loop ends; after that a sender is answered 0 instead of waiting.
    std::function<LResult()> quit = [] {
        PostQuitMessage(7);
        return 1;
    };
    EXPECT_EQ(SendMessage(window, fwu_test::WM_TEST_RUN, 0, reinterpret_cast<LParam>(&quit)), 1);
    ASSERT_TRUE(Eventually([&] {
        auto record = internal::LookupWindow(window);
        std::lock_guard lock(record->queue->mutex);
        return record->queue->ended;
    }));
    EXPECT_TRUE(IsWindow(window));
    EXPECT_EQ(SendMessage(window, WM_TEST_ECHO, 4, 0), 0);
    leave.set_value();
    thread.join();
    UnregisterClass("EndedLoop", GetModuleHandle());
}

// Two window threads sending to each other at the same moment both get their answers: a
// thread waiting in SendMessage handles calls sent to it.
TEST(SendMessage, TwoWindowThreadsSendingToEachOtherDoNotDeadlock) {
    WindowThread a(EchoProc);
    WindowThread b(EchoProc);
    std::promise<void> go;
    auto start = go.get_future().share();
    auto ask = [&](WindowThread& from, WindowThread& to) {
        return std::async(std::launch::async, [&from, &to, start] {
            return from.Run([&to, start] {
                start.wait();
                LResult sum = 0;
                for (int i = 0; i < 100; ++i) sum += SendMessage(to.window(), WM_TEST_ECHO, 1, 0);
                return sum;
            });
        });
    };
    auto ab = ask(a, b);
    auto ba = ask(b, a);
    go.set_value();
    ASSERT_EQ(ab.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    ASSERT_EQ(ba.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(ab.get(), 300);
    EXPECT_EQ(ba.get(), 300);
}

TEST(SendMessage, OnlyTheWindowsThreadMayDestroyIt) {
    WindowThread window;
    EXPECT_FALSE(DestroyWindow(window.window()));
    EXPECT_EQ(GetLastError(), static_cast<std::uint32_t>(EPERM));
    EXPECT_TRUE(IsWindow(window.window()));
    EXPECT_EQ(window.Run([&] { return DestroyWindow(window.window()) ? 1 : 0; }), 1);  // handled, then gone
    EXPECT_EQ(window.Join(), 0);
}

TEST(MessageLoop, PostedMessagesInOrderThenQuit) {
    ASSERT_NE(RegisterClass("Posted", EchoProc, GetModuleHandle()), 0);
    Hwnd window = CreateWindowEx(0, "Posted", "", 0, 0, 0, 1, 1, 0, 0, GetModuleHandle(), nullptr);
    for (WParam i = 1; i <= 3; ++i) ASSERT_TRUE(PostMessage(window, WM_TEST_ECHO, i, 0));
    PostQuitMessage(5);
    ASSERT_TRUE(PostMessage(window, WM_TEST_ECHO, 4, 0));  // posted after quit, still fetched before it
    Msg msg;
    for (WParam i = 1; i <= 4; ++i) {
        ASSERT_TRUE(GetMessage(&msg));
        EXPECT_EQ(msg.hwnd, window);
        EXPECT_EQ(msg.message, WM_TEST_ECHO);
        EXPECT_EQ(msg.wparam, i);
    }
    EXPECT_FALSE(GetMessage(&msg));
    EXPECT_EQ(msg.message, WM_QUIT);
    EXPECT_EQ(msg.wparam, 5u);
    DestroyWindow(window);
    ASSERT_FALSE(GetMessage(&msg));  // EchoProc's fallback posted quit 0 on destroy
    EXPECT_EQ(msg.wparam, 0u);
    UnregisterClass("Posted", GetModuleHandle());
}

TEST(MessageLoop, TimersTickUntilKilled) {
    ASSERT_NE(RegisterClass("Timers", EchoProc, GetModuleHandle()), 0);
    Hwnd window = CreateWindowEx(0, "Timers", "", 0, 0, 0, 1, 1, 0, 0, GetModuleHandle(), nullptr);
    ASSERT_EQ(SetTimer(window, 100, 5), 100u);
    Msg msg;
    for (int tick = 0; tick < 3; ++tick) {
        ASSERT_TRUE(GetMessage(&msg));
        EXPECT_EQ(msg.hwnd, window);
        EXPECT_EQ(msg.message, WM_TIMER);
        EXPECT_EQ(msg.wparam, 100u);
    }
    EXPECT_TRUE(KillTimer(window, 100));
    EXPECT_FALSE(KillTimer(window, 100));
    PostMessage(window, WM_TEST_ECHO, 1, 0);
    ASSERT_TRUE(GetMessage(&msg));
    EXPECT_EQ(msg.message, WM_TEST_ECHO);  // no tick after the kill
    // A timer goes with its window.
    SetTimer(window, 7, 1);
    DestroyWindow(window);
    ASSERT_FALSE(GetMessage(&msg));
    UnregisterClass("Timers", GetModuleHandle());
}

// Texts another thread posts while the window's thread is busy wait, and reach the procedure in
// one call, in order, before the message posted after them; a closed window takes none.
TEST(MessageLoop, TextsPostedWhileTheWindowIsBusyArriveMergedBeforeTheNextMessage) {
    static std::vector<std::string> calls;  // on the window's thread
    calls.clear();
    auto proc = [](Hwnd window, std::uint32_t message, WParam wparam, LParam lparam) -> LResult {
        if (message != WM_TEST_TEXT) return fwu_test::TestWindowProc(window, message, wparam, lparam);
        calls.emplace_back(reinterpret_cast<const char*>(lparam));
        return 0;
    };
    WindowThread window(proc);
    std::promise<std::vector<std::string>> seen;
    const std::function<LResult()> look = [&] {
        seen.set_value(calls);
        return 0;
    };
    std::string all;
    window.Run([&] {
        std::thread worker([&] {
            for (int i = 0; i < 100; ++i) {
                const std::string line = "line " + std::to_string(i) + "\r\n";
                EXPECT_TRUE(PostText(window.window(), WM_TEST_TEXT, line.c_str()));
                all += line;
            }
            PostMessage(window.window(), fwu_test::WM_TEST_RUN, 0, reinterpret_cast<LParam>(&look));
        });
        worker.join();
        EXPECT_EQ(PendingPostedText(window.window()), all.size());
        EXPECT_TRUE(calls.empty());
        return 0;
    });
    auto future = seen.get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(future.get(), std::vector<std::string>{all});
    PostMessage(window.window(), WM_CLOSE, 0, 0);
    EXPECT_EQ(window.Join(), 0);
    EXPECT_FALSE(PostText(window.window(), WM_TEST_TEXT, "late\r\n"));
}

TEST(Windows, HandlesAreEvenAndNeverReused) {
    ASSERT_NE(RegisterClass("Handles", EchoProc, GetModuleHandle()), 0);
    Hwnd previous = 0;
    for (int i = 0; i < 5; ++i) {
        Hwnd window = CreateWindowEx(0, "Handles", "", 0, 0, 0, 1, 1, 0, 0, GetModuleHandle(), nullptr);
        ASSERT_NE(window, 0u);
        EXPECT_EQ(window % 2, 0u);
        EXPECT_GT(window, previous);
        previous = window;
        DestroyWindow(window);
        EXPECT_FALSE(IsWindow(window));
    }
    Msg msg;
    ASSERT_FALSE(GetMessage(&msg));  // one quit request, however often it was posted
    UnregisterClass("Handles", GetModuleHandle());
}

TEST(Windows, ChildrenByIdAndDestroyedWithTheParent) {
    WindowThread window;
    EXPECT_EQ(GetDlgItem(window.window(), 5), window.edit());
    EXPECT_EQ(GetDlgItem(window.window(), 4), 0u);
    EXPECT_EQ(GetDlgItem(0, 5), 0u);
    PostMessage(window.window(), WM_CLOSE, 0, 0);
    EXPECT_EQ(window.Join(), 0);
    EXPECT_FALSE(IsWindow(window.edit()));
    EXPECT_EQ(GetDlgItem(window.window(), 5), 0u);
}

TEST(Windows, RegisterClassRefusesTwiceAndOnFault) {
    ASSERT_NE(RegisterClass("Twice", EchoProc, GetModuleHandle()), 0);
    EXPECT_EQ(RegisterClass("TWICE", EchoProc, GetModuleHandle()), 0);  // names match in any case
    EXPECT_TRUE(UnregisterClass("Twice", GetModuleHandle()));
    InjectFault(Fault::RegisterClass);
    EXPECT_EQ(RegisterClass("Twice", EchoProc, GetModuleHandle()), 0);
    EXPECT_NE(RegisterClass("Twice", EchoProc, GetModuleHandle()), 0);
    EXPECT_TRUE(UnregisterClass("Twice", GetModuleHandle()));
}

}  // namespace
