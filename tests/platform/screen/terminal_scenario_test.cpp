// The terminal screen with a window of the test's own in a real terminal (tmux): the test runs
// this very binary inside tmux with one of the DISABLED_ scenario tests below, and drives it with
// keys and mouse reports. The scenario window is built as the program's (menu bar from the
// resources, log pane child 5, done button, full screen); its message loop turns letter keys into
// appends, so that the test decides when text arrives.
//
// Covered: a user selection by Shift+arrows and by a mouse drag replaced by the next append; Esc
// back to the end, also from a view scrolled up and across; horizontal scrolling that follows the caret along a long line and back;
// Home, End, PgUp, the wheel; a check mark in the menu; a box of the window's thread and one of
// a worker open at once, the log pane growing behind them, closed top first.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "resources/commands.h"
#include "platform/platform.h"
#include "tests/support/terminal_screen.h"
#include "tests/support/tmux.h"

namespace {

using namespace platform;
using namespace fwu_test;

constexpr int ScreenMs = 60000;
constexpr int ExitMs = 60000;
constexpr std::uint16_t WindowBoxCommand = 200;

// ---- the child's side: the scenario window

Hwnd scenario_window = 0;
Hwnd scenario_pane = 0;
std::atomic<bool> window_box_opening{false};
std::atomic<int> window_box_answer{-1};

void Append(const char* text) { SendMessage(scenario_pane, EM_REPLACESEL, 0, reinterpret_cast<LParam>(text)); }

LResult ScenarioProc(Hwnd window, std::uint32_t message, WParam wparam, LParam lparam) {
    switch (message) {
        case WM_CREATE: {
            scenario_window = window;
            MenuBarRecord bar{};
            bar.size = sizeof bar;
            bar.parent = window;
            bar.menu_bar_id = 105;
            bar.resource_module = GetModuleHandle();
            if (!CreateMenuBar(&bar)) return -1;
            scenario_pane = CreateWindowEx(0x200, "edit", "", 0x50200884, 0, 0, CW_USEDEFAULT, CW_USEDEFAULT, window, 5,
                                           GetModuleHandle(), nullptr);
            DialogInitRecord dialog{1, window, 0x01 | 0x04};
            ShInitDialog(&dialog);
            CheckMenuItem(CommandBarGetMenu(bar.menu_bar, 0), commands::UpdateGo, MF_BYCOMMAND | MF_CHECKED);
            return 0;
        }
        case WM_SIZE: {
            Rect client;
            GetClientRect(window, &client);
            SetWindowPos(scenario_pane, 0, 0, 0, client.right, client.bottom, SWP_NOZORDER);
            return 0;
        }
        case WM_COMMAND:
            if (LowWord(wparam) == IDOK) SendMessage(window, WM_CLOSE, 0, 0);
            if (LowWord(wparam) == WindowBoxCommand) {
                window_box_opening.store(true);
                window_box_answer.store(MessageBox(window, "window box", "Window", MB_OK | MB_ICONSTOP));
            }
            return 0;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
        default:
            return DefWindowProc(window, message, wparam, lparam);
    }
}

// The window up in the terminal, then the loop; letter keys (without Ctrl or Alt) go to on_key.
void RunScenarioWindow(void (*on_key)(WParam virtual_key), void (*at_start)()) {
    ASSERT_TRUE(SelectScreen(ScreenKind::Terminal));
    ASSERT_NE(RegisterClass("Terminal Scenario", ScenarioProc, GetModuleHandle()), 0);
    Hwnd window = CreateWindowEx(0, "Terminal Scenario", "Terminal Scenario", WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT,
                                 CW_USEDEFAULT, CW_USEDEFAULT, 0, 0, GetModuleHandle(), nullptr);
    ASSERT_NE(window, 0u);
    at_start();
    Msg msg{};
    while (GetMessage(&msg)) {
        if (msg.message == WM_KEYDOWN && !(msg.lparam & (KeyControl | KeyAlt))) on_key(msg.wparam);
        TranslateMessage(&msg);
        DispatchMessage(&msg);
    }
}

void PaneKeys(WParam key) {
    if (key == 'A') Append("!");
    if (key == 'L') Append(("<" + std::string(198, '-') + ">").c_str());
    if (key == 'N') Append("\r\nnext");
    if (key == 'R') {
        for (int i = 0; i < 100; ++i) {
            char line[16];
            std::snprintf(line, sizeof line, "row %03d\r\n", i);
            Append(line);
        }
    }
}

TEST(TerminalScenario, DISABLED_PaneAndMenu) {
    RunScenarioWindow(PaneKeys, [] { Append("alpha\r\nbravo\r\ncharlie"); });
}

std::atomic<bool> ticking{false};
std::atomic<int> worker_box_answer{-1};
std::atomic<bool> worker_box_after_window_box{false};
std::thread ticker, boxer;

void BoxKeys(WParam key) {
    if (key != 'B') return;
    // One worker appends all the time; another opens its box once the window's box is up.
    if (ticking.exchange(true)) return;
    ticker = std::thread([] {
        char line[32];
        for (int i = 0; ticking.load() && IsWindow(scenario_pane); ++i) {
            std::snprintf(line, sizeof line, "tick %05d\r\n", i);
            Append(line);
            Sleep(20);
        }
    });
    boxer = std::thread([] {
        while (!window_box_opening.load()) Sleep(5);
        worker_box_after_window_box.store(window_box_answer.load() == -1);
        worker_box_answer.store(MessageBox(0, "worker box", "Worker", MB_OK));
    });
    PostMessage(scenario_window, WM_COMMAND, WindowBoxCommand, 0);
}

TEST(TerminalScenario, DISABLED_Boxes) {
    RunScenarioWindow(BoxKeys, [] { Append("boxes\r\n"); });
    ticking.store(false);  // its appends to the destroyed window return at once
    if (ticker.joinable()) ticker.join();
    if (boxer.joinable()) boxer.join();
    EXPECT_EQ(window_box_answer.load(), IDOK);
    EXPECT_EQ(worker_box_answer.load(), IDOK);
    EXPECT_TRUE(worker_box_after_window_box.load());
}

// ---- the test's side

std::string OwnPath() {
    char path[4096];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string();
}

class TerminalScenarioRun : public ::testing::Test {
protected:
    bool Launch(const std::string& scenario) {
        return run_.Start(tmux_, ShellQuote(OwnPath()) + " --gtest_also_run_disabled_tests --gtest_filter=" +
                                     ShellQuote("TerminalScenario.DISABLED_" + scenario));
    }
    std::string Cursor() { return tmux_.Format("#{cursor_x},#{cursor_y}"); }

