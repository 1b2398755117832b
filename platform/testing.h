// The test seam of the platform layer, in one place: what a test may swap or inject to reach a
// path that Linux or a real device would not take on its own (a failed thread creation, a
// break on a pty, a read that fails), or to look at the layer from the side. The program never
// includes this header; the platform's own files include it where the seam is consulted.
//
// Index: Fault InjectFault ClearFaults TakeFault | SysCallTable SysCalls | SetResourceTableForTest
// SetModuleFileNameForTest | SetScreen SetHeadlessOutput
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstddef>

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
void InjectFault(Fault fault, int times = 1);
void ClearFaults();
// True (and one fewer left) when `fault` was injected: the layer asks where the seam is, a
// test to see whether its fault was reached.
bool TakeFault(Fault fault);

// ---- the program's own data
// Look resources up in another table (rows.rows == nullptr: the program's again).
void SetResourceTableForTest(ResourceTableView rows);
// Pretend the program lives at `path` (nullptr: the real /proc/self/exe).
void SetModuleFileNameForTest(const char* path);

namespace internal {

// ---- system calls: every one the layer makes goes through this table (base/sys.h)
struct SysCallTable {
    int (*open)(const char* path, int flags, mode_t mode);
    int (*close)(int fd);
    ssize_t (*read)(int fd, void* buffer, std::size_t size);
    ssize_t (*write)(int fd, const void* buffer, std::size_t size);
    int (*poll)(struct pollfd* fds, nfds_t count, int timeout_ms);
    int (*ioctl)(int fd, unsigned long request, void* argument);
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
}  // namespace platform
