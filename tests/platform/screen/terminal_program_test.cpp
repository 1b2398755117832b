// The program in a real terminal (tmux, 80x24): the start screen, the System menu by every
// opener, Exit, Ctrl+Q, the done button by key and by click, boxes from commands sent by
// another process, a resize, a whole update from the menu against the simulated handset, a
// second start, Ctrl+Z, and the terminal given back after every way out, fatal signals included.
#include <gtest/gtest.h>
#include <signal.h>

#include <set>

#include "tests/support/program.h"
#include "tests/support/terminal_screen.h"
#include "tests/support/tmux.h"
#include "resources/commands.h"

namespace {

using namespace fwu_test;

constexpr int ScreenMs = 60000;  // generous: sanitizer builds on a busy machine
constexpr int ExitMs = 60000;

class TerminalProgram : public ::testing::Test {
protected:
    bool Launch(const std::string& args = "", int width = 80, int height = 24) {
        return run_.Start(tmux_, ShellQuote(FWU_PROGRAM) + args, {}, width, height);
    }

    // Title bar, banner, menu bar: the window is up and drawn.
    std::string WaitForStartScreen() {
        std::string screen;
        bool up = tmux_.WaitForScreen(
            [](const std::string& s) {
                return Row(s, 0).find("Firmware Utility") != std::string::npos &&
                       s.find("<< Firmware Version: V.4.2.0 >>") != std::string::npos &&
                       s.find("System") != std::string::npos;
            },
            ScreenMs, &screen);
        EXPECT_TRUE(up) << screen << run_.Stderr();
        return screen;
    }

    // The program ended with `status`, the shell's line is on the screen and the terminal is back.
    void ExpectEndedAndRestored(int status) {
        EXPECT_EQ(run_.WaitForExit(ExitMs), status) << run_.Stderr();
        std::string screen;
        EXPECT_TRUE(tmux_.WaitForText("EXIT=" + std::to_string(status), ScreenMs, &screen)) << screen;
        EXPECT_EQ(screen.find("F10 Menu"), std::string::npos) << screen;
        EXPECT_EQ(TerminalRestored(tmux_, run_), "") << run_.SttyModes();
    }

    // `send ID` from another process of the same user.
    std::unique_ptr<RunningProgram> Send(int id) {
        return std::make_unique<RunningProgram>(std::vector<std::string>{"send", std::to_string(id)}, run_.Env());
    }

