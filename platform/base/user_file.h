// Files the user names on the command line (a profile, the trace, the events, and any other
// file option): only a regular file is taken. A FIFO, a socket, a device or a directory is
// refused before anything waits on it: the path is looked at first, then opened without
// blocking (a FIFO with nobody at its other end cannot hold the open), then the open file is
// looked at again, in case the path changed in between. An output is created when missing
// and emptied when there.
//
// Index: UserFileUse OpenUserFile OpenUserFileStream
#pragma once

#include <cstdio>
#include <string>

namespace platform {

enum class UserFileUse { Input, Output };

// A blocking, close-on-exec descriptor of the regular file at `path`; -1 otherwise, with errno
// and *reason ("a FIFO, not a regular file", or the system's text), for a line such as
// "--events PATH: REASON".
int OpenUserFile(const std::string& path, UserFileUse use, std::string* reason);
// The same as a stream ("rb" or "w"); null with errno and *reason.
std::FILE* OpenUserFileStream(const std::string& path, UserFileUse use, std::string* reason);

}  // namespace platform
