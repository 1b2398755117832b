// Commands that reach the window while a box is open, in a real terminal (tmux): each is carried
// out at once and `send` gets its answer while the box stays up; a `send` whose own command
// opened the box gets its answer when the box closes.
#include <gtest/gtest.h>

#include <memory>

#include "tests/support/program.h"
#include "tests/support/terminal_screen.h"
#include "tests/support/tmux.h"
#include "resources/commands.h"

namespace {

using namespace fwu_test;

constexpr int ScreenMs = 60000;  // generous: sanitizer builds on a busy machine
constexpr int SendMs = 20000;    // bounded: a send that never returns fails the test

class ModalCommands : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(run_.Start(tmux_, ShellQuote(FWU_PROGRAM)));
        std::string screen;
        ASSERT_TRUE(tmux_.WaitForText("<< Firmware Version: V.4.2.0 >>", ScreenMs, &screen)) << screen << run_.Stderr();
    }
    void TearDown() override {
        ASSERT_TRUE(tmux_.SendKeys({"C-q"}));
        EXPECT_EQ(run_.WaitForExit(ScreenMs), 0) << run_.Stderr();
    }
    std::unique_ptr<RunningProgram> Send(int id) {
        return std::make_unique<RunningProgram>(std::vector<std::string>{"send", std::to_string(id)}, run_.Env());
    }
    // `send ID` answers `result` while the box showing `box_text` stays up.
    void ExpectAnsweredUnderTheBox(int id, int result, const std::string& box_text) {
        ProgramResult sent = RunProgram({"send", std::to_string(id)}, run_.Env(), SendMs);
        EXPECT_EQ(sent.status, result) << id << ": " << sent.err;
        EXPECT_EQ(sent.out, std::to_string(result) + "\n") << id;
        EXPECT_NE(tmux_.Capture().find(box_text), std::string::npos) << "the box is still open";
    }
    // Enter closes the box; the send that opened it answers then.
    void CloseBox(RunningProgram* opener, const std::string& box_text, int result) {
        ASSERT_TRUE(tmux_.SendKeys({"Enter"}));
        std::string screen;
        EXPECT_TRUE(tmux_.WaitForScreen([&](const std::string& s) { return s.find(box_text) == std::string::npos; },
                                        ScreenMs, &screen))
            << screen;
        ProgramResult answer = opener->Wait(SendMs);
        EXPECT_EQ(answer.status, result) << answer.err;
        EXPECT_EQ(answer.out, std::to_string(result) + "\n");
    }
    Tmux tmux_;
    TerminalRun run_;
};

TEST_F(ModalCommands, CommandsUnderTheAboutBoxRunAtOnce) {
    const std::string box = "Zamtalk - Written for Ondra";
    auto about = Send(commands::About);
    std::string screen;
    ASSERT_TRUE(tmux_.WaitForText(box, ScreenMs, &screen)) << screen << run_.Stderr();
    ExpectAnsweredUnderTheBox(commands::ResumeRadio, 0, box);
    ExpectAnsweredUnderTheBox(commands::ResetModule, 0, box);
    EXPECT_TRUE(tmux_.WaitForText("GSM/GPRS has been reset", ScreenMs, &screen)) << screen;
    ExpectAnsweredUnderTheBox(commands::DisplayBoth, 0, box);
    CloseBox(about.get(), box, 0);
}

// The bridge is released from another terminal while a box shows (here the stop box of a peer
// change refused while the ports are held).
TEST_F(ModalCommands, TheBridgeIsReleasedWhileABoxShows) {
    ProgramResult bridge = RunProgram({"send", fwu_test::Id(commands::StartBridge)}, run_.Env(), SendMs);
    ASSERT_EQ(bridge.status, 0) << bridge.err;
    const std::string box = "COMs should be released first";
    auto refused = Send(commands::PeerBluetooth);
    std::string screen;
    ASSERT_TRUE(tmux_.WaitForText(box, ScreenMs, &screen)) << screen;
    ExpectAnsweredUnderTheBox(commands::ReleaseBridge, 0, box);
    EXPECT_TRUE(tmux_.WaitForText("COMs released, R/W threads stopped", ScreenMs, &screen)) << screen;
    CloseBox(refused.get(), box, 1);
    // Released for good: the peer can be changed now.
    ProgramResult changed = RunProgram({"send", fwu_test::Id(commands::PeerBluetooth)}, run_.Env(), SendMs);
    EXPECT_EQ(changed.status, 0) << changed.err;
}

}  // namespace
