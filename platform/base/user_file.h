// Implemented in platform/base/user_file.cpp.
// Files the user names on the command line (a profile, the trace, the events, and any other
// file option). An input is a regular file only. An output is a regular file (created when
// missing, emptied when there), a character device (/dev/null, /dev/stderr, a terminal) or a
// FIFO that a reader holds open. Anything else is refused before anything waits on it: the
// path is looked at first, then opened without blocking (a FIFO with nobody at its other end
// fails the open at once instead of holding it), then the open file is looked at again, in
// case the path changed in between.
//
// Index: UserFileUse OpenUserFile OpenUserFileStream
#pragma once

#include <cstdio>
#include <string>

namespace platform {

// Output empties the file; Append writes after what it holds (O_APPEND).
enum class UserFileUse { Input, Output, Append };

// A blocking, close-on-exec descriptor of the file at `path`; -1 otherwise, with errno and the
// last error set, its text the reason ("a FIFO, not a regular file", or the system's words) for
// a line such as "--events PATH: REASON".
int OpenUserFile(const std::string& path, UserFileUse use);
// The same as a stream ("rb", "w" or "a"); null with errno and the last error set.
std::FILE* OpenUserFileStream(const std::string& path, UserFileUse use);

}  // namespace platform
