// The serial port service on real pseudo-terminals: exclusive open, termios mapping, the
// time-out arithmetic (measured loosely), purge-abort, hang-up of the far end, close while
// another thread waits, events, and breaks/framing errors through the fault seam.
#include <gtest/gtest.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/devices/devices.h"
#include "platform/base/sys.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "tests/support/pty.h"

namespace {

using namespace platform;
using Clock = std::chrono::steady_clock;
using fwu_test::Pty;

long MsSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

const auto Errno = [](int code) { return static_cast<std::uint32_t>(code); };

class SerialPort : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(pty.ok());
        port = internal::OpenSerialPort(pty.slave());
        ASSERT_NE(port, InvalidHandle) << "errno " << GetLastError();
    }
    void TearDown() override {
        if (port != InvalidHandle) CloseHandle(port);
        ClearFaults();
    }
    void SetTimeouts(CommTimeouts t) { ASSERT_TRUE(SetCommTimeouts(port, &t)); }

    Pty pty;
    Handle port = InvalidHandle;
};

TEST_F(SerialPort, SecondOpenIsBusyAndCloseFreesTheDeviceAtOnce) {
    EXPECT_EQ(internal::OpenSerialPort(pty.slave()), InvalidHandle);
    EXPECT_EQ(GetLastError(), Errno(EBUSY));
    ASSERT_TRUE(CloseHandle(port));
    port = internal::OpenSerialPort(pty.slave());
    EXPECT_NE(port, InvalidHandle) << "errno " << GetLastError();
}

TEST(SerialOpen, MissingAndNonTtyDevicesFail) {
    EXPECT_EQ(internal::OpenSerialPort("/nonexistent/tty"), InvalidHandle);
    EXPECT_EQ(GetLastError(), Errno(ENOENT));
    EXPECT_EQ(internal::OpenSerialPort("/dev/null"), InvalidHandle);
    EXPECT_EQ(GetLastError(), Errno(ENOTTY));
}

TEST_F(SerialPort, LineSettingsMapOntoTermios) {
    Dcb dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.length = sizeof dcb;
    dcb.baud_rate = 115200;
    dcb.binary = 1;
    dcb.dtr_control = 1;
    dcb.rts_control = 1;
    dcb.tx_continue_on_xoff = 1;
    dcb.byte_size = 8;
    dcb.parity = 0;
    dcb.stop_bits = 1;  // one and a half: two on Linux
    ASSERT_TRUE(SetCommState(port, &dcb));
    termios t{};
    ASSERT_EQ(::tcgetattr(pty.master(), &t), 0);  // a pty master reports its slave's settings
    EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B115200));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_NE(t.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(t.c_cflag & PARENB, 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    Dcb back{};
    ASSERT_TRUE(GetCommState(port, &back));
    EXPECT_EQ(back.stop_bits, 1);
    EXPECT_EQ(back.baud_rate, 115200u);

    dcb.baud_rate = 921600;
    dcb.stop_bits = 0;
    dcb.parity = 2;
    ASSERT_TRUE(SetCommState(port, &dcb));
    ASSERT_EQ(::tcgetattr(pty.master(), &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B921600));
    EXPECT_EQ(t.c_cflag & CSTOPB, 0u);
    // (A pty forces eight bits without parity, so parity shows only in the record.)
    ASSERT_TRUE(GetCommState(port, &back));
    EXPECT_EQ(back.parity, 2);

    dcb.baud_rate = 12345;
    EXPECT_FALSE(SetCommState(port, &dcb));
    EXPECT_EQ(GetLastError(), Errno(EINVAL));
}

TEST_F(SerialPort, LineFunctionsOnAPtyAreAccepted) {
    EXPECT_TRUE(EscapeCommFunction(port, SetDtr));
    EXPECT_TRUE(EscapeCommFunction(port, SetRts));
    EXPECT_FALSE(EscapeCommFunction(port, 77));
    EXPECT_EQ(GetLastError(), Errno(EINVAL));
    EXPECT_TRUE(SetupComm(port, 32768, 32768));
}

TEST_F(SerialPort, ReadAtOnceReturnsWhatIsQueued) {
    SetTimeouts({MaxDword, 0, 0, 0, 0});
    std::uint8_t buffer[8];
    std::uint32_t got = 99;
    auto start = Clock::now();
    ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &got));
    EXPECT_EQ(got, 0u);
    EXPECT_LT(MsSince(start), 2000);
    ASSERT_TRUE(pty.Send({0x12, 0x34}));
    std::uint32_t events = 0;
    ASSERT_TRUE(SetCommMask(port, EvRxChar));
    ASSERT_TRUE(WaitCommEventFor(port, &events, 5000));
    ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &got));
    ASSERT_EQ(got, 2u);
    EXPECT_EQ(buffer[0], 0x12);
    EXPECT_EQ(buffer[1], 0x34);
}

