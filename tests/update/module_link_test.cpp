// The module link against a real pseudo-terminal named "COM1:" in the profile: the open with its
// settings and trace, the failure paths, the wait for an expected byte (bytes before it dropped,
// bytes after it left queued, breaks, silence, a far end that goes away), and the traced sends.
#include <asm/termbits.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/devices/devices.h"
#include "platform/base/sys.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "tests/support/pty.h"
#include "tests/support/trace_file.h"
#include "update/cechat.h"
#include "update/run.h"

namespace {

using namespace platform;
using namespace update;
using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

class ModuleLinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        Profile profile;
        profile.path = "test";
        profile.devices["COM1:"] = pty.slave();
        SetProfile(profile);
        ASSERT_TRUE(trace.Restart());
    }
    void TearDown() override {
        CloseModuleLink();
        UpdateRunOf().options.module_timeout_ms = 10000;
        ClearFaults();
        SetProfile(Profile{});
    }
    std::string Trace() { return trace.Text(); }
    void RestartTrace() { ASSERT_TRUE(trace.Restart()); }  // truncates

    fwu_test::Pty pty;
    fwu_test::TraceFile trace;
};

TEST_F(ModuleLinkTest, OpenTracesConfiguresAndMakesANewRecordCurrent) {
    ASSERT_EQ(OpenModuleLink(), 1);
    EXPECT_EQ(Trace(), "Open : COM1:\r\n");
    ModuleLink* link = CurrentModuleLink.load();
    ASSERT_NE(link, nullptr);
    EXPECT_STREQ(link->PortName, "COM1:");
    EXPECT_NE(link->PortHandle.load(), 0);
    EXPECT_EQ(ModulePort(), link->PortHandle.load());
    EXPECT_EQ(link->LineSettings.baud_rate, 115200u);
    EXPECT_EQ(link->LineSettings.stop_bits, 1);
    EXPECT_EQ(link->LineSettings.dtr_control, 1u);
    EXPECT_EQ(link->LineSettings.rts_control, 1u);
    EXPECT_EQ(link->LineSettings.tx_continue_on_xoff, 1u);
    EXPECT_EQ(link->LineSettings.length, sizeof(Dcb));

    termios2 t{};
    ASSERT_EQ(::ioctl(pty.master(), TCGETS2, &t), 0);  // a pty master reports its slave's settings
    EXPECT_EQ(t.c_cflag & CBAUD, static_cast<tcflag_t>(B115200));
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);  // one and a half stop bits: two
    CommTimeouts timeouts{};
    ASSERT_TRUE(GetCommTimeouts(ModulePort(), &timeouts));
    EXPECT_EQ(timeouts.read_interval, MaxDword);
    EXPECT_EQ(timeouts.read_total_multiplier, 0u);
    EXPECT_EQ(timeouts.read_total_constant, 0u);
    EXPECT_EQ(timeouts.write_total_multiplier, 10u);
    EXPECT_EQ(timeouts.write_total_constant, 1000u);

    CloseModuleLink();
    EXPECT_EQ(CurrentModuleLink.load(), link);  // the record stays current after the close
    EXPECT_EQ(link->PortHandle.load(), 0);
    ASSERT_EQ(OpenModuleLink(), 1);
    EXPECT_NE(CurrentModuleLink.load(), link);  // every open makes a new record
    EXPECT_EQ(link->PortHandle.load(), 0);
}

TEST_F(ModuleLinkTest, HeldPortFailsWithTheTextOnTheTrace) {
    Handle holder = internal::OpenSerialPort(pty.slave());
    ASSERT_NE(holder, InvalidHandle);
    EXPECT_EQ(OpenModuleLink(), 0);
    EXPECT_EQ(ModulePort(), 0);
    EXPECT_EQ(Trace(), "Open : COM1:\r\nError (16: Device or resource busy) opening COM1:\r\nCOM1: (" +
                           std::string(pty.slave()) + "): Device or resource busy: held by process " +
                           std::to_string(::getpid()) + " (module_link_test), this program; close that program first (a "
                           "modem manager: inhibit it, see examples/)\r\n");
    CloseHandle(holder);
}

TEST_F(ModuleLinkTest, MissingDeviceFailsWithTheTextOnTheTrace) {
    SetProfile(Profile{});
    EXPECT_EQ(OpenModuleLink(), 0);
    EXPECT_EQ(ModulePort(), 0);
    EXPECT_EQ(Trace(), "Open : COM1:\r\nError (2: No such file or directory) opening COM1:\r\nCOM1: has no entry in the "
                       "profile's [devices]; add `COM1: = /dev/...`; see `firmware-utility ports` for the serial ports of "
                       "this machine\r\n");
}

