// Figures of the one-window-per-user socket and of the clean-up after a kill, with the real
// program: `send` latency with no, 10 idle and 10 half-sent connections open; the second start's
// exit code and time with 10 idle connections open; handset directories left after SIGKILLs and
// after a restart.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int SendRuns = 50;
constexpr int IdleConnections = 10;
constexpr int Kills = 3;
constexpr auto StartWait = std::chrono::milliseconds(700);  // the window (and its handset) up

pid_t Spawn(const std::vector<std::string>& args) {
    std::vector<std::string> all{FWU_PROGRAM};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& arg : all) argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int Wait(pid_t pid) {
    int status = 0;
    if (pid <= 0 || ::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Runs the program to its end: (exit code, milliseconds).
std::pair<int, double> Timed(const std::vector<std::string>& args) {
    auto start = Clock::now();
    int code = Wait(Spawn(args));
    return {code, std::chrono::duration<double, std::milli>(Clock::now() - start).count()};
}

std::vector<int> OpenConnections(const std::string& path, int count, std::size_t bytes_sent) {
    std::vector<int> fds;
    const char part[16] = {'F', 'W', 'U', '1'};
    for (int i = 0; i < count; ++i) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && bytes_sent > 0) {
            [[maybe_unused]] ssize_t n = ::write(fd, part, std::min(bytes_sent, sizeof part));
        }
        fds.push_back(fd);
    }
    return fds;
}

void CloseAll(std::vector<int>* fds) {
    for (int fd : *fds) ::close(fd);
    fds->clear();
}

void SendLatency(const char* what) {
    std::vector<double> times;
    for (int i = 0; i < SendRuns; ++i) times.push_back(Timed({"send", "999"}).second);
    double first = times.front();
    std::sort(times.begin(), times.end());
    std::printf("send 999, %-28s first %8.1f ms   median %6.1f ms   max %8.1f ms   (%d runs)\n", what, first,
                times[times.size() / 2], times.back(), SendRuns);
}

int HandsetDirectories(const std::string& parent) {
    int count = 0;
    DIR* dir = ::opendir(parent.c_str());
    if (dir == nullptr) return -1;
    while (const dirent* entry = ::readdir(dir)) count += std::strncmp(entry->d_name, "fwu-handset-", 12) == 0;
    ::closedir(dir);
    return count;
}

}  // namespace

int main() {
    char pattern[] = "/tmp/fwu-instance-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) return 1;
    const std::string dir = pattern;
    const std::string runtime = dir + "/rt";
    ::setenv("FIRMWARE_UTILITY_RUNTIME_DIR", runtime.c_str(), 1);
    ::setenv("TMPDIR", dir.c_str(), 1);
    const std::string socket = runtime + "/Firmware_Utility.sock";

    pid_t window = Spawn({"--headless"});
    std::this_thread::sleep_for(StartWait);
    SendLatency("no other connection:");
    auto idle = OpenConnections(socket, IdleConnections, 0);
    // A window that is let start runs until its command 101 closes it: exit 0.
    auto second = Timed({"--headless", "--command", "101"});
    std::printf("second start, 10 idle connections open: exit %d after %.1f ms (255: refused)\n", second.first,
                second.second);
    CloseAll(&idle);
    idle = OpenConnections(socket, IdleConnections, 0);
    SendLatency("10 idle connections open:");
    CloseAll(&idle);
    auto half = OpenConnections(socket, IdleConnections, 6);
    SendLatency("10 half-sent requests open:");
    CloseAll(&half);
    Timed({"send", "101"});
    Wait(window);

    for (int i = 0; i < Kills; ++i) {
        pid_t bridge = Spawn({"bridge"});
        std::this_thread::sleep_for(StartWait);
        ::kill(bridge, SIGKILL);
        Wait(bridge);
    }
    std::printf("handset directories after %d x (bridge, SIGKILL): %d\n", Kills, HandsetDirectories(dir));
    Timed({"--headless", "--command", "101"});
    std::printf("handset directories after a restart that ended normally: %d\n", HandsetDirectories(dir));
    std::string remove = "rm -rf '" + dir + "'";
    return std::system(remove.c_str()) == 0 ? 0 : 1;
}
