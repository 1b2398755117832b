// Files named by the user, opened without ever blocking. See platform/base/user_file.h.
#include "platform/base/user_file.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "platform/base/sys.h"
#include "platform/base/system.h"

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

// Fails with errno and the last error set, its text `reason` (the system's words when empty).
int Refuse(int error, std::string reason = {}) {
    SetLastError(static_cast<std::uint32_t>(error), std::move(reason));
    errno = error;
    return -1;
}

// False with the last error EINVAL when `mode` is not a file of that use: a regular file, and
// for an output also a character device or a FIFO (something reads what is written there).
bool Fits(mode_t mode, UserFileUse use) {
    if (S_ISREG(mode)) return true;
    if (use != UserFileUse::Input && (S_ISCHR(mode) || S_ISFIFO(mode))) return true;
    std::string reason = "not a regular file";
    for (const FileKind& kind : FileKinds) {
        if ((mode & S_IFMT) == kind.type) reason = std::string(kind.name) + ", not a regular file";
    }
    Refuse(EINVAL, reason);
    return false;
}

}  // namespace

int OpenUserFile(const std::string& path, UserFileUse use) {
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        if (!Fits(info.st_mode, use)) return -1;
    } else if (errno != ENOENT || use == UserFileUse::Input) {
        return Refuse(errno);
    }
    const int flags = use == UserFileUse::Input    ? O_RDONLY
                      : use == UserFileUse::Output ? O_WRONLY | O_CREAT | O_TRUNC
                                                   : O_WRONLY | O_CREAT | O_APPEND;
    int fd = internal::SysOpen(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, OutputMode);
    if (fd < 0) {
        // ENXIO: a FIFO with no reader, which a blocking open would wait for without end.
        return Refuse(errno, errno == ENXIO ? "a FIFO with nobody reading it" : "");
    }
    const bool looked = ::fstat(fd, &info) == 0;
    if (!looked) Refuse(errno);
    if (!looked || !Fits(info.st_mode, use)) {
        int error = errno;
        internal::SysClose(fd);
        errno = error;
        return -1;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

std::FILE* OpenUserFileStream(const std::string& path, UserFileUse use) {
    int fd = OpenUserFile(path, use);
    if (fd < 0) return nullptr;
    std::FILE* stream = ::fdopen(fd, use == UserFileUse::Input ? "rb" : use == UserFileUse::Output ? "w" : "a");
    if (stream == nullptr) {
        int error = errno;
        internal::SysClose(fd);
        Refuse(error);
    }
    return stream;
}

}  // namespace platform
