// The one seam through which the platform layer makes system calls. Every call retries on
// EINTR. A test swaps an entry (SysCalls()) to inject a fault that a real device cannot give.
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstddef>

namespace platform::internal {

struct SysCallTable {
    int (*open)(const char* path, int flags, mode_t mode);
    int (*close)(int fd);
    ssize_t (*read)(int fd, void* buffer, std::size_t size);
    ssize_t (*write)(int fd, const void* buffer, std::size_t size);
    int (*poll)(struct pollfd* fds, nfds_t count, int timeout_ms);
    int (*ioctl)(int fd, unsigned long request, void* argument);
};

// The live table; tests may replace entries and must restore them.
SysCallTable& SysCalls();

int SysOpen(const char* path, int flags, mode_t mode = 0);
int SysClose(int fd);
ssize_t SysRead(int fd, void* buffer, std::size_t size);
ssize_t SysWrite(int fd, const void* buffer, std::size_t size);
// Retries on EINTR with the time left; returns as poll does.
int SysPoll(struct pollfd* fds, nfds_t count, int timeout_ms);
int SysIoctl(int fd, unsigned long request, void* argument);

}  // namespace platform::internal
