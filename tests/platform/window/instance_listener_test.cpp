// The one-window-per-user socket under load, with the real program: idle, half-sent and
// backlogged connections hold up neither `send` nor the refusal of a second window; a second
// start names the running window's process before it starts anything; runtime directories that
// cannot work (socket path too long, relative, a symbolic link) are refused at start.
#include <gtest/gtest.h>
#include <dirent.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

#include "platform/window/instance.h"
#include "tests/support/program.h"
#include "resources/commands.h"

namespace {

using namespace fwu_test;

constexpr int ConnectBoundSeconds = 5;  // a connect the listener never takes fails the test
constexpr int ProgramMs = 10000;        // every program run is bounded; a hang fails

// A connection to the socket, open and silent until the end of the test.
class Connections {
public:
    ~Connections() {
        for (int fd : fds_) ::close(fd);
    }
    // False when the connect failed (the listener did not take it within the bound).
    bool Open(const std::string& path, const void* bytes = nullptr, std::size_t size = 0) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) return false;
        fds_.push_back(fd);
        timeval bound{ConnectBoundSeconds, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return false;
        return size == 0 || ::write(fd, bytes, size) == static_cast<ssize_t>(size);
    }

    // Waits until the listener has read all that was written on the last connection (the
    // bytes still unread in its socket, SIOCOUTQ, are none); false at the bound.
    bool WaitUntilRead() const {
        for (int i = 0; i < ConnectBoundSeconds * 1000; ++i) {
            int unread = -1;
            if (::ioctl(fds_.back(), SIOCOUTQ, &unread) != 0) return false;
            if (unread == 0) return true;
            ::usleep(1000);
        }
        return false;
    }

private:
    std::vector<int> fds_;
};

