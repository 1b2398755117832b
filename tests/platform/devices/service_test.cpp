// Driver services, OpenDevice by the kind of path, the built-in COREDLL.DLL and the registry,
// against a test's own socket service.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>
#include <string>

#include "platform/devices/service.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "tests/support/files.h"
#include "tests/support/socket_service.h"

namespace {

using fwu_test::DeadSocket;
using fwu_test::SocketService;
using fwu_test::UseProfile;

class Service : public ::testing::Test {
protected:
    void TearDown() override {
        platform::SetProfile(platform::Profile{});
        platform::ClearFaults();
    }
};

TEST_F(Service, OneControlIsOneConnection) {
    SocketService service;
    UseProfile("[devices]\nril1: = " + service.path() + "\n");
    platform::Handle ril = platform::OpenDevice("RIL1:");
    ASSERT_NE(ril, platform::InvalidHandle) << platform::GetLastError();
    std::uint32_t returned = 77;
    EXPECT_TRUE(platform::DeviceIoControl(ril, 0x03001F80, nullptr, 0, nullptr, 0, &returned));
    EXPECT_EQ(returned, 0u);
    // A second control on the same handle connects again.
    EXPECT_TRUE(platform::DeviceIoControl(ril, 0x03001F84, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_TRUE(platform::CloseHandle(ril));
    EXPECT_EQ(service.Codes(), (std::vector<std::uint32_t>{0x03001F80, 0x03001F84}));
    EXPECT_EQ(service.Connections(), 2);
}

TEST_F(Service, CodeGoesOutLittleEndianAndStatusIsTheLastError) {
    SocketService service;
    service.Script(SocketService::Reply::Status, 0x12345678);
    UseProfile("[devices]\nRIL1: = " + service.path() + "\n");
    platform::Handle ril = platform::OpenDevice("ril1:");
    ASSERT_NE(ril, platform::InvalidHandle);
    platform::SetLastError(0);
    EXPECT_FALSE(platform::DeviceIoControl(ril, 0xA1B2C3D4, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_EQ(platform::GetLastError(), 0x12345678u);
    platform::CloseHandle(ril);
    EXPECT_EQ(service.Codes(), std::vector<std::uint32_t>{0xA1B2C3D4});
}

TEST_F(Service, ClosedWithoutAnswerIsEproto) {
    SocketService service;
    service.Script(SocketService::Reply::Close);
    UseProfile("[devices]\nRIL1: = " + service.path() + "\n");
    platform::Handle ril = platform::OpenDevice("RIL1:");
    ASSERT_NE(ril, platform::InvalidHandle);
    EXPECT_FALSE(platform::DeviceIoControl(ril, 0x03001F88, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_EQ(platform::GetLastError(), static_cast<std::uint32_t>(EPROTO));
    platform::CloseHandle(ril);
}

TEST_F(Service, OpenFailsWithTheConnectErrno) {
    DeadSocket refused(true);
    DeadSocket missing(false);
    UseProfile("[devices]\nRIL1: = " + refused.path() + "\nCOM6: = " + missing.path() + "\n");
    EXPECT_EQ(platform::OpenDevice("RIL1:"), platform::InvalidHandle);
    EXPECT_EQ(platform::GetLastError(), static_cast<std::uint32_t>(ECONNREFUSED));
    EXPECT_EQ(platform::OpenDevice("COM6:"), platform::InvalidHandle);
    EXPECT_EQ(platform::GetLastError(), static_cast<std::uint32_t>(ENOENT));
}

TEST_F(Service, MissingNamesAndOtherKindsOfPath) {
    char directory[] = "/tmp/fwu-kinds-XXXXXX";
    ASSERT_NE(::mkdtemp(directory), nullptr);
    const std::string file = std::string(directory) + "/plain";
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
    UseProfile(std::string("[devices]\nCOM7: = ") + file + "\nCOM8: = " + directory + "\n");
    EXPECT_EQ(platform::OpenDevice("COM9:"), platform::InvalidHandle);
    EXPECT_EQ(platform::GetLastError(), static_cast<std::uint32_t>(ENOENT));
    EXPECT_EQ(platform::OpenDevice(""), platform::InvalidHandle);
    EXPECT_EQ(platform::GetLastError(), static_cast<std::uint32_t>(ENOENT));
    EXPECT_EQ(platform::OpenDevice("COM7:"), platform::InvalidHandle);
    EXPECT_EQ(platform::GetLastError(), static_cast<std::uint32_t>(ENODEV));
    EXPECT_EQ(platform::OpenDevice("com8:"), platform::InvalidHandle);
    EXPECT_EQ(platform::GetLastError(), static_cast<std::uint32_t>(EISDIR));
    ::unlink(file.c_str());
    ::rmdir(directory);
}

TEST_F(Service, ControlOnAClosedOrForeignHandleFails) {
    SocketService service;
    UseProfile("[devices]\nRIL1: = " + service.path() + "\n");
    platform::Handle ril = platform::OpenDevice("RIL1:");
    ASSERT_NE(ril, platform::InvalidHandle);
    ASSERT_TRUE(platform::CloseHandle(ril));
    EXPECT_FALSE(platform::DeviceIoControl(ril, 1, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_EQ(platform::GetLastError(), static_cast<std::uint32_t>(EBADF));
    platform::Handle library = platform::LoadLibrary("coredll.dll");
    ASSERT_NE(library, 0);
    EXPECT_FALSE(platform::DeviceIoControl(library, 1, nullptr, 0, nullptr, 0, nullptr));
    EXPECT_EQ(platform::GetLastError(), static_cast<std::uint32_t>(ENOTTY));
    EXPECT_TRUE(platform::FreeLibrary(library));
    EXPECT_TRUE(service.Codes().empty());
}

TEST_F(Service, KernelIoControlCallsTheKernelService) {
    SocketService kernel;
    UseProfile("[kernel]\nKernelIoControl = " + kernel.path() + "\n");
    platform::Handle library = platform::LoadLibrary("COREDLL.DLL");
    ASSERT_NE(library, 0);
    auto entry = reinterpret_cast<platform::KernelIoControlProc>(platform::GetProcAddress(library, "KernelIoControl"));
    ASSERT_NE(entry, nullptr);
    EXPECT_TRUE(platform::FreeLibrary(library));
    EXPECT_NE(entry(0x0101003C, nullptr, 0, nullptr, 0, nullptr), 0);
    kernel.Script(SocketService::Reply::Status, 5);
    EXPECT_EQ(entry(0x0101003C, nullptr, 0, nullptr, 0, nullptr), 0);
    EXPECT_EQ(platform::GetLastError(), 5u);
    EXPECT_EQ(kernel.Codes(), (std::vector<std::uint32_t>{0x0101003C, 0x0101003C}));

    UseProfile("[devices]\n");  // no [kernel]: the entry fails
    EXPECT_EQ(entry(0x0101003C, nullptr, 0, nullptr, 0, nullptr), 0);
    EXPECT_EQ(platform::GetLastError(), static_cast<std::uint32_t>(ENOENT));
}

TEST_F(Service, LibraryLookupsAndTheirFaults) {
    EXPECT_EQ(platform::LoadLibrary("AYGSHELL.DLL"), 0);
    EXPECT_EQ(platform::GetLastError(), static_cast<std::uint32_t>(ENOENT));
    platform::Handle library = platform::LoadLibrary("CoreDll.Dll");
    ASSERT_NE(library, 0);
    EXPECT_EQ(platform::GetProcAddress(library, "kernelIoControl"), nullptr);  // entries match exactly
    EXPECT_EQ(platform::GetProcAddress(library, "LoadLibrary"), nullptr);
    platform::InjectFault(platform::Fault::GetProcAddress);
    EXPECT_EQ(platform::GetProcAddress(library, "KernelIoControl"), nullptr);
    EXPECT_NE(platform::GetProcAddress(library, "KernelIoControl"), nullptr);
    platform::InjectFault(platform::Fault::FreeLibrary);
    EXPECT_FALSE(platform::FreeLibrary(library));  // the reference stays
    EXPECT_TRUE(platform::FreeLibrary(library));
    EXPECT_FALSE(platform::FreeLibrary(library));
    EXPECT_EQ(platform::GetLastError(), static_cast<std::uint32_t>(EBADF));
    platform::InjectFault(platform::Fault::LoadLibrary);
    EXPECT_EQ(platform::LoadLibrary("COREDLL.DLL"), 0);
}

TEST_F(Service, RegistryFromTheProfile) {
    UseProfile(
        "[registry]\n"
        "HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial\\Index = 2\n"
        "HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial2\\Index = 0x0C\n");
    platform::Handle key = 0;
    ASSERT_EQ(platform::RegOpenKeyEx(platform::HkeyLocalMachine, "drivers\\BUILTIN\\serial", &key), 0);
    std::uint32_t value = 0, type = 0, size = sizeof value;
    EXPECT_EQ(platform::RegQueryValueEx(key, "INDEX", &type, &value, &size), 0);
    EXPECT_EQ(value, 2u);
    EXPECT_EQ(type, 4u);  // a DWORD
    EXPECT_EQ(size, 4u);
    std::uint16_t small = 0;
    size = sizeof small;
    EXPECT_EQ(platform::RegQueryValueEx(key, "Index", nullptr, &small, &size), ERANGE);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(platform::RegQueryValueEx(key, "Port", nullptr, &value, &size), ENOENT);
    EXPECT_EQ(platform::RegCloseKey(key), 0);
    EXPECT_EQ(platform::RegCloseKey(key), EBADF);
    EXPECT_EQ(platform::RegQueryValueEx(key, "Index", nullptr, &value, &size), EBADF);

    ASSERT_EQ(platform::RegOpenKeyEx(platform::HkeyLocalMachine, "Drivers\\BuiltIn\\Serial2", &key), 0);
    size = sizeof value;
    EXPECT_EQ(platform::RegQueryValueEx(key, "Index", nullptr, &value, &size), 0);
    EXPECT_EQ(value, 12u);
    platform::RegCloseKey(key);
    EXPECT_EQ(platform::RegOpenKeyEx(platform::HkeyLocalMachine, "Drivers\\BuiltIn\\Serial3", &key), ENOENT);
    EXPECT_EQ(key, 0);
}

int OpenFdCount() {
    int count = 0;
    for (int fd = 0; fd < 1024; ++fd) count += ::fcntl(fd, F_GETFD) != -1;
    return count;
}

// Every way a control can end leaves no descriptor behind.
TEST_F(Service, NoDescriptorLeftBehind) {
    SocketService service;
    DeadSocket dead(true);
    UseProfile("[devices]\nRIL1: = " + service.path() + "\nCOM6: = " + dead.path() + "\n");
    const int before = OpenFdCount();
    for (auto reply : {SocketService::Reply::Status, SocketService::Reply::Close}) {
        service.Script(reply, 3);
        platform::Handle ril = platform::OpenDevice("RIL1:");
        ASSERT_NE(ril, platform::InvalidHandle);
        EXPECT_FALSE(platform::DeviceIoControl(ril, 1, nullptr, 0, nullptr, 0, nullptr));
        EXPECT_FALSE(platform::DeviceIoControl(ril, 2, nullptr, 0, nullptr, 0, nullptr));
        platform::CloseHandle(ril);
        ril = platform::OpenDevice("RIL1:");  // opened and closed unused
        platform::CloseHandle(ril);
    }
    EXPECT_EQ(platform::OpenDevice("COM6:"), platform::InvalidHandle);
    ASSERT_TRUE(service.WaitFinished(6));  // the service's own ends of the connections are gone too
    EXPECT_EQ(OpenFdCount(), before);
}

// Controls from several threads at once, each on its own handle, and one handle closed by
// another thread: each control is answered on a connection of its own.
TEST_F(Service, ConcurrentControls) {
    SocketService service;
    UseProfile("[devices]\nRIL1: = " + service.path() + "\n");
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&failures, t] {
            for (int i = 0; i < 25; ++i) {
                platform::Handle ril = platform::OpenDevice("RIL1:");
                if (ril == platform::InvalidHandle ||
                    !platform::DeviceIoControl(ril, static_cast<std::uint32_t>(t), nullptr, 0, nullptr, 0, nullptr))
                    failures.fetch_add(1);
                platform::CloseHandle(ril);
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(service.Codes().size(), 100u);

    platform::Handle shared = platform::OpenDevice("RIL1:");
    ASSERT_NE(shared, platform::InvalidHandle);
    std::thread closer([shared] { platform::CloseHandle(shared); });
    // Either the control ran before the close, or it finds a closed handle: never anything else.
    bool ok = platform::DeviceIoControl(shared, 7, nullptr, 0, nullptr, 0, nullptr);
    std::uint32_t error = platform::GetLastError();
    closer.join();
    EXPECT_TRUE(ok || error == EBADF) << error;
}

// The one slow test: a service that never answers is given up after the bound.
TEST_F(Service, SilentServiceTimesOut) {
    SocketService service;
    service.Script(SocketService::Reply::Silent);
    int fd = platform::internal::ConnectService(service.path().c_str());
    ASSERT_GE(fd, 0);
    std::uint32_t status = 0;
    EXPECT_FALSE(platform::internal::ServiceExchange(fd, 0x03001F80, &status));
    EXPECT_EQ(errno, ETIMEDOUT);
    ::close(fd);
    EXPECT_EQ(service.Codes(), std::vector<std::uint32_t>{0x03001F80});
}

}  // namespace
