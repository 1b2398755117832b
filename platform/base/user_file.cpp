// Files named by the user, opened without ever blocking. See platform/base/user_file.h.
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

// False with *reason when `mode` is not a file of that use: a regular file, and for an output
// also a character device or a FIFO (something reads what is written there).
bool Fits(mode_t mode, UserFileUse use, std::string* reason) {
    if (S_ISREG(mode)) return true;
    if (use != UserFileUse::Input && (S_ISCHR(mode) || S_ISFIFO(mode))) return true;
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
        if (!Fits(info.st_mode, use, reason)) return -1;
    } else if (errno != ENOENT || use == UserFileUse::Input) {
        *reason = std::strerror(errno);
        return -1;
    }
    const int flags = use == UserFileUse::Input    ? O_RDONLY
                      : use == UserFileUse::Output ? O_WRONLY | O_CREAT | O_TRUNC
                                                   : O_WRONLY | O_CREAT | O_APPEND;
    int fd = internal::SysOpen(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, OutputMode);
    if (fd < 0) {
        // ENXIO: a FIFO with no reader, which a blocking open would wait for without end.
        *reason = errno == ENXIO ? "a FIFO with nobody reading it" : std::strerror(errno);
        return -1;
    }
    if (::fstat(fd, &info) != 0 || !Fits(info.st_mode, use, reason)) {
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
    std::FILE* stream = ::fdopen(fd, use == UserFileUse::Input ? "rb" : use == UserFileUse::Output ? "w" : "a");
    if (stream == nullptr) {
        int error = errno;
        *reason = std::strerror(error);
        internal::SysClose(fd);
        errno = error;
    }
    return stream;
}

}  // namespace platform
