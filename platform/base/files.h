// Implemented in platform/base/files.cpp.
// Files the tool reads whole at start-up (a payload set from a directory) and the existence
// checks of the profile lookup. Each refusal sets the last error, its text a short reason for a
// "PATH: reason" line: the system's words, "not a regular file", "not a directory".
//
// Index: ReadRegularFile CheckDirectory PathExists
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Reads a regular file whole when it holds at most `limit` bytes; *size is its size either
// way, and *bytes stays empty above the limit. A FIFO or device is refused without blocking.
// False (last error set) when it cannot be opened, is not a regular file, or a read fails.
bool ReadRegularFile(const std::string& path, std::uint64_t limit, std::string* bytes, std::uint64_t* size);
// A directory that exists and whose entries can be listed. False with the last error set.
bool CheckDirectory(const std::string& path);
// Whether anything is at `path` (after symbolic links): false only when nothing is (ENOENT,
// ENOTDIR); a path that cannot be looked at counts as there, so that reading it says why.
bool PathExists(const std::string& path);

}  // namespace platform
