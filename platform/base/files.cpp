// Whole-file reads and existence checks. See platform/base/files.h.
#include "platform/base/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/base/sys.h"

namespace platform {
namespace {

constexpr std::size_t ReadChunk = 1 << 16;

}  // namespace

bool ReadRegularFile(const std::string& path, std::uint64_t limit, std::string* bytes, std::uint64_t* size,
                     std::string* reason) {
    bytes->clear();
    *size = 0;
    // O_NONBLOCK: a FIFO put where a file belongs must not hang the start-up.
    int fd = internal::SysOpen(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *reason = std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        *reason = S_ISDIR(info.st_mode) ? "a directory, not a regular file" : "not a regular file";
        internal::SysClose(fd);
        return false;
    }
    *size = static_cast<std::uint64_t>(info.st_size);
    if (*size > limit) {
        internal::SysClose(fd);
        return true;
    }
    char chunk[ReadChunk];
    for (;;) {
        ssize_t n = internal::SysRead(fd, chunk, sizeof chunk);
        if (n == 0) break;
        if (n < 0) {
            *reason = std::strerror(errno);
            internal::SysClose(fd);
            return false;
        }
        bytes->append(chunk, static_cast<std::size_t>(n));
        // A file that grows past the limit while it is read counts as too large.
        if (bytes->size() > limit) break;
    }
    internal::SysClose(fd);
    *size = bytes->size();
    if (*size > limit) bytes->clear();
    return true;
}

bool CheckDirectory(const std::string& path, std::string* reason) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        *reason = std::strerror(errno);
        return false;
    }
    if (!S_ISDIR(info.st_mode)) {
        *reason = "not a directory";
        return false;
    }
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) {
        *reason = std::strerror(errno);
        return false;
    }
    ::closedir(dir);
    return true;
}

bool PathExists(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) return true;
    return errno != ENOENT && errno != ENOTDIR;
}

}  // namespace platform
