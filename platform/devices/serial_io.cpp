// Reads, writes and event waits on a serial port, with the time-out record kept exactly by
// poll deadlines. Nothing spins: a call with nothing to do sleeps in poll until the device,
// its deadline, a purge-abort, a close, or a suspend/terminate of the calling thread wakes it.
//
// Reads follow the time-out record: interval 0xFFFFFFFF with zero totals returns at once with
// what is queued; interval 0xFFFFFFFF, multiplier 0xFFFFFFFF and a constant waits up to the
// constant for the first byte; otherwise the total (multiplier x n + constant, none when both
// are 0) bounds the call and the interval bounds the gap between two bytes. A port whose
// time-outs were never set reads like a Linux tty: it returns once at least one byte is there.
// Writes give up after multiplier x n + constant ms (never when both are 0), reporting the
// count written. A hung-up device is remembered: reads and writes fail with EIO at once, event
// waits report a line error at once.
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <optional>

#include "platform/devices/serial_port.h"
#include "platform/base/sys.h"
#include "platform/testing.h"
#include "platform/base/thread.h"
#include "platform/devices/serial.h"

namespace platform {
namespace internal {

using Clock = std::chrono::steady_clock;
using Deadline = std::optional<Clock::time_point>;

Woke WaitOnce(SerialPort& port, short events, Deadline deadline, short* revents) {
    int timeout = -1;
    if (deadline) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now()).count();
        timeout = static_cast<int>(std::clamp<decltype(left)>(left, 0, INT_MAX));
    }
    const int thread_fd = ThreadWakeFd();
    pollfd fds[3] = {{port.fd, events, 0}, {port.wake_fd, POLLIN, 0}, {thread_fd, POLLIN, 0}};
    int n = SysPoll(fds, 3, timeout);
    if (n < 0) return Woke::Failed;
    if (fds[1].revents) return Woke::Closed;
    if (fds[2].revents) {
        DrainWake(thread_fd);
        return ThreadCheckpoint() ? Woke::Nudged : Woke::Stop;
    }
    if (n == 0) return Woke::Timeout;
    *revents = fds[0].revents;
    return Woke::Ready;
}

}  // namespace internal

namespace {

using internal::Clock;
using internal::Deadline;
using internal::Fail;
using internal::SerialPort;
using internal::WaitScope;
using internal::Woke;

constexpr short LineDown = POLLHUP | POLLERR | POLLNVAL;
// Longer bounds than a month are no bound at all (and keep the clock arithmetic in range).
constexpr std::uint64_t LongestBoundMs = 30ull * 24 * 3600 * 1000;

Deadline After(std::uint64_t milliseconds) {
    if (milliseconds > LongestBoundMs) return std::nullopt;
    return Clock::now() + std::chrono::milliseconds(milliseconds);
}

Deadline Earliest(Deadline a, Deadline b) {
    if (!a) return b;
    if (!b) return a;
    return std::min(*a, *b);
}

// The start of every port call: a suspended thread parks here; a stopped one goes no further.
std::shared_ptr<SerialPort> Enter(Handle handle) {
    auto port = internal::Lookup<SerialPort>(handle);
    if (!port) {
        SetLastError(EBADF);
        return nullptr;
    }
    if (!internal::ThreadCheckpoint()) {
        SetLastError(ECANCELED);
        return nullptr;
    }
    if (port->closed) {
        SetLastError(EBADF);
        return nullptr;
    }
    return port;
}

// The start of ReadFile and WriteFile: nothing moved yet, a port whose line is up, a buffer for
// a transfer of at least one byte. Null when the call ends here, with its result in *result.
std::shared_ptr<SerialPort> EnterTransfer(Handle handle, const void* buffer, std::uint32_t size,
                                          std::uint32_t* done, bool* result) {
    if (done) *done = 0;
    auto port = Enter(handle);
    *result = false;
    if (!port) return nullptr;
    if (port->line_lost) {
        *result = Fail(EIO);
        return nullptr;
    }
    if (size == 0 || buffer == nullptr) {
        *result = size == 0 || Fail(EINVAL);
        return nullptr;
    }
    return port;
}

// How one read waits, from the time-out record.
struct ReadPlan {
    bool at_once = false;     // return with what is queued, never wait
    bool first_byte = false;  // return as soon as at least one byte is there
    Deadline total;
    std::uint32_t interval_ms = 0;  // 0: no interval bound
};

ReadPlan PlanRead(SerialPort& port, std::uint32_t size) {
    CommTimeouts t;
    bool set;
    {
        std::lock_guard lock(port.mutex);
        t = port.timeouts;
        set = port.timeouts_set;
    }
    ReadPlan plan;
    if (!set) {
        plan.first_byte = true;
    } else if (t.read_interval == MaxDword && t.read_total_multiplier == 0 && t.read_total_constant == 0) {
        plan.at_once = true;
    } else if (t.read_interval == MaxDword && t.read_total_multiplier == MaxDword &&
               t.read_total_constant != 0 && t.read_total_constant != MaxDword) {
        plan.first_byte = true;
        plan.total = After(t.read_total_constant);
    } else {
        std::uint64_t total = std::uint64_t{t.read_total_multiplier} * size + t.read_total_constant;
        if (total != 0) plan.total = After(total);
        if (t.read_interval != MaxDword) plan.interval_ms = t.read_interval;
    }
    return plan;
}

}  // namespace