// Refuses the module link's baud rate, as a device that cannot do it would.
int (*real_ioctl)(int, unsigned long, void*) = nullptr;
int RefuseFastLine(int fd, unsigned long request, void* argument) {
    if (request == TCSETS2 && (static_cast<termios2*>(argument)->c_cflag & CBAUD) == B115200) {
        errno = EINVAL;
        return -1;
    }
    return real_ioctl(fd, request, argument);
}

TEST_F(ModuleLinkTest, SettingsRefusedClosesThePort) {
    real_ioctl = internal::SysCalls().ioctl;
    internal::SysCalls().ioctl = RefuseFastLine;
    std::int32_t opened = OpenModuleLink();
    internal::SysCalls().ioctl = real_ioctl;
    EXPECT_EQ(opened, 0);
    EXPECT_EQ(ModulePort(), 0);
    EXPECT_EQ(Trace(), "Open : COM1:\r\nError (22: Invalid argument) configuring COM1:\r\n");
    Handle again = internal::OpenSerialPort(pty.slave());  // not left held
    EXPECT_NE(again, InvalidHandle);
    CloseHandle(again);
}

TEST_F(ModuleLinkTest, RecordCannotBeAllocated) {
    InjectFault(Fault::LocalAlloc);
    EXPECT_EQ(OpenModuleLink(), 0);
    EXPECT_EQ(CurrentModuleLink.load(), nullptr);
    EXPECT_EQ(ModulePort(), 0);
    UpdateRunOf().options.module_timeout_ms = 50;
    EXPECT_EQ(WaitForModuleByte(0xA0), 0);  // no link: an empty wait, no crash
    CloseModuleLink();
}

TEST_F(ModuleLinkTest, BytesBeforeTheExpectedOneAreTracedAndDropped) {
    ASSERT_EQ(OpenModuleLink(), 1);
    RestartTrace();
    ASSERT_TRUE(pty.Send({0x12, 0x34, 0xA0}));
    EXPECT_EQ(WaitForModuleByte(0xA0), 1);
    EXPECT_EQ(Trace(),
              "Waiting for char -> A0 h\r\n"
              "A byte got from TRX37A : \x12 , 12 h\r\n"
              "A byte got from TRX37A : 4 , 34 h\r\n"
              "A byte got from TRX37A : \xC2\xA0 , A0 h\r\n");
    std::uint8_t buffer[4];
    std::uint32_t got = 9;
    ASSERT_TRUE(ReadFile(ModulePort(), buffer, sizeof buffer, &got));
    EXPECT_EQ(got, 0u);  // the two others are gone
}

TEST_F(ModuleLinkTest, ExpectedSecondOfTwoLeavesLaterBytesQueued) {
    ASSERT_EQ(OpenModuleLink(), 1);
    RestartTrace();
    ASSERT_TRUE(pty.Send({0x11, 0xA5, 0x77, 0x88}));
    EXPECT_EQ(WaitForModuleByte(0x1A5), 1);  // only the low 8 bits count
    EXPECT_EQ(Trace(),
              "Waiting for char -> A5 h\r\n"
              "A byte got from TRX37A : \x11 , 11 h\r\n"
              "A byte got from TRX37A : \xC2\xA5 , A5 h\r\n");
    std::uint8_t buffer[4];
    std::uint32_t got = 0;
    ASSERT_TRUE(ReadFile(ModulePort(), buffer, sizeof buffer, &got));
    ASSERT_EQ(got, 2u);
    EXPECT_EQ(buffer[0], 0x77);
    EXPECT_EQ(buffer[1], 0x88);
}

TEST_F(ModuleLinkTest, ExpectedByteArrivingLaterEndsTheWait) {
    ASSERT_EQ(OpenModuleLink(), 1);
    std::thread module([&] {
        pty.Send({0x12});
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty.Send({0xA0});
    });
    EXPECT_EQ(WaitForModuleByte(0xA0), 1);
    module.join();
}

TEST_F(ModuleLinkTest, SilenceEndsTheWaitAfterTheBound) {
    ASSERT_EQ(OpenModuleLink(), 1);
    RestartTrace();
    UpdateRunOf().options.module_timeout_ms = 150;
    auto start = Clock::now();
    EXPECT_EQ(WaitForModuleByte(0xA0), 0);
    EXPECT_GE(MsSince(start), 150);
    EXPECT_EQ(Trace(), "Waiting for char -> A0 h\r\nNone byte got from TRX36 !!\r\n");
}

TEST_F(ModuleLinkTest, SilenceAfterAWrongByteEndsTheReadLoop) {
    ASSERT_EQ(OpenModuleLink(), 1);
    RestartTrace();
    UpdateRunOf().options.module_timeout_ms = 150;
    ASSERT_TRUE(pty.Send({0x12}));
    std::clock_t cpu = std::clock();
    EXPECT_EQ(WaitForModuleByte(0xA0), 0);
    // The loop slept in the event wait instead of reading again and again.
    EXPECT_LT(static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC, 0.1);
    EXPECT_EQ(Trace(),
              "Waiting for char -> A0 h\r\n"
              "A byte got from TRX37A : \x12 , 12 h\r\n"
              "None byte got from TRX36 !!\r\n");
}

