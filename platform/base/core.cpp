// Last error, the handle table, the fault seam, address space, keep-alive counters and the
// debug output that carries the trace channel.
#include <fcntl.h>
#include <time.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/base/format.h"
#include "platform/base/handles.h"
#include "platform/base/observe.h"
#include "platform/base/sys.h"
#include "platform/testing.h"
#include "platform/base/user_file.h"
#include "platform/base/system.h"

namespace platform {

// ---- last error: errno of the failing call and its reason in words, kept per thread
namespace {
thread_local std::uint32_t last_error = 0;
thread_local std::string last_error_text;
}

std::uint32_t GetLastError() { return last_error; }
void SetLastError(std::uint32_t code) {
    last_error = code;
    last_error_text.clear();
}
void SetLastError(std::uint32_t code, std::string text) {
    last_error = code;
    last_error_text = std::move(text);
}
std::string LastErrorText() {
    if (!last_error_text.empty()) return last_error_text;
    return last_error == 0 ? std::string() : std::string(std::strerror(static_cast<int>(last_error)));
}
std::string LastErrorReason() { return last_error_text; }

// ---- handle table
namespace internal {
namespace {

struct HandleTable {
    std::mutex mutex;
    std::unordered_map<Handle, std::shared_ptr<Object>> objects;
    Handle next = 0x100;
};

HandleTable& Table() {
    static HandleTable* table = new HandleTable;  // lives until the process ends
    return *table;
}

}  // namespace

Handle InsertObject(std::shared_ptr<Object> object) {
    auto& table = Table();
    std::lock_guard lock(table.mutex);
    Handle handle = table.next;
    table.next += 4;
    table.objects.emplace(handle, std::move(object));
    return handle;
}

std::shared_ptr<Object> LookupObject(Handle handle) {
    auto& table = Table();
    std::lock_guard lock(table.mutex);
    auto it = table.objects.find(handle);
    return it == table.objects.end() ? nullptr : it->second;
}

bool RemoveObject(Handle handle) {
    std::shared_ptr<Object> object;
    {
        auto& table = Table();
        std::lock_guard lock(table.mutex);
        auto it = table.objects.find(handle);
        if (it == table.objects.end()) return false;
        object = std::move(it->second);
        table.objects.erase(it);
    }
    object->Close();
    return true;
}

}  // namespace internal

bool CloseHandle(Handle handle) {
    if (internal::RemoveObject(handle)) return true;
    SetLastError(EBADF);
    return false;
}

// ---- address space: the register window is a reserved, inaccessible mapping
namespace {
std::mutex reservations_mutex;
std::unordered_map<void*, std::size_t>& Reservations() {
    static auto* sizes = new std::unordered_map<void*, std::size_t>;
    return *sizes;
}
}  // namespace

void* VirtualAlloc(void* address, std::size_t size, std::uint32_t type, std::uint32_t protect) {
    (void)type;
    (void)protect;
    if (TakeFault(Fault::Reserve)) {
        SetLastError(ENOMEM);
        return nullptr;
    }
    void* p = ::mmap(address, size, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) {
        SetLastError(static_cast<std::uint32_t>(errno));
        return nullptr;
    }
    std::lock_guard lock(reservations_mutex);
    Reservations()[p] = size;
    return p;
}

// There is no register block to map here: the reserved range stays inaccessible, so a stray
// access through it faults instead of touching anything.
bool VirtualCopy(void* destination, std::uintptr_t source, std::size_t size, std::uint32_t protect) {
    (void)source;
    (void)protect;
    if (TakeFault(Fault::Map) || destination == nullptr || size == 0) {
        SetLastError(EINVAL);
        return false;
    }
    return true;
}


bool VirtualFree(void* address, std::size_t size, std::uint32_t type) {
    (void)size;
    (void)type;
    if (address == nullptr) {
        SetLastError(EINVAL);
        return false;
    }
    std::size_t length = 0;
    {
        std::lock_guard lock(reservations_mutex);
        auto it = Reservations().find(address);
        if (it == Reservations().end()) {
            SetLastError(EINVAL);
            return false;
        }
        length = it->second;
        Reservations().erase(it);
    }
    // Releasing a whole reservation: size 0 means all of it, as reserved.
    if (::munmap(address, length) != 0) {
        SetLastError(static_cast<std::uint32_t>(errno));
        return false;
    }
    return true;
}

void* LocalAllocTrace(std::uint32_t flags, std::size_t size) {
    if (TakeFault(Fault::LocalAlloc)) {
        SetLastError(ENOMEM);
        return nullptr;
    }
    void* p = (flags & LmemZeroInit) ? std::calloc(1, size) : std::malloc(size);
    if (!p) SetLastError(ENOMEM);
    return p;
}

// ---- keep-alive calls, observed
namespace {
std::atomic<std::uint64_t> idle_resets{0};
std::atomic<std::uint64_t> key_events{0};
std::atomic<std::uint32_t> last_key{0};
std::atomic<std::uint32_t> last_key_flags{0};
std::atomic<std::uint64_t> foreground_requests{0};
}  // namespace

void SystemIdleTimerReset() { idle_resets.fetch_add(1); }

void KeybdEvent(std::uint8_t virtual_key, std::uint8_t scan, std::uint32_t flags, std::uintptr_t extra) {
    (void)scan;
    (void)extra;
    last_key.store(virtual_key);
    last_key_flags.store(flags);
    key_events.fetch_add(1);
}

void internal::NoteForegroundRequest() { foreground_requests.fetch_add(1); }

#ifdef FWU_TEST_SEAM
KeepAliveCounts ObservedKeepAlive() {
    return {idle_resets.load(), key_events.load(), last_key.load(), last_key_flags.load(),
            foreground_requests.load()};
}
#endif

// ---- debug output (the trace channel)
namespace {
std::mutex trace_mutex;
int trace_fd = -1;  // guarded by trace_mutex
bool trace_owned = false;
std::string trace_name;  // guarded by trace_mutex: "--trace FILE"
std::atomic<WriteFailureFn> write_failure_handler{nullptr};
bool trace_times = false;          // guarded by trace_mutex
bool trace_at_line_start = true;   // guarded by trace_mutex
// Read without the lock, so that a line nobody will see is not even formatted.
std::atomic<bool> trace_is_open{false};

// Caller holds trace_mutex. False, told to the write-failure handler, when the sink took nothing.
bool WriteTrace(const char* text, std::size_t len) {
    while (len > 0) {
        ssize_t n = internal::SysWrite(trace_fd, text, len);
        if (n <= 0) {
            NoteWriteFailure(trace_name.c_str(), n < 0 ? errno : ENOSPC);
            return false;
        }
        text += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

// "  1234.567890 ": seconds of the monotonic clock, the clock the run's events carry.
bool WriteTraceTime() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    char stamp[32];
    int n = std::snprintf(stamp, sizeof stamp, "%10lld.%06ld ", static_cast<long long>(now.tv_sec),
                          now.tv_nsec / 1000);
    return WriteTrace(stamp, static_cast<std::size_t>(n));
}
}  // namespace

void SetWriteFailureHandler(WriteFailureFn handler) { write_failure_handler.store(handler); }

void NoteWriteFailure(const char* what, int error) {
    if (WriteFailureFn handler = write_failure_handler.load()) handler(what, error);
}

void FillStandardDescriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
        int null = ::open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        // Opened onto the lowest free descriptor, which is this one.
        if (null >= 0 && null != fd) {
            ::dup2(null, fd);
            ::close(null);
        }
    }
}

