// Threads: std::thread underneath, a record per thread in the handle table.
//
// Nothing stops a thread by force. Suspend raises a count and waits until the thread parks at a
// checkpoint (inside Sleep, or at a port call; the port layer calls ThreadCheckpoint); terminate
// fixes the exit code, raises the stop flag, and wakes the thread, whose later waits then return
// at once. Both signal the thread's eventfd so that a port wait in poll wakes up too.
// Finished threads are joined by the next CreateThread or when their handle is closed.
#include <sys/eventfd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <stop_token>
#include <system_error>
#include <thread>
#include <vector>

#include "platform/base/handles.h"
#include "platform/base/sys.h"
#include "platform/testing.h"
#include "platform/base/thread.h"
#include "platform/base/system.h"

namespace platform {
namespace {

using internal::Object;

constexpr Handle CurrentThreadPseudoHandle = -2;
constexpr std::uint32_t SuspendFailed = 0xFFFFFFFFu;

struct ThreadRecord : Object {
    std::mutex mutex;
    std::condition_variable changed;  // suspend count, parked, stop, finished
    std::uint32_t suspend_count = 0;
    bool parked = false;
    bool stop = false;
    bool finished = false;
    std::thread::id id;
    std::atomic<std::uint32_t> exit_code{StillActive};
    std::atomic<int> priority{ThreadPriorityNormal};
    std::stop_source stop_source;  // stopped with `stop`: wakes the thread's own waits
    const int wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);