TEST_F(SerialPort, ReadWithOneMillisecondConstantReturnsSoon) {
    SetTimeouts({0, 0, 1, 0, 0});
    std::uint8_t buffer[8];
    std::uint32_t got = 99;
    auto start = Clock::now();
    ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &got));
    EXPECT_EQ(got, 0u);
    long ms = MsSince(start);
    EXPECT_GE(ms, 1);
    EXPECT_LT(ms, 2000);
}

TEST_F(SerialPort, ReadTotalIsMultiplierTimesCountPlusConstant) {
    SetTimeouts({0, 20, 100, 0, 0});
    std::uint8_t buffer[5];
    std::uint32_t got = 99;
    auto start = Clock::now();
    ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &got));
    EXPECT_EQ(got, 0u);
    EXPECT_GE(MsSince(start), 200);  // 20 x 5 + 100
    EXPECT_LT(MsSince(start), 5000);
}

TEST_F(SerialPort, ReadTotalReturnsWhatArrivedWhenItExpires) {
    SetTimeouts({0, 0, 300, 0, 0});
    ASSERT_TRUE(pty.Send({5, 6}));
    std::uint8_t buffer[10];
    std::uint32_t got = 0;
    auto start = Clock::now();
    ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &got));
    EXPECT_EQ(got, 2u);
    EXPECT_GE(MsSince(start), 300);  // it waited for the other eight
}

TEST_F(SerialPort, ReadWaitingForAFirstByteUpToTheConstant) {
    SetTimeouts({MaxDword, MaxDword, 200, 0, 0});
    std::uint8_t buffer[10];
    std::uint32_t got = 9;
    auto start = Clock::now();
    ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &got));
    EXPECT_EQ(got, 0u);
    EXPECT_GE(MsSince(start), 200);
    ASSERT_TRUE(pty.Send({7}));
    ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &got));  // returns with the first byte
    EXPECT_EQ(got, 1u);
}

TEST_F(SerialPort, ReadIntervalEndsAReadAfterAGap) {
    SetTimeouts({50, 0, 0, 0, 0});
    ASSERT_TRUE(pty.Send({1, 2, 3}));
    std::uint8_t buffer[16];
    std::uint32_t got = 0;
    ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &got));  // no total: waits for a first byte
    EXPECT_EQ(got, 3u);
}

TEST_F(SerialPort, PortWithoutTimeoutsReadsLikeATty) {
    std::thread sender([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pty.Send({0x41});
    });
    std::uint8_t buffer[16];
    std::uint32_t got = 0;
    ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &got));  // blocks until a byte is there
    sender.join();
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(buffer[0], 0x41);
}

