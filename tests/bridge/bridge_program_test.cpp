// `firmware-utility bridge` against the simulated handset: a host program on the far end of
// the IrDA port talks to the simulated module's AT port through the bridge, and a signal
// closes the window, which releases the bridge.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "sim/sim.h"
#include "tests/support/far_end.h"
#include "tests/support/program.h"

namespace {

using fwu_test::OpenFarEnd;
using fwu_test::ReadUntil;

class BridgeProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(handset_.Start({}, &error)) << error;
        far_ = handset_.PeerFarPath("COM3:");
        ASSERT_FALSE(far_.empty());
    }
    std::vector<std::string> Environment() { return {"FIRMWARE_UTILITY_RUNTIME_DIR=" + runtime_.path()}; }

    sim::Handset handset_;
    fwu_test::TempDir runtime_;
    std::string far_;
};

TEST_F(BridgeProgramTest, AHostOnTheIrdaFarEndTalksToTheModule) {
    fwu_test::RunningProgram program({"bridge", "--profile", handset_.ProfilePath()}, Environment());
    ASSERT_TRUE(program.started());
    ASSERT_TRUE(program.WaitForOutput("Stopbits:1,Databits:8\r\n")) << program.out() << program.err();
    EXPECT_NE(program.out().find("COM2: opened\r\nIRDA(COM3:) opened\r\nBaudrate:115200,Parity:none\r\n"),
              std::string::npos)
        << program.out();

    int host = OpenFarEnd(far_);
    ASSERT_GE(host, 0);
    ASSERT_EQ(::write(host, "AT\r", 3), 3);
    EXPECT_EQ(ReadUntil(host, "OK\r\n"), "\r\nOK\r\n");
    // One line per direction, in whichever order the relay threads get there.
    ASSERT_TRUE(program.WaitForOutput("6 bytes <-BT<-FF<- <<<\r\n")) << program.out();
    EXPECT_TRUE(program.WaitForOutput(">>> 3 bytes ->BT->FF->\r\n")) << program.out();

    program.Signal(SIGINT);
    fwu_test::ProgramResult result = program.Wait();
    EXPECT_EQ(result.status, 0) << result.err;
    ::close(host);
}

TEST_F(BridgeProgramTest, ATerminateSignalWhileRelayingReleasesAndEnds) {
    fwu_test::RunningProgram program({"bridge", "--profile", handset_.ProfilePath()}, Environment());
    ASSERT_TRUE(program.WaitForOutput("Stopbits:1,Databits:8\r\n")) << program.out() << program.err();
    int host = OpenFarEnd(far_);
    ASSERT_GE(host, 0);
    // Keep the module busy answering while the signal comes.
    for (int i = 0; i < 50; ++i) ASSERT_EQ(::write(host, "AT\r", 3), 3);
    ASSERT_TRUE(program.WaitForOutput(" bytes <-BT<-FF<- <<<\r\n")) << program.out();
    program.Signal(SIGTERM);
    fwu_test::ProgramResult result = program.Wait();
    EXPECT_EQ(result.status, 0) << result.err;
    ::close(host);
    // The ports were let go: a second bridge opens both at once.
    fwu_test::RunningProgram again({"bridge", "--profile", handset_.ProfilePath()}, Environment());
    ASSERT_TRUE(again.WaitForOutput("Stopbits:1,Databits:8\r\n")) << again.out() << again.err();
    EXPECT_EQ(again.out().find("failed"), std::string::npos) << again.out();
    again.Signal(SIGINT);
    EXPECT_EQ(again.Wait().status, 0);
}

// A bridge that cannot start ends at once with 1, its pane lines on stdout and the reason
// with its fix on stderr.
TEST_F(BridgeProgramTest, ABridgeThatCannotStartEndsWithOne) {
    const std::string profile = runtime_.path() + "/missing-irda.prof";
    {
        std::FILE* file = std::fopen(profile.c_str(), "w");
        ASSERT_NE(file, nullptr);
        std::fprintf(file, "[devices]\nCOM2: = %s\nCOM3: = %s/ttyIrDA\n[registry]\n"
                           "HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial\\Index = 2\n",
                     handset_.DevicePath("COM2:").c_str(), runtime_.path().c_str());
        std::fclose(file);
    }
    fwu_test::RunningProgram program({"bridge", "--profile", profile}, Environment());
    fwu_test::ProgramResult result = program.Wait(10000);
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_NE(result.out.find("COM2: opened\r\nOpen IRDA(COM3:) failed.\r\none of the handles is INVALID_HANDLE_VALUE\r\n"),
              std::string::npos)
        << result.out;
    EXPECT_NE(result.err.find("firmware-utility: COM3: (" + runtime_.path() +
                              "/ttyIrDA): No such file or directory: no such device; see `firmware-utility ports`"),
              std::string::npos)
        << result.err;
}

}  // namespace
