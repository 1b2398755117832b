// Implemented in platform/devices/service.cpp.
// Driver services on Unix stream sockets (platform/devices/service.cpp), shared by OpenDevice's
// service handles and the built-in "COREDLL.DLL" entry KernelIoControl.
//
// One control is one connection: connect, the 32-bit code little-endian out, a 32-bit status
// little-endian back within ServiceReplyMilliseconds, close.
//
// Index: ServiceReplyMilliseconds ControlResult ConnectService ServiceExchange ServiceControl
// ControlOutcome
#pragma once

#include <cstdint>

namespace platform::internal {

// How long a control waits for the service's status (and for a connect to be accepted).
inline constexpr int ServiceReplyMilliseconds = 5000;

// How one control ended: done; refused with a status (the last error); or unanswered (not
// reached, not started, or too late: the errno value is the last error).
enum class ControlResult { Done, Refused, Unanswered };

// A connected descriptor, or -1 with errno set (ECONNREFUSED, ENOENT, ETIMEDOUT...).
int ConnectService(const char* path);
// Sends the code and reads the status on a connected descriptor; does not close it. False with
// errno set when no status came (EPROTO: closed without answer; ETIMEDOUT: too late).
bool ServiceExchange(int fd, std::uint32_t code, std::uint32_t* status);
// Connect, exchange, close. True with the status, or false with errno set.
bool ServiceControl(const char* path, std::uint32_t code, std::uint32_t* status);
// The result of a control that was `answered` with `status` (else failed with errno), the last
// error set when it is not done.
ControlResult ControlOutcome(bool answered, std::uint32_t status);

}  // namespace platform::internal