    Tmux tmux_;
    TerminalRun run_;
};

bool MenuShown(const std::string& screen) {
    return screen.find("Update firmware - Go") != std::string::npos && screen.find("Exit") != std::string::npos;
}

TEST_F(TerminalProgram, StartScreenShowsTitleDoneButtonPaneWithScrollBarAndMenuBar) {
    ASSERT_TRUE(Launch());
    std::string screen = WaitForStartScreen();
    auto rows = ScreenRows(screen);
    ASSERT_EQ(rows.size(), 24u) << screen;
    EXPECT_EQ(rows[0].rfind(" Firmware Utility", 0), 0u) << rows[0];
    EXPECT_EQ(ColumnOf(rows[0], "[OK]"), 75) << rows[0];  // at the right of the title bar
    EXPECT_EQ(rows[1].rfind("Korvan Halvik Firmware Utility", 0), 0u) << screen;
    EXPECT_EQ(rows[2].rfind("<< Firmware Version: V.4.2.0 >>", 0), 0u) << screen;
    EXPECT_EQ(rows[23].rfind(" System ", 0), 0u) << rows[23];
    EXPECT_NE(rows[23].find("F10 Menu"), std::string::npos) << rows[23];
    // The pane fills rows 1 to 22; its scroll bar is drawn in the last column of each.
    for (std::size_t row = 1; row <= 22; ++row) {
        EXPECT_EQ(Columns(rows[row]), 80u) << "row " << row << ": " << rows[row];
    }
    ASSERT_TRUE(tmux_.SendKeys({"C-q"}));
    ExpectEndedAndRestored(0);
}

TEST_F(TerminalProgram, WithoutATerminalSaysSoOnOneLineAndEndsWith2) {
    TempDir runtime;
    ProgramResult result = RunProgram({}, {"FIRMWARE_UTILITY_RUNTIME_DIR=" + runtime.path()});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("not a terminal"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("--headless"), std::string::npos) << result.err;
    EXPECT_EQ(CountOf(result.err, '\n'), 1u) << result.err;
}

TEST(TerminalRefusal, AnUnknownTerminalOrOneThatCannotMoveItsCursorIsRefusedAndLeftAlone) {
    const struct {
        const char* term;
        const char* reason;
    } cases[] = {
        {"TERM=no-such-terminal", "terminfo does not know the terminal named by TERM"},
        {"TERM=dumb", "the terminal named by TERM cannot move its cursor"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.term);
        Tmux tmux;
        TerminalRun run;
        ASSERT_TRUE(run.Start(tmux, ShellQuote(FWU_PROGRAM), {c.term}));
        EXPECT_EQ(run.WaitForExit(ExitMs), 2);
        std::string err = run.Stderr();
        EXPECT_NE(err.find(c.reason), std::string::npos) << err;
        EXPECT_EQ(CountOf(err, '\n'), 1u) << err;
        EXPECT_EQ(TerminalRestored(tmux, run), "");
    }
}

// The about box's frame and the scroll bar: Unicode box drawing when the environment names no
// locale at all, or a UTF-8 one the system lacks (the program takes a UTF-8 one of its own), the terminal's line-drawing set in a locale
// without UTF-8 where the terminal has one that works there (tmux marks those cells with
// shift-out), plain ASCII where it has none.
TEST(TerminalGlyphs, FramesAndTheScrollBarDrawRightWhateverTheLocale) {
    const struct {
        const char* name;
        std::string environment;
        std::vector<std::string> shown;    // in the plain capture
        std::vector<std::string> encoded;  // in the capture with attributes and character sets
        std::vector<std::string> absent;   // in the plain capture
    } cases[] = {
        {"no locale", "env -u LC_ALL -u LC_CTYPE -u LANG TERM=tmux-256color ",
         {"\u250C\u2500 About \u2500", "\u2502   Zamtalk", "\u2592"}, {}, {"lq About", "x   Zamtalk"}},
        {"a UTF-8 locale this system lacks", "env -u LC_ALL -u LC_CTYPE LANG=xx_XX.UTF-8 TERM=tmux-256color ",
         {"\u250C\u2500 About \u2500", "\u2592"}, {}, {"lq About"}},
        {"C locale, no line drawing outside UTF-8", "env -u LC_ALL -u LC_CTYPE LANG=C TERM=tmux-256color ",
         {"+- About --", "|   Zamtalk", "                :\n"}, {}, {"lq About", "x   Zamtalk"}},
        {"C locale, line drawing", "env -u LC_ALL -u LC_CTYPE LANG=C TERM=xterm-256color ", {},
         {"\x0elq", "\x0ex\x0f   Zamtalk", "\x0e" "a"}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Tmux tmux;
        TerminalRun run;
        ASSERT_TRUE(run.Start(tmux, c.environment + ShellQuote(FWU_PROGRAM) + " --command " + fwu_test::Id(commands::About)));
        std::string screen;
        ASSERT_TRUE(tmux.WaitForText("Zamtalk", ScreenMs, &screen)) << screen << run.Stderr();
        for (const auto& text : c.shown) EXPECT_NE(screen.find(text), std::string::npos) << text << "\n" << screen;
        for (const auto& text : c.absent) EXPECT_EQ(screen.find(text), std::string::npos) << text << "\n" << screen;
        const std::string encoded = tmux.Capture(true);
        for (const auto& text : c.encoded) EXPECT_NE(encoded.find(text), std::string::npos) << text << "\n" << encoded;
        ASSERT_TRUE(tmux.SendKeys({"Enter"}));
        ASSERT_TRUE(tmux.WaitForScreen([](const std::string& s) { return s.find("Zamtalk") == std::string::npos; },
                                       ScreenMs, &screen))
            << screen;
        ASSERT_TRUE(tmux.SendKeys({"C-q"}));
        EXPECT_EQ(run.WaitForExit(ExitMs), 0) << run.Stderr();
        EXPECT_EQ(TerminalRestored(tmux, run), "");
    }
}

TEST_F(TerminalProgram, MenuOpensByF1F10AltSAndAClickWithItsFirstItemAndClosesByEsc) {
    ASSERT_TRUE(Launch());
    WaitForStartScreen();
    const std::vector<std::vector<std::string>> openers = {{"F1"}, {"F10"}, {"M-s"}};
    for (const auto& opener : openers) {
        ASSERT_TRUE(tmux_.SendKeys(opener));
        std::string screen;
        ASSERT_TRUE(tmux_.WaitForScreen(MenuShown, ScreenMs, &screen)) << opener[0] << "\n" << screen;
        // Above the bar at the left: "Update firmware - Go", a separator, "Exit".
        auto rows = ScreenRows(screen);
        EXPECT_NE(rows[19].find("Update firmware - Go"), std::string::npos) << screen;
        EXPECT_NE(rows[21].find("Exit"), std::string::npos) << screen;
        // The first item is the selected one (drawn in reverse).
        std::string attributes = tmux_.Capture(true);
        EXPECT_TRUE(ShownReversed(attributes, "Update firmware - Go")) << attributes;
        ASSERT_TRUE(tmux_.SendKeys({"Escape"}));
        ASSERT_TRUE(tmux_.WaitForScreen([](const std::string& s) { return !MenuShown(s); }, ScreenMs, &screen))
            << screen;
    }
    ASSERT_TRUE(tmux_.SendBytes(MouseClick(2, 23)));  // on " System "
    std::string screen;
    ASSERT_TRUE(tmux_.WaitForScreen(MenuShown, ScreenMs, &screen)) << screen;
    ASSERT_TRUE(tmux_.SendBytes(MouseClick(40, 10)));  // outside it: closed, nothing chosen
    ASSERT_TRUE(tmux_.WaitForScreen([](const std::string& s) { return !MenuShown(s); }, ScreenMs, &screen)) << screen;
    ASSERT_TRUE(tmux_.SendKeys({"C-q"}));
    ExpectEndedAndRestored(0);
}

TEST_F(TerminalProgram, ExitChosenWithArrowsAndEnterEndsWith0) {
    ASSERT_TRUE(Launch());
    WaitForStartScreen();
    ASSERT_TRUE(tmux_.SendKeys({"F10"}));
    ASSERT_TRUE(tmux_.WaitForScreen(MenuShown, ScreenMs));
    ASSERT_TRUE(tmux_.SendKeys({"Down"}));  // over the separator, to "Exit"
    std::string attributes;
    ASSERT_TRUE(WaitUntil(
        [&] { return ShownReversed(attributes = tmux_.Capture(true), "Exit"); }, ScreenMs))
        << attributes;
    ASSERT_TRUE(tmux_.SendKeys({"Enter"}));
    ExpectEndedAndRestored(0);
}

TEST_F(TerminalProgram, ExitClickedInTheMenuEndsWith0) {
    ASSERT_TRUE(Launch());
    WaitForStartScreen();
    ASSERT_TRUE(tmux_.SendKeys({"F1"}));
    ASSERT_TRUE(tmux_.WaitForScreen(MenuShown, ScreenMs));
    ASSERT_TRUE(tmux_.SendBytes(MouseClick(4, 21)));  // the "Exit" row
    ExpectEndedAndRestored(0);
}

TEST_F(TerminalProgram, DoneButtonByItsKeyEndsWith0) {
    ASSERT_TRUE(Launch());
    std::string screen = WaitForStartScreen();
    EXPECT_NE(Row(screen, 23).find("F12 OK"), std::string::npos) << screen;  // the key is shown
    ASSERT_TRUE(tmux_.SendKeys({"F12"}));
    ExpectEndedAndRestored(0);
}

TEST_F(TerminalProgram, DoneButtonByAClickEndsWith0) {
    ASSERT_TRUE(Launch());
    WaitForStartScreen();
    ASSERT_TRUE(tmux_.SendBytes(MouseClick(40, 0)));  // the title, not the button: nothing
    ASSERT_TRUE(tmux_.SendBytes(MouseClick(77, 0)));  // "[OK]"
    ExpectEndedAndRestored(0);
}

TEST_F(TerminalProgram, AboutBoxFromSendIsCentredAndClosesByEnterEscOrAClick) {
    ASSERT_TRUE(Launch());
    WaitForStartScreen();
    const std::vector<std::string> closers = {"Enter", "Escape", "click"};
    for (const auto& closer : closers) {
        auto send = Send(commands::About);
        std::string screen;
        ASSERT_TRUE(tmux_.WaitForText("Zamtalk - Written for Ondra", ScreenMs, &screen)) << screen << run_.Stderr();
        auto rows = ScreenRows(screen);
        int caption_row = -1;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (rows[i].find(" About ") != std::string::npos) caption_row = static_cast<int>(i);
        }
        ASSERT_GE(caption_row, 0) << screen;
        EXPECT_NE(rows[static_cast<std::size_t>(caption_row)].find("[OK]"), std::string::npos) << screen;
        EXPECT_NE(screen.find("between BTUART and FFUART"), std::string::npos) << screen;  // wrapped, all there
        // Centred: as many columns left of the frame as right of it.
        const std::string& frame = rows[static_cast<std::size_t>(caption_row)];
        int left = ColumnOf(frame, "\u250c");    // the upper corners
        int right = ColumnOf(frame, "\u2510");
        ASSERT_GE(left, 0) << frame;
        ASSERT_GT(right, left) << frame;
        EXPECT_LE(std::abs(left - (79 - right)), 1) << frame;
        if (closer == "click") {
            ASSERT_TRUE(tmux_.SendBytes(MouseClick(40, caption_row + 2)));
        } else {
            ASSERT_TRUE(tmux_.SendKeys({closer}));
        }
        ASSERT_TRUE(tmux_.WaitForScreen(
            [](const std::string& s) { return s.find("Zamtalk") == std::string::npos; }, ScreenMs, &screen))
            << closer << "\n" << screen;
        ProgramResult result = send->Wait(ExitMs);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out, "0\n");
    }
    ASSERT_TRUE(tmux_.SendKeys({"C-q"}));
    ExpectEndedAndRestored(0);
}

