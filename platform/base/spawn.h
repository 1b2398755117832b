// Implemented in platform/base/spawn.cpp.
// Child processes, the one launcher of the layer: this very program side by side (`update`
// with several profiles), helpers it runs to their end (the signature verifier) and device
// adapters that are programs (devices/program.cpp). Start the program with its output on
// pipes, wait for any of them to speak, for its end (a pidfd) or for a stop signal, read what
// came, reap it.
//
// A child starts with descriptors 0-2 and, when its setup asks, its event pipe (3) only; a
// child marks that pipe close-on-exec for what it starts in turn (OpenChildEvents). It starts
// as a program expects: no signal blocked, the signals this program handles or ignores at their
// defaults (base/signals.h). An exec that fails is the start's failure, with exec's errno. A
// child has ended when its process has, whatever its own children still hold open.
//
// Index: ChildSetup ChildProcess SpawnSelf SpawnProgram OpenChildEvents WaitReadable ReadAvailable
// CloseDescriptor ReapChild StopChild KillChild WatchStopSignals StopRequested MakeStationDirectory
// RemoveStationDirectory RemoveLeftoverStations RaiseDescriptorLimit
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace platform {

// How a child starts, besides its program, arguments and environment.
struct ChildSetup {
    bool events = true;               // a pipe on its descriptor 3 (ChildProcess::events)
    bool merged_output = false;       // stderr on the stdout pipe, in the order written
    bool own_group = false;           // a process group of its own: KillChild ends what it started
    bool inherit_environment = true;  // this process's environment under `env`; else `env` alone
    bool ends_with_parent = true;     // SIGTERM when this process ends (its normal shut-down runs)
};
// The descriptors are the parent's read ends (non-blocking, close-on-exec); -1 once closed or
// when the setup has none.
struct ChildProcess {
    int pid = -1;
    int out = -1;     // the child's stdout (and stderr when merged)
    int err = -1;     // the child's stderr
    int events = -1;  // the child's descriptor 3 (ChildEventsPath)
    int ended = -1;   // readable once the process has ended (a pidfd)
    bool own_group = false;
};
inline constexpr const char* ChildEventsPath = "/dev/fd/3";

// Starts this very program (/proc/self/exe) with `args` (without the program name) and the
// environment plus `env` ("NAME=VALUE"); stdin is /dev/null. False with the last error set.
bool SpawnSelf(const std::vector<std::string>& args, const std::vector<std::string>& env, ChildProcess* child);
// The same for the program at `path` (no search of $PATH), `args` starting with its argv[0],
// started as `setup` says.
bool SpawnProgram(const std::string& path, const std::vector<std::string>& args, const std::vector<std::string>& env,
                  ChildProcess* child, const ChildSetup& setup = {});
// In a child started so: its event pipe as a stream, marked close-on-exec so that the programs
// it starts in turn do not get it. Null with the last error set.
std::FILE* OpenChildEvents();
// Sleeps until one of `fds` (-1 entries ignored) is readable or hung up, a stop signal came
// (WatchStopSignals), or timeout_ms passed (-1: none). (*ready)[i] tells which fd is ready.
// False with the last error set when it cannot wait.
bool WaitReadable(const std::vector<int>& fds, int timeout_ms, std::vector<bool>* ready);
// >0 bytes read, 0 at the end (the writer closed), -1 when nothing is there now.
long ReadAvailable(int fd, char* buffer, std::size_t size);
void CloseDescriptor(int fd);
// True with *exit_code (128 + signal for a child a signal ended; that signal in
// *signal_number, else 0) once the child has ended and is reaped; `wait`: until then.
bool ReapChild(int pid, bool wait, int* exit_code, int* signal_number = nullptr);
// Asks a child to end as SIGTERM does (its normal shut-down runs).
void StopChild(int pid);
// Ends a child at once (SIGKILL), with its whole group when it has one of its own.
void KillChild(const ChildProcess& child);
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
