// One window per user over the real socket: another process finds the window, asks it to the
// front and delivers commands; a peer of another user id is refused.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>

#include <atomic>
#include <cstring>
#include <set>
#include <vector>

#include "platform/window/instance.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "tests/support/program.h"
#include "tests/support/window_thread.h"
#include "resources/commands.h"

namespace {

using namespace platform;
using fwu_test::Banner;
using fwu_test::ProgramResult;
using fwu_test::RunningProgram;
using fwu_test::RunProgram;

const std::string runtime_directory = fwu_test::UsePrivateRuntimeDirectory();
constexpr char ClassName[] = "Firmware Utility";
constexpr uid_t Nobody = 65534;

std::atomic<int> commands_seen{0};

// Command 77 answers 1; Exit closes; the rest answer 0.
LResult CommandProc(Hwnd window, std::uint32_t message, WParam wparam, LParam lparam) {
    if (message == WM_COMMAND) {
        commands_seen.fetch_add(1);
        if (LowWord(wparam) == commands::Reboot) return 1;  // any command of the table
        if (LowWord(wparam) == commands::Exit) DestroyWindow(window);
        return 0;
    }
    return fwu_test::TestWindowProc(window, message, wparam, lparam);
}

// Claims taken and given back over and over by several processes at once: every refusal
// names one of them (the claim file is never seen empty), and no claim file is left behind.
TEST(Instance, RacingClaimsAlwaysNameTheirHolder) {
    constexpr int Processes = 8;
    constexpr int Rounds = 400;
    const std::string port = "/claimed/race";
    ASSERT_TRUE(PrepareRuntimeDirectory(nullptr));
    int named[2];
    ASSERT_EQ(::pipe2(named, O_CLOEXEC), 0);
    std::set<std::uint32_t> children;
    for (int i = 0; i < Processes; ++i) {
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(named[0]);
            for (int round = 0; round < Rounds; ++round) {
                std::uint32_t holder = 0;
                std::string name;
                const PortClaim result = ClaimPort(port, &holder, &name);
                if (result == PortClaim::Claimed) ReleasePortClaim(port);
                else if (result != PortClaim::Held || ::write(named[1], &holder, sizeof holder) != sizeof holder) ::_exit(2);
            }
            ::_exit(0);
        }
        ASSERT_GT(child, 0);
        children.insert(static_cast<std::uint32_t>(child));
    }
    ::close(named[1]);
    std::vector<std::uint32_t> holders;
    std::uint32_t holder = 0;
    while (::read(named[0], &holder, sizeof holder) == sizeof holder) holders.push_back(holder);
    ::close(named[0]);
    for (std::uint32_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(static_cast<pid_t>(child), &status, 0), static_cast<pid_t>(child));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    EXPECT_FALSE(holders.empty());
    for (std::uint32_t named_pid : holders) EXPECT_EQ(children.count(named_pid), 1u) << named_pid;
    EXPECT_NE(::access((runtime_directory + "/port-_claimed_race.lock").c_str(), F_OK), 0);
}

TEST(Instance, AWindowOfAnotherProcessIsFoundAskedToTheFrontAndCommanded) {
    RunningProgram program({"--headless"});
    ASSERT_TRUE(program.WaitForOutput(Banner)) << program.err();
    Hwnd remote = FindWindow(ClassName);
    ASSERT_NE(remote, 0u);
    EXPECT_EQ(remote % 2, 0u);
    EXPECT_TRUE(SetForegroundWindow(remote | 1));
    std::intptr_t result = -1;
    ASSERT_TRUE(SendCommandToRunningWindow(ClassName, 999, &result));
    EXPECT_EQ(result, 0);
    ASSERT_TRUE(SendCommandToRunningWindow(ClassName, commands::Exit, &result));
    EXPECT_EQ(result, 0);
    ProgramResult end = program.Wait();
    EXPECT_EQ(end.status, 0);
    EXPECT_EQ(end.out, Banner);
    EXPECT_EQ(FindWindow(ClassName), 0u);
    EXPECT_FALSE(SendCommandToRunningWindow(ClassName, commands::Exit, &result));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_FALSE(SetForegroundWindow(remote | 1));
}

TEST(Instance, SecondProgramStartAsksThisWindowToTheFront) {
    fwu_test::WindowThread window(CommandProc, ClassName);
    std::uint64_t before = ObservedKeepAlive().foreground_requests;
    ProgramResult second = RunProgram({"--headless"});
    EXPECT_EQ(second.status, 255) << second.err;
    EXPECT_EQ(second.out, "");
    EXPECT_EQ(ObservedKeepAlive().foreground_requests, before + 1);

    int seen = commands_seen.load();
    // `send` delivers only ids of the command table.
    EXPECT_EQ(RunProgram({"send", "77"}).status, 2);
    EXPECT_EQ(commands_seen.load(), seen);
    ProgramResult one = RunProgram({"send", fwu_test::Id(commands::Reboot)});
    EXPECT_EQ(one.status, 1);
    EXPECT_EQ(one.out, "1\n");
    EXPECT_EQ(commands_seen.load(), seen + 1);
    ProgramResult close = RunProgram({"send", fwu_test::Id(commands::Exit)});
    EXPECT_EQ(close.status, 0);
    EXPECT_EQ(window.Join(), 0);
    EXPECT_EQ(RunProgram({"send", fwu_test::Id(commands::Reboot)}).status, 3);
}