// A box shown by a command on the window's thread, while the bridge holds its ports.
TEST_F(TerminalProgram, RefusedPeerChangeShowsAStopBoxUntilClosed) {
    ASSERT_TRUE(Launch());
    WaitForStartScreen();
    ProgramResult bridge = RunProgram({"send", fwu_test::Id(commands::StartBridge)}, run_.Env(), ExitMs);
    ASSERT_EQ(bridge.status, 0) << bridge.err;
    auto send = Send(commands::PeerBluetooth);
    std::string screen;
    ASSERT_TRUE(tmux_.WaitForText("COMs should be released first", ScreenMs, &screen)) << screen;
    EXPECT_NE(screen.find(" Error "), std::string::npos) << screen;  // the default caption
    EXPECT_NE(screen.find("(X) COMs should be released first"), std::string::npos) << screen;
    EXPECT_NE(screen.find("[ OK ]"), std::string::npos) << screen;
    ASSERT_TRUE(tmux_.SendKeys({"Enter"}));
    ASSERT_TRUE(tmux_.WaitForScreen(
        [](const std::string& s) { return s.find("COMs should be released") == std::string::npos; }, ScreenMs,
        &screen))
        << screen;
    ProgramResult result = send->Wait(ExitMs);
    EXPECT_EQ(result.out, "1\n");
    EXPECT_EQ(result.status, 1);
    ASSERT_TRUE(tmux_.SendKeys({"C-q"}));
    ExpectEndedAndRestored(0);
}