    Tmux tmux_;
    TerminalRun run_;
};

TEST_F(TerminalScenarioRun, SelectionScrollingAndCheckMarks) {
    ASSERT_TRUE(Launch("PaneAndMenu"));
    std::string screen;
    ASSERT_TRUE(tmux_.WaitForText("charlie", ScreenMs, &screen)) << screen << run_.Stderr();
    EXPECT_EQ(Row(screen, 0).rfind(" Terminal Scenario", 0), 0u) << screen;
    EXPECT_EQ(Row(screen, 1).rfind("alpha", 0), 0u) << screen;
    EXPECT_EQ(Cursor(), "7,3");  // the caret after "charlie"

    // A check mark in a menu whose entry carries the checked id.
    ASSERT_TRUE(tmux_.SendKeys({"F10"}));
    ASSERT_TRUE(tmux_.WaitForScreen(
        [](const std::string& s) {
            return s.find("* Update firmware - Go") != std::string::npos ||
                   s.find("\u2713 Update firmware - Go") != std::string::npos;
        },
        ScreenMs, &screen))
        << screen;
    EXPECT_NE(screen.find("   Exit"), std::string::npos) << screen;  // no mark
    ASSERT_TRUE(tmux_.SendKeys({"Escape"}));
    ASSERT_TRUE(tmux_.WaitForScreen([](const std::string& s) { return s.find("Exit") == std::string::npos; },
                                    ScreenMs));

    // Shift+Left four times selects "rlie"; the next append replaces it.
    ASSERT_TRUE(tmux_.SendKeys({"S-Left", "S-Left", "S-Left", "S-Left"}));
    std::string attributes;
    ASSERT_TRUE(WaitUntil([&] { return ShownReversed(attributes = tmux_.Capture(true), "rlie"); }, ScreenMs))
        << attributes;
    ASSERT_TRUE(tmux_.SendKeys({"a"}));
    ASSERT_TRUE(tmux_.WaitForScreen([](const std::string& s) { return Row(s, 3).substr(0, 5) == "cha! "; }, ScreenMs,
                                    &screen))
        << screen;

    // A mouse drag over "bra" selects it; the next append replaces it, and the caret stays there.
    ASSERT_TRUE(tmux_.SendBytes(MouseReport(0, 0, 2)));
    ASSERT_TRUE(WaitUntil([&] { return Cursor() == "0,2"; }, ScreenMs)) << Cursor();
    ASSERT_TRUE(tmux_.SendBytes(MouseReport(3, 3, 2)));
    ASSERT_TRUE(WaitUntil([&] { return ShownReversed(attributes = tmux_.Capture(true), "bra"); }, ScreenMs))
        << attributes;
    ASSERT_TRUE(tmux_.SendKeys({"a"}));
    ASSERT_TRUE(tmux_.WaitForScreen([](const std::string& s) { return Row(s, 2).substr(0, 4) == "!vo "; }, ScreenMs,
                                    &screen))
        << screen;
    EXPECT_EQ(Cursor(), "1,2");

    // Esc puts the caret back at the end of the text: appends follow one another again.
    ASSERT_TRUE(tmux_.SendKeys({"Escape"}));  // alone: Esc and a key at once are Alt+key
    ASSERT_TRUE(WaitUntil([&] { return Cursor() == "4,3"; }, ScreenMs)) << Cursor();
    ASSERT_TRUE(tmux_.SendKeys({"a"}));
    ASSERT_TRUE(tmux_.WaitForScreen([](const std::string& s) { return Row(s, 3).substr(0, 6) == "cha!! "; },
                                    ScreenMs, &screen))
        << screen;

    // A line longer than the pane: the view follows the caret to its end, and back at the next line.
    ASSERT_TRUE(tmux_.SendKeys({"l"}));
    ASSERT_TRUE(tmux_.WaitForScreen(
        [](const std::string& s) {
            std::string row = Row(s, 3);
            return row.find("-->") != std::string::npos && row.find("cha") == std::string::npos;
        },
        ScreenMs, &screen))
        << screen;
    EXPECT_EQ(ColumnOf(Row(screen, 3), ">"), 77) << screen;  // the caret sits in the last text column
    EXPECT_EQ(Row(screen, 1).find("alpha"), std::string::npos) << screen;
    ASSERT_TRUE(tmux_.SendKeys({"n"}));
    ASSERT_TRUE(tmux_.WaitForScreen([](const std::string& s) { return Row(s, 4).substr(0, 5) == "next "; }, ScreenMs,
                                    &screen))
        << screen;
    EXPECT_EQ(Row(screen, 1).substr(0, 6), "alpha ") << screen;

    // 104 lines in a pane of 22 rows: End, Home, PgUp, the wheel.
    ASSERT_TRUE(tmux_.SendKeys({"r"}));
    auto first_row_is = [&](const std::string& text) {
        return tmux_.WaitForScreen([&](const std::string& s) { return Row(s, 1).substr(0, text.size()) == text; },
                                   ScreenMs, &screen);
    };
    ASSERT_TRUE(first_row_is("row 079")) << screen;  // followed the caret to the last line
    EXPECT_EQ(Row(screen, 21).substr(0, 7), "row 099") << screen;
    ASSERT_TRUE(tmux_.SendKeys({"Home"}));
    ASSERT_TRUE(first_row_is("alpha")) << screen;
    ASSERT_TRUE(tmux_.SendKeys({"End"}));
    ASSERT_TRUE(first_row_is("row 079")) << screen;
    ASSERT_TRUE(tmux_.SendKeys({"PPage"}));
    ASSERT_TRUE(first_row_is("row 058")) << screen;
    ASSERT_TRUE(tmux_.SendBytes(MouseReport(64, 10, 10)));  // wheel up: 3 lines
    ASSERT_TRUE(first_row_is("row 055")) << screen;
    ASSERT_TRUE(tmux_.SendBytes(MouseReport(65, 10, 10)));  // wheel down
    ASSERT_TRUE(first_row_is("row 058")) << screen;
    ASSERT_TRUE(tmux_.SendKeys({"NPage"}));
    ASSERT_TRUE(first_row_is("row 079")) << screen;

    // Esc after scrolling up and across: the view is back at the caret, from the first column.
    ASSERT_TRUE(tmux_.SendKeys({"PPage", "Right"}));
    ASSERT_TRUE(tmux_.WaitForScreen([](const std::string& s) { return Row(s, 1).substr(0, 1) == "8"; }, ScreenMs,
                                    &screen))
        << screen;  // "row 058" from its seventh column
    ASSERT_TRUE(tmux_.SendKeys({"Escape"}));
    ASSERT_TRUE(first_row_is("row 079")) << screen;

    ASSERT_TRUE(tmux_.SendKeys({"F12"}));
    EXPECT_EQ(run_.WaitForExit(ExitMs), 0) << run_.Stderr();
    EXPECT_EQ(TerminalRestored(tmux_, run_), "");
}

int LastTick(const std::string& screen) {
    std::size_t at = screen.rfind("tick ");
    return at == std::string::npos ? -1 : std::atoi(screen.c_str() + at + 5);
}

TEST_F(TerminalScenarioRun, BoxesOfTheWindowThreadAndOfAWorkerOpenAtOnce) {
    ASSERT_TRUE(Launch("Boxes"));
    std::string screen;
    ASSERT_TRUE(tmux_.WaitForText("boxes", ScreenMs, &screen)) << screen << run_.Stderr();
    ASSERT_TRUE(tmux_.SendKeys({"b"}));
    auto both = [](const std::string& s) {
        return s.find("window box") != std::string::npos && s.find("worker box") != std::string::npos;
    };
    ASSERT_TRUE(tmux_.WaitForScreen(both, ScreenMs, &screen)) << screen;
    EXPECT_NE(screen.find("(X) window box"), std::string::npos) << screen;
    // The pane keeps growing behind both boxes: the window thread's box runs its own loop.
    const int before = LastTick(screen);
    ASSERT_TRUE(tmux_.WaitForScreen([&](const std::string& s) { return both(s) && LastTick(s) > before + 2; },
                                    ScreenMs, &screen))
        << before << "\n" << screen;
    // The worker's box came last and is on top: the first Enter closes it.
    ASSERT_TRUE(tmux_.SendKeys({"Enter"}));
    ASSERT_TRUE(tmux_.WaitForScreen(
        [](const std::string& s) {
            return s.find("worker box") == std::string::npos && s.find("window box") != std::string::npos;
        },
        ScreenMs, &screen))
        << screen;
    const int later = LastTick(screen);
    ASSERT_TRUE(tmux_.WaitForScreen([&](const std::string& s) { return LastTick(s) > later + 2; }, ScreenMs, &screen))
        << screen;
    ASSERT_TRUE(tmux_.SendKeys({"Enter"}));
    ASSERT_TRUE(tmux_.WaitForScreen([](const std::string& s) { return s.find("window box") == std::string::npos; },
                                    ScreenMs, &screen))
        << screen;
    ASSERT_TRUE(tmux_.SendKeys({"F12"}));
    EXPECT_EQ(run_.WaitForExit(ExitMs), 0) << run_.Stderr();
    EXPECT_EQ(TerminalRestored(tmux_, run_), "");
}

}  // namespace
