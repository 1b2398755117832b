// Which processes hold a port open: every /proc/PID/fd entry that is the port's node, found by
// the node's device number or, failing a stat, by the path the descriptor names. For a
// pseudo-terminal's slave, a process holding its master (a ptmx descriptor whose fdinfo names
// the same tty-index) is marked as the far end's owner. Only a serial port has holders: those
// of /dev/null or a file would explain nothing about a port.
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
#include "platform/devices/udev_ports.h"

namespace platform {
namespace {

constexpr char ProcRoot[] = "/proc";
constexpr std::size_t CommandNameMax = 256;  // enough of /proc/PID/comm and of argv[0]
constexpr std::size_t CommandNameKept = 15;  // what the kernel keeps of a longer name
constexpr unsigned PtySlaveMajorFirst = 136;     // Unix98 pty slaves: majors 136-143
constexpr unsigned PtySlaveMajorLast = 143;
constexpr unsigned PtyMinorsPerMajor = 256;
constexpr std::size_t FdInfoMax = 512;
constexpr char TtyIndexField[] = "tty-index:";

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

// The start of /proc/PID/NAME, up to a newline or NUL; "" when it cannot be read.
std::string ProcText(int pid, const char* name) {
    std::string path = std::string(ProcRoot) + "/" + std::to_string(pid) + "/" + name;
    int fd = internal::SysOpen(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return "";
    char buffer[CommandNameMax];
    ssize_t n = internal::SysRead(fd, buffer, sizeof buffer);
    internal::SysClose(fd);
    if (n <= 0) return "";
    std::string text(buffer, static_cast<std::size_t>(n));
    return text.substr(0, text.find_first_of(std::string("\n\0", 2)));
}

std::string CommandName(int pid) {
    std::string name = ProcText(pid, "comm");
    if (name.empty()) return "?";
    // The kernel cuts the name to 15 bytes ("firmware-utilit"); the program's own name, when
    // it starts so, is the one a person knows.
    if (name.size() == CommandNameKept) {
        std::string program = ProcText(pid, "cmdline");
        program = program.substr(program.rfind('/') + 1);
        if (program.rfind(name, 0) == 0) return program;
    }
    return name;
}

struct NodeIdentity {
    std::string path;
    bool is_char_device = false;
    dev_t rdev = 0;
    int pty_index = -1;  // a pty slave's number, else -1
};

// Whether descriptor `entry` (of /proc/PID/fd) is a pty master whose slave is number `index`.
bool DescriptorIsMasterOf(int pid, int fd_dir, const char* entry, int index) {
    char link[PATH_MAX];
    ssize_t n = ::readlinkat(fd_dir, entry, link, sizeof link - 1);
    if (n <= 0) return false;
    link[n] = '\0';
    if (std::strcmp(link, "/dev/ptmx") != 0 && std::strcmp(link, "/dev/pts/ptmx") != 0) return false;
    std::string info_path = std::string(ProcRoot) + "/" + std::to_string(pid) + "/fdinfo/" + entry;
    int fd = internal::SysOpen(info_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char info[FdInfoMax];
    ssize_t got = internal::SysRead(fd, info, sizeof info - 1);
    internal::SysClose(fd);
    if (got <= 0) return false;
    info[got] = '\0';
    const char* field = std::strstr(info, TtyIndexField);
    return field && std::strtol(field + std::strlen(TtyIndexField), nullptr, 10) == index;
}

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

// True when process `pid` has `node` open (*far_end: it holds its master too); *denied when
// its descriptors may not be read.
bool ProcessHolds(int pid, const NodeIdentity& node, bool* denied, bool* far_end) {
    OpenDirectory fds(std::string(ProcRoot) + "/" + std::to_string(pid) + "/fd");
    if (!fds.dir) {
        // A process that ended meanwhile holds nothing; one we may not look at might.
        if (errno == EACCES || errno == EPERM) *denied = true;
        return false;
    }
    int fd_dir = ::dirfd(fds.dir);
    bool holds = false;
    while (const dirent* entry = ::readdir(fds.dir)) {
        if (entry->d_name[0] == '.') continue;
        if (DescriptorIsNode(fd_dir, entry->d_name, node)) holds = true;
        if (node.pty_index >= 0 && DescriptorIsMasterOf(pid, fd_dir, entry->d_name, node.pty_index)) *far_end = true;
    }
    return holds;
}

bool IsPtySlave(dev_t rdev) { return major(rdev) >= PtySlaveMajorFirst && major(rdev) <= PtySlaveMajorLast; }

}  // namespace

bool IsSerialPortNode(const std::string& node) {
    struct stat info {};
    if (::stat(node.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) return false;
    if (IsPtySlave(info.st_rdev)) return true;
    // A serial port is a tty device with a driver behind it, as the port listing counts them.
    internal::UdevPtr context(udev_new());
    if (!context) return true;  // cannot tell: a character device might be one
    internal::DevicePtr device(udev_device_new_from_devnum(context.get(), 'c', info.st_rdev));
    if (!device) return true;
    const std::string subsystem = internal::UdevText(udev_device_get_subsystem(device.get()));
    return subsystem == internal::TtySubsystem && !internal::SerialPortDriver(device.get()).empty();
}

std::vector<PortHolder> FindPortHolders(const std::string& path, bool* unknown) {
    *unknown = false;
    std::vector<PortHolder> holders;
    std::string node;  // a port named by identity: the node it stands for now
    if (!ResolvePortPath(path, &node) || !IsSerialPortNode(node)) return holders;
    NodeIdentity identity{node};
    struct stat node_stat {};
    if (::stat(node.c_str(), &node_stat) == 0 && S_ISCHR(node_stat.st_mode)) {
        identity.is_char_device = true;
        identity.rdev = node_stat.st_rdev;
        const unsigned major_number = major(node_stat.st_rdev);
        if (IsPtySlave(node_stat.st_rdev)) {
            identity.pty_index =
                static_cast<int>((major_number - PtySlaveMajorFirst) * PtyMinorsPerMajor + minor(node_stat.st_rdev));
        }
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
        bool far_end = false;
        if (ProcessHolds(pid, identity, &denied, &far_end)) holders.push_back({pid, CommandName(pid), far_end});
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

std::vector<PortHolder> FindSharingHolders(const std::string& node, bool* unknown) {
    std::vector<PortHolder> sharing;
    for (const PortHolder& holder : FindPortHolders(node, unknown)) {
        // Neither this process nor a pty's own far end shares the line.
        if (holder.pid != ::getpid() && !holder.far_end) sharing.push_back(holder);
    }
    return sharing;
}

std::string ProcessCommandName(int pid) { return CommandName(pid); }

std::string OwnCommandName() { return CommandName(::getpid()); }

}  // namespace platform