TEST_F(TerminalProgram, ResizeRunsTheLayoutAgainAndRedraws) {
    ASSERT_TRUE(Launch());
    WaitForStartScreen();
    const std::vector<std::pair<int, int>> sizes = {{100, 30}, {60, 15}, {80, 24}};
    for (auto [width, height] : sizes) {
        ASSERT_TRUE(tmux_.Resize(width, height));
        std::string screen;
        auto laid_out = [&](const std::string& s) {
            auto rows = ScreenRows(s);
            return static_cast<int>(rows.size()) == height && ColumnOf(rows[0], "[OK]") == width - 5 &&
                   rows[static_cast<std::size_t>(height - 1)].rfind(" System ", 0) == 0 &&
                   Columns(rows[static_cast<std::size_t>(height - 2)]) == static_cast<std::size_t>(width);
        };
        ASSERT_TRUE(tmux_.WaitForScreen(laid_out, ScreenMs, &screen)) << width << "x" << height << "\n" << screen;
        EXPECT_EQ(Row(screen, 1).rfind("Korvan Halvik Firmware Utility", 0), 0u) << screen;
    }
    ASSERT_TRUE(tmux_.SendKeys({"C-q"}));
    ExpectEndedAndRestored(0);
}

TEST_F(TerminalProgram, UpdateFromTheMenuShowsMarksLiveAndTheSuccessfulBox) {
    ASSERT_TRUE(Launch());
    WaitForStartScreen();
    ASSERT_TRUE(tmux_.SendKeys({"F10"}));
    ASSERT_TRUE(tmux_.WaitForScreen(MenuShown, ScreenMs));
    ASSERT_TRUE(tmux_.SendKeys({"Enter"}));
    // The marks appear while the image streams: several different counts are seen before the end.
    std::set<std::size_t> counts;
    std::string screen;
    ASSERT_TRUE(tmux_.WaitForScreen(
        [&](const std::string& s) {
            if (s.find("Successful") != std::string::npos) return true;
            if (std::size_t marks = CountOf(s, '#')) counts.insert(marks);
            return false;
        },
        3 * ScreenMs, &screen))
        << screen << run_.Stderr();
    EXPECT_GE(counts.size(), 2u) << "mark counts seen while running: " << counts.size();
    EXPECT_NE(screen.find("Reboot device/Reset module !"), std::string::npos) << screen;
    ASSERT_TRUE(tmux_.SendKeys({"Enter"}));
    ASSERT_TRUE(tmux_.WaitForScreen(
        [](const std::string& s) {
            return s.find("Successful") == std::string::npos && s.find("Firmware Updated....Done") != std::string::npos;
        },
        ScreenMs, &screen))
        << screen;
    // The newest text is in view: the pane followed the caret to the end.
    auto rows = ScreenRows(screen);
    ASSERT_EQ(rows.size(), 24u);
    EXPECT_NE(rows[20].find("Firmware Updated....Done"), std::string::npos) << screen;
    EXPECT_NE(rows[21].find("The module runs the expected firmware"), std::string::npos) << screen;
    ASSERT_TRUE(tmux_.SendKeys({"C-q"}));
    ExpectEndedAndRestored(0);
}

