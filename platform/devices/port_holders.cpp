// Which processes hold a port open: every /proc/PID/fd entry that is the port's node, found by
// the node's device number or, failing a stat, by the path the descriptor names.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/base/sys.h"
#include "platform/devices/ports.h"

namespace platform {
namespace {

constexpr char ProcRoot[] = "/proc";
constexpr std::size_t CommandNameMax = 64;  // /proc/PID/comm holds at most 16 bytes
constexpr std::size_t FdInfoMax = 4096;
constexpr unsigned PtySlaveFirstMajor = 136;  // Unix98 pty slaves: majors 136 to 143
constexpr unsigned PtySlaveLastMajor = 143;
constexpr unsigned PtyMinorsPerMajor = 256;
constexpr char PtyIndexField[] = "tty-index:";

// A directory opened through the system-call seam (so a test can refuse it), closed at scope end.
struct OpenDirectory {
    DIR* dir = nullptr;
    explicit OpenDirectory(const std::string& path) {
        int fd = internal::SysOpen(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return;
        dir = ::fdopendir(fd);
        if (!dir) internal::SysClose(fd);
    }
    ~OpenDirectory() {
        if (dir) ::closedir(dir);
    }
    OpenDirectory(const OpenDirectory&) = delete;
    OpenDirectory& operator=(const OpenDirectory&) = delete;
};

// A positive decimal pid from a /proc entry name, else 0.
int PidOf(const char* name) {
    char* end = nullptr;
    long pid = std::strtol(name, &end, 10);
    if (end == name || *end != '\0' || pid <= 0) return 0;
    return static_cast<int>(pid);
}

std::string CommandName(int pid) {
    std::string path = std::string(ProcRoot) + "/" + std::to_string(pid) + "/comm";
    int fd = internal::SysOpen(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "?";
    char buffer[CommandNameMax];
    ssize_t n = internal::SysRead(fd, buffer, sizeof buffer);
    internal::SysClose(fd);
    if (n <= 0) return "?";
    std::string name(buffer, static_cast<std::size_t>(n));
    while (!name.empty() && (name.back() == '\n' || name.back() == '\0')) name.pop_back();
    return name;
}

struct NodeIdentity {
    std::string path;
    bool is_char_device = false;
    dev_t rdev = 0;
};

bool DescriptorIsNode(int fd_dir, const char* entry, const NodeIdentity& node) {
    struct stat target {};
    if (node.is_char_device && ::fstatat(fd_dir, entry, &target, 0) == 0) {
        if (S_ISCHR(target.st_mode) && target.st_rdev == node.rdev) return true;
    }
    char link[PATH_MAX];
    ssize_t n = ::readlinkat(fd_dir, entry, link, sizeof link - 1);
    if (n <= 0) return false;
    link[n] = '\0';
    return node.path == link;
}

// True when process `pid` has `node` open; *denied when its descriptors may not be read.
bool ProcessHolds(int pid, const NodeIdentity& node, bool* denied) {
    OpenDirectory fds(std::string(ProcRoot) + "/" + std::to_string(pid) + "/fd");
    if (!fds.dir) {
        // A process that ended meanwhile holds nothing; one we may not look at might.
        if (errno == EACCES || errno == EPERM) *denied = true;
        return false;
    }
    int fd_dir = ::dirfd(fds.dir);
    while (const dirent* entry = ::readdir(fds.dir)) {
        if (entry->d_name[0] == '.') continue;
        if (DescriptorIsNode(fd_dir, entry->d_name, node)) return true;
    }
    return false;
}

}  // namespace

std::vector<PortHolder> FindPortHolders(const std::string& node, bool* unknown) {
    *unknown = false;
    std::vector<PortHolder> holders;
    NodeIdentity identity{node};
    struct stat node_stat {};
    if (::stat(node.c_str(), &node_stat) == 0 && S_ISCHR(node_stat.st_mode)) {
        identity.is_char_device = true;
        identity.rdev = node_stat.st_rdev;
    }
    OpenDirectory proc(ProcRoot);
    if (!proc.dir) {
        *unknown = true;
        return holders;
    }
    bool denied = false;
    while (const dirent* entry = ::readdir(proc.dir)) {
        int pid = PidOf(entry->d_name);
        if (pid == 0) continue;
        if (ProcessHolds(pid, identity, &denied)) holders.push_back({pid, CommandName(pid)});
    }
    *unknown = holders.empty() && denied;
    return holders;
}

bool ProcessRunning(const char* name) {
    OpenDirectory proc(ProcRoot);
    if (!proc.dir) return false;
    while (const dirent* entry = ::readdir(proc.dir)) {
        int pid = PidOf(entry->d_name);
        if (pid != 0 && CommandName(pid) == name) return true;
    }
    return false;
}

}  // namespace platform

namespace platform {
namespace {

// The pty index of a slave node (/dev/pts/N: N), or -1 for anything else.
long PtyIndex(const std::string& node) {
    struct stat info {};
    if (::stat(node.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) return -1;
    const unsigned major_number = major(info.st_rdev);
    if (major_number < PtySlaveFirstMajor || major_number > PtySlaveLastMajor) return -1;
    return static_cast<long>((major_number - PtySlaveFirstMajor) * PtyMinorsPerMajor + minor(info.st_rdev));
}

// True when process `pid` holds the master side of pty `index` (its fdinfo names the index).
bool HoldsPtyMaster(int pid, long index) {
    const std::string base = std::string(ProcRoot) + "/" + std::to_string(pid);
    OpenDirectory fds(base + "/fd");
    if (!fds.dir) return false;
    int fd_dir = ::dirfd(fds.dir);
    while (const dirent* entry = ::readdir(fds.dir)) {
        if (entry->d_name[0] == '.') continue;
        char link[PATH_MAX];
        ssize_t n = ::readlinkat(fd_dir, entry->d_name, link, sizeof link - 1);
        if (n <= 0) continue;
        link[n] = '\0';
        if (std::strcmp(link, "/dev/ptmx") != 0 && std::strcmp(link, "/dev/pts/ptmx") != 0) continue;
        int info = internal::SysOpen((base + "/fdinfo/" + entry->d_name).c_str(), O_RDONLY | O_CLOEXEC);
        if (info < 0) continue;
        char text[FdInfoMax];
        ssize_t got = internal::SysRead(info, text, sizeof text - 1);
        internal::SysClose(info);
        if (got <= 0) continue;
        text[got] = '\0';
        const char* field = std::strstr(text, PtyIndexField);
        if (field != nullptr && std::strtol(field + sizeof PtyIndexField - 1, nullptr, 10) == index) return true;
    }
    return false;
}

}  // namespace

std::vector<PortHolder> FindSharingHolders(const std::string& node, bool* unknown) {
    const long pty_index = PtyIndex(node);
    std::vector<PortHolder> sharing;
    for (const PortHolder& holder : FindPortHolders(node, unknown)) {
        if (holder.pid == ::getpid()) continue;
        if (pty_index >= 0 && HoldsPtyMaster(holder.pid, pty_index)) continue;
        sharing.push_back(holder);
    }
    return sharing;
}

}  // namespace platform