TEST_F(ModuleLinkTest, BreakAloneClearsTheErrorAndReturnsZero) {
    ASSERT_EQ(OpenModuleLink(), 1);
    RestartTrace();
    InjectFault(Fault::SerialBreak);
    EXPECT_EQ(WaitForModuleByte(0xA0), 0);
    EXPECT_EQ(Trace(), "Waiting for char -> A0 h\r\nNone byte got from TRX36 !!\r\n");
    std::uint32_t errors = 99;
    ComStat status{};
    ASSERT_TRUE(ClearCommError(ModulePort(), &errors, &status));
    EXPECT_EQ(errors, 0u);  // the wait cleared it
}

TEST_F(ModuleLinkTest, FramingErrorTogetherWithAByteClearsAndStillReads) {
    ASSERT_EQ(OpenModuleLink(), 1);
    ASSERT_TRUE(pty.Send({0xA0}));
    ASSERT_EQ(pty.Receive(0).size(), 0u);
    // Wait until the byte is queued, so that the error and the byte come together.
    ComStat status{};
    std::uint32_t errors = 0;
    for (int i = 0; i < 1000 && status.in_queue == 0; ++i) {
        ASSERT_TRUE(ClearCommError(ModulePort(), &errors, &status));
        if (status.in_queue == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    InjectFault(Fault::SerialFrameError);
    EXPECT_EQ(WaitForModuleByte(0xA0), 1);
    ASSERT_TRUE(ClearCommError(ModulePort(), &errors, &status));
    EXPECT_EQ(errors, 0u);  // cleared by the wait
}

TEST_F(ModuleLinkTest, FarEndClosedDuringAWaitReturnsZeroAtOnceEveryTime) {
    ASSERT_EQ(OpenModuleLink(), 1);
    UpdateRunOf().options.module_timeout_ms = 600000;
    std::thread unplug([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pty.CloseMaster();
    });
    auto start = Clock::now();
    EXPECT_EQ(WaitForModuleByte(0xA0), 0);
    unplug.join();
    EXPECT_LT(MsSince(start), 60000);  // woken by the hang-up, not by the ten-minute bound
    RestartTrace();
    for (int i = 0; i < 3; ++i) {
        start = Clock::now();
        EXPECT_EQ(WaitForModuleByte(0xA0), 0);
        EXPECT_LT(MsSince(start), 60000);
    }
    std::string trace = Trace();
    std::size_t count = 0;
    for (std::size_t at = trace.find("None byte got"); at != std::string::npos; at = trace.find("None byte got", at + 1)) ++count;
    EXPECT_EQ(count, 3u);
}

TEST_F(ModuleLinkTest, SendTracesTheCountWritten) {
    ASSERT_EQ(OpenModuleLink(), 1);
    RestartTrace();
    SendModuleByte(0x11C);  // only the low 8 bits are sent
    EXPECT_EQ(Trace(), " 1 char : 1C h sent \r\n");
    EXPECT_EQ(pty.Receive(1000, 1), std::vector<std::uint8_t>{0x1C});
}

TEST_F(ModuleLinkTest, SendThatTimesOutTracesZero) {
    ASSERT_EQ(OpenModuleLink(), 1);
    // Fill the line: nobody reads the far end.
    CommTimeouts quick{MaxDword, 0, 0, 0, 100};
    ASSERT_TRUE(SetCommTimeouts(ModulePort(), &quick));
    std::vector<std::uint8_t> fill(1 << 20, 0);
    std::uint32_t written = 0;
    ASSERT_TRUE(WriteFile(ModulePort(), fill.data(), static_cast<std::uint32_t>(fill.size()), &written));
    ASSERT_LT(written, fill.size());
    CommTimeouts link{MaxDword, 0, 0, 10, 1000};
    ASSERT_TRUE(SetCommTimeouts(ModulePort(), &link));
    RestartTrace();
    auto start = Clock::now();
    SendModuleByte(0x1C);
    EXPECT_GE(MsSince(start), 1010);  // 10 x 1 + 1000
    EXPECT_EQ(Trace(), " 0 char : 1C h sent \r\n");
}

TEST_F(ModuleLinkTest, CloseTwiceDoesNothingTheSecondTime) {
    ASSERT_EQ(OpenModuleLink(), 1);
    Handle port = ModulePort();
    CloseModuleLink();
    EXPECT_EQ(ModulePort(), 0);
    EXPECT_FALSE(CloseHandle(port));  // already closed
    CloseModuleLink();
    EXPECT_EQ(ModulePort(), 0);
    Handle again = internal::OpenSerialPort(pty.slave());  // the device is free
    EXPECT_NE(again, InvalidHandle);
    CloseHandle(again);
}

}  // namespace
