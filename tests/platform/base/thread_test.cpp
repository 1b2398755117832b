// Threads: exit codes, cooperative suspend (synchronous: nothing is written after it returns),
// resume, terminate waking a thread out of Sleep and out of a port wait, the creation fault.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "platform/devices/devices.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "tests/support/pty.h"

namespace {

using namespace platform;

std::uint32_t ReturnSeven(void*) { return 7; }

struct Sleeper {
    std::atomic<bool> started{false};
    std::atomic<bool> ended{false};
};

std::uint32_t SleepUntilStopped(void* parameter) {
    auto* sleeper = static_cast<Sleeper*>(parameter);
    sleeper->started.store(true);
    while (!ThreadStopRequested()) Sleep(600'000);
    sleeper->ended.store(true);
    return 1;
}

// Counts "writes": between two checkpoints (Sleep) it bumps the counter, like the caster.
std::uint32_t CountLikeCaster(void* counter) {
    auto* count = static_cast<std::atomic<int>*>(counter);
    while (!ThreadStopRequested()) {
        count->fetch_add(1);
        Sleep(1);
    }
    return 0;
}

// Waits until `done` holds or about 10 s pass (a generous bound, not a timing assertion).
template <typename F>
bool Eventually(F done) {
    for (int i = 0; i < 2000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return done();
}

TEST(Thread, ExitCodeIsStillActiveThenTheProcedureResult) {
    Handle thread = CreateThread(ReturnSeven, nullptr);
    ASSERT_NE(thread, 0);
    std::uint32_t code = 0;
    ASSERT_TRUE(Eventually([&] { return GetExitCodeThread(thread, &code) && code != StillActive; }));
    EXPECT_EQ(code, 7u);
    EXPECT_TRUE(CloseHandle(thread));
    EXPECT_FALSE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(GetLastError(), static_cast<std::uint32_t>(EBADF));
}

TEST(Thread, RunningThreadReportsStillActive) {
    Sleeper sleeper;
    Handle thread = CreateThread(SleepUntilStopped, &sleeper);
    ASSERT_NE(thread, 0);
    ASSERT_TRUE(Eventually([&] { return sleeper.started.load(); }));
    std::uint32_t code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, StillActive);
    ASSERT_TRUE(TerminateThread(thread, 42));
    EXPECT_TRUE(CloseHandle(thread));
    ASSERT_TRUE(Eventually([&] { return sleeper.ended.load(); }));
}

TEST(Thread, TerminateSetsTheCodeAtOnceAndWakesASleeper) {
    Sleeper sleeper;
    Handle thread = CreateThread(SleepUntilStopped, &sleeper);
    ASSERT_NE(thread, 0);
    ASSERT_TRUE(Eventually([&] { return sleeper.started.load(); }));
    ASSERT_TRUE(TerminateThread(thread, 42));
    std::uint32_t code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 42u);  // at once, while the thread may still be on its way out
    // The thread was asleep for ten minutes: it ends only because terminate woke it. Its own
    // result (1) does not replace the terminate code.
    ASSERT_TRUE(Eventually([&] { return sleeper.ended.load(); }));
    std::uint32_t seen = 0;
    ASSERT_TRUE(TerminateThread(thread, 43));  // a second terminate keeps the first code
    ASSERT_TRUE(GetExitCodeThread(thread, &seen));
    EXPECT_EQ(seen, 42u);
    EXPECT_TRUE(CloseHandle(thread));
}

TEST(Thread, SuspendIsSynchronousAndResumeContinues) {
    std::atomic<int> count{0};
    Handle thread = CreateThread(CountLikeCaster, &count);
    ASSERT_NE(thread, 0);
    ASSERT_TRUE(Eventually([&] { return count.load() > 3; }));
    EXPECT_EQ(SuspendThread(thread), 0u);
    int frozen = count.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(count.load(), frozen);  // parked: nothing more happens
    EXPECT_EQ(SuspendThread(thread), 1u);
    EXPECT_EQ(ResumeThread(thread), 2u);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(count.load(), frozen);  // still suspended once
    EXPECT_EQ(ResumeThread(thread), 1u);
    ASSERT_TRUE(Eventually([&] { return count.load() > frozen + 3; }));
    EXPECT_EQ(ResumeThread(thread), 0u);  // not suspended: nothing to undo
    ASSERT_TRUE(TerminateThread(thread, 0));
    EXPECT_TRUE(CloseHandle(thread));
}

TEST(Thread, TerminateWakesASuspendedThread) {
    std::atomic<int> count{0};
    Handle thread = CreateThread(CountLikeCaster, &count);
    ASSERT_NE(thread, 0);
    ASSERT_TRUE(Eventually([&] { return count.load() > 0; }));
    SuspendThread(thread);
    ASSERT_TRUE(TerminateThread(thread, 5));
    std::uint32_t code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 5u);
    EXPECT_TRUE(CloseHandle(thread));
}

