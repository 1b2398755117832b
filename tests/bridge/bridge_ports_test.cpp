// Command 153's open half and command 155, over pseudo-terminals named by a test profile: the
// registry lookup, every open and failure line, the line settings, the half-open bridge, and
// starting twice or again after a release.
#include <memory>

#include "bridge/relay.h"
#include "bridge_support.h"
#include "platform/testing.h"
#include "shell/options.h"
#include "resources/commands.h"

namespace {

using bridge_test::TestPty;
using bridge_test::TestWindow;

constexpr const char* Started = "Baudrate:115200,Parity:none\r\nStopbits:1,Databits:8\r\n";
constexpr const char* Released = "COMs released, R/W threads stopped\r\n";
constexpr const char* HalfOpen = "one of the handles is INVALID_HANDLE_VALUE\r\n";

bool Running(platform::Handle thread) {
    std::uint32_t code = 0;
    return platform::GetExitCodeThread(thread, &code) && code == platform::StillActive;
}

class BridgePortsTest : public ::testing::Test {
protected:
    void SetUp() override {
        gsm_ = bridge_test::MakePty();
        bt_ = bridge_test::MakePty();
        irda_ = bridge_test::MakePty();
        ir_ = bridge_test::MakePty();
        shell::BridgePeer.store(3);
        shell::DisplayMode.store(3);
        window_ = std::make_unique<TestWindow>();
        ASSERT_NE(window_->main(), 0u);
        ASSERT_NE(window_->pane(), 0u);
        tasks_ = bridge_test::CountTasks();
    }
    void TearDown() override {
        window_->Command(commands::ReleaseBridge);
        EXPECT_TRUE(bridge_test::RelayThreadsFinished(tasks_));
        window_.reset();
        for (TestPty* pty : {&gsm_, &bt_, &irda_, &ir_}) bridge_test::ClosePty(pty);
        shell::BridgePeer.store(3);
    }

    // Devices COM2: (GSM side), COM4: (Bluetooth), COM3: (IrDA), COM5: (IR), plus `registry`.
    void Profile(const std::string& registry, const std::string& gsm_name = "COM2:") {
        bridge_test::UseProfile("[devices]\n" + gsm_name + " = " + gsm_.slave_path + "\nCOM4: = " + bt_.slave_path +
                                "\nCOM3: = " + irda_.slave_path + "\nCOM5: = " + ir_.slave_path + "\n[registry]\n" +
                                registry);
    }
    static std::string Serial(const std::string& value) {
        return "HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial\\" + value + "\n";
    }
    static std::string Serial2(const std::string& value) {
        return "HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial2\\" + value + "\n";
    }
    // Runs a command and gives its result and the lines it logged.
    std::intptr_t Run(std::uint16_t id, std::string* lines) {
        std::size_t before = window_->Log().size();
        std::intptr_t result = window_->Command(id);
        *lines = window_->Log().substr(before);
        return result;
    }
    // Sends bytes in at one far end and expects them out of the other.
    void ExpectRelayed(TestPty& from, TestPty& to, const std::string& bytes) {
        ASSERT_TRUE(bridge_test::WriteAll(from.master, bytes.data(), bytes.size()));
        std::string got(bytes.size(), '\0');
        ASSERT_TRUE(bridge_test::ReadExactly(to.master, got.data(), got.size()));
        EXPECT_EQ(got, bytes);
    }

