// Explanations of failed opens: each kind of failure as OpenDevice meets it on real paths
// (a missing node, a directory, /dev/null, a FIFO, a port another process holds, a socket
// nobody listens on, a missing program), and no permission through the system-call seam (the
// tests run as root, who is never refused).
#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>

#include "platform/platform.h"
#include "platform/testing.h"
#include "tests/support/files.h"
#include "tests/support/program.h"
#include "tests/support/pty.h"
#include "tests/support/socket_service.h"

namespace {

using fwu_test::UseProfile;

// OpenDevice's failure for `device` at `path`, explained.
std::string FailedOpen(const std::string& device, const std::string& path, std::uint32_t* error) {
    UseProfile("[devices]\n" + device + " = " + path + "\n");
    platform::Handle handle = platform::OpenDevice(device.c_str());
    EXPECT_EQ(handle, platform::InvalidHandle) << path;
    if (handle != platform::InvalidHandle) platform::CloseHandle(handle);
    *error = platform::GetLastError();
    return platform::ExplainOpenFailure(device.c_str(), *error);
}

class Explain : public ::testing::Test {
protected:
    void TearDown() override { platform::SetProfile(platform::Profile{}); }
    fwu_test::TempDir dir_;
};

TEST_F(Explain, PathsThatAreNoSerialPort) {
    const std::string fifo = dir_.path() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string missing = dir_.path() + "/ttyUSB9";
    const struct {
        std::string path;
        std::uint32_t error;
        std::string text;
    } rows[] = {
        {missing, ENOENT,
         "COM1: (" + missing +
             "): No such file or directory: no such device; see `firmware-utility ports` for the serial ports of this machine"},
        {dir_.path(), EISDIR,
         "COM1: (" + dir_.path() +
             "): Is a directory: a directory, not a serial port; see `firmware-utility ports` for the serial ports of this machine"},
        {"/dev/null", ENOTTY,
         "COM1: (/dev/null): Inappropriate ioctl for device: /dev/null is not a serial port; see `firmware-utility ports` for "
         "the serial ports of this machine"},
        {fifo, ENODEV,
         "COM1: (" + fifo +
             "): No such device: a FIFO, not a serial port; see `firmware-utility ports` for the serial ports of this machine"},
    };
    for (const auto& row : rows) {
        std::uint32_t error = 0;
        EXPECT_EQ(FailedOpen("COM1:", row.path, &error), row.text);
        EXPECT_EQ(error, row.error) << row.path;
    }
}

TEST_F(Explain, DeviceWithoutEntryNamesTheProfile) {
    UseProfile("[devices]\nCOM1: = /dev/null\n");
    EXPECT_EQ(platform::ExplainOpenFailure("COM3:", ENOENT),
              "COM3: has no entry in the profile's [devices] (test.prof); add `COM3: = /dev/...`; see `firmware-utility "
              "ports` for the serial ports of this machine");
    // The radio driver is a service or a program, never a serial port.
    EXPECT_EQ(platform::ExplainOpenFailure("RIL1:", ENOENT),
              "RIL1: has no entry in the profile's [devices] (test.prof); add `RIL1: = /path/to/ril.sock` (a "
              "service) or `RIL1: = exec:/path/to/program`");
}

TEST_F(Explain, BusyPortNamesItsHolder) {
    fwu_test::Pty pty;
    ASSERT_TRUE(pty.ok());
    // Another process holds the port's lock.
    std::string slave = pty.slave();
    char* argv[] = {const_cast<char*>("flock"), const_cast<char*>("-x"), slave.data(), const_cast<char*>("sleep"),
                    const_cast<char*>("30"), nullptr};
    pid_t holder = 0;
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setpgroup(&attributes, 0);  // a group of its own: flock and its sleep end together
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    int spawned = ::posix_spawn(&holder, "/usr/bin/flock", nullptr, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    ASSERT_EQ(spawned, 0);
    // flock(1) starts its command only once it holds the lock: a child means locked.
    bool locked = false;
    for (int i = 0; i < 500 && !locked; ++i) {
        std::ifstream children("/proc/" + std::to_string(holder) + "/task/" + std::to_string(holder) + "/children");
        std::string child;
        children >> child;
        locked = !child.empty();
        if (!locked) ::usleep(10000);
    }
    if (!locked) {
        ::kill(-holder, SIGKILL);
        ::waitpid(holder, nullptr, 0);
    }
    ASSERT_TRUE(locked);
    std::uint32_t error = 0;
    std::string text = FailedOpen("COM2:", slave, &error);
    ::kill(-holder, SIGKILL);
    ::waitpid(holder, nullptr, 0);
    EXPECT_EQ(error, static_cast<std::uint32_t>(EBUSY));
    const std::string start = std::string("COM2: (") + pty.slave() + "): Device or resource busy: held by process ";
    EXPECT_EQ(text.compare(0, start.size(), start), 0) << text;
    EXPECT_NE(text.find(std::to_string(holder) + " (flock)"), std::string::npos) << text;

    // This program holding it says so.
    fwu_test::Pty own;
    UseProfile(std::string("[devices]\nCOM1: = ") + own.slave() + "\n");
    platform::Handle first = platform::OpenDevice("COM1:");
    ASSERT_NE(first, platform::InvalidHandle);
    EXPECT_EQ(platform::OpenDevice("COM1:"), platform::InvalidHandle);
    text = platform::ExplainOpenFailure("COM1:", platform::GetLastError());
    EXPECT_NE(text.find("held by process " + std::to_string(::getpid())), std::string::npos) << text;
    EXPECT_NE(text.find(", this program"), std::string::npos) << text;
    platform::CloseHandle(first);
}

// The simulated handset holds its ports' slaves as well as their masters: refused with EBUSY
// (a killed user's exclusive mode, for anyone but root), the port is explained as left
// exclusive, with the handset named as the far end's owner, not as a user of the port.
TEST_F(Explain, APortOnlyItsFarEndsOwnerHoldsIsExplainedAsLeftExclusive) {
    fwu_test::TempDir dir;
    fwu_test::RunningProgram sim({"sim"}, {"TMPDIR=" + dir.path(), "FIRMWARE_UTILITY_RUNTIME_DIR=" + dir.path()});
    ASSERT_TRUE(sim.WaitForOutput(".prof\n")) << sim.err();
    const std::string profile = sim.out().substr(0, sim.out().find('\n'));
    platform::Profile loaded;
    ASSERT_TRUE(platform::LoadProfile(profile, &loaded)) << platform::LastErrorText();
    platform::SetProfile(loaded);
    std::string text = platform::ExplainOpenFailure("COM1:", EBUSY);
    EXPECT_NE(text.find("Device or resource busy: left in exclusive mode by a program that ended without "
                        "giving the port back (killed); process " +
                        std::to_string(sim.pid()) + " (firmware-utility) only owns its far end"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("restart process " + std::to_string(sim.pid())), std::string::npos) << text;
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait().status, 0);
}

platform::internal::SysCallTable saved;
int RefusingOpen(const char*, int, mode_t) {
    errno = EACCES;
    return -1;
}

TEST_F(Explain, NoPermissionNamesTheGroupToJoin) {
    fwu_test::Pty pty;
    ASSERT_TRUE(pty.ok());
    struct stat info {};
    ASSERT_EQ(::stat(pty.slave(), &info), 0);
    const std::string group = info.st_gid == 5 ? "tty" : "";
    saved = platform::internal::SysCalls();
    platform::internal::SysCalls().open = RefusingOpen;
    std::uint32_t error = 0;
    std::string text = FailedOpen("COM1:", pty.slave(), &error);
    platform::internal::SysCalls() = saved;
    EXPECT_EQ(error, static_cast<std::uint32_t>(EACCES));
    const std::string start = std::string("COM1: (") + pty.slave() + "): Permission denied: the node belongs to group ";
    EXPECT_EQ(text.compare(0, start.size(), start), 0) << text;
    EXPECT_NE(text.find("; join it with `sudo usermod -aG "), std::string::npos) << text;
    EXPECT_NE(text.find(" $USER`, then log in again"), std::string::npos) << text;
    if (!group.empty()) {
        EXPECT_NE(text.find("group tty;"), std::string::npos) << text;
    }
}

TEST_F(Explain, ServicesAndPrograms) {
    fwu_test::DeadSocket dead(true);
    std::uint32_t error = 0;
    EXPECT_EQ(FailedOpen("RIL1:", dead.path(), &error),
              "RIL1: (" + dead.path() + "): Connection refused: nobody listens on that socket; start the service first");
    const std::string program = dir_.path() + "/ril.sh";
    EXPECT_EQ(FailedOpen("RIL1:", "exec:" + program + " --x", &error),
              "RIL1: (" + program + "): No such file or directory: the program does not exist; fix the exec: entry of the profile");
    ::close(::creat(program.c_str(), 0644));
    EXPECT_EQ(FailedOpen("RIL1:", "exec:" + program, &error),
              "RIL1: (" + program + "): Permission denied: the program is not an executable file; `chmod +x " + program + "`");
}

// A network port's exporter gives its reason beside the code, and only one it gave counts,
// whatever its words; a code alone, or another kind of port, reports nothing.
TEST(NetworkSettingReport, OnlyAReasonTheExporterGave) {
    const struct {
        const char* entry;
        bool given;
        std::string reason;
        std::string report;
    } rows[] = {
        {"rfc2217://h:2000", true, "the exporter did not answer the baud rate control (1) within 5 s",
         "the exporter did not answer the baud rate control (1) within 5 s"},
        {"rfc2217://h:2000", true, platform::ErrorText(ETIMEDOUT), platform::ErrorText(ETIMEDOUT)},
        {"tcp://h:2000", true, "the exporter answered", "the exporter answered"},
        {"rfc2217://h:2000", false, "", ""},
        {"/dev/ttyS0", true, "the exporter answered", ""},
    };
    for (const auto& row : rows) {
        UseProfile(std::string("[devices]\nCOM1: = ") + row.entry + "\n");
        if (row.given) platform::SetLastError(ETIMEDOUT, row.reason);
        else platform::SetLastError(ETIMEDOUT);
        EXPECT_EQ(platform::NetworkSettingReport("COM1:"), row.report) << row.entry << " " << row.reason;
    }
    platform::SetProfile(platform::Profile{});
}

TEST(ErrorText, WordsForNumbers) {
    EXPECT_EQ(platform::ErrorText(EACCES), "Permission denied");
    EXPECT_EQ(platform::ErrorText(EBUSY), "Device or resource busy");
    EXPECT_EQ(platform::ErrorText(99999), "error 99999");
}

}  // namespace
