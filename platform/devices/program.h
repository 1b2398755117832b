// Implemented in platform/devices/program.cpp.
// Device adapters that are programs (platform/devices/program.cpp): the radio driver or the
// kernel named as "exec:/path [args]" in the profile. One control is one run of the program.
//
// The program runs directly (no shell) in a process group of its own, with the control code as
// its last argument ("0x03001F88": 0x and eight upper-case hex digits) and a clean environment:
// PATH (ProgramPath), FWU_DEVICE (the device name: "RIL1:" or "KernelIoControl"), FWU_CONTROL
// (the code again), FWU_ACTION (suspend, resume, reset, reboot, or the code for others) and
// FWU_PROFILE (the profile's path), and no descriptor but 0-2. Its exit status is the control's
// status (0 success); what it writes on stdout and stderr goes to the trace, line by line, after
// the device name, within bounds (lines cut at 1 KiB, at most 200 lines a run, the rest counted
// in one last line). A run that has not ended after ServiceReplyMilliseconds, however much it
// writes, is killed (the whole group) and reports ETIMEDOUT, like a service that answers too
// late; a close signal kills it at once (EINTR). What the program leaves running is not waited
// for. How a run failed is the last error: the code, and the words ("exited with status 1")
// with the program's last line after LastLineMark.
//
// Index: ProgramPath LastLineMark ProgramReady RunControlProgram ProgramCannotRun
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/devices/service.h"

namespace platform::internal {

inline constexpr const char* ProgramPath = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
// Between how a failed run ended and the last line the program wrote, in the last-error text.
inline constexpr const char* LastLineMark = "; its last line: ";

// Whether the program can run; false with the last error ENOENT (missing) or EACCES (not an
// executable file).
bool ProgramReady(const std::string& program);
// One run. Done when the program exited with status 0. Refused: the last error is its status
// (the exit status; 128 + N for a program killed by signal N) with "exited with status 1" or
// "was killed by signal 9". Unanswered: ETIMEDOUT ("did not end within 5 s and was killed"),
// EINTR, or why it could not start. The last line it wrote follows LastLineMark in the text.
ControlResult RunControlProgram(const std::vector<std::string>& argv, const char* device, std::uint32_t code);
// Whether this thread's latest run failed because the program cannot run at all: it is missing
// or not executable, its exec failed (an interpreter that is not there), or it ended with 126
// or 127, a shell's "cannot execute" and "not found". Each retry would fail alike.
bool ProgramCannotRun();

}  // namespace platform::internal
