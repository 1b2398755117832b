// Implemented in platform/base/core.cpp, platform/base/ending.cpp, platform/base/thread.cpp,
// platform/devices/library.cpp and platform/devices/registry.cpp.
// System services of the platform layer: handles and the last-error code, threads with
// cooperative suspend and terminate, pauses, address space, libraries, the registry read from
// the handset profile, the idle timer and key injection, and the debug (trace) output. (The
// seam through which tests make a call fail is platform/testing.h.)
//
// Handles are small integers into one table; a value is never reused, so a handle kept by a
// thread after another thread closed it finds nothing instead of someone else's descriptor.
//
// Index: GetLastError SetLastError LastErrorText LastErrorReason CloseHandle | CreateThread GetCurrentThread GetExitCodeThread
// TerminateThread SuspendThread ResumeThread SetThreadPriority ThreadStopRequested ThreadStopToken Sleep
// WaitForThreadEnd JoinEndingThreads |
// VirtualAlloc VirtualCopy VirtualFree LocalAllocTrace | LoadLibrary GetProcAddress FreeLibrary
// KernelControlUnanswered ProbeKernelService |
// RegOpenKeyEx RegQueryValueEx RegCloseKey | SystemIdleTimerReset KeybdEvent |
// DebugOutput TraceOpen TracePrint SetTraceSink SetTraceTimestamps StderrIsTerminal SetWriteFailureHandler
// NoteWriteFailure FillStandardDescriptors | RemoveDirectoryAtEnding ForgetDirectoryAtEnding
#pragma once

#include <cstddef>
#include <cstdint>
#include <stop_token>
#include <string>