std::size_t Lines(const std::string& text) { return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')); }

class Listener : public ::testing::Test {
protected:
    void SetUp() override {
        first_ = std::make_unique<RunningProgram>(std::vector<std::string>{"--headless"}, Env());
        ASSERT_TRUE(first_->WaitForOutput(Banner)) << first_->err();
        socket_ = platform::internal::InstanceSocketPath(RuntimeDir(), "Firmware Utility");
    }
    void TearDown() override {
        if (!first_) return;
        Run({"send", fwu_test::Id(commands::Exit)});
        EXPECT_EQ(first_->Wait(ProgramMs).status, 0) << first_->err();
    }
    std::string RuntimeDir() const { return dir_.path() + "/rt"; }
    std::vector<std::string> Env() const {
        return {"FIRMWARE_UTILITY_RUNTIME_DIR=" + RuntimeDir(), "TMPDIR=" + dir_.path()};
    }
    ProgramResult Run(const std::vector<std::string>& args) { return RunProgram(args, Env(), ProgramMs); }
    // `send 115` (display mode 3, as it starts: answers 0, changes nothing) gets its answer.
    void ExpectSendAnswers() {
        ProgramResult sent = Run({"send", fwu_test::Id(commands::DisplayBoth)});
        EXPECT_EQ(sent.status, 0) << sent.err;
        EXPECT_EQ(sent.out, "0\n");
    }
    void ExpectSecondStartRefused() {
        ProgramResult second = Run({"--headless", "--command", fwu_test::Id(commands::Exit)});
        EXPECT_EQ(second.status, 255) << second.err;
        EXPECT_EQ(second.out, "") << "no second window";
    }

    TempDir dir_;
    std::unique_ptr<RunningProgram> first_;
    std::string socket_;
};

TEST_F(Listener, IdleConnectionsDelayNeitherSendNorTheSecondStartsRefusal) {
    Connections idle;
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(idle.Open(socket_)) << i;
    ExpectSendAnswers();
    ExpectSecondStartRefused();
    ExpectSendAnswers();
}

TEST_F(Listener, HalfSentRequestsDelayNobody) {
    platform::internal::InstanceRequest request{platform::internal::InstanceMagic, platform::internal::InstanceCommand,
                                                commands::Exit};
    Connections half;
    // Every cut of a request that would close the window, none of them ever finished.
    for (std::size_t size = 1; size < sizeof request; ++size) ASSERT_TRUE(half.Open(socket_, &request, size)) << size;
    ExpectSendAnswers();
    ExpectSecondStartRefused();
}

// More connections at once than the backlog and the listener's table hold: each connect is
// taken (none waits out its bound), and the listener still answers.
TEST_F(Listener, AFullBacklogIsDrainedAtOnce) {
    Connections many;
    for (int i = 0; i < 150; ++i) ASSERT_TRUE(many.Open(socket_)) << i << ": " << std::strerror(errno);
    ExpectSendAnswers();
    ExpectSecondStartRefused();
}

// A client that sends its request and goes away before the answer: the command is carried
// out, and the listener goes on.
TEST_F(Listener, AClientGoneBeforeItsAnswerHarmsNothing) {
    platform::internal::InstanceRequest request{platform::internal::InstanceMagic, platform::internal::InstanceCommand,
                                                999};
    {
        Connections gone;
        ASSERT_TRUE(gone.Open(socket_, &request, sizeof request));
    }
    ExpectSendAnswers();
}

// `bridge` and the window alike (`update` is no window): one line naming the running window's
// process and `send`, nothing of their own started (no simulated handset, no output), exit 255.
TEST_F(Listener, ASecondStartSaysWhichWindowRunsBeforeStartingAnything) {
    const std::vector<std::vector<std::string>> starts = {{"bridge"}, {"--headless"}};
    for (const auto& args : starts) {
        ProgramResult second = Run(args);
        EXPECT_EQ(second.status, 255) << args[0] << ": " << second.err;
        EXPECT_EQ(second.out, "") << args[0];
        EXPECT_EQ(Lines(second.err), 1u) << args[0] << ": " << second.err;
        EXPECT_NE(second.err.find("already runs (process " + std::to_string(first_->pid()) + ")"), std::string::npos)
            << second.err;
        EXPECT_NE(second.err.find("`firmware-utility send ID`"), std::string::npos) << second.err;
        EXPECT_EQ(second.err.find("simulated handset"), std::string::npos) << second.err;
    }
    // No simulated handset was started: $TMPDIR holds the first window's alone.
    int handsets = 0;
    DIR* dir = ::opendir(dir_.path().c_str());
    ASSERT_NE(dir, nullptr);
    while (const dirent* entry = ::readdir(dir)) handsets += std::strncmp(entry->d_name, "fwu-handset-", 12) == 0;
    ::closedir(dir);
    EXPECT_EQ(handsets, 1);
}

// One request, one reply, as a client of the wire format; false when no reply came.
bool Ask(const std::string& path, std::uint32_t op, std::uint32_t argument, platform::internal::InstanceReply* reply) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    timeval bound{ConnectBoundSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    platform::internal::InstanceRequest request{platform::internal::InstanceMagic, op, argument};
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    // A busy window answers without reading: a failed write still leaves its reply to read.
    if (ok) (void)::send(fd, &request, sizeof request, MSG_NOSIGNAL);
    ok = ok && ::recv(fd, reply, sizeof *reply, MSG_WAITALL) == static_cast<ssize_t>(sizeof *reply);
    ::close(fd);
    return ok;
}

// A command id wider than 16 bits is refused whole, never cut to the command in its low bits
// (0x10065 would be Exit); so is an argument to a request that takes none.
TEST_F(Listener, ARequestThatDoesNotFitItsFormIsRefused) {
    using namespace platform::internal;
    const struct {
        std::uint32_t op;
        std::uint32_t argument;
    } rows[] = {{InstanceCommand, 0x10000u | commands::Exit}, {InstanceCommandAwait, 0xFFFF0000u | commands::Exit},
                {InstancePing, 1}, {InstanceFront, commands::Exit}};
    for (const auto& row : rows) {
        InstanceReply reply{};
        ASSERT_TRUE(Ask(socket_, row.op, row.argument, &reply)) << row.op;
        EXPECT_EQ(reply.status, EINVAL) << row.op << " " << row.argument;
    }
    ExpectSendAnswers();  // the window did not close
}

// Twenty starts at once, a few times: one window, whatever the order they reach the lock,
// bind and listen in. The others end with 255 and start nothing.
TEST(RacedStarts, LeaveOneWindow) {
    constexpr int Starts = 20;
    constexpr int Trials = 3;
    for (int trial = 0; trial < Trials; ++trial) {
        TempDir dir;
        const std::vector<std::string> env = {"FIRMWARE_UTILITY_RUNTIME_DIR=" + dir.path() + "/rt",
                                              "TMPDIR=" + dir.path()};
        std::vector<std::unique_ptr<RunningProgram>> starts;
        for (int i = 0; i < Starts; ++i) {
            starts.push_back(std::make_unique<RunningProgram>(std::vector<std::string>{"--headless"}, env));
        }
        // Once a window answers, the rest can only find it.
        bool answered = false;
        for (int attempt = 0; attempt < 100 && !answered; ++attempt) {
            answered = RunProgram({"send", Id(commands::DisplayBoth)}, env, ProgramMs).status == 0;
        }
        ASSERT_TRUE(answered) << trial;
        int windows = 0, refused = 0;
        std::vector<ProgramResult> ended;
        for (auto& start : starts) {
            // The loser's end comes on its own; the winner's after Exit below.
            if (start->WaitForOutput(Banner, 200)) continue;
            ProgramResult result = start->Wait(ProgramMs);
            refused += result.status == 255;
        }
        EXPECT_EQ(RunProgram({"send", Id(commands::Exit)}, env, ProgramMs).status, 0);
        for (auto& start : starts) {
            if (start->out().find(Banner) == std::string::npos) continue;
            ++windows;
            EXPECT_EQ(start->Wait(ProgramMs).status, 0) << start->err();
        }
        EXPECT_EQ(windows, 1) << trial;
        EXPECT_EQ(refused, Starts - 1) << trial;
    }
}

// Every slot of the window waits for it (commands behind a 2 s adapter): a newcomer is told
// "busy" (send: exit 4, not 3), a second start still finds the window and ends with 255, and
// SIGTERM closes the window at once, ahead of what is queued.
TEST(FullSlots, AnswerBusyKeepOneWindowAndLetACloseThrough) {
    using namespace platform::internal;
    TempDir dir;
    const std::string slow = dir.path() + "/slow.sh";
    {
        std::ofstream(slow) << "#!/bin/sh\nsleep 2\n";
        std::ofstream(dir.path() + "/slow.prof") << "[devices]\nRIL1: = exec:" << slow << "\n";
    }
    ::chmod(slow.c_str(), 0755);
    const std::vector<std::string> env = {"FIRMWARE_UTILITY_RUNTIME_DIR=" + dir.path() + "/rt", "TMPDIR=" + dir.path()};
    RunningProgram window({"--headless", "--profile", dir.path() + "/slow.prof"}, env);
    ASSERT_TRUE(window.WaitForOutput(Banner)) << window.err();
    const std::string socket = InstanceSocketPath(dir.path() + "/rt", "Firmware Utility");
    InstanceRequest suspend{InstanceMagic, InstanceCommand, commands::SuspendRadio};
    // Commands are queued, each read by the listener before the next comes (one still unread
    // would give way to a newcomer), until a ping (answered without the window) says busy.
    Connections waiting;
    InstanceReply reply{};
    for (int i = 0; i < 200 && reply.status != EBUSY; ++i) {
        ASSERT_TRUE(waiting.Open(socket, &suspend, sizeof suspend)) << i;
        ASSERT_TRUE(waiting.WaitUntilRead()) << i;
        ASSERT_TRUE(Ask(socket, InstancePing, 0, &reply)) << i;
    }
    ASSERT_EQ(reply.status, EBUSY);
    EXPECT_EQ(reply.result, window.pid());

    ProgramResult busy = RunProgram({"send", Id(commands::DisplayPeerToGsm)}, env, ProgramMs);
    EXPECT_EQ(busy.status, 4) << busy.err;
    EXPECT_NE(busy.err.find("busy"), std::string::npos) << busy.err;
    ProgramResult second = RunProgram({"--headless", "--command", Id(commands::Exit)}, env, ProgramMs);
    EXPECT_EQ(second.status, 255) << second.err;
    EXPECT_EQ(second.out, "") << "no second window";
    EXPECT_NE(second.err.find("(process " + std::to_string(window.pid()) + ")"), std::string::npos) << second.err;

    window.Signal(SIGTERM);
    // Over 60 commands of 2 s are queued: only a close that goes first ends within this bound.
    EXPECT_EQ(window.Wait(5000).status, 0) << window.err();
}

// ---- runtime directories that cannot work are refused at start: one line, exit 2

class RuntimeDirectory : public ::testing::Test {
protected:
    ProgramResult Start(const std::string& runtime, const std::vector<std::string>& args) {
        return RunProgram(args, {"FIRMWARE_UTILITY_RUNTIME_DIR=" + runtime, "TMPDIR=" + dir_.path()}, ProgramMs);
    }
    void ExpectRefused(const std::string& runtime, const std::string& reason) {
        const std::vector<std::vector<std::string>> starts = {
            {"--headless", "--command", fwu_test::Id(commands::Exit)}, {"update"}, {"bridge"}, {"send", fwu_test::Id(commands::Exit)}};
        for (const auto& args : starts) {
            ProgramResult result = Start(runtime, args);
            EXPECT_EQ(result.status, 2) << args[0] << ": " << result.err;
            EXPECT_EQ(result.out, "") << args[0];
            EXPECT_EQ(Lines(result.err), 1u) << result.err;
            EXPECT_NE(result.err.find("firmware-utility: runtime directory " + runtime + ": " + reason),
                      std::string::npos)
                << result.err;
        }
    }
    TempDir dir_;
};

TEST_F(RuntimeDirectory, ASocketPathLongerThanASocketAddressIsRefused) {
    std::string runtime = dir_.path() + "/" + std::string(100, 'd');
    ExpectRefused(runtime, "too long: the socket path " + runtime + "/Firmware_Utility.sock has ");
    struct stat info {};
    EXPECT_NE(::stat(runtime.c_str(), &info), 0) << "nothing made for a directory that cannot work";
    // One byte less than a socket address holds still works.
    std::string fits = dir_.path() + "/";
    fits += std::string(sizeof(sockaddr_un::sun_path) - 1 - fits.size() - std::strlen("/Firmware_Utility.sock"), 'f');
    ProgramResult result = Start(fits, {"--headless", "--command", fwu_test::Id(commands::Exit)});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, Banner);
}

TEST_F(RuntimeDirectory, ARelativePathIsRefused) {
    std::string relative = "fwu-relative-runtime-" + std::to_string(::getpid());
    ExpectRefused(relative, "not an absolute path");
    struct stat info {};
    EXPECT_NE(::stat(relative.c_str(), &info), 0) << "nothing made under the working directory";
}

TEST_F(RuntimeDirectory, ASymbolicLinkIsRefusedAsOne) {
    std::string real = dir_.path() + "/real";
    std::string link = dir_.path() + "/link";
    ASSERT_EQ(::mkdir(real.c_str(), 0700), 0);
    ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
    ExpectRefused(link, "a symbolic link, not a directory");
    // The directory itself is fine.
    ProgramResult result = Start(real, {"--headless", "--command", fwu_test::Id(commands::Exit)});
    EXPECT_EQ(result.status, 0) << result.err;
}

}  // namespace
