// Implemented in platform/devices/serial_io.cpp and platform/devices/serial_port.cpp.
// The serial port object behind a port handle, shared by platform/devices/serial_port.cpp (open, close,
// settings, purge, errors) and platform/devices/serial_io.cpp (reads, writes, event waits).
//
// How it works: the descriptor is non-blocking; every blocking call sleeps in poll on the port
// descriptor, the port's wake-up eventfd (readable for good once the port is closed) and the
// calling thread's own eventfd (signalled by suspend, terminate, purge-abort and mask changes,
// after they have registered their reason here). The handle table holds the object by
// shared_ptr and each call keeps its own reference, so the descriptor is closed only when the
// last call has let go, never under a call that is still using it. A port across the network
// (platform/devices/net_port.h) is one end of a socket pair, its tty requests going to its link.
//
// Index: SerialPort FindOpenPort WaitScope WaitOnce Fail | WaiterRead WaiterWrite WaiterEvent
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <cstdint>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <vector>

#include "platform/base/handles.h"
#include "platform/devices/serial.h"

namespace platform::internal {

// What a registered waiter is doing, so that an abort wakes only those it concerns.
inline constexpr int WaiterRead = 1;
inline constexpr int WaiterWrite = 2;
inline constexpr int WaiterEvent = 4;

// The device's error counters, where it keeps them (a UART; a pty does not).
struct LineCounts {
    int frame = 0, overrun = 0, parity = 0, brk = 0, buf_overrun = 0;
};

struct NetLink;  // a port across the network (platform/devices/net_port.h)

struct SerialPort : Object {
    SerialPort(int port_fd, int port_wake_fd, std::string device_path);
    ~SerialPort() override;
    // Marks the port closed, drops the exclusive hold on the device and wakes every waiter.
    void Close() override;

    // One non-blocking system call on the descriptor; -1 with EBADF once the port is closed.
    ssize_t Read(void* buffer, std::size_t size);
    ssize_t Write(const void* buffer, std::size_t size);
    int Ioctl(unsigned long request, void* argument);
    // Remembers a hang-up or failure of the device (reported by every later call).
    void NoteLineLost();
    // With `mutex` held: compares the device's error counters and records what changed.
    void UpdateLineCounts();
    // With `mutex` held: wakes the registered waiters of the given kinds.
    void WakeWaiters(int kinds);

    const int fd;
    const int wake_fd;
    const std::string path;

    std::shared_mutex io;  // shared: one system call on fd; exclusive: close
    std::atomic<bool> closed{false};
    std::atomic<bool> line_lost{false};

    std::mutex mutex;  // guards everything below
    Dcb dcb{};
    CommTimeouts timeouts{};
    bool timeouts_set = false;  // never set: reads behave like a Linux tty
    std::uint32_t mask = 0;
    std::uint32_t errors = 0;          // Ce* flags since the last ClearCommError
    std::uint32_t pending_events = 0;  // Ev* flags not yet reported by a wait
    std::uint32_t in_queue_size = 0, out_queue_size = 0;
    bool has_counts = false;
    LineCounts counts;
    std::uint64_t read_aborts = 0, write_aborts = 0, mask_changes = 0;
    std::vector<std::pair<int, int>> waiters;  // (thread wake fd, kinds)

    // Set for a network port: its tty requests go to the link, not to the kernel.
    std::shared_ptr<NetLink> net;
};

// Registers the calling thread as a waiter of the port for the length of one call, and keeps
// the abort and mask-change generations seen at its start.
class WaitScope {
public:
    WaitScope(SerialPort& port, int kinds);
    ~WaitScope();
    WaitScope(const WaitScope&) = delete;
    WaitScope& operator=(const WaitScope&) = delete;
    bool ReadAborted();
    bool WriteAborted();
    bool MaskChanged();

private:
    SerialPort& port_;
    int wake_fd_;
    std::uint64_t read_aborts_, write_aborts_, mask_changes_;
};

// The port this process holds open on `path`, or null.
std::shared_ptr<SerialPort> FindOpenPort(const std::string& path);

enum class Woke { Ready, Timeout, Nudged, Stop, Closed, Failed };
// One sleep in poll; `deadline` empty: no bound. Ready fills *revents. Nudged: the thread's
// eventfd woke it (the call re-checks aborts and loops); Stop: the thread must end.
Woke WaitOnce(SerialPort& port, short events,
              std::optional<std::chrono::steady_clock::time_point> deadline, short* revents);

inline bool Fail(int code) {
    SetLastError(static_cast<std::uint32_t>(code));
    return false;
}

}  // namespace platform::internal