TEST_F(TerminalProgram, SecondStartRingsTheBellAndEndsWith255) {
    ASSERT_TRUE(Launch());
    WaitForStartScreen();
    EXPECT_EQ(tmux_.Format("#{window_bell_flag}"), "0");
    ProgramResult second = RunProgram({"--headless"}, run_.Env(), ExitMs);
    EXPECT_EQ(second.status, 255) << second.err;
    EXPECT_TRUE(WaitUntil([&] { return tmux_.Format("#{window_bell_flag}") == "1"; }, ScreenMs));
    std::string screen = tmux_.Capture();
    EXPECT_NE(Row(screen, 0).find("Firmware Utility"), std::string::npos) << screen;
    ASSERT_TRUE(tmux_.SendKeys({"C-q"}));
    ExpectEndedAndRestored(0);
}

TEST_F(TerminalProgram, CtrlCClosesTheWindowAndRestoresTheTerminal) {
    ASSERT_TRUE(Launch());
    WaitForStartScreen();
    ASSERT_TRUE(tmux_.SendKeys({"C-c"}));
    ExpectEndedAndRestored(0);
}

TEST_F(TerminalProgram, SigtermAndSighupCloseTheWindowAndRestoreTheTerminal) {
    for (int signal_number : {SIGTERM, SIGHUP}) {
        Tmux tmux;
        TerminalRun run;
        ASSERT_TRUE(run.Start(tmux, ShellQuote(FWU_PROGRAM)));
        ASSERT_TRUE(tmux.WaitForText("F10 Menu", ScreenMs));
        int pid = run.Pid();
        ASSERT_GT(pid, 0);
        ASSERT_EQ(::kill(pid, signal_number), 0);
        EXPECT_EQ(run.WaitForExit(ExitMs), 0) << signal_number << run.Stderr();
        EXPECT_EQ(TerminalRestored(tmux, run), "") << signal_number;
    }
}

