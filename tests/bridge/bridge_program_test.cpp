// `firmware-utility bridge` against the simulated handset: a host program on the far end of
// the IrDA port talks to the simulated module's AT port through the bridge, and a signal
// closes the window, which releases the bridge.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "sim/sim.h"
#include "tests/support/far_end.h"
#include "tests/support/program.h"
#include "tests/support/pty.h"

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

// A peer port that goes away ends a bridge with 1; with --reopen the bridge waits for the same
// port and relays again once it is back, every byte intact.
TEST_F(BridgeProgramTest, ALostPortEndsTheBridgeOrComesBackUnderReopen) {
    for (bool reopen : {false, true}) {
        SCOPED_TRACE(reopen ? "--reopen" : "without --reopen");
        auto peer = std::make_unique<fwu_test::Pty>();
        ASSERT_TRUE(peer->ok());
        const std::string link = runtime_.path() + "/ttyPeer";
        ::unlink(link.c_str());
        ASSERT_EQ(::symlink(peer->slave(), link.c_str()), 0);
        const std::string profile = runtime_.path() + "/peer.prof";
        {
            std::FILE* file = std::fopen(profile.c_str(), "w");
            ASSERT_NE(file, nullptr);
            std::fprintf(file, "[devices]\nCOM2: = %s\nCOM3: = %s\n[registry]\n"
                               "HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial\\Index = 2\n",
                         handset_.DevicePath("COM2:").c_str(), link.c_str());
            std::fclose(file);
        }
        std::vector<std::string> args{"bridge", "--profile", profile};
        if (reopen) args.push_back("--reopen");
        fwu_test::RunningProgram program(args, Environment());
        ASSERT_TRUE(program.WaitForOutput("Stopbits:1,Databits:8\r\n")) << program.out() << program.err();
        peer->CloseMaster();
        ASSERT_TRUE(program.WaitForOutput("COM3: was lost, relaying stopped\r\n")) << program.out();
        if (!reopen) {
            EXPECT_EQ(program.Wait().status, 1) << program.err();
            continue;
        }
        peer = std::make_unique<fwu_test::Pty>();
        ASSERT_TRUE(peer->ok());
        ASSERT_EQ(::unlink(link.c_str()), 0);
        ASSERT_EQ(::symlink(peer->slave(), link.c_str()), 0);
        ASSERT_TRUE(program.WaitForOutput("COM3: is back, relaying again\r\nBaudrate:115200,Parity:none\r\nStopbits:1,Databits:8\r\n"))
            << program.out();
        ASSERT_TRUE(peer->Send({'A', 'T', '\r'}));
        EXPECT_EQ(ReadUntil(peer->master(), "OK\r\n"), "\r\nOK\r\n");
        program.Signal(SIGTERM);
        EXPECT_EQ(program.Wait().status, 0) << program.err();
    }
}

}  // namespace
