// Radio control and the handset reboot, with their log lines read from a real window's log
// pane, against a test's own socket services and against the simulated handset.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <ostream>
#include <string>
#include <vector>

#include "device/radio.h"
#include "device/controls.h"
#include "device/reboot.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "shell/log.h"
#include "shell/options.h"
#include "sim/sim.h"
#include "tests/support/files.h"
#include "tests/support/socket_service.h"
#include "tests/support/trace_file.h"

namespace {

using fwu_test::DeadSocket;
using fwu_test::SocketService;
using fwu_test::UseProfile;

platform::LResult TestWindowProc(platform::Hwnd window, std::uint32_t message, platform::WParam wparam,
                                 platform::LParam lparam) {
    return platform::DefWindowProc(window, message, wparam, lparam);
}

std::string RilProfile(const std::string& ril) { return "[devices]\nRIL1: = " + ril + "\n"; }
std::string KernelProfile(const std::string& kernel) { return "[kernel]\nKernelIoControl = " + kernel + "\n"; }

// A main window with its log pane (an "edit" child, id 5), on the test's own thread: the
// operations append with a same-thread send, which is a direct call.
class Device : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/fwu-device-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        runtime_dir_ = pattern;
        ::setenv("FIRMWARE_UTILITY_RUNTIME_DIR", runtime_dir_.c_str(), 1);
        static const bool registered = platform::RegisterClass("DeviceTestWindow", TestWindowProc, 1) != 0;
        ASSERT_TRUE(registered);
        main_ = platform::CreateWindowEx(0, "DeviceTestWindow", "Device test", 0, 0, 0, 80, 24, 0, 0, 1, nullptr);
        ASSERT_NE(main_, 0u);
        pane_ = platform::CreateWindowEx(0, "edit", "", platform::WS_CHILD, 0, 0, 80, 24, main_,
                                         shell::LogPaneId, 1, nullptr);
        ASSERT_NE(pane_, 0u);
        shell::DisplayMode.store(3);
    }
    void TearDown() override {
        if (main_ != 0) platform::DestroyWindow(main_);
        platform::SetProfile(platform::Profile{});
        platform::ClearFaults();
        shell::DisplayMode.store(3);
        ::rmdir(runtime_dir_.c_str());
    }
    std::string Log() const { return platform::EditText(pane_); }

    std::string runtime_dir_;
    platform::Hwnd main_ = 0;
    platform::Hwnd pane_ = 0;
};

// ---- radio control and reboot against a test's own services, one row each

// What the profile's entry leads to.
enum class FarEnd { None, Service, Refused };

struct Call {
    int (*run)(platform::Hwnd);
    bool window;  // the main window, else none
    int result;
};

struct DeviceRow {
    const char* name;
    FarEnd far_end;
    SocketService::Reply reply;
    std::uint32_t status;
    const char* profile;  // "@" stands for the far end's path
    std::vector<Call> calls;
    const char* pane;
    std::vector<std::uint32_t> codes;  // what the service received
};

void PrintTo(const DeviceRow& row, std::ostream* out) { *out << row.name; }

std::string ProfileFor(const DeviceRow& row, const std::string& path) {
    std::string text = row.profile;
    const std::size_t at = text.find('@');
    if (at != std::string::npos) text.replace(at, 1, path);
    return text;
}

constexpr char Ril[] = "[devices]\nRIL1: = @\n";
constexpr char Kernel[] = "[kernel]\nKernelIoControl = @\n";
constexpr std::uint32_t SuspendCode = 0x03001F80, ResumeCode = 0x03001F84, ResetCode = 0x03001F88,
                        RebootCode = 0x0101003C;
// The operations with the window as their one argument.
int Suspend(platform::Hwnd window) { return device::SuspendRadio(window); }
int Resume(platform::Hwnd window) { return device::ResumeRadio(window); }
int Reset(platform::Hwnd window) { return device::ResetModule(window); }
int Reboot(platform::Hwnd window) { return device::RebootDevice(window); }
constexpr auto Answer = SocketService::Reply::Status;

