// Left-over handset directories: the platform's sweep of private directories, with the
// handsets' prefix and lock name.
#include "sim/leftovers.h"

#include "platform/base/leftovers.h"
#include "platform/base/system.h"

namespace sim {

int TakeHandsetLock(const std::string& directory, std::string* error) {
    const int fd = platform::TakeDirectoryLock(directory, LockName);
    if (fd < 0) *error = platform::LastErrorText();
    return fd;
}

int RemoveLeftoverHandsets(const std::string& parent) {
    return platform::RemoveLeftoverDirectories(parent, DirectoryPrefix, LockName);
}

}  // namespace sim