TEST_F(SerialPort, WriteGivesUpAfterItsTotalAndReportsTheCount) {
    SetTimeouts({MaxDword, 0, 0, 0, 300});
    std::vector<std::uint8_t> big(1 << 20, 0x55);  // far more than a pty holds; nobody reads
    std::uint32_t sent = 0;
    auto start = Clock::now();
    ASSERT_TRUE(WriteFile(port, big.data(), static_cast<std::uint32_t>(big.size()), &sent));
    EXPECT_GT(sent, 0u);
    EXPECT_LT(sent, big.size());
    EXPECT_GE(MsSince(start), 300);
    // Full queue: a one-byte write times out with a count of 0.
    std::uint8_t one = 0x1C;
    ASSERT_TRUE(WriteFile(port, &one, 1, &sent));
    EXPECT_EQ(sent, 0u);
}

TEST_F(SerialPort, WriteWithoutTimeoutsNeverGivesUp) {
    std::vector<std::uint8_t> big(256 * 1024);
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
    std::vector<std::uint8_t> received;
    std::thread reader([&] {
        // A slow far end: the writer must wait for room again and again.
        while (received.size() < big.size()) {
            auto part = pty.Receive(5000, 4096);
            if (part.empty()) break;
            received.insert(received.end(), part.begin(), part.end());
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::uint32_t sent = 0;
    ASSERT_TRUE(WriteFile(port, big.data(), static_cast<std::uint32_t>(big.size()), &sent));
    reader.join();
    EXPECT_EQ(sent, big.size());
    EXPECT_EQ(received, big);
}

TEST_F(SerialPort, PurgeAbortWakesABlockedReader) {
    std::atomic<bool> returned{false};
    std::atomic<bool> result{true};
    std::atomic<std::uint32_t> error{0};
    std::thread reader([&] {
        std::uint8_t buffer[4];
        std::uint32_t got = 0;
        result = ReadFile(port, buffer, sizeof buffer, &got);  // no time-outs: blocks
        error = GetLastError();
        returned = true;
    });
    // The reader may not be blocked yet when a purge comes: purge until it has returned.
    while (!returned) {
        ASSERT_TRUE(PurgeComm(port, PurgeRxAbort | PurgeRxClear));
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    reader.join();
    EXPECT_FALSE(result);
    EXPECT_EQ(error, Errno(ECANCELED));
}

TEST_F(SerialPort, PurgeClearsTheReceiveQueue) {
    SetTimeouts({MaxDword, 0, 0, 0, 0});
    ASSERT_TRUE(pty.Send({1, 2, 3, 4}));
    ASSERT_TRUE(SetCommMask(port, EvRxChar));
    std::uint32_t events = 0;
    ASSERT_TRUE(WaitCommEventFor(port, &events, 5000));
    ASSERT_TRUE(PurgeComm(port, 15));
    std::uint8_t buffer[8];
    std::uint32_t got = 99;
    ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &got));
    EXPECT_EQ(got, 0u);
    EXPECT_FALSE(PurgeComm(port, 0x10));
    EXPECT_EQ(GetLastError(), Errno(EINVAL));
}

TEST_F(SerialPort, EventsReceivedCharacterAndTimeOut) {
    ASSERT_TRUE(SetCommMask(port, 0xC1));
    std::uint32_t mask = 0;
    ASSERT_TRUE(GetCommMask(port, &mask));
    EXPECT_EQ(mask, 0xC1u);
    std::uint32_t events = 77;
    EXPECT_FALSE(WaitCommEventFor(port, &events, 30));
    EXPECT_EQ(GetLastError(), Errno(ETIMEDOUT));
    EXPECT_EQ(events, 0u);
    ASSERT_TRUE(pty.Send({0x55}));
    ASSERT_TRUE(WaitCommEvent(port, &events));
    EXPECT_EQ(events, EvRxChar);
    // Level-triggered: the byte is still queued, the next wait reports it again.
    ASSERT_TRUE(WaitCommEventFor(port, &events, 5000));
    EXPECT_EQ(events, EvRxChar);
    ASSERT_TRUE(SetCommMask(port, 0));
    EXPECT_FALSE(WaitCommEvent(port, &events));
    EXPECT_EQ(GetLastError(), Errno(EINVAL));
}

TEST_F(SerialPort, MaskChangeReleasesAWaiterWithAnEmptyWord) {
    ASSERT_TRUE(SetCommMask(port, EvRxChar));
    std::atomic<bool> returned{false};
    std::atomic<std::uint32_t> seen{99};
    std::thread waiter([&] {
        std::uint32_t events = 99;
        if (WaitCommEvent(port, &events)) seen = events;
        returned = true;
    });
    while (!returned) {
        SetCommMask(port, EvRxChar);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    waiter.join();
    EXPECT_EQ(seen, 0u);
}

TEST_F(SerialPort, HangUpIsALineErrorOnEveryLaterCall) {
    ASSERT_TRUE(SetCommMask(port, 0xC1));
    std::atomic<std::uint32_t> seen{0};
    std::thread waiter([&] {
        std::uint32_t events = 0;
        if (WaitCommEvent(port, &events)) seen = events;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    pty.CloseMaster();
    waiter.join();  // woken by the hang-up
    EXPECT_EQ(seen, EvErr);
    for (int i = 0; i < 3; ++i) {
        std::uint32_t events = 0;
        auto start = Clock::now();
        ASSERT_TRUE(WaitCommEvent(port, &events));
        EXPECT_EQ(events, EvErr);
        std::uint8_t byte = 0;
        std::uint32_t count = 9;
        EXPECT_FALSE(ReadFile(port, &byte, 1, &count));
        EXPECT_EQ(GetLastError(), Errno(EIO));
        EXPECT_EQ(count, 0u);
        EXPECT_FALSE(WriteFile(port, &byte, 1, &count));
        EXPECT_EQ(GetLastError(), Errno(EIO));
        std::uint32_t errors = 0;
        ComStat status{};
        ASSERT_TRUE(ClearCommError(port, &errors, &status));
        EXPECT_NE(errors & CeIoe, 0u);
        EXPECT_LT(MsSince(start), 2000);
    }
}

TEST_F(SerialPort, HangUpSeenByReadAndWriteWithoutAWait) {
    pty.CloseMaster();
    std::uint8_t byte = 0x55;
    std::uint32_t count = 9;
    EXPECT_FALSE(WriteFile(port, &byte, 1, &count));
    EXPECT_EQ(GetLastError(), Errno(EIO));
    EXPECT_EQ(count, 0u);
    EXPECT_FALSE(ReadFile(port, &byte, 1, &count));
    EXPECT_EQ(GetLastError(), Errno(EIO));
}

TEST_F(SerialPort, CloseWhileAnotherThreadWaits) {
    ASSERT_TRUE(SetCommMask(port, EvRxChar));
    std::atomic<bool> result{true};
    std::atomic<std::uint32_t> error{0};
    std::thread waiter([&] {
        std::uint32_t events = 0;
        result = WaitCommEvent(port, &events);
        error = GetLastError();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(CloseHandle(port));
    Handle old = port;
    port = InvalidHandle;
    waiter.join();
    EXPECT_FALSE(result);
    EXPECT_EQ(error, Errno(EBADF));
    std::uint8_t byte = 0;
    EXPECT_FALSE(WriteFile(old, &byte, 1, nullptr));
    EXPECT_EQ(GetLastError(), Errno(EBADF));
    // The device is free again at once.
    port = internal::OpenSerialPort(pty.slave());
    EXPECT_NE(port, InvalidHandle) << "errno " << GetLastError();
}

TEST_F(SerialPort, BreakAndFramingErrorThroughTheFaultSeam) {
    ASSERT_TRUE(SetCommMask(port, 0xC1));
    InjectFault(Fault::SerialBreak);
    std::uint32_t events = 0;
    ASSERT_TRUE(WaitCommEvent(port, &events));
    EXPECT_EQ(events, EvBreak);
    std::uint32_t errors = 0;
    ASSERT_TRUE(ClearCommError(port, &errors, nullptr));
    EXPECT_EQ(errors, CeBreak);
    ASSERT_TRUE(ClearCommError(port, &errors, nullptr));
    EXPECT_EQ(errors, 0u);  // cleared

    InjectFault(Fault::SerialFrameError);
    ASSERT_TRUE(WaitCommEvent(port, &events));
    EXPECT_EQ(events, EvErr);
    ComStat status{};
    ASSERT_TRUE(ClearCommError(port, &errors, &status));
    EXPECT_EQ(errors, CeFrame);
    EXPECT_EQ(status.in_queue, 0u);
    // Used up: the next wait sees nothing.
    EXPECT_FALSE(WaitCommEventFor(port, &events, 20));
}

// A UART counts breaks and framing errors; the count changing is the event. A pty has no
// counters, so the seam answers TIOCGICOUNT as such a device would.
std::atomic<int> fake_breaks{0}, fake_frames{0}, fake_parity{0};
int (*real_ioctl)(int, unsigned long, void*) = nullptr;
int CountingDevice(int fd, unsigned long request, void* argument) {
    if (request == TIOCGICOUNT) {
        auto* counts = static_cast<serial_icounter_struct*>(argument);
        std::memset(counts, 0, sizeof *counts);
        counts->brk = fake_breaks;
        counts->frame = fake_frames;
        counts->parity = fake_parity;
        return 0;
    }
    return real_ioctl(fd, request, argument);
}

TEST(SerialCounters, DeviceCountedErrorsBecomeEvents) {
    Pty pty;
    ASSERT_TRUE(pty.ok());
    fake_breaks = fake_frames = fake_parity = 0;
    real_ioctl = internal::SysCalls().ioctl;
    internal::SysCalls().ioctl = CountingDevice;
    Handle port = internal::OpenSerialPort(pty.slave());
    ASSERT_NE(port, InvalidHandle);
    ASSERT_TRUE(SetCommMask(port, 0xC1));
    std::uint32_t events = 0;
    EXPECT_FALSE(WaitCommEventFor(port, &events, 300));  // counters unchanged: nothing
    fake_breaks = 1;
    EXPECT_TRUE(WaitCommEventFor(port, &events, 5000));
    EXPECT_EQ(events, EvBreak);
    std::uint32_t errors = 0;
    ASSERT_TRUE(ClearCommError(port, &errors, nullptr));
    EXPECT_EQ(errors, CeBreak);
    // Counted while nobody waits: the next wait reports it at once.
    fake_frames = 2;
    fake_parity = 1;
    ASSERT_TRUE(ClearCommError(port, &errors, nullptr));
    EXPECT_EQ(errors, CeFrame | CeRxParity);
    EXPECT_TRUE(WaitCommEventFor(port, &events, 5000));
    EXPECT_EQ(events, EvErr);
    CloseHandle(port);
    internal::SysCalls().ioctl = real_ioctl;
}

TEST_F(SerialPort, ClearCommErrorReportsQueuedBytes) {
    ASSERT_TRUE(pty.Send({9, 8, 7}));
    ASSERT_TRUE(SetCommMask(port, EvRxChar));
    std::uint32_t events = 0;
    ASSERT_TRUE(WaitCommEventFor(port, &events, 5000));
    std::uint32_t errors = 1;
    ComStat status{};
    // The three bytes may arrive in two steps; wait until all are there (bounded).
    for (int i = 0; i < 500 && status.in_queue < 3; ++i) {
        ASSERT_TRUE(ClearCommError(port, &errors, &status));
        if (status.in_queue < 3) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(status.in_queue, 3u);
}

TEST_F(SerialPort, UnknownHandleFails) {
    std::uint32_t count = 0;
    std::uint8_t byte = 0;
    EXPECT_FALSE(ReadFile(0x12345, &byte, 1, &count));
    EXPECT_EQ(GetLastError(), Errno(EBADF));
    EXPECT_FALSE(PurgeComm(0, 15));
    EXPECT_EQ(GetLastError(), Errno(EBADF));
}

}  // namespace
