// Left-over private directories: found by their name, judged by their lock, removed through
// descriptors (never by following a path that someone could swap for a link).
#include "platform/base/leftovers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/base/system.h"

namespace platform {
namespace {

constexpr char PendingSuffix[] = ".new";
constexpr std::size_t RandomPartLength = 6;  // mkdtemp's XXXXXX

std::vector<std::string> Entries(int directory_fd) {
    std::vector<std::string> names;
    int listing = ::dup(directory_fd);
    if (listing < 0) return names;
    DIR* dir = ::fdopendir(listing);
    if (dir == nullptr) {
        ::close(listing);
        return names;
    }
    ::rewinddir(dir);
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names.emplace_back(entry->d_name);
        }
    }
    ::closedir(dir);
    return names;
}

// The directory `name` in `parent_fd` when it is one of this user's whose owner is gone:
// emptied and removed. False when it is someone else's, still in use, or has no lock.
bool RemoveIfLeftOver(int parent_fd, const std::string& name, const char* lock_name) {
    struct stat info {};
    if (::fstatat(parent_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::geteuid()) {
        return false;
    }
    int dir = ::openat(parent_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) return false;
    // No lock file: an owner between its mkdtemp and its lock, or not one of ours.
    int lock = ::openat(dir, lock_name, O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    bool gone = lock >= 0 && ::flock(lock, LOCK_EX | LOCK_NB) == 0;
    if (gone) {
        for (const std::string& entry : Entries(dir)) ::unlinkat(dir, entry.c_str(), 0);
        gone = ::unlinkat(parent_fd, name.c_str(), AT_REMOVEDIR) == 0;
    }
    if (lock >= 0) ::close(lock);
    ::close(dir);
    return gone;
}

}  // namespace

int TakeDirectoryLock(const std::string& directory, const char* lock_name) {
    std::string path = directory + "/" + lock_name;
    std::string pending = path + PendingSuffix;
    int fd = ::open(pending.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::rename(pending.c_str(), path.c_str()) != 0) {
        const int error = errno;
        SetLastError(static_cast<std::uint32_t>(error), path + ": " + std::strerror(error));
        if (fd >= 0) {
            ::unlink(pending.c_str());
            ::close(fd);
        }
        errno = error;
        return -1;
    }
    return fd;
}

int RemoveLeftoverDirectories(const std::string& parent, const char* prefix, const char* lock_name) {
    int parent_fd = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parent_fd < 0) return 0;
    int removed = 0;
    const std::size_t prefix_length = std::strlen(prefix);
    for (const std::string& name : Entries(parent_fd)) {
        if (name.size() == prefix_length + RandomPartLength && name.compare(0, prefix_length, prefix) == 0 &&
            RemoveIfLeftOver(parent_fd, name, lock_name)) {
            ++removed;
        }
    }
    ::close(parent_fd);
    return removed;
}

bool RemoveDirectoryAndEntries(const std::string& directory) {
    int dir = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) return false;
    for (const std::string& entry : Entries(dir)) ::unlinkat(dir, entry.c_str(), 0);
    ::close(dir);
    return ::rmdir(directory.c_str()) == 0;
}

}  // namespace platform