    ~ThreadRecord() override {
        if (wake_fd >= 0) internal::SysClose(wake_fd);
    }
    void Close() override;
};

// Threads started here and not yet joined. Leaked on purpose: a thread still running at exit
// must not meet a std::thread destructor.
struct Started {
    std::shared_ptr<ThreadRecord> record;
    std::thread thread;
};
std::mutex started_mutex;
std::vector<Started>& StartedThreads() {
    static auto* threads = new std::vector<Started>;
    return *threads;
}

// Joins every finished thread except the caller.
void ReapFinished() {
    std::vector<std::thread> done;
    {
        std::lock_guard lock(started_mutex);
        auto& threads = StartedThreads();
        for (auto it = threads.begin(); it != threads.end();) {
            bool finished;
            {
                std::lock_guard record_lock(it->record->mutex);
                finished = it->record->finished;
            }
            if (finished && it->thread.get_id() != std::this_thread::get_id()) {
                done.push_back(std::move(it->thread));
                it = threads.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& thread : done) thread.join();
}

void ThreadRecord::Close() { ReapFinished(); }

}  // namespace

// Joins the threads that have ended or were asked to end, waiting up to `milliseconds` for the
// latter; threads still at work (an update in progress) are left to end with the process.
void JoinEndingThreads(std::uint32_t milliseconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    std::vector<Started> ending;
    {
        std::lock_guard lock(started_mutex);
        auto& threads = StartedThreads();
        for (auto it = threads.begin(); it != threads.end();) {
            bool leaving;
            {
                std::lock_guard record_lock(it->record->mutex);
                leaving = it->record->finished || it->record->stop;
            }
            if (leaving && it->thread.get_id() != std::this_thread::get_id()) {
                ending.push_back(std::move(*it));
                it = threads.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& started : ending) {
        ThreadRecord& record = *started.record;
        std::unique_lock lock(record.mutex);
        if (record.changed.wait_until(lock, deadline, [&] { return record.finished; })) {
            lock.unlock();
            started.thread.join();
        } else {
            lock.unlock();
            std::lock_guard back(started_mutex);  // still busy: left as it was
            StartedThreads().push_back(std::move(started));
        }
    }
}

namespace {

// The calling thread's record; threads the platform did not start get one on first use.
thread_local std::shared_ptr<ThreadRecord> current_record;

const std::shared_ptr<ThreadRecord>& Current() {
    if (!current_record) {
        current_record = std::make_shared<ThreadRecord>();
        current_record->id = std::this_thread::get_id();
    }
    return current_record;
}

std::shared_ptr<ThreadRecord> Resolve(Handle handle) {
    if (handle == CurrentThreadPseudoHandle) return Current();
    return internal::Lookup<ThreadRecord>(handle);
}

// With the record locked: parks while suspended. False once the thread was asked to stop.
bool ParkWhileSuspended(ThreadRecord& record, std::unique_lock<std::mutex>& lock) {
    if (record.suspend_count > 0 && !record.stop) {
        record.parked = true;
        record.changed.notify_all();
        record.changed.wait(lock, [&] { return record.suspend_count == 0 || record.stop; });
        record.parked = false;
    }
    return !record.stop;
}

void Run(std::shared_ptr<ThreadRecord> record, ThreadProc proc, void* parameter) {
    bool run;
    {
        std::lock_guard lock(record->mutex);
        record->id = std::this_thread::get_id();
        run = !record->stop;  // terminated before it started: the procedure never runs
    }
    current_record = record;
    std::uint32_t code = run ? proc(parameter) : 0;
    std::lock_guard lock(record->mutex);
    if (!record->stop) record->exit_code.store(code);
    record->finished = true;
    record->changed.notify_all();
}

}  // namespace

namespace internal {

int ThreadWakeFd() { return Current()->wake_fd; }

void DrainWake(int fd) {
    std::uint64_t value;
    SysRead(fd, &value, sizeof value);
}

void SignalWake(int fd) {
    std::uint64_t one = 1;
    SysWrite(fd, &one, sizeof one);
}

bool ThreadCheckpoint() {
    ThreadRecord& record = *Current();
    std::unique_lock lock(record.mutex);
    return ParkWhileSuspended(record, lock);
}

}  // namespace internal

bool WaitForThreadEnd(Handle thread, std::uint32_t milliseconds) {
    std::shared_ptr<ThreadRecord> record = Resolve(thread);
    if (!record || record.get() == Current().get()) {
        SetLastError(EINVAL);
        return false;
    }
    std::unique_lock lock(record->mutex);
    if (record->changed.wait_for(lock, std::chrono::milliseconds(milliseconds), [&] { return record->finished; })) {
        return true;
    }
    SetLastError(ETIMEDOUT);
    return false;
}

Handle CreateThread(ThreadProc proc, void* parameter) {
    ReapFinished();
    if (TakeFault(Fault::ThreadCreate)) {
        SetLastError(EAGAIN);
        return 0;
    }
    if (proc == nullptr) {
        SetLastError(EINVAL);
        return 0;
    }
    auto record = std::make_shared<ThreadRecord>();
    if (record->wake_fd < 0) {
        SetLastError(static_cast<std::uint32_t>(errno));
        return 0;
    }
    std::lock_guard lock(started_mutex);
    try {
        std::thread thread(Run, record, proc, parameter);
        StartedThreads().push_back({record, std::move(thread)});
    } catch (const std::system_error& failure) {
        SetLastError(static_cast<std::uint32_t>(failure.code().value()));
        return 0;
    }
    return internal::InsertObject(record);
}

Handle GetCurrentThread() { return CurrentThreadPseudoHandle; }

bool GetExitCodeThread(Handle thread, std::uint32_t* code) {
    auto record = Resolve(thread);
    if (!record || code == nullptr) {
        SetLastError(record ? EINVAL : EBADF);
        return false;
    }
    *code = record->exit_code.load();
    return true;
}

bool TerminateThread(Handle thread, std::uint32_t code) {
    auto record = Resolve(thread);
    if (!record) {
        SetLastError(EBADF);
        return false;
    }
    std::lock_guard lock(record->mutex);
    if (record->finished || record->stop) return true;  // the first code stands
    record->stop = true;
    record->exit_code.store(code);
    internal::SignalWake(record->wake_fd);
    record->changed.notify_all();
    // Wakes waits of the thread's own (their callbacks never take this lock); under the lock,
    // so that a second terminate never returns before the token is stopped.
    record->stop_source.request_stop();
    return true;
}

namespace {

// SuspendThread and ResumeThread: one step of the suspend count, the count before it returned.
// A suspend of another thread returns once that thread is parked (or has ended, or is stopping).
std::uint32_t StepSuspendCount(Handle thread, bool suspend) {
    auto record = Resolve(thread);
    if (!record) {
        SetLastError(EBADF);
        return SuspendFailed;
    }
    std::unique_lock lock(record->mutex);
    const std::uint32_t previous = record->suspend_count;
    if (!suspend) {
        if (previous > 0 && --record->suspend_count == 0) record->changed.notify_all();
        return previous;
    }
    ++record->suspend_count;
    if (record->finished || record->stop) return previous;
    if (record->id == std::this_thread::get_id()) {
        ParkWhileSuspended(*record, lock);  // suspending oneself parks here until resumed
        return previous;
    }
    internal::SignalWake(record->wake_fd);
    record->changed.notify_all();
    record->changed.wait(lock, [&] {
        return record->parked || record->finished || record->stop || record->suspend_count == 0;
    });
    return previous;
}

}  // namespace

std::uint32_t SuspendThread(Handle thread) { return StepSuspendCount(thread, true); }

std::uint32_t ResumeThread(Handle thread) { return StepSuspendCount(thread, false); }

bool SetThreadPriority(Handle thread, int priority) {
    auto record = Resolve(thread);
    if (!record || priority < 0 || priority > 7) {
        SetLastError(record ? EINVAL : EBADF);
        return false;
    }
    record->priority.store(priority);
    return true;
}

bool ThreadStopRequested() {
    ThreadRecord& record = *Current();
    std::lock_guard lock(record.mutex);
    return record.stop;
}

std::stop_token ThreadStopToken() { return Current()->stop_source.get_token(); }

void Sleep(std::uint32_t milliseconds) {
    ThreadRecord& record = *Current();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    std::unique_lock lock(record.mutex);
    // Parked by a suspend, the pause goes on afterwards until its own deadline.
    while (ParkWhileSuspended(record, lock)) {
        if (!record.changed.wait_until(lock, deadline,
                                       [&] { return record.stop || record.suspend_count > 0; })) {
            return;
        }
    }
}

}  // namespace platform
