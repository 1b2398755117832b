// Implemented in platform/base/spawn.cpp.
// Child processes of this program, for runs side by side (`update` with several profiles), and
// helper programs it runs to their end: start the program with its output on pipes, wait for any of them to speak or for a
// stop signal, read what came, reap the children.
//
// A child starts with descriptors 0-2 and its event pipe (3) only; a child marks that pipe
// close-on-exec for what it starts in turn (OpenChildEvents). A child has ended when its
// process has, whatever its own children still hold open.
//
// Index: ChildProcess SpawnSelf SpawnProgram OpenChildEvents WaitReadable ReadAvailable CloseDescriptor ReapChild
// StopChild WatchStopSignals StopRequested MakeStationDirectory RemoveStationDirectory
// RemoveLeftoverStations RaiseDescriptorLimit
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace platform {

// The descriptors are the parent's read ends (non-blocking, close-on-exec); -1 once closed.
struct ChildProcess {
    int pid = -1;
    int out = -1;     // the child's stdout
    int err = -1;     // the child's stderr
    int events = -1;  // the child's descriptor 3 (ChildEventsPath)
    int ended = -1;   // readable once the process has ended (a pidfd)
};
inline constexpr const char* ChildEventsPath = "/dev/fd/3";

// Starts this very program (/proc/self/exe) with `args` (without the program name) and the
// environment plus `env` ("NAME=VALUE"); stdin is /dev/null. False with the last error set.
bool SpawnSelf(const std::vector<std::string>& args, const std::vector<std::string>& env, ChildProcess* child);
// The same for the program at `path` (no search of $PATH), `args` starting with its argv[0];
// a helper the program waits for (the signature verifier). An exec that fails ends the child
// with 127.
bool SpawnProgram(const std::string& path, const std::vector<std::string>& args, const std::vector<std::string>& env,
                  ChildProcess* child);
// In a child started so: its event pipe as a stream, marked close-on-exec so that the programs
// it starts in turn do not get it. Null with the last error set.
std::FILE* OpenChildEvents();
// Sleeps until one of `fds` (-1 entries ignored) is readable or hung up, a stop signal came
// (WatchStopSignals), or timeout_ms passed (-1: none). (*ready)[i] tells which fd is ready.
void WaitReadable(const std::vector<int>& fds, int timeout_ms, std::vector<bool>* ready);
// >0 bytes read, 0 at the end (the writer closed), -1 when nothing is there now.
long ReadAvailable(int fd, char* buffer, std::size_t size);
void CloseDescriptor(int fd);
// True with *exit_code (128 + signal for a child a signal ended) once the child has ended and
// is reaped; `wait`: until then.
bool ReapChild(int pid, bool wait, int* exit_code);
// Asks a child to end as SIGTERM does (its normal shut-down runs).
void StopChild(int pid);
// From now on SIGINT, SIGTERM and SIGHUP only set StopRequested and wake WaitReadable.
void WatchStopSignals();
bool StopRequested();
// A fresh private directory (mode 0700) for one child's runtime scope, under $TMPDIR or /tmp,
// with a lock held in *lock while it is in use. "" with the last error set on failure.
// RemoveStationDirectory takes it away, with what is left inside, once the child has ended.
// RemoveLeftoverStations removes those of parents that were killed (their lock is free).
std::string MakeStationDirectory(int* lock);
void RemoveStationDirectory(const std::string& path, int lock);
int RemoveLeftoverStations();
// Raises this process's soft limit of open descriptors to its hard limit, for a parent that
// holds a few per child (the children inherit it). False with the last error set when the
// limit cannot be read or set; the limit is then as it was.
bool RaiseDescriptorLimit();

}  // namespace platform
