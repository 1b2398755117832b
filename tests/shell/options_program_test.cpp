// The option commands on a running window, through `firmware-utility send`: the peer choice
// decides which port the next bridge opens, the display mode silences the relay lines while
// bytes keep flowing, the peer guard and the about box show their boxes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "sim/sim.h"
#include "tests/support/far_end.h"
#include "tests/support/program.h"
#include "resources/commands.h"

namespace {

using fwu_test::ProgramResult;
using fwu_test::RunningProgram;

class OptionsProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(handset_.Start({}, &error)) << error;
    }
    std::vector<std::string> Environment() { return {"FIRMWARE_UTILITY_RUNTIME_DIR=" + runtime_.path()}; }
    ProgramResult Send(int id) { return fwu_test::RunProgram({"send", std::to_string(id)}, Environment()); }
    int Count(const std::string& text, const std::string& what) {
        int n = 0;
        for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    }

    sim::Handset handset_;
    fwu_test::TempDir runtime_;
};

TEST_F(OptionsProgramTest, PeerChoiceDisplayModesGuardAndAboutBox) {
    RunningProgram window({"--headless", "--profile", handset_.ProfilePath()}, Environment());
    ASSERT_TRUE(window.WaitForOutput(">>\r\n")) << window.err();

    // The IR port is the peer of the next bridge.
    EXPECT_EQ(Send(commands::PeerIr).out, "0\n");
    ProgramResult started = Send(commands::StartBridge);
    EXPECT_EQ(started.status, 0);
    ASSERT_TRUE(window.WaitForOutput("Stopbits:1,Databits:8\r\n")) << window.out();
    EXPECT_NE(window.out().find("COM5: (IR)opened\r\n"), std::string::npos) << window.out();

    int host = fwu_test::OpenFarEnd(handset_.PeerFarPath("COM5:"));
    ASSERT_GE(host, 0);
    ASSERT_EQ(::write(host, "AT\r", 3), 3);
    EXPECT_EQ(fwu_test::ReadUntil(host, "OK\r\n"), "\r\nOK\r\n");
    // Each direction logs its own line, in whichever order the two relay threads get there.
    ASSERT_TRUE(window.WaitForOutput(">>> 3 bytes ->BT->FF->\r\n")) << window.out();
    ASSERT_TRUE(window.WaitForOutput("6 bytes <-BT<-FF<- <<<\r\n")) << window.out();

    // Quiet: the bytes still flow, no relay line is logged.
    EXPECT_EQ(Send(commands::DisplayQuiet).out, "0\n");
    const int lines_before = Count(window.out(), " bytes ");
    EXPECT_EQ(lines_before, 2) << window.out();
    ASSERT_EQ(::write(host, "AT\r", 3), 3);
    EXPECT_EQ(fwu_test::ReadUntil(host, "OK\r\n"), "\r\nOK\r\n");

    // The peer cannot change while the bridge holds its ports.
    ProgramResult refused = Send(commands::PeerBluetooth);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, "1\n");
    ASSERT_TRUE(window.WaitForOutput("[Error] COMs should be released first\n")) << window.out();
    EXPECT_EQ(Count(window.out(), " bytes "), lines_before) << window.out();

    // Both directions logged again.
    EXPECT_EQ(Send(commands::DisplayBoth).out, "0\n");
    ASSERT_EQ(::write(host, "AT\r", 3), 3);
    EXPECT_EQ(fwu_test::ReadUntil(host, "OK\r\n"), "\r\nOK\r\n");
    // One line per direction, after the box line.
    const std::string after_box = "COMs should be released first\n";
    auto relay_lines_after_box = [&] {
        const std::string out = window.out();
        return Count(out.substr(out.find(after_box)), " bytes ");
    };
    for (int i = 0; i < 200 && relay_lines_after_box() < 2; ++i) window.WaitForOutput("\x01", 50);
    EXPECT_EQ(relay_lines_after_box(), 2) << window.out();
    EXPECT_EQ(Count(window.out(), " bytes "), lines_before + 2) << window.out();
    ::close(host);

    EXPECT_EQ(Send(commands::About).out, "0\n");
    ASSERT_TRUE(window.WaitForOutput(
        "[About] Zamtalk - Written for Ondra to update phone module firmware and transmit data between "
        "BTUART and FFUART\n"))
        << window.out();

    EXPECT_EQ(Send(commands::ReleaseBridge).out, "0\n");
    EXPECT_EQ(Send(commands::Exit).status, 0);
    EXPECT_EQ(window.Wait().status, 0);
}

}  // namespace