bool PortLost(Handle port) {
    std::uint32_t errors = 0;
    ComStat status{};
    // A hung-up device is remembered by the port and reported on every call; a handle that
    // does not answer the query names no port that could still carry a byte.
    if (!ClearCommError(port, &errors, &status)) return true;
    return (errors & CeIoe) != 0;
}

namespace {

// A read as the time-out record plans it, or at once with what is queued.
bool Read(Handle handle, void* buffer, std::uint32_t size, std::uint32_t* done, bool at_once) {
    bool result = false;
    auto port = EnterTransfer(handle, buffer, size, done, &result);
    if (!port) return result;
    ReadPlan plan;
    if (at_once) plan.at_once = true;
    else plan = PlanRead(*port, size);
    WaitScope scope(*port, internal::WaiterRead);
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::uint32_t got = 0;
    bool line_down = false;
    Deadline gap;
    auto finish = [&](bool ok, int code) {
        if (done) *done = got;
        return ok || Fail(code);
    };
    for (;;) {
        ssize_t n = port->Read(bytes + got, size - got);
        if (n > 0) {
            got += static_cast<std::uint32_t>(n);
            if (got == size) return finish(true, 0);
            if (plan.interval_ms) gap = After(plan.interval_ms);
            continue;  // more may be queued already
        }
        if (n == 0 || (n < 0 && errno == EIO) || (n < 0 && errno == EAGAIN && line_down)) {
            port->NoteLineLost();  // a hung-up tty reads end-of-file
            return finish(false, EIO);
        }
        if (n < 0 && errno != EAGAIN) return finish(false, errno);
        // The receive queue is empty now.
        if (plan.at_once || (plan.first_byte && got > 0)) return finish(true, 0);
        const Deadline deadline = Earliest(plan.total, got > 0 ? gap : std::nullopt);
        if (deadline && Clock::now() >= *deadline) return finish(true, 0);
        short revents = 0;
        switch (internal::WaitOnce(*port, POLLIN, deadline, &revents)) {
            case Woke::Ready: line_down = (revents & LineDown) != 0; break;
            case Woke::Timeout:
            case Woke::Nudged: break;
            case Woke::Stop: return finish(false, ECANCELED);
            case Woke::Closed: return finish(false, EBADF);
            case Woke::Failed: return finish(false, errno);
        }
        if (scope.ReadAborted()) return finish(false, ECANCELED);
    }
}

}  // namespace

bool ReadFile(Handle handle, void* buffer, std::uint32_t size, std::uint32_t* done) {
    return Read(handle, buffer, size, done, false);
}

bool ReadQueued(Handle handle, void* buffer, std::uint32_t size, std::uint32_t* done) {
    return Read(handle, buffer, size, done, true);
}

