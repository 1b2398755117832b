// Threads: exit codes, cooperative suspend (synchronous: nothing is written after it returns),
// resume, terminate waking a thread out of Sleep and out of a port wait, the creation fault.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/platform.h"

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

}  // namespace
