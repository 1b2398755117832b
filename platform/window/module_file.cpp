// The program's own file: /proc/self/exe, or the path a test pretends.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/testing.h"
#include "platform/window/window.h"

namespace platform {
namespace {

std::mutex test_path_mutex;
std::string* test_path = nullptr;  // guarded by test_path_mutex; null: the real path

std::string ProgramPath() {
    {
        std::lock_guard lock(test_path_mutex);
        if (test_path) return *test_path;
    }
    char buffer[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (n < 0) return {};
    return std::string(buffer, static_cast<std::size_t>(n));
}

}  // namespace

std::uint32_t GetModuleFileName(Hinstance instance, char* buffer, std::uint32_t size) {
    if (instance != GetModuleHandle() || buffer == nullptr || size == 0) {
        SetLastError(EINVAL);
        return 0;
    }
    std::string path = ProgramPath();
    if (path.empty()) {
        buffer[0] = '\0';
        SetLastError(ENOENT);
        return 0;
    }
    std::size_t n = path.size() < size ? path.size() : size - 1;
    std::memcpy(buffer, path.data(), n);
    buffer[n] = '\0';
    SetLastError(n < path.size() ? ENAMETOOLONG : 0);
    return static_cast<std::uint32_t>(n);
}

#ifdef FWU_TEST_SEAM
void SetModuleFileNameForTest(const char* path) {
    std::lock_guard lock(test_path_mutex);
    delete test_path;
    test_path = path ? new std::string(path) : nullptr;
}
#endif

}  // namespace platform
