// Private runtime scopes and port claims (platform/window/scope.h), on the same file locks as
// the one-window-per-user rule.
#include "platform/window/scope.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "platform/base/spawn.h"
#include "platform/base/system.h"
#include "platform/devices/ports.h"
#include "platform/window/instance.h"

namespace platform {
namespace {

constexpr char ClaimPrefix[] = "/port-";
constexpr char ClaimSuffix[] = ".lock";

std::mutex scope_mutex;
std::string claims_directory;  // guarded by scope_mutex; "" until a private scope is entered
std::string private_directory;
int private_lock = -1;
std::map<std::string, std::string> claimed;  // guarded by scope_mutex: port path -> its claim file

void RemovePrivateDirectory() {
    std::lock_guard lock(scope_mutex);
    ForgetDirectoryAtEnding(private_directory.c_str());
    RemoveStationDirectory(private_directory, private_lock);
}

// The claim file of a port: by its device number, so that a by-id link and its node are one
// port; by its text when it names no device (yet).
std::string ClaimPath(const std::string& path) {
    std::string directory;
    {
        std::lock_guard lock(scope_mutex);
        directory = claims_directory.empty() ? internal::RuntimeDirectory() : claims_directory;
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && S_ISCHR(info.st_mode)) {
        return directory + ClaimPrefix + std::to_string(static_cast<unsigned long long>(info.st_rdev)) + ClaimSuffix;
    }
    std::string key = path;
    for (char& c : key) {
        if (c == '/') c = '_';
    }
    return directory + ClaimPrefix + key + ClaimSuffix;
}

// The claim files of the user's directory that no run holds: those of runs that were killed.
void RemoveLeftoverClaims(const std::string& directory) {
    DIR* listing = ::opendir(directory.c_str());
    if (listing == nullptr) return;
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(listing)) {
        if (std::strncmp(entry->d_name, ClaimPrefix + 1, std::strlen(ClaimPrefix) - 1) == 0) {
            names.push_back(entry->d_name);
        }
    }
    ::closedir(listing);
    for (const std::string& name : names) internal::RemoveUnheldClaim(directory + "/" + name);
}

}  // namespace

bool EnterPrivateRuntimeScope(std::string* directory) {
    RemoveLeftoverStations();  // those of updates that were killed
    RemoveLeftoverClaims(internal::RuntimeDirectory());
    int lock = -1;
    std::string made = MakeStationDirectory(&lock);
    if (made.empty()) return false;
    {
        std::lock_guard guard(scope_mutex);
        claims_directory = internal::RuntimeDirectory();
        private_directory = made;
        private_lock = lock;
    }
    RemoveDirectoryAtEnding(made.c_str());
    std::atexit(RemovePrivateDirectory);
    ::setenv("FIRMWARE_UTILITY_RUNTIME_DIR", made.c_str(), 1);
    *directory = made;
    return true;
}

PortClaim ClaimPort(const std::string& path, std::uint32_t* holder, std::string* holder_name) {
    const std::string lock_path = ClaimPath(path);
    const int result = internal::ClaimInstance(lock_path, holder);
    if (result == 0) {
        std::lock_guard lock(scope_mutex);
        claimed[path] = lock_path;  // given back under this name, wherever the node has gone
        return PortClaim::Claimed;
    }
    SetLastError(static_cast<std::uint32_t>(result));
    if (result != EEXIST) return PortClaim::Unusable;
    *holder_name = *holder != 0 ? ProcessCommandName(static_cast<int>(*holder)) : "?";
    return PortClaim::Held;
}

void ReleasePortClaim(const std::string& path) {
    std::string lock_path;
    {
        std::lock_guard lock(scope_mutex);
        auto it = claimed.find(path);
        if (it == claimed.end()) return;
        lock_path = it->second;
        claimed.erase(it);
    }
    internal::ReleaseInstance(lock_path);
}

}  // namespace platform
