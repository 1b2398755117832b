// The simulated handset as a set of real devices: its directory and profile, the radio driver
// and kernel services with their records and faults, the module's handshake on "COM1:", its
// firmware's AT port on "COM2:" (identity, silence in the boot ROM, faults), the peer ports relayed to their far ends, and a clean stop.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "sim/at_port.h"
#include "sim/sim.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

int OpenFdCount() {
    int count = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    while (dirent* entry = ::readdir(dir)) count += entry->d_name[0] != '.';
    ::closedir(dir);
    return count;
}

bool Exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

int OpenTty(const std::string& path) { return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); }

void WriteAll(int fd, const Bytes& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else {
            pollfd p{fd, POLLOUT, 0};
            ASSERT_GE(::poll(&p, 1, 5000), 1) << "write stalled";
        }
    }
}

// Reads until `count` bytes came or `ms` passed without any.
Bytes ReadBytes(int fd, std::size_t count, int ms = 5000) {
    Bytes got;
    std::uint8_t buffer[4096];
    while (got.size() < count) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, ms) <= 0) break;
        ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, count - got.size()));
        if (n <= 0) break;
        got.insert(got.end(), buffer, buffer + n);
    }
    return got;
}

Bytes Pattern(std::size_t size, std::uint32_t seed) {
    Bytes data(size);
    for (auto& b : data) {
        seed = seed * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(seed >> 16);
    }
    return data;
}

// One control on "RIL1:" or the kernel, through the platform as the tool does it.
bool RilControl(std::uint32_t code) {
    platform::Handle ril = platform::OpenDevice("RIL1:");
    if (ril == platform::InvalidHandle) return false;
    bool ok = platform::DeviceIoControl(ril, code, nullptr, 0, nullptr, 0, nullptr);
    std::uint32_t error = platform::GetLastError();
    platform::CloseHandle(ril);
    platform::SetLastError(error);
    return ok;
}

int KernelControl(std::uint32_t code) {
    platform::Handle coredll = platform::LoadLibrary("COREDLL.DLL");
    auto entry = reinterpret_cast<platform::KernelIoControlProc>(platform::GetProcAddress(coredll, "KernelIoControl"));
    platform::FreeLibrary(coredll);
    return entry(code, nullptr, 0, nullptr, 0, nullptr);
}

class Sim : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(handset_.Start(sim::Options{}, &error)) << error;
        platform::Profile profile;
        ASSERT_TRUE(platform::LoadProfile(handset_.ProfilePath(), &profile)) << platform::LastErrorText();
        platform::SetProfile(profile);
    }
    void TearDown() override {
        handset_.Stop();
        platform::SetProfile(platform::Profile{});
    }
    sim::Handset handset_;
};