    TestPty gsm_, bt_, irda_, ir_;
    std::unique_ptr<TestWindow> window_;
    int tasks_ = 0;
};

TEST_F(BridgePortsTest, IndexSevenOpensComSevenAndTheIrdaPeer) {
    Profile(Serial("Index = 7"), "COM7:");
    std::string lines;
    EXPECT_EQ(Run(commands::StartBridge, &lines), 0);
    EXPECT_EQ(lines, std::string("COM7: opened\r\nIRDA(COM3:) opened\r\n") + Started);
    EXPECT_NE(bridge::GsmPort.load(), platform::InvalidHandle);
    EXPECT_NE(bridge::PeerPort.load(), platform::InvalidHandle);
    EXPECT_EQ(bridge::RelayRunning.load(), 1);
    EXPECT_TRUE(Running(bridge::GsmToPeerThread.load()));
    EXPECT_TRUE(Running(bridge::PeerToGsmThread.load()));
    ExpectRelayed(gsm_, irda_, "AT\r");
    ExpectRelayed(irda_, gsm_, "\r\nOK\r\n");
}

TEST_F(BridgePortsTest, GsmSideGetsTheBridgeSettingsAndTheIrdaPeerKeepsItsOwn) {
    Profile(Serial("Index = 2"));
    std::string lines;
    ASSERT_EQ(Run(commands::StartBridge, &lines), 0);
    termios gsm{}, irda{};
    ASSERT_EQ(::tcgetattr(gsm_.held_slave, &gsm), 0);
    ASSERT_EQ(::tcgetattr(irda_.held_slave, &irda), 0);
    EXPECT_EQ(::cfgetospeed(&gsm), static_cast<speed_t>(B115200));
    EXPECT_EQ(gsm.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(gsm.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(gsm.c_iflag & (IXON | IXOFF | INPCK), 0u);
    EXPECT_EQ(::cfgetospeed(&irda), static_cast<speed_t>(B9600));  // the driver's, untouched
    platform::CommTimeouts timeouts{};
    ASSERT_TRUE(platform::GetCommTimeouts(bridge::GsmPort.load(), &timeouts));
    EXPECT_EQ(timeouts.read_interval, 0u);
    EXPECT_EQ(timeouts.read_total_multiplier, 0u);
    EXPECT_EQ(timeouts.read_total_constant, 1u);
    EXPECT_EQ(timeouts.write_total_multiplier, 0u);
    EXPECT_EQ(timeouts.write_total_constant, 0u);
}

TEST_F(BridgePortsTest, BluetoothPeerIsFoundThroughSerial2AndConfigured) {
    Profile(Serial("Index = 2") + Serial2("Index = 4"));
    shell::BridgePeer.store(1);
    std::string lines;
    EXPECT_EQ(Run(commands::StartBridge, &lines), 0);
    EXPECT_EQ(lines, std::string("COM2: opened\r\nCOM4: opened\r\n") + Started);
    termios bt{};
    ASSERT_EQ(::tcgetattr(bt_.held_slave, &bt), 0);
    EXPECT_EQ(::cfgetospeed(&bt), static_cast<speed_t>(B115200));
    ExpectRelayed(bt_, gsm_, "ATI\r");
    ExpectRelayed(gsm_, bt_, "\r\nOK\r\n");
}

TEST_F(BridgePortsTest, IrPeerIsComFive) {
    Profile(Serial("Index = 2"));
    shell::BridgePeer.store(2);
    std::string lines;
    EXPECT_EQ(Run(commands::StartBridge, &lines), 0);
    EXPECT_EQ(lines, std::string("COM2: opened\r\nCOM5: (IR)opened\r\n") + Started);
    ExpectRelayed(ir_, gsm_, "AT\r");
}

TEST_F(BridgePortsTest, IndexTenOrMoreGivesTheEmptyName) {
    Profile(Serial("Index = 10"));
    std::string lines;
    EXPECT_EQ(Run(commands::StartBridge, &lines), 1);
    EXPECT_EQ(lines, std::string("Open FF() failed.\r\nIRDA(COM3:) opened\r\n") + HalfOpen);
}

TEST_F(BridgePortsTest, MissingIndexValueGivesTheEmptyName) {
    Profile(Serial("Other = 2"));
    std::string lines;
    EXPECT_EQ(Run(commands::StartBridge, &lines), 1);
    EXPECT_EQ(lines, std::string("Open FF() failed.\r\nIRDA(COM3:) opened\r\n") + HalfOpen);
}

TEST_F(BridgePortsTest, MissingKeyGivesTheEmptyName) {
    Profile(Serial2("Index = 4"));
    std::string lines;
    EXPECT_EQ(Run(commands::StartBridge, &lines), 1);
    EXPECT_EQ(lines, std::string("Open FF() failed.\r\nIRDA(COM3:) opened\r\n") + HalfOpen);
}

TEST_F(BridgePortsTest, BluetoothWithoutKeyOrValueFailsWithTheEmptyName) {
    Profile(Serial("Index = 2"));
    shell::BridgePeer.store(1);
    std::string lines;
    EXPECT_EQ(Run(commands::StartBridge, &lines), 1);
    EXPECT_EQ(lines, std::string("COM2: opened\r\nOpen BT() failed.\r\n") + HalfOpen);
    window_->Command(commands::ReleaseBridge);
    Profile(Serial("Index = 2") + Serial2("Other = 4"));
    EXPECT_EQ(Run(commands::StartBridge, &lines), 1);
    EXPECT_EQ(lines, std::string("COM2: opened\r\nOpen BT() failed.\r\n") + HalfOpen);
    EXPECT_EQ(bridge::PeerPort.load(), platform::InvalidHandle);
}

TEST_F(BridgePortsTest, BluetoothIndexOfAMissingDeviceNamesIt) {
    Profile(Serial("Index = 2") + Serial2("Index = 6"));
    shell::BridgePeer.store(1);
    std::string lines;
    EXPECT_EQ(Run(commands::StartBridge, &lines), 1);
    EXPECT_EQ(lines, std::string("COM2: opened\r\nOpen BT(COM6:) failed.\r\n") + HalfOpen);
}

TEST_F(BridgePortsTest, NamesOtherThanFfuartTakeTheBluetoothRow) {
    Profile(Serial("Index = 2"));
    std::string lines;
    window_->RunOnWindowThread([&] { EXPECT_EQ(bridge::OpenBridgePort(window_->main(), "ffuart"), 0); });
    lines = window_->Log();
    EXPECT_EQ(lines, "Open BT() failed.\r\n");
    EXPECT_EQ(bridge::GsmPort.load(), platform::InvalidHandle);
    EXPECT_EQ(bridge::PeerPort.load(), platform::InvalidHandle);
}

TEST_F(BridgePortsTest, GsmFailsWhilePeerOpensAndThePeerIsHeldUntilRelease) {
    Profile(Serial("Index = 8"));  // no COM8: on this handset
    const platform::Handle threads_before = bridge::GsmToPeerThread.load();
    std::string lines;
    EXPECT_EQ(Run(commands::StartBridge, &lines), 1);
    EXPECT_EQ(lines, std::string("Open FF(COM8:) failed.\r\nIRDA(COM3:) opened\r\n") + HalfOpen);
    EXPECT_EQ(bridge::GsmPort.load(), platform::InvalidHandle);
    EXPECT_NE(bridge::PeerPort.load(), platform::InvalidHandle);
    EXPECT_EQ(bridge::RelayRunning.load(), 0);
    EXPECT_EQ(bridge::GsmToPeerThread.load(), threads_before);  // no relay thread started
    // Still held: a second open of the IrDA port is refused.
    platform::Handle again = platform::OpenDevice("COM3:");
    EXPECT_EQ(again, platform::InvalidHandle);
    EXPECT_EQ(platform::GetLastError(), static_cast<std::uint32_t>(EBUSY));
    EXPECT_EQ(Run(commands::ReleaseBridge, &lines), 0);
    EXPECT_EQ(lines, Released);
    EXPECT_EQ(bridge::PeerPort.load(), platform::InvalidHandle);
    again = platform::OpenDevice("COM3:");  // let go at once
    EXPECT_NE(again, platform::InvalidHandle);
    platform::CloseHandle(again);
}

TEST_F(BridgePortsTest, StartingTwiceReopensNothingAndStartsNoThread) {
    Profile(Serial("Index = 2"));
    std::string lines;
    ASSERT_EQ(Run(commands::StartBridge, &lines), 0);
    const platform::Handle gsm = bridge::GsmPort.load(), peer = bridge::PeerPort.load();
    const platform::Handle out = bridge::GsmToPeerThread.load(), in = bridge::PeerToGsmThread.load();
    EXPECT_EQ(Run(commands::StartBridge, &lines), 0);
    EXPECT_EQ(lines, std::string("Open FF(COM2:) failed.\r\nOpen IRDA(COM3:) failed.\r\n") + Started);
    EXPECT_EQ(bridge::GsmPort.load(), gsm);
    EXPECT_EQ(bridge::PeerPort.load(), peer);
    EXPECT_EQ(bridge::GsmToPeerThread.load(), out);
    EXPECT_EQ(bridge::PeerToGsmThread.load(), in);
    ExpectRelayed(gsm_, irda_, "still one relay each way");
    ExpectRelayed(irda_, gsm_, "and back");
}

TEST_F(BridgePortsTest, StartReleaseStartRunsFreshThreads) {
    Profile(Serial("Index = 2"));
    std::string lines;
    ASSERT_EQ(Run(commands::StartBridge, &lines), 0);
    const platform::Handle out = bridge::GsmToPeerThread.load(), in = bridge::PeerToGsmThread.load();
    EXPECT_EQ(Run(commands::ReleaseBridge, &lines), 0);
    EXPECT_EQ(lines, Released);
    EXPECT_EQ(bridge::GsmPort.load(), platform::InvalidHandle);
    EXPECT_EQ(bridge::PeerPort.load(), platform::InvalidHandle);
    EXPECT_EQ(bridge::RelayRunning.load(), 0);
    EXPECT_FALSE(Running(out));  // terminated: its exit code reads 0 at once
    EXPECT_FALSE(Running(in));
    EXPECT_EQ(Run(commands::StartBridge, &lines), 0);
    EXPECT_EQ(lines, std::string("COM2: opened\r\nIRDA(COM3:) opened\r\n") + Started);
    EXPECT_NE(bridge::GsmToPeerThread.load(), out);
    EXPECT_NE(bridge::PeerToGsmThread.load(), in);
    EXPECT_TRUE(Running(bridge::GsmToPeerThread.load()));
    EXPECT_TRUE(Running(bridge::PeerToGsmThread.load()));
    ExpectRelayed(gsm_, irda_, "fresh");
    ExpectRelayed(irda_, gsm_, "threads");
}

TEST_F(BridgePortsTest, ReleaseWithNothingOpenStillLogs) {
    Profile(Serial("Index = 2"));
    std::string lines;
    EXPECT_EQ(Run(commands::ReleaseBridge, &lines), 0);
    EXPECT_EQ(lines, Released);
}

TEST_F(BridgePortsTest, ThreadCreationFailureSkipsTheSuccessLineAndALaterStartRetries) {
    Profile(Serial("Index = 2"));
    platform::InjectFault(platform::Fault::ThreadCreate, 1);
    std::string lines;
    EXPECT_EQ(Run(commands::StartBridge, &lines), 0);
    EXPECT_EQ(lines, "COM2: opened\r\nIRDA(COM3:) opened\r\n");
    EXPECT_EQ(bridge::GsmToPeerThread.load(), 0);
    EXPECT_EQ(bridge::RelayRunning.load(), 1);
    EXPECT_EQ(Run(commands::StartBridge, &lines), 0);
    EXPECT_EQ(lines, std::string("Open FF(COM2:) failed.\r\nOpen IRDA(COM3:) failed.\r\n") + Started);
    ExpectRelayed(gsm_, irda_, "retried");
    platform::ClearFaults();
}

}  // namespace