const DeviceRow DeviceRows[] = {
    {"ResumeLogsItsLine", FarEnd::Service, Answer, 0, Ril, {{Resume, true, 0}},
     "RIL has been resumed\r\n", {ResumeCode}},
    {"SuccessfulSuspendLeavesThePaneUnchanged", FarEnd::Service, Answer, 0, Ril, {{Suspend, true, 0}},
     "", {SuspendCode}},
    {"ResetLogsOnlyForARealWindow", FarEnd::Service, Answer, 0, Ril,
     {{Reset, true, 0}, {Reset, false, 0}}, "GSM/GPRS has been reset\r\n",
     {ResetCode, ResetCode}},
    {"NoRilDeviceGivesEachOpenFailureLine", FarEnd::None, Answer, 0, "[devices]\nCOM1: = /dev/null\n",
     {{Suspend, true, 1}, {Resume, true, 1}, {Reset, true, 1}},
     "Failed to open RIL1:, error code: 0x00000002\r\n"
     "Failed to open RIL1:, error code: 0x00000002\r\n"
     "Failed to open RIL1,CANNOT reset:, error code: 0x00000002\r\n",
     {}},
    {"ServiceNobodyListensOnIsConnectionRefused", FarEnd::Refused, Answer, 0, Ril,
     {{Resume, true, 1}, {Reset, true, 1}},
     "Failed to open RIL1:, error code: 0x0000006F\r\n"
     "Failed to open RIL1,CANNOT reset:, error code: 0x0000006F\r\n",
     {}},
    {"RefusedControlShowsTheStatusAsTheCode", FarEnd::Service, Answer, 0x1F, Ril,
     {{Suspend, true, 1}, {Resume, true, 1}, {Reset, true, 1}},
     "Failed to suspend RIL action, error code: 0x0000001F\r\n"
     "Failed to resume RIL action, error code: 0x0000001F\r\n"
     "Failed to reset GSM/GPRS module, error code: 0x0000001F\r\n",
     {SuspendCode, ResumeCode, ResetCode}},
    // A service that closes without answering: EPROTO.
    {"ServiceClosingWithoutAnswerIsAProtocolError", FarEnd::Service, SocketService::Reply::Close, 0, Ril,
     {{Reset, true, 1}}, "Failed to reset GSM/GPRS module, error code: 0x00000047\r\n", {ResetCode}},
    // The one slow row: a driver that never answers is given up after the bound (ETIMEDOUT).
    {"SilentServiceTimesOut", FarEnd::Service, SocketService::Reply::Silent, 0, Ril,
     {{Suspend, true, 1}}, "Failed to suspend RIL action, error code: 0x0000006E\r\n", {SuspendCode}},
    {"AcceptedRebootAppendsNothing", FarEnd::Service, Answer, 0, Kernel, {{Reboot, true, 0}}, "",
     {RebootCode}},
    {"RefusedRebootShowsOnlyItsLine", FarEnd::Service, Answer, 1, Kernel, {{Reboot, true, 1}},
     "Failed to call KernelIoControl() to reboot!\r\n", {RebootCode}},
    {"NoKernelServiceIsARefusedReboot", FarEnd::None, Answer, 0, "[devices]\n", {{Reboot, true, 1}},
     "Failed to call KernelIoControl() to reboot!\r\n", {}},
};

class DeviceCall : public Device, public ::testing::WithParamInterface<DeviceRow> {};

TEST_P(DeviceCall, LogsItsLineAndSendsItsCodes) {
    const DeviceRow& row = GetParam();
    SocketService service;
    service.Script(row.reply, row.status);
    DeadSocket refused(true);
    const std::string path = row.far_end == FarEnd::Refused ? refused.path() : service.path();
    UseProfile(ProfileFor(row, path));
    for (const Call& call : row.calls) EXPECT_EQ(call.run(call.window ? main_ : 0), call.result);
    EXPECT_EQ(Log(), row.pane);
    EXPECT_EQ(service.Codes(), row.codes);
    EXPECT_EQ(service.Connections(), row.far_end == FarEnd::Service ? static_cast<int>(row.calls.size()) : 0);
}

INSTANTIATE_TEST_SUITE_P(Rows, DeviceCall, ::testing::ValuesIn(DeviceRows),
                         [](const ::testing::TestParamInfo<DeviceRow>& info) { return info.param.name; });

TEST_F(Device, NullWindowIsSilentButTheLineIsStillFormatted) {
    UseProfile("");
    EXPECT_EQ(device::ResetModule(0), 1);
    EXPECT_STREQ(shell::MessageBuffer(), "Failed to open RIL1,CANNOT reset:, error code: 0x00000002\r\n");
    SocketService ril;
    ril.Script(SocketService::Reply::Status, 9);
    UseProfile(RilProfile(ril.path()));
    EXPECT_EQ(device::SuspendRadio(0), 1);
    EXPECT_STREQ(shell::MessageBuffer(), "Failed to suspend RIL action, error code: 0x00000009\r\n");
    EXPECT_EQ(Log(), "");
}

TEST_F(Device, DisplayModeZeroDoesNotSilenceRadioLines) {
    shell::DisplayMode.store(0);
    SocketService ril;
    UseProfile(RilProfile(ril.path()));
    EXPECT_EQ(device::ResumeRadio(main_), 0);
    EXPECT_EQ(device::ResetModule(main_), 0);
    EXPECT_EQ(Log(), "RIL has been resumed\r\nGSM/GPRS has been reset\r\n");
}

// ---- reboot