void DebugOutput(const char* text, std::size_t len) {
    std::lock_guard lock(trace_mutex);
    if (trace_fd < 0) return;
    if (!trace_times) {
        WriteTrace(text, len);
        return;
    }
    // A line may be traced in several pieces: the stamp goes before the first piece only.
    while (len > 0) {
        if (trace_at_line_start && !WriteTraceTime()) return;
        const char* newline = static_cast<const char*>(std::memchr(text, '\n', len));
        std::size_t piece = newline ? static_cast<std::size_t>(newline - text) + 1 : len;
        if (!WriteTrace(text, piece)) return;
        trace_at_line_start = newline != nullptr;
        text += piece;
        len -= piece;
    }
}

bool TraceOpen() { return trace_is_open.load(std::memory_order_relaxed); }

void TracePrint(const char* format, ...) {
    if (!TraceOpen()) return;
    char line[1024];
    std::va_list args;
    va_start(args, format);
    const int n = FormatTextV(line, sizeof line, format, args);
    va_end(args);
    DebugOutput(line, static_cast<std::size_t>(n));
}

void SetTraceTimestamps(bool on) {
    std::lock_guard lock(trace_mutex);
    trace_times = on;
}

bool SetTraceSink(const char* path) {
    int fd = -1;
    bool owned = false;
    if (path && std::strcmp(path, "-") == 0) {
        fd = STDERR_FILENO;
    } else if (path && *path) {
        fd = OpenUserFile(path, UserFileUse::Output);
        if (fd < 0) return false;
        owned = true;
    }
    std::lock_guard lock(trace_mutex);
    if (trace_owned) internal::SysClose(trace_fd);
    trace_fd = fd;
    trace_is_open.store(fd >= 0);
    trace_owned = owned;
    trace_name = std::string("--trace ") + (path ? path : "");
    return true;
}

bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

}  // namespace platform
