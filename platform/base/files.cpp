// Whole-file reads and existence checks. See platform/base/files.h.
#include "platform/base/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/base/sys.h"
#include "platform/base/system.h"

namespace platform {
namespace {

constexpr std::size_t ReadChunk = 1 << 16;

// Fails with the last error `code` and `reason` (the system's words when empty).
bool Refuse(int code, const char* reason = "") {
    SetLastError(static_cast<std::uint32_t>(code), reason);
    return false;
}

}  // namespace

bool ReadRegularFile(const std::string& path, std::uint64_t limit, std::string* bytes, std::uint64_t* size) {
    bytes->clear();
    *size = 0;
    // O_NONBLOCK: a FIFO put where a file belongs must not hang the start-up.
    int fd = internal::SysOpen(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return Refuse(errno);
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        const bool directory = S_ISDIR(info.st_mode);
        internal::SysClose(fd);
        return Refuse(directory ? EISDIR : EINVAL, directory ? "a directory, not a regular file" : "not a regular file");
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
            const int error = errno;
            internal::SysClose(fd);
            return Refuse(error);
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

bool CheckDirectory(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return Refuse(errno);
    if (!S_ISDIR(info.st_mode)) return Refuse(ENOTDIR, "not a directory");
    DIR* dir = ::opendir(path.c_str());
    if (dir == nullptr) return Refuse(errno);
    ::closedir(dir);
    return true;
}

bool PathExists(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) return true;
    return errno != ENOENT && errno != ENOTDIR;
}

}  // namespace platform
