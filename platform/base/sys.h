// The one seam through which the platform layer makes system calls, and asks whether a test
// injected a fault. Every call retries on EINTR. The table behind the calls and the faults are
// set by tests through platform/testing.h.
//
// Index: SysOpen SysClose SysRead SysWrite SysPoll SysIoctl (TakeFault: platform/testing.h)
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <cstddef>

#include "platform/testing.h"

namespace platform::internal {

int SysOpen(const char* path, int flags, mode_t mode = 0);
int SysClose(int fd);
ssize_t SysRead(int fd, void* buffer, std::size_t size);
ssize_t SysWrite(int fd, const void* buffer, std::size_t size);
// Retries on EINTR with the time left; returns as poll does.
int SysPoll(struct pollfd* fds, nfds_t count, int timeout_ms);
int SysIoctl(int fd, unsigned long request, void* argument);

}  // namespace platform::internal
