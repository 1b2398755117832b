// Regular files only, opened without ever blocking. See platform/base/user_file.h.
#include "platform/base/user_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "platform/base/sys.h"

namespace platform {
namespace {

constexpr mode_t OutputMode = 0644;

// Columns: (file type bits, what the user named instead of a file).
struct FileKind {
    mode_t type;
    const char* name;
};
constexpr FileKind FileKinds[] = {
    {S_IFIFO, "a FIFO"},          {S_IFSOCK, "a socket"}, {S_IFCHR, "a character device"},
    {S_IFBLK, "a block device"}, {S_IFDIR, "a directory"},
};

// False with *reason when `mode` is not a regular file's.
bool Regular(mode_t mode, std::string* reason) {
    if (S_ISREG(mode)) return true;
    *reason = "not a regular file";
    for (const FileKind& kind : FileKinds) {
        if ((mode & S_IFMT) == kind.type) *reason = std::string(kind.name) + ", not a regular file";
    }
    errno = EINVAL;
    return false;
}

}  // namespace

int OpenUserFile(const std::string& path, UserFileUse use, std::string* reason) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        if (!Regular(info.st_mode, reason)) return -1;
    } else if (errno != ENOENT || use == UserFileUse::Input) {
        *reason = std::strerror(errno);
        return -1;
    }
    const int flags = use == UserFileUse::Input ? O_RDONLY : O_WRONLY | O_CREAT | O_TRUNC;
    int fd = internal::SysOpen(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, OutputMode);
    if (fd < 0) {
        // ENXIO: a FIFO put in its place, with no reader.
        *reason = errno == ENXIO ? "a FIFO, not a regular file" : std::strerror(errno);
        return -1;
    }
    if (::fstat(fd, &info) != 0 || !Regular(info.st_mode, reason)) {
        int error = errno;
        if (reason->empty()) *reason = std::strerror(error);
        internal::SysClose(fd);
        errno = error;
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

std::FILE* OpenUserFileStream(const std::string& path, UserFileUse use, std::string* reason) {
    int fd = OpenUserFile(path, use, reason);
    if (fd < 0) return nullptr;
    std::FILE* stream = ::fdopen(fd, use == UserFileUse::Input ? "rb" : "w");
    if (stream == nullptr) {
        int error = errno;
        *reason = std::strerror(error);
        internal::SysClose(fd);
        errno = error;
    }
    return stream;
}

}  // namespace platform