TEST(Thread, CreationFaultGivesZeroAndEagain) {
    InjectFault(Fault::ThreadCreate);
    SetLastError(0);
    EXPECT_EQ(CreateThread(ReturnSeven, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<std::uint32_t>(EAGAIN));
    Handle thread = CreateThread(ReturnSeven, nullptr);  // the fault was used up
    EXPECT_NE(thread, 0);
    if (thread) CloseHandle(thread);
}

TEST(Thread, CurrentThreadPseudoHandle) {
    std::uint32_t code = 0;
    ASSERT_TRUE(GetExitCodeThread(GetCurrentThread(), &code));
    EXPECT_EQ(code, StillActive);
    EXPECT_TRUE(SetThreadPriority(GetCurrentThread(), ThreadPriorityNormal));
    EXPECT_FALSE(SetThreadPriority(GetCurrentThread(), 99));
    EXPECT_FALSE(ThreadStopRequested());
}

TEST(Thread, UnknownHandlesFail) {
    EXPECT_EQ(SuspendThread(0x7777), 0xFFFFFFFFu);
    EXPECT_EQ(ResumeThread(0x7777), 0xFFFFFFFFu);
    EXPECT_FALSE(TerminateThread(0x7777, 0));
    EXPECT_EQ(GetLastError(), static_cast<std::uint32_t>(EBADF));
}

// The reason given at a failure stays with its thread, and a later bare code replaces it.
TEST(Thread, LastErrorTextIsPerThreadAndClearedByABareCode) {
    SetLastError(EACCES, "held by process 7 (sleep)");
    std::string other;
    std::thread([&] { other = LastErrorText(); }).join();
    EXPECT_EQ(other, "");
    EXPECT_EQ(LastErrorText(), "held by process 7 (sleep)");
    SetLastError(ENOENT);
    EXPECT_EQ(LastErrorText(), std::strerror(ENOENT));
}

// ---- threads in port calls (a pseudo-terminal stands in for the device)

struct PortUser {
    Handle port = InvalidHandle;
    std::atomic<int> calls{0};
    std::atomic<bool> ended{false};
};

// Writes one byte, pauses, again: the caster's loop.
std::uint32_t CastBytes(void* parameter) {
    auto* user = static_cast<PortUser*>(parameter);
    std::uint8_t byte = 0x55;
    while (!ThreadStopRequested()) {
        std::uint32_t written = 0;
        WriteFile(user->port, &byte, 1, &written);
        user->calls.fetch_add(1);
        Sleep(2);
    }
    user->ended = true;
    return 0;
}

// Blocks in event waits until stopped.
std::uint32_t WaitForEvents(void* parameter) {
    auto* user = static_cast<PortUser*>(parameter);
    while (!ThreadStopRequested()) {
        std::uint32_t events = 0;
        user->calls.fetch_add(1);
        WaitCommEvent(user->port, &events);
    }
    user->ended = true;
    return 0;
}

// Reads one byte at a time (no time-outs set: each read blocks until a byte is there).
std::uint32_t ReadBytes(void* parameter) {
    auto* user = static_cast<PortUser*>(parameter);
    while (!ThreadStopRequested()) {
        std::uint8_t byte = 0;
        std::uint32_t got = 0;
        if (ReadFile(user->port, &byte, 1, &got) && got == 1) user->calls.fetch_add(1);
    }
    user->ended = true;
    return 0;
}

TEST(ThreadInPort, SuspendedWriterWritesNothingUntilResumed) {
    fwu_test::Pty pty;
    ASSERT_TRUE(pty.ok());
    PortUser user;
    user.port = internal::OpenSerialPort(pty.slave());
    ASSERT_NE(user.port, InvalidHandle);
    Handle thread = CreateThread(CastBytes, &user);
    ASSERT_NE(thread, 0);
    ASSERT_TRUE(Eventually([&] { return user.calls.load() > 5; }));
    EXPECT_EQ(SuspendThread(thread), 0u);
    pty.Receive(50);  // everything written before the suspend returned
    EXPECT_TRUE(pty.Receive(100).empty());
    ResumeThread(thread);
    EXPECT_FALSE(pty.Receive(1000, 1).empty());
    TerminateThread(thread, 0);
    ASSERT_TRUE(Eventually([&] { return user.ended.load(); }));
    CloseHandle(thread);
    CloseHandle(user.port);
}

TEST(ThreadInPort, TerminateWakesAThreadOutOfAnEventWait) {
    fwu_test::Pty pty;
    ASSERT_TRUE(pty.ok());
    PortUser user;
    user.port = internal::OpenSerialPort(pty.slave());
    ASSERT_NE(user.port, InvalidHandle);
    ASSERT_TRUE(SetCommMask(user.port, EvRxChar));
    Handle thread = CreateThread(WaitForEvents, &user);
    ASSERT_NE(thread, 0);
    ASSERT_TRUE(Eventually([&] { return user.calls.load() > 0; }));
    TerminateThread(thread, 3);
    ASSERT_TRUE(Eventually([&] { return user.ended.load(); }));  // nothing but terminate wakes it
    EXPECT_EQ(user.calls.load(), 1);  // and its later wait returned at once without waiting
    std::uint32_t code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 3u);
    CloseHandle(thread);
    CloseHandle(user.port);
}

TEST(ThreadInPort, SuspendParksAReaderBlockedInARead) {
    fwu_test::Pty pty;
    ASSERT_TRUE(pty.ok());
    PortUser user;
    user.port = internal::OpenSerialPort(pty.slave());
    ASSERT_NE(user.port, InvalidHandle);
    Handle thread = CreateThread(ReadBytes, &user);
    ASSERT_NE(thread, 0);
    ASSERT_TRUE(pty.Send({1}));
    ASSERT_TRUE(Eventually([&] { return user.calls.load() == 1; }));
    SuspendThread(thread);  // the reader is blocked in its next read: woken and parked
    ASSERT_TRUE(pty.Send({2, 3}));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(user.calls.load(), 1);
    std::uint32_t errors = 0;
    ComStat status{};
    ASSERT_TRUE(ClearCommError(user.port, &errors, &status));
    EXPECT_EQ(status.in_queue, 2u);  // left for the reader
    ResumeThread(thread);
    ASSERT_TRUE(Eventually([&] { return user.calls.load() == 3; }));
    TerminateThread(thread, 0);
    ASSERT_TRUE(Eventually([&] { return user.ended.load(); }));
    CloseHandle(thread);
    CloseHandle(user.port);
}

}  // namespace
