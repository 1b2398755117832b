// Implemented in platform/base/sys.cpp.
// The system calls that tests make fail, in one place (sys.cpp). Every call retries on EINTR.
// In the program they are the plain calls; where FWU_TEST_SEAM is defined (the tests' platform
// library) they go through the table that platform/testing.h lets a test swap.
//
// Index: SysOpen SysClose SysRead SysWrite SysPoll SysIoctl SysFlock SysEventfd SysSocket SysConnect
// SysAccept4
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>

namespace platform::internal {

int SysOpen(const char* path, int flags, mode_t mode = 0);
int SysClose(int fd);
ssize_t SysRead(int fd, void* buffer, std::size_t size);
ssize_t SysWrite(int fd, const void* buffer, std::size_t size);
// Retries on EINTR with the time left; returns as poll does.
int SysPoll(struct pollfd* fds, nfds_t count, int timeout_ms);
int SysIoctl(int fd, unsigned long request, void* argument);
int SysFlock(int fd, int operation);
int SysEventfd(unsigned int initial, int flags);
int SysSocket(int domain, int type, int protocol);
// Not retried here: what an interrupted connect left depends on the socket (the caller's to say).
int SysConnect(int fd, const sockaddr* address, socklen_t length);
int SysAccept4(int fd, sockaddr* address, socklen_t* length, int flags);

}  // namespace platform::internal
