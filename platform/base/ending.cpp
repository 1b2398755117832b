// Endings that run code give back what outlives the process otherwise: a pty slave left in
// exclusive mode stays so while its master lives (a non-root user's next open fails with
// EBUSY), and a private directory stays in $TMPDIR for ever.
//
// The records are fixed slots of atomics, so the fatal-signal actions read them without a lock
// or an allocation. Both actions are steps of the one fatal handler (base/signals.h), which
// restores the terminal between them and then lets the signal take its course.
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/base/ending.h"
#include "platform/base/signals.h"
#include "platform/base/system.h"

namespace platform {
namespace internal {
namespace {

constexpr int PortSlots = 64;
constexpr int DirectorySlots = 8;
constexpr std::size_t DirectoryPathMax = 256;
constexpr int EmptyingPasses = 3;  // entries removed while listing may hide others from one pass

std::atomic<int> ports[PortSlots];  // descriptor + 1; 0 is a free slot

enum : int { SlotFree = 0, SlotFilling = 1, SlotSet = 2 };
struct DirectorySlot {
    std::atomic<int> state{SlotFree};
    char path[DirectoryPathMax];
};
DirectorySlot directories[DirectorySlots];

// Unlinks every entry of the directory (none of them is a directory), then the directory.
void RemoveDirectoryNow(const char* path) {
    int dir = ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir >= 0) {
        alignas(8) char buffer[2048];
        for (int pass = 0; pass < EmptyingPasses; ++pass) {
            ::lseek(dir, 0, SEEK_SET);
            long n;
            while ((n = ::syscall(SYS_getdents64, dir, buffer, sizeof buffer)) > 0) {
                for (long at = 0; at < n;) {
                    auto* entry = reinterpret_cast<dirent64*>(buffer + at);
                    at += entry->d_reclen;
                    const char* name = entry->d_name;
                    if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) ::unlinkat(dir, name, 0);
                }
            }
        }
        ::close(dir);
    }
    ::rmdir(path);
}

// A child forked without exec inherits the records and the atexit handler: only the process
// that made them gives them back.
std::atomic<pid_t> owner{0};

void GiveBackAtExit() { GiveBackNow(); }

void GiveBackPortsNow(int) {
    if (::getpid() != owner.load()) return;
    for (auto& slot : ports) {
        int held = slot.load();
        if (held > 0) ::ioctl(held - 1, TIOCNXCL, nullptr);
    }
}

void RemoveDirectoriesNow(int) {
    if (::getpid() != owner.load()) return;
    for (auto& slot : directories) {
        if (slot.state.load() == SlotSet) RemoveDirectoryNow(slot.path);
    }
}

void InstallEndings() {
    static std::once_flag once;
    std::call_once(once, [] {
        owner.store(::getpid());
        std::atexit(GiveBackAtExit);
        SetSignalAction(SignalStep::GiveBackPorts, GiveBackPortsNow);
        SetSignalAction(SignalStep::RemoveDirectories, RemoveDirectoriesNow);
    });
}

}  // namespace

void NoteExclusivePort(int fd) {
    InstallEndings();
    for (auto& slot : ports) {
        int free_slot = 0;
        if (slot.compare_exchange_strong(free_slot, fd + 1)) return;
    }
    // More ports than slots: this one is still given back by its own close.
}

void ForgetExclusivePort(int fd) {
    for (auto& slot : ports) {
        int held = fd + 1;
        if (slot.compare_exchange_strong(held, 0)) return;
    }
}

void GiveBackNow() {
    GiveBackPortsNow(0);
    RemoveDirectoriesNow(0);
}

}  // namespace internal

bool RemoveDirectoryAtEnding(const char* directory) {
    if (directory == nullptr || std::strlen(directory) >= internal::DirectoryPathMax) return false;
    internal::InstallEndings();
    for (auto& slot : internal::directories) {
        int free_slot = internal::SlotFree;
        if (!slot.state.compare_exchange_strong(free_slot, internal::SlotFilling)) continue;
        std::strcpy(slot.path, directory);
        slot.state.store(internal::SlotSet);
        return true;
    }
    return false;
}

void ForgetDirectoryAtEnding(const char* directory) {
    if (directory == nullptr) return;
    for (auto& slot : internal::directories) {
        int set = internal::SlotSet;
        if (!slot.state.compare_exchange_strong(set, internal::SlotFilling)) continue;  // held while compared
        if (std::strcmp(slot.path, directory) == 0) {
            slot.path[0] = '\0';
            slot.state.store(internal::SlotFree);
            return;
        }
        slot.state.store(internal::SlotSet);
    }
}

}  // namespace platform