TEST(Instance, RuntimeDirectoryChecks) {
    std::string error;
    ASSERT_TRUE(PrepareRuntimeDirectory()) << LastErrorText();
    fwu_test::TempDir dir;
    std::string open_dir = dir.path() + "/open";
    ASSERT_EQ(::mkdir(open_dir.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(open_dir.c_str(), 0750), 0);
    ::setenv("FIRMWARE_UTILITY_RUNTIME_DIR", open_dir.c_str(), 1);
    EXPECT_FALSE(PrepareRuntimeDirectory());
    error = LastErrorText();
    EXPECT_EQ(error, open_dir + ": mode 0750, must be 0700");
    std::intptr_t result;
    EXPECT_FALSE(SendCommandToRunningWindow(ClassName, 1, &result));
    std::string file = dir.path() + "/file";
    ASSERT_EQ(::close(::creat(file.c_str(), 0600)), 0);
    ::setenv("FIRMWARE_UTILITY_RUNTIME_DIR", file.c_str(), 1);
    EXPECT_FALSE(PrepareRuntimeDirectory());
    error = LastErrorText();
    EXPECT_EQ(error, file + ": not a directory");
    std::string link = dir.path() + "/link";
    ASSERT_EQ(::symlink(runtime_directory.c_str(), link.c_str()), 0);
    ::setenv("FIRMWARE_UTILITY_RUNTIME_DIR", link.c_str(), 1);
    EXPECT_FALSE(PrepareRuntimeDirectory());
    error = LastErrorText();
    EXPECT_EQ(error, link + ": a symbolic link, not a directory (name the directory itself)");
    EXPECT_EQ(errno, ELOOP);
    ::setenv("FIRMWARE_UTILITY_RUNTIME_DIR", "relative/rt", 1);
    EXPECT_FALSE(PrepareRuntimeDirectory());
    error = LastErrorText();
    EXPECT_EQ(error, "relative/rt: not an absolute path");
    // Room for the socket's name is checked only when a class is named.
    std::string deep = dir.path() + "/" + std::string(90, 'd');
    ::setenv("FIRMWARE_UTILITY_RUNTIME_DIR", deep.c_str(), 1);
    EXPECT_FALSE(PrepareRuntimeDirectory(ClassName));
    error = LastErrorText();
    EXPECT_EQ(errno, ENAMETOOLONG);
    EXPECT_NE(error.find("a Unix socket address holds 107"), std::string::npos) << error;
    EXPECT_EQ(FindWindow(ClassName), 0u);
    EXPECT_TRUE(PrepareRuntimeDirectory()) << LastErrorText();
    ::setenv("FIRMWARE_UTILITY_RUNTIME_DIR", runtime_directory.c_str(), 1);
}

// In a child: become uid 65534, keeping the right to pass through directories (so the 0700
// directory does not already stop it), then ask the window for command 77. Exit 0: closed
// without an answer; 1: answered; 2: could not arrange the test.
int AskAsAnotherUser(const std::string& socket_path) {
    if (::prctl(PR_SET_KEEPCAPS, 1) != 0 || ::setgroups(0, nullptr) != 0 || ::setresgid(Nobody, Nobody, Nobody) != 0 ||
        ::setresuid(Nobody, Nobody, Nobody) != 0) {
        return 2;
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    std::uint32_t wanted = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH);
    data[0].effective = data[0].permitted = wanted;
    if (::syscall(SYS_capset, &header, data) != 0) return 2;
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socket_path.c_str(), sizeof address.sun_path - 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 2;
    platform::internal::InstanceRequest request{platform::internal::InstanceMagic,
                                                platform::internal::InstanceCommand, 77};
    if (::send(fd, &request, sizeof request, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof request)) return 0;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) != 1) return 1;  // neither answered nor closed
    char reply[64];
    return ::read(fd, reply, sizeof reply) > 0 ? 1 : 0;
}

TEST(Instance, APeerOfAnotherUserIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a peer under another user id";
    fwu_test::WindowThread window(CommandProc, ClassName);
    std::string path = platform::internal::InstanceSocketPath(runtime_directory, ClassName);
    int seen = commands_seen.load();
    pid_t child = ::fork();
    if (child == 0) ::_exit(AskAsAnotherUser(path));
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "could not switch user id or keep CAP_DAC_OVERRIDE here";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the window answered a peer of another user";
    EXPECT_EQ(commands_seen.load(), seen);
    EXPECT_TRUE(IsWindow(window.window()));

    // The program run by that user stops at the directory that is not its own.
    pid_t program = ::fork();
    if (program == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(Nobody, Nobody, Nobody) != 0 ||
            ::setresuid(Nobody, Nobody, Nobody) != 0) {
            ::_exit(100);
        }
        int null_fd = ::open("/dev/null", O_WRONLY);
        ::dup2(null_fd, STDOUT_FILENO);
        ::dup2(null_fd, STDERR_FILENO);
        const std::string reboot = fwu_test::Id(commands::Reboot);
        ::execl(FWU_PROGRAM, FWU_PROGRAM, "send", reboot.c_str(), static_cast<char*>(nullptr));
        ::_exit(101);
    }
    ASSERT_EQ(::waitpid(program, &status, 0), program);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 101) GTEST_SKIP() << "user 65534 cannot run the program from its build directory";
    EXPECT_EQ(WEXITSTATUS(status), 2);
    EXPECT_EQ(commands_seen.load(), seen);
}

}  // namespace