TEST(SimLifetime, PrivateDirectoryRemovedAndNoDescriptorsLeft) {
    const int before = OpenFdCount();
    sim::Handset handset;
    std::string error;
    ASSERT_TRUE(handset.Start(sim::Options{}, &error)) << error;
    const std::string directory = handset.Directory();
    struct stat info {};
    ASSERT_EQ(::stat(directory.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_TRUE(S_ISSOCK(::stat((directory + "/ril.sock").c_str(), &info) == 0 ? info.st_mode : 0));
    EXPECT_TRUE(S_ISSOCK(::stat((directory + "/kernel.sock").c_str(), &info) == 0 ? info.st_mode : 0));

    platform::Profile profile;
    ASSERT_TRUE(platform::LoadProfile(handset.ProfilePath(), &profile)) << platform::LastErrorText();
    for (const char* device : {"COM1:", "COM2:", "COM3:", "COM4:", "COM5:"}) {
        ASSERT_EQ(profile.devices.count(device), 1u) << device;
        EXPECT_EQ(profile.devices.at(device), handset.DevicePath(device));
        EXPECT_TRUE(S_ISCHR(::stat(profile.devices.at(device).c_str(), &info) == 0 ? info.st_mode : 0));
    }
    EXPECT_EQ(profile.devices.at("RIL1:"), directory + "/ril.sock");
    EXPECT_EQ(profile.kernel, directory + "/kernel.sock");
    EXPECT_EQ(profile.registry.at("DRIVERS\\BUILTIN\\SERIAL\\INDEX"), 2u);
    EXPECT_EQ(profile.registry.at("DRIVERS\\BUILTIN\\SERIAL2\\INDEX"), 4u);
    ASSERT_EQ(handset.Peers().size(), 3u);
    for (const sim::Peer& peer : handset.Peers()) EXPECT_TRUE(Exists(peer.far_path)) << peer.device;

    handset.Stop();
    EXPECT_FALSE(Exists(directory));
    EXPECT_EQ(OpenFdCount(), before);
    handset.Stop();  // again: nothing to do
}

TEST(SimLifetime, ProcessWideHandset) {
    std::string error;
    EXPECT_EQ(sim::Current(), nullptr);
    const std::string path = sim::Start(sim::Options{}, &error);
    ASSERT_FALSE(path.empty()) << error;
    ASSERT_NE(sim::Current(), nullptr);
    EXPECT_EQ(sim::Current()->ProfilePath(), path);
    EXPECT_EQ(sim::Start(), path);  // already running: the same one
    const std::string directory = sim::Current()->Directory();
    sim::Stop();
    EXPECT_EQ(sim::Current(), nullptr);
    EXPECT_FALSE(Exists(directory));
}

TEST(SimLifetime, UnusableParentDirectoryIsAnError) {
    sim::Handset handset;
    sim::Options options;
    options.parent_directory = "/nonexistent/place";
    std::string error;
    EXPECT_FALSE(handset.Start(options, &error));
    EXPECT_EQ(error.rfind("simulated handset: /nonexistent/place/fwu-handset-", 0), 0u) << error;
    EXPECT_FALSE(handset.Running());
}

// A $TMPDIR the profile could not name (a comment character in it) is passed over for /tmp.
TEST(SimLifetime, TmpdirWithACommentCharacterFallsBackToTmp) {
    const char* saved = std::getenv("TMPDIR");
    const std::string previous = saved ? saved : "";
    ::setenv("TMPDIR", "/tmp/odd;name", 1);
    sim::Handset handset;
    std::string error;
    const bool started = handset.Start(sim::Options{}, &error);
    if (saved) ::setenv("TMPDIR", previous.c_str(), 1);
    else ::unsetenv("TMPDIR");
    ASSERT_TRUE(started) << error;
    EXPECT_EQ(handset.Directory().rfind("/tmp/fwu-handset-", 0), 0u) << handset.Directory();
    platform::Profile profile;
    EXPECT_TRUE(platform::LoadProfile(handset.ProfilePath(), &profile)) << platform::LastErrorText();
}

TEST_F(Sim, RadioDriverRecordsAndAcceptsItsControls) {
    EXPECT_TRUE(RilControl(sim::RilSuspend));
    EXPECT_TRUE(RilControl(sim::RilResume));
    EXPECT_TRUE(RilControl(sim::RilResetModule));
    EXPECT_FALSE(RilControl(0x03001F8C));
    EXPECT_EQ(platform::GetLastError(), 22u);
    EXPECT_EQ(handset_.RilCodes(),
              (std::vector<std::uint32_t>{sim::RilSuspend, sim::RilResume, sim::RilResetModule, 0x03001F8C}));
    EXPECT_EQ(handset_.module().Resets(), 1);
    EXPECT_TRUE(handset_.KernelCodes().empty());
}

TEST_F(Sim, RadioDriverFaults) {
    sim::ControlFault refuse;
    refuse.kind = sim::ControlFault::Kind::Refuse;
    refuse.code = sim::RilResume;
    refuse.status = 0x1234;
    refuse.times = 1;
    handset_.SetRilFault(refuse);
    EXPECT_TRUE(RilControl(sim::RilSuspend));  // not the control it strikes
    EXPECT_FALSE(RilControl(sim::RilResume));
    EXPECT_EQ(platform::GetLastError(), 0x1234u);
    EXPECT_TRUE(RilControl(sim::RilResume));  // struck once only

    sim::ControlFault drop;
    drop.kind = sim::ControlFault::Kind::CloseWithoutAnswer;
    handset_.SetRilFault(drop);
    EXPECT_FALSE(RilControl(sim::RilResetModule));
    EXPECT_EQ(platform::GetLastError(), static_cast<std::uint32_t>(EPROTO));
    EXPECT_EQ(handset_.module().Resets(), 0);  // the driver did nothing

    sim::ControlFault late;
    late.kind = sim::ControlFault::Kind::AnswerLate;
    late.delay_ms = 200;
    late.times = 1;
    handset_.SetRilFault(late);
    EXPECT_TRUE(RilControl(sim::RilResetModule));  // late, but within the bound
    EXPECT_EQ(handset_.module().Resets(), 1);
    EXPECT_EQ(handset_.RilCodes().size(), 5u);
}

TEST_F(Sim, KernelAcceptsTheRebootOnly) {
    EXPECT_NE(KernelControl(sim::KernelReboot), 0);
    EXPECT_EQ(KernelControl(0x01010040), 0);
    EXPECT_EQ(platform::GetLastError(), 22u);
    sim::ControlFault refuse;
    refuse.kind = sim::ControlFault::Kind::Refuse;
    refuse.status = 87;
    handset_.SetKernelFault(refuse);
    EXPECT_EQ(KernelControl(sim::KernelReboot), 0);
    EXPECT_EQ(platform::GetLastError(), 87u);
    EXPECT_EQ(handset_.KernelCodes(),
              (std::vector<std::uint32_t>{sim::KernelReboot, 0x01010040, sim::KernelReboot}));
}

TEST_F(Sim, FaultsGivenAtStart) {
    handset_.Stop();
    sim::Options options;
    options.ril_fault.kind = sim::ControlFault::Kind::Refuse;
    options.ril_fault.status = 5;
    options.kernel_fault.kind = sim::ControlFault::Kind::CloseWithoutAnswer;
    std::string error;
    ASSERT_TRUE(handset_.Start(options, &error)) << error;
    platform::Profile profile;
    ASSERT_TRUE(platform::LoadProfile(handset_.ProfilePath(), &profile));
    platform::SetProfile(profile);
    EXPECT_FALSE(RilControl(sim::RilSuspend));
    EXPECT_EQ(platform::GetLastError(), 5u);
    EXPECT_EQ(KernelControl(sim::KernelReboot), 0);
    EXPECT_EQ(platform::GetLastError(), static_cast<std::uint32_t>(EPROTO));
}

TEST_F(Sim, BootRomAnswersTheCastingByteOnlyAfterAReset) {
    int link = OpenTty(handset_.DevicePath("COM1:"));
    ASSERT_GE(link, 0);
    WriteAll(link, {0x55, 0x55});
    EXPECT_TRUE(ReadBytes(link, 1, 300).empty()) << "answered before any reset";
    ASSERT_TRUE(RilControl(sim::RilResetModule));
    WriteAll(link, {0x55});
    EXPECT_EQ(ReadBytes(link, 1), Bytes{0xA0});
    WriteAll(link, {0x55, 0x55, 0x55});  // casting bytes still on the wire are skipped
    EXPECT_TRUE(ReadBytes(link, 1, 300).empty());
    // A new reset starts the handshake again.
    ASSERT_TRUE(RilControl(sim::RilResetModule));
    WriteAll(link, {0x55});
    EXPECT_EQ(ReadBytes(link, 1), Bytes{0xA0});
    EXPECT_EQ(handset_.module().Resets(), 2);
    ::close(link);
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

// "AT" on the port until its "OK" comes (the firmware has booted), or `ms` passed.
bool AwaitOk(int ff, int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < deadline) {
        WriteAll(ff, Text("AT\r"));
        if (ReadBytes(ff, 6, 300) == Text("\r\nOK\r\n")) return true;
    }
    return false;
}

// The firmware's answers, command by command, as a module that was never reset gives them.
TEST_F(Sim, AtPortAnswersTheModulesIdentity) {
    int ff = OpenTty(handset_.DevicePath("COM2:"));
    ASSERT_GE(ff, 0);
    const std::string serial = handset_.module().Firmware().serial;
    EXPECT_EQ(serial.size(), 15u);
    const struct {
        const char* command;
        std::string answer;
    } rows[] = {
        {"AT\r", "\r\nOK\r\n"},
        {"at+cgmi\r", "\r\nSimulated Radio\r\n\r\nOK\r\n"},
        {"AT+CGMM\r", "\r\nGPRS-37A\r\n\r\nOK\r\n"},
        {"AT+CGMR\r", "\r\nV.4.1.3\r\n\r\nOK\r\n"},
        {"AT+GMR\n", "\r\nV.4.1.3\r\n\r\nOK\r\n"},
        {"AT+CGSN\r", "\r\n" + serial + "\r\n\r\nOK\r\n"},
        {"ATI\r", "\r\nSimulated Radio GPRS-37A\r\n\r\nRevision: V.4.1.3\r\n\r\nOK\r\n"},
        {"AT+COPS?\r", "\r\nERROR\r\n"},
        {"hello\rAT\r", "\r\nOK\r\n"},  // what is not a command is ignored
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.command);
        WriteAll(ff, Text(row.command));
        EXPECT_EQ(ReadBytes(ff, row.answer.size()), Text(row.answer));
    }
    ::close(ff);
    // The port opens again after the tool closed it.
    ff = OpenTty(handset_.DevicePath("COM2:"));
    ASSERT_GE(ff, 0);
    EXPECT_TRUE(AwaitOk(ff, 5000));
    ::close(ff);
}

// Held by its boot ROM after a reset and the casting, the module is silent on its AT port; after
// a reset without casting its firmware boots and answers.
TEST_F(Sim, AtPortIsSilentWhileTheBootRomHoldsTheModule) {
    int ff = OpenTty(handset_.DevicePath("COM2:"));
    int link = OpenTty(handset_.DevicePath("COM1:"));
    ASSERT_GE(ff, 0);
    ASSERT_GE(link, 0);
    ASSERT_TRUE(RilControl(sim::RilResetModule));
    WriteAll(link, {0x55});
    ASSERT_EQ(ReadBytes(link, 1), Bytes{0xA0});
    WriteAll(ff, Text("AT\r"));
    EXPECT_TRUE(ReadBytes(ff, 1, 2000).empty());
    EXPECT_FALSE(handset_.module().Firmware().answering);
    ASSERT_TRUE(RilControl(sim::RilResetModule));
    EXPECT_TRUE(AwaitOk(ff, 10000));
    EXPECT_EQ(handset_.module().Firmware().revision, sim::FactoryRevision);  // no image was accepted
    ::close(link);
    ::close(ff);
}

// Faults of the firmware's AT side: ERROR to all but AT, or an overlong binary line.
TEST_F(Sim, AtPortFaults) {
    int ff = OpenTty(handset_.DevicePath("COM2:"));
    ASSERT_GE(ff, 0);
    handset_.SetAtFault({sim::AtFaultKind::Error});
    EXPECT_TRUE(AwaitOk(ff, 5000));
    WriteAll(ff, Text("AT+CGMR\r"));
    EXPECT_EQ(ReadBytes(ff, 9), Text("\r\nERROR\r\n"));
    handset_.SetAtFault({sim::AtFaultKind::Junk});
    WriteAll(ff, Text("AT+CGMR\r"));
    const Bytes junk = ReadBytes(ff, 2 + sim::JunkAnswerLength + 2 + 6);
    ASSERT_EQ(junk.size(), 2 + sim::JunkAnswerLength + 2 + 6);
    EXPECT_EQ(std::count(junk.begin() + 2, junk.begin() + 2 + sim::JunkAnswerLength, '\r'), 0);
    EXPECT_EQ(std::count(junk.begin() + 2, junk.begin() + 2 + sim::JunkAnswerLength, '\n'), 0);
    EXPECT_EQ(Bytes(junk.end() - 6, junk.end()), Text("\r\nOK\r\n"));
    ::close(ff);
}

// Both directions at once, more than any tty buffer holds, so that the relay must queue and
// drain without losing or reordering a byte.
TEST_F(Sim, PeersRelayBothWaysWithoutLoss) {
    for (const sim::Peer& peer : handset_.Peers()) {
        SCOPED_TRACE(peer.device);
        int near = OpenTty(handset_.DevicePath(peer.device));
        int far = OpenTty(peer.far_path);
        ASSERT_GE(near, 0);
        ASSERT_GE(far, 0);
        const Bytes to_far = Pattern(300000, 1), to_near = Pattern(200000, 2);
        Bytes at_far, at_near;
        std::size_t sent_far = 0, sent_near = 0;
        const auto deadline = Clock::now() + std::chrono::seconds(30);
        std::uint8_t buffer[8192];
        while ((at_far.size() < to_far.size() || at_near.size() < to_near.size()) && Clock::now() < deadline) {
            pollfd fds[2] = {{near, static_cast<short>(POLLIN | (sent_far < to_far.size() ? POLLOUT : 0)), 0},
                             {far, static_cast<short>(POLLIN | (sent_near < to_near.size() ? POLLOUT : 0)), 0}};
            ASSERT_GE(::poll(fds, 2, 5000), 1) << "relay stalled";
            if (fds[0].revents & POLLOUT) {
                ssize_t n = ::write(near, to_far.data() + sent_far, std::min<std::size_t>(4096, to_far.size() - sent_far));
                if (n > 0) sent_far += static_cast<std::size_t>(n);
            }
            if (fds[1].revents & POLLOUT) {
                ssize_t n = ::write(far, to_near.data() + sent_near, std::min<std::size_t>(4096, to_near.size() - sent_near));
                if (n > 0) sent_near += static_cast<std::size_t>(n);
            }
            if (fds[0].revents & POLLIN) {
                ssize_t n = ::read(near, buffer, sizeof buffer);
                if (n > 0) at_near.insert(at_near.end(), buffer, buffer + n);
            }
            if (fds[1].revents & POLLIN) {
                ssize_t n = ::read(far, buffer, sizeof buffer);
                if (n > 0) at_far.insert(at_far.end(), buffer, buffer + n);
            }
        }
        EXPECT_TRUE(at_far == to_far) << at_far.size() << " of " << to_far.size() << " bytes reached the far end";
        EXPECT_TRUE(at_near == to_near) << at_near.size() << " of " << to_near.size() << " bytes came back";
        ::close(near);
        ::close(far);
    }
}

// `firmware-utility sim` in a child process: the profile path first, then the peers; a signal
// ends it and its directory goes.
TEST(SimForeground, PrintsItsProfileAndCleansUpOnSignal) {
    for (int stop_signal : {SIGTERM, SIGINT}) {
        int out[2];
        ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::dup2(out[1], STDOUT_FILENO);
            ::_exit(sim::RunForeground());
        }
        ::close(out[1]);
        std::string text;
        char buffer[512];
        // Four lines: the profile and three peers.
        while (std::count(text.begin(), text.end(), '\n') < 4) {
            pollfd p{out[0], POLLIN, 0};
            if (::poll(&p, 1, 10000) <= 0) break;
            ssize_t n = ::read(out[0], buffer, sizeof buffer);
            if (n <= 0) break;
            text.append(buffer, static_cast<std::size_t>(n));
        }
        const std::string profile_path = text.substr(0, text.find('\n'));
        platform::Profile profile;
        EXPECT_TRUE(platform::LoadProfile(profile_path, &profile)) << platform::LastErrorText() << "\n" << text;
        EXPECT_NE(text.find("\nCOM4: /dev/pts/"), std::string::npos) << text;
        EXPECT_NE(text.find("(Bluetooth UART far end)\n"), std::string::npos) << text;
        ::kill(child, stop_signal);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_FALSE(Exists(profile_path));
        ::close(out[0]);
    }
}

}  // namespace
