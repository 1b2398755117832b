// Implemented in sim/leftovers.cpp.
// The simulated handsets' private directories outlive a process that is killed (SIGKILL). Each
// handset holds a lock on handset.lock in its directory for as long as it runs; a start sweeps
// the parent directory and removes the fwu-handset-XXXXXX directories of this user whose lock is
// free, so never the directory of a handset that still runs, in this process or another.
//
// Index: DirectoryPrefix LockName TakeHandsetLock RemoveLeftoverHandsets
#pragma once

#include <string>

namespace sim {

inline constexpr char DirectoryPrefix[] = "fwu-handset-";
inline constexpr char LockName[] = "handset.lock";

// Creates DIRECTORY/handset.lock already locked (it appears under its name only once locked).
// The descriptor, to keep open while the handset runs; -1 with *error set.
int TakeHandsetLock(const std::string& directory, std::string* error);
// Removes the directories of handsets whose process is gone; how many it removed.
int RemoveLeftoverHandsets(const std::string& parent);

}  // namespace sim