// A kernel that could not be reached is explained on the trace as a device that did not open;
// one that refused, as a failed control with its status.
TEST_F(Device, UnreachableKernelIsExplainedOnTheTrace) {
    fwu_test::TraceFile trace;
    UseProfile("[devices]\n");
    EXPECT_EQ(device::RebootDevice(main_), 1);
    EXPECT_NE(trace.Text().find("KernelIoControl has no entry in the profile's [kernel]"), std::string::npos)
        << trace.Text();

    const std::string nobody = runtime_dir_ + "/nobody.sock";
    trace.Restart();
    UseProfile(KernelProfile(nobody));
    EXPECT_EQ(device::RebootDevice(main_), 1);
    EXPECT_NE(trace.Text().find("KernelIoControl (" + nobody + "): "), std::string::npos) << trace.Text();

    SocketService kernel;
    kernel.Script(SocketService::Reply::Status, 1);
    trace.Restart();
    UseProfile(KernelProfile(kernel.path()));
    EXPECT_EQ(device::RebootDevice(main_), 1);
    EXPECT_EQ(trace.Text(), "KernelIoControl (" + kernel.path() + "): reboot failed: Operation not permitted\r\n");
    EXPECT_EQ(device::Controls().reboot_failed.load(), 1);
}

TEST_F(Device, RebootLibraryFaults) {
    SocketService kernel;
    UseProfile(KernelProfile(kernel.path()));
    platform::InjectFault(platform::Fault::LoadLibrary);
    EXPECT_EQ(device::RebootDevice(main_), 1);
    platform::InjectFault(platform::Fault::GetProcAddress);
    EXPECT_EQ(device::RebootDevice(main_), 1);
    EXPECT_EQ(Log(), "LoadLibrary() call fails !\r\nGetProcAddress() call fails !\r\n");
    EXPECT_TRUE(kernel.Codes().empty());  // neither got as far as the kernel
}

TEST_F(Device, FailedReleaseIsReportedAndTheRebootGoesOn) {
    SocketService kernel;
    UseProfile(KernelProfile(kernel.path()));
    platform::InjectFault(platform::Fault::FreeLibrary);
    EXPECT_EQ(device::RebootDevice(main_), 0);
    EXPECT_EQ(Log(), "Coredll.dll is not freed !\r\n");
    EXPECT_EQ(kernel.Codes(), std::vector<std::uint32_t>{0x0101003C});
    kernel.Script(SocketService::Reply::Status, 1);
    platform::InjectFault(platform::Fault::FreeLibrary);
    EXPECT_EQ(device::RebootDevice(main_), 1);
    EXPECT_EQ(Log(),
              "Coredll.dll is not freed !\r\n"
              "Coredll.dll is not freed !\r\nFailed to call KernelIoControl() to reboot!\r\n");
}

TEST_F(Device, RebootIsSilentWithDisplayModeZeroOrNoWindow) {
    UseProfile("");  // every call fails at the kernel
    for (platform::Hwnd window : {main_, platform::Hwnd{0}}) {
        shell::DisplayMode.store(window == 0 ? 3 : 0);
        platform::InjectFault(platform::Fault::LoadLibrary);
        EXPECT_EQ(device::RebootDevice(window), 1);
        platform::InjectFault(platform::Fault::GetProcAddress);
        EXPECT_EQ(device::RebootDevice(window), 1);
        platform::InjectFault(platform::Fault::FreeLibrary);
        EXPECT_EQ(device::RebootDevice(window), 1);
        EXPECT_EQ(device::RebootDevice(window), 1);
    }
    EXPECT_EQ(Log(), "");
}

// ---- against the simulated handset's driver and kernel

TEST_F(Device, AgainstTheSimulatedHandset) {
    sim::Handset handset;
    std::string error;
    ASSERT_TRUE(handset.Start(sim::Options{}, &error)) << error;
    platform::Profile profile;
    ASSERT_TRUE(platform::LoadProfile(handset.ProfilePath(), &profile)) << platform::LastErrorText();
    platform::SetProfile(profile);
    EXPECT_EQ(device::SuspendRadio(main_), 0);
    EXPECT_EQ(device::ResumeRadio(main_), 0);
    EXPECT_EQ(device::ResetModule(main_), 0);
    EXPECT_EQ(device::RebootDevice(main_), 0);
    EXPECT_EQ(Log(), "RIL has been resumed\r\nGSM/GPRS has been reset\r\n");
    EXPECT_EQ(handset.RilCodes(), (std::vector<std::uint32_t>{0x03001F80, 0x03001F84, 0x03001F88}));
    EXPECT_EQ(handset.KernelCodes(), std::vector<std::uint32_t>{0x0101003C});
    EXPECT_EQ(handset.module().Resets(), 1);

    sim::ControlFault refuse;
    refuse.kind = sim::ControlFault::Kind::Refuse;
    refuse.status = 0x20;
    handset.SetRilFault(refuse);
    handset.SetKernelFault(refuse);
    EXPECT_EQ(device::SuspendRadio(main_), 1);
    EXPECT_EQ(device::RebootDevice(main_), 1);
    EXPECT_EQ(Log(),
              "RIL has been resumed\r\nGSM/GPRS has been reset\r\n"
              "Failed to suspend RIL action, error code: 0x00000020\r\n"
              "Failed to call KernelIoControl() to reboot!\r\n");
}

}  // namespace
