// Implemented in platform/base/core.cpp, platform/base/sys.cpp, platform/screen/headless.cpp,
// platform/screen/screen.cpp, platform/testing.cpp, platform/window/module_file.cpp and
// platform/window/resources.cpp.
// The test seam of the platform layer, in one place: what a test may swap or inject to reach a
// path that Linux or a real device would not take on its own (a failed thread creation, a
// break on a pty, a read that fails), or to look at the layer from the side. Every name here is
// test-only: it is compiled in only where FWU_TEST_SEAM is defined, in the platform library the
// tests link (fwu_platform_seam: the files that consult the seam are built a second time, with
// testing.cpp). The program's library has none of them: there TakeFault is a constant false that
// the compiler drops, system calls are made directly, and the setters do not exist. The tool
// never includes this header; the check `seam_check` fails when a shipped header or the program
// names an entry of the index below.
//
// Index: Fault InjectFault ClearFaults TakeFault | SysCallTable SysCalls | SetResourceTableForTest
// SetModuleFileNameForTest | SetScreen SetHeadlessOutput | EditText PendingPostedText KeepAliveCounts
// ObservedKeepAlive
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/window/window.h"

namespace platform {

struct ResourceTableView;

// ---- faults: make the next `times` calls of a platform facility fail
enum class Fault : int {
    MenuBar,          // CreateMenuBar refuses
    EditControl,      // the edit control is not created
    Reserve,          // VirtualAlloc fails
    Map,              // VirtualCopy fails
    ThreadCreate,     // CreateThread fails (EAGAIN)
    LoadLibrary,      // LoadLibrary fails
    GetProcAddress,   // GetProcAddress finds nothing
    FreeLibrary,      // FreeLibrary reports failure
    RegisterClass,    // RegisterClass yields no atom
    CreateWindow,     // the platform refuses the main window
    LocalAlloc,       // LocalAllocTrace yields null
    SerialBreak,      // the next event wait on a port reports a break
    SerialFrameError, // the next event wait on a port reports a line error (framing)
    Count
};
#ifdef FWU_TEST_SEAM
void InjectFault(Fault fault, int times = 1);
void ClearFaults();
// True (and one fewer left) when `fault` was injected: the layer asks where the seam is, a
// test to see whether its fault was reached.
bool TakeFault(Fault fault);
#else
consteval bool TakeFault(Fault) { return false; }
#endif

#ifdef FWU_TEST_SEAM

// ---- the program's own data
// Look resources up in another table (rows.rows == nullptr: the program's again).
void SetResourceTableForTest(ResourceTableView rows);
// Pretend the program lives at `path` (nullptr: the real /proc/self/exe).
void SetModuleFileNameForTest(const char* path);

namespace internal {

// ---- system calls: the ones a test makes fail go through this table (base/sys.h): opening,
// reading, writing and waiting on any descriptor, a port's ioctls, lock and wake-up descriptor,
// a service's socket and connect, the instance listener's accept. The others (pipes, epoll,
// signalfd, timerfd, fork, the directory calls of endings) are made directly.
struct SysCallTable {
    int (*open)(const char* path, int flags, mode_t mode);
    int (*close)(int fd);
    ssize_t (*read)(int fd, void* buffer, std::size_t size);
    ssize_t (*write)(int fd, const void* buffer, std::size_t size);
    int (*poll)(struct pollfd* fds, nfds_t count, int timeout_ms);
    int (*ioctl)(int fd, unsigned long request, void* argument);
    int (*flock)(int fd, int operation);
    int (*eventfd)(unsigned int initial, int flags);
    int (*socket)(int domain, int type, int protocol);
    int (*connect)(int fd, const sockaddr* address, socklen_t length);
    int (*accept4)(int fd, sockaddr* address, socklen_t* length, int flags);
};
// The live table; a test may replace entries and must restore them.
SysCallTable& SysCalls();

// ---- screens
class Screen;
// Another screen from now on (nullptr: headless again); a test's stand-in, for one.
void SetScreen(Screen* screen);
// Headless output goes to stdout unless a test points it elsewhere (-1: stdout again).
void SetHeadlessOutput(int fd);

}  // namespace internal

// ---- what the layer did, seen from the side
// The text the edit control holds.
std::string EditText(Hwnd edit);
// Bytes of text posted for the window's thread (PostText) and not yet taken by it.
std::size_t PendingPostedText(Hwnd window);
// The calls that have no meaning on Linux, counted.
struct KeepAliveCounts {
    std::uint64_t idle_resets;
    std::uint64_t key_events;
    std::uint32_t last_key;
    std::uint32_t last_key_flags;
    std::uint64_t foreground_requests;
};
KeepAliveCounts ObservedKeepAlive();

#endif  // FWU_TEST_SEAM
}  // namespace platform
