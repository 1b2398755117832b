// Implemented in platform/base/leftovers.cpp.
// Private directories that outlive a process killed with SIGKILL (a simulated handset's, a
// station's): while its owner runs, the directory holds a lock file that the owner keeps
// locked; a later start sweeps the parent directory and removes the directories of this user,
// with the given name prefix, whose lock is free, so never one whose owner still runs.
//
// Index: TakeDirectoryLock RemoveLeftoverDirectories RemoveDirectoryAndEntries
#pragma once

#include <string>

namespace platform {

// Creates DIRECTORY/LOCK_NAME already locked (it appears under its name only once locked).
// The descriptor, to keep open while the directory is in use; -1 with errno and the last error
// set, its text "PATH: reason".
int TakeDirectoryLock(const std::string& directory, const char* lock_name);
// Removes PARENT/PREFIXXXXXXX directories whose owner is gone; how many it removed.
int RemoveLeftoverDirectories(const std::string& parent, const char* prefix, const char* lock_name);
// Unlinks the entries of `directory` (none of them a directory) and the directory itself.
bool RemoveDirectoryAndEntries(const std::string& directory);

}  // namespace platform