TEST_F(TerminalProgram, FatalSignalsRestoreTheTerminalAndStillEndTheProcess) {
    for (int signal_number : {SIGABRT, SIGQUIT, SIGSEGV}) {
        Tmux tmux;
        TerminalRun run;
        ASSERT_TRUE(run.Start(tmux, ShellQuote(FWU_PROGRAM)));
        ASSERT_TRUE(tmux.WaitForText("F10 Menu", ScreenMs));
        int pid = run.Pid();
        ASSERT_GT(pid, 0);
        ASSERT_EQ(::kill(pid, signal_number), 0);
        int status = run.WaitForExit(ExitMs);
        // The signal's own end (128 + number), or a sanitizer's report and its exit code.
        EXPECT_NE(status, 0) << signal_number;
        EXPECT_NE(status, -1) << signal_number;
        if (run.Stderr().find("Sanitizer") == std::string::npos) {
            EXPECT_EQ(status, 128 + signal_number);
        }
        EXPECT_EQ(TerminalRestored(tmux, run), "") << signal_number << "\n" << run.SttyModes();
        std::string screen;
        EXPECT_TRUE(tmux.WaitForText("EXIT=", ScreenMs, &screen)) << screen;
        EXPECT_EQ(screen.find("F10 Menu"), std::string::npos) << screen;
    }
}

TEST_F(TerminalProgram, CtrlZGivesTheTerminalBackUntilContinued) {
    ASSERT_TRUE(Launch());
    WaitForStartScreen();
    int pid = run_.Pid();
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(tmux_.SendKeys({"C-z"}));
    ASSERT_TRUE(WaitUntil([&] { return tmux_.Format("#{alternate_on}") == "0"; }, ScreenMs));
    ASSERT_EQ(::kill(pid, SIGCONT), 0);
    std::string screen;
    ASSERT_TRUE(tmux_.WaitForText("F10 Menu", ScreenMs, &screen)) << screen;
    EXPECT_NE(screen.find("<< Firmware Version: V.4.2.0 >>"), std::string::npos) << screen;
    ASSERT_TRUE(tmux_.SendKeys({"C-q"}));
    ExpectEndedAndRestored(0);
}

}  // namespace
