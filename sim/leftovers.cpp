// Left-over handset directories: the platform's sweep of private directories, with the
// handsets' prefix and lock name.
#include "sim/leftovers.h"

#include "platform/base/leftovers.h"

namespace sim {

int TakeHandsetLock(const std::string& directory, std::string* error) {
    return platform::TakeDirectoryLock(directory, LockName, error);
}

int RemoveLeftoverHandsets(const std::string& parent) {
    return platform::RemoveLeftoverDirectories(parent, DirectoryPrefix, LockName);
}

}  // namespace sim