namespace platform {

using Handle = std::intptr_t;
inline constexpr Handle InvalidHandle = -1;

// ---- errors: the last-error code is the calling thread's errno value of the failing call, and
// the last-error text the reason in words that the failing call gave beside it (as a serial
// library keeps its last message). Setting a code alone clears the text, so a stale reason never
// explains a later failure.
std::uint32_t GetLastError();
void SetLastError(std::uint32_t code);
void SetLastError(std::uint32_t code, std::string text);
// The text given at the failure, else the system's words for the code ("" for code 0).
std::string LastErrorText();
// The text given at the failure alone: "" when the failing call gave its code and no words of
// its own (a network port's exporter that only said the code, say).
std::string LastErrorReason();

// Closes a port, a service connection, a thread handle or a library; false for an unknown handle.
bool CloseHandle(Handle handle);

// ---- threads (std::thread underneath)
inline constexpr std::uint32_t StillActive = 259;
inline constexpr int ThreadPriorityNormal = 3;
using ThreadProc = std::uint32_t (*)(void* parameter);

// Starts a thread at once; 0 when it cannot be created (last error set).
Handle CreateThread(ThreadProc proc, void* parameter);
// A pseudo-handle for the calling thread, as the handset gives.
Handle GetCurrentThread();
// StillActive while the thread runs, else its exit code. False for a handle that is no thread.
bool GetExitCodeThread(Handle thread, std::uint32_t* code);
// Cooperative: the thread's exit code reads `code` at once; the thread is woken out of any
// port wait or pause, every later platform wait of it returns at once, and it ends when its
// procedure sees ThreadStopRequested(). Never waits for the thread.
bool TerminateThread(Handle thread, std::uint32_t code);
// Cooperative and synchronous: returns once the thread is parked (in a pause or at the entry
// of a port call) and will write nothing until ResumeThread. The previous suspend count, or
// 0xFFFFFFFF on failure. Must not be called by a thread the target may be waiting for.
std::uint32_t SuspendThread(Handle thread);
std::uint32_t ResumeThread(Handle thread);
bool SetThreadPriority(Handle thread, int priority);
// True on a thread that TerminateThread has asked to end.
bool ThreadStopRequested();
// The same as a token, for a wait of the caller's own (std::condition_variable_any): it is
// stopped by the TerminateThread of the calling thread, which so wakes that wait too.
std::stop_token ThreadStopToken();
// Pauses the calling thread; a platform thread is woken early by suspend or terminate.
void Sleep(std::uint32_t milliseconds);
// True once the thread's procedure has returned; false (ETIMEDOUT) when it is still running
// after `milliseconds`. Never on the calling thread itself.
bool WaitForThreadEnd(Handle thread, std::uint32_t milliseconds);
// At the program's end: joins the threads that have ended or were asked to end (waiting up to
// `milliseconds` for those); threads still at work (an update in progress) end with the process.
void JoinEndingThreads(std::uint32_t milliseconds);

// ---- address space (the register window stands in as an inaccessible mapping)
inline constexpr std::uint32_t MemReserve = 0x2000;
inline constexpr std::uint32_t MemRelease = 0x8000;
inline constexpr std::uint32_t PageNoAccess = 0x01;
inline constexpr std::uint32_t PageReadWrite = 0x04;
inline constexpr std::uint32_t PageNoCache = 0x200;
void* VirtualAlloc(void* address, std::size_t size, std::uint32_t type, std::uint32_t protect);
bool VirtualCopy(void* destination, std::uintptr_t source, std::size_t size, std::uint32_t protect);
bool VirtualFree(void* address, std::size_t size, std::uint32_t type);
// Zero-filled when flags holds 0x40; never freed by the tool (records live for the process).
inline constexpr std::uint32_t LmemZeroInit = 0x40;
void* LocalAllocTrace(std::uint32_t flags, std::size_t size);

// ---- libraries: "COREDLL.DLL" is built in and has the entry "KernelIoControl"
Handle LoadLibrary(const char* name);
void* GetProcAddress(Handle library, const char* entry);
bool FreeLibrary(Handle library);
// The entry "KernelIoControl": sends the code to the profile's [kernel] service; non-zero on
// success. Fails (0, last error set) when no [kernel] service is configured.
using KernelIoControlProc = int (*)(std::uint32_t code, void* in, std::uint32_t in_size, void* out,
                                    std::uint32_t out_size, std::uint32_t* returned);
// True when this thread's latest KernelIoControl failed before the kernel answered (no [kernel]
// entry, its service or program could not be reached, or no answer in time), rather than with a
// status the kernel refused the control with. The entry keeps the handset's form (an int, the
// reason in the last error), so this is the one way a caller tells the two failures apart.
bool KernelControlUnanswered();
// Whether the profile's [kernel] entry could take a control, without sending one: the program is
// an executable file, or the service accepts a connection. False with the last error set.
bool ProbeKernelService();

// ---- registry, read-only, from the profile's [registry] section (0 success, else an errno)
inline constexpr Handle HkeyLocalMachine = static_cast<Handle>(0x80000002);
long RegOpenKeyEx(Handle root, const char* subkey, Handle* key);
long RegQueryValueEx(Handle key, const char* value, std::uint32_t* type, void* data,
                     std::uint32_t* size);
long RegCloseKey(Handle key);

// ---- idle timer, key injection: no meaning on Linux, counted so that tests can observe them
void SystemIdleTimerReset();
void KeybdEvent(std::uint8_t virtual_key, std::uint8_t scan, std::uint32_t flags,
                std::uintptr_t extra);

// ---- debug output: where TracePrint's lines go (nowhere until a sink is set)
// Writes len bytes as one unit; safe from any thread.
void DebugOutput(const char* text, std::size_t len);
// Whether a sink is set: a caller may skip building a line while it is not. A sink set
// meanwhile takes whole lines from the next one on.
bool TraceOpen();
// A printf-style line on the trace, built only while a sink is set (the update's hot path
// traces every byte it waits for).
void TracePrint(const char* format, ...) __attribute__((format(printf, 1, 2)));
// path "-" is stderr; an empty path is nowhere; else a regular file only (OpenUserFile). False
// with the last error set (its text the reason) when it cannot be opened.
bool SetTraceSink(const char* path);
// Each trace line then starts with the monotonic clock's seconds (as the run's events give them).
void SetTraceTimestamps(bool on);

// ---- output that could not be written (the trace, the headless screen's stdout): each failed
// or short write is told to the handler with what was written ("--trace FILE", "stdout") and
// the errno value; nobody is told before a handler is set. Safe from any thread.
using WriteFailureFn = void (*)(const char* what, int error);
void SetWriteFailureHandler(WriteFailureFn handler);
void NoteWriteFailure(const char* what, int error);
// Opens /dev/null onto each of descriptors 0-2 that is closed, so that no file the program
// opens later takes one of them (a trace file as stdout would get the pane's text).
void FillStandardDescriptors();
// Whether stderr is a terminal (a live progress line makes sense there).
bool StderrIsTerminal();

// ---- endings: a directory named here is emptied and removed when the process ends by exit()
// or by a fatal signal without having removed it itself (a normal stop forgets it first). At
// most 8 at once, each shorter than 256 bytes; false when it cannot be taken.
bool RemoveDirectoryAtEnding(const char* directory);
void ForgetDirectoryAtEnding(const char* directory);

}  // namespace platform