bool WriteFile(Handle handle, const void* buffer, std::uint32_t size, std::uint32_t* done) {
    bool result = false;
    auto port = EnterTransfer(handle, buffer, size, done, &result);
    if (!port) return result;
    Deadline deadline;
    {
        std::lock_guard lock(port->mutex);
        const CommTimeouts& t = port->timeouts;
        std::uint64_t total = std::uint64_t{t.write_total_multiplier} * size + t.write_total_constant;
        if (total != 0) deadline = After(total);
    }
    WaitScope scope(*port, internal::WaiterWrite);
    const auto* bytes = static_cast<const unsigned char*>(buffer);
    std::uint32_t sent = 0;
    auto finish = [&](bool ok, int code) {
        if (done) *done = sent;
        return ok || Fail(code);
    };
    for (;;) {
        ssize_t n = port->Write(bytes + sent, size - sent);
        if (n > 0) {
            sent += static_cast<std::uint32_t>(n);
            if (sent == size) return finish(true, 0);
            continue;
        }
        if (n < 0 && errno == EIO) {
            port->NoteLineLost();
            return finish(false, EIO);
        }
        if (n < 0 && errno != EAGAIN) return finish(false, errno);
        // The transmit queue is full: wait for room until the write time-out.
        if (deadline && Clock::now() >= *deadline) return finish(true, 0);
        short revents = 0;
        switch (internal::WaitOnce(*port, POLLOUT, deadline, &revents)) {
            case Woke::Ready:
                if ((revents & LineDown) && !(revents & POLLOUT)) {
                    port->NoteLineLost();
                    return finish(false, EIO);
                }
                break;
            case Woke::Timeout:
            case Woke::Nudged: break;
            case Woke::Stop: return finish(false, ECANCELED);
            case Woke::Closed: return finish(false, EBADF);
            case Woke::Failed: return finish(false, errno);
        }
        if (scope.WriteAborted()) return finish(false, ECANCELED);
    }
}

namespace {

bool WaitEvent(Handle handle, std::uint32_t* events, Deadline deadline) {
    std::uint32_t dummy = 0;
    if (events == nullptr) events = &dummy;
    *events = 0;
    auto port = Enter(handle);
    if (!port) return false;
    std::uint32_t mask;
    {
        std::lock_guard lock(port->mutex);
        mask = port->mask;
        // Breaks and framing errors a pty cannot carry come through the fault seam.
        if (TakeFault(Fault::SerialBreak)) {
            port->errors |= CeBreak;
            port->pending_events |= EvBreak;
        }
        if (TakeFault(Fault::SerialFrameError)) {
            port->errors |= CeFrame;
            port->pending_events |= EvErr;
        }
    }
    if (mask == 0) return Fail(EINVAL);
    WaitScope scope(*port, internal::WaiterEvent);
    for (;;) {
        if (port->line_lost) {
            *events = EvErr;  // whatever the mask: a vanished device must not hold the caller
            return true;
        }
        std::uint32_t ready;
        bool watch_counts;
        {
            std::lock_guard lock(port->mutex);
            mask = port->mask;
            port->UpdateLineCounts();
            ready = port->pending_events & mask;
            port->pending_events &= ~ready;
            watch_counts = port->has_counts && (mask & (EvBreak | EvErr));
        }
        if (ready) {
            // An error that comes together with received data reports both.
            pollfd probe{port->fd, POLLIN, 0};
            if ((mask & EvRxChar) && internal::SysPoll(&probe, 1, 0) == 1 && probe.revents == POLLIN) {
                ready |= EvRxChar;
            }
            *events = ready;
            return true;
        }
        // A device that counts its line errors has no descriptor event for them: look again
        // every quarter second while such events are asked for.
        Deadline wake = deadline;
        if (watch_counts) wake = Earliest(deadline, Clock::now() + std::chrono::milliseconds(250));
        short revents = 0;
        switch (internal::WaitOnce(*port, (mask & EvRxChar) ? POLLIN : 0, wake, &revents)) {
            case Woke::Ready:
                if (revents & LineDown) {
                    port->NoteLineLost();
                    continue;
                }
                if (revents & POLLIN) {
                    *events = EvRxChar;
                    return true;
                }
                break;
            case Woke::Timeout:
                if (deadline && Clock::now() >= *deadline) return Fail(ETIMEDOUT);
                break;
            case Woke::Nudged: break;
            case Woke::Stop: return Fail(ECANCELED);
            case Woke::Closed: return Fail(EBADF);
            case Woke::Failed: return Fail(errno);
        }
        if (scope.MaskChanged()) return true;  // the mask changed under the wait: empty word
        if (scope.ReadAborted()) return Fail(ECANCELED);
    }
}

}  // namespace

bool WaitCommEvent(Handle handle, std::uint32_t* events) { return WaitEvent(handle, events, std::nullopt); }

bool WaitCommEventFor(Handle handle, std::uint32_t* events, std::uint32_t milliseconds) {
    return WaitEvent(handle, events, After(milliseconds));
}

}  // namespace platform
