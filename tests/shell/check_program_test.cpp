// `firmware-utility check` as a user runs it: a ready handset, and a profile with one device
// not ready in each way, each line naming the reason and the fix; nothing written to the module.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "sim/sim.h"
#include "tests/support/pty.h"
#include "tests/support/tmux.h"
#include "tests/support/update_run.h"

namespace {

using fwu_test::Count;

// The line `check` printed for a device.
std::string LineOf(const std::string& out, const std::string& device) {
    std::size_t at = out.find("\n" + device + " ");
    if (at == std::string::npos) return "";
    std::size_t end = out.find('\n', at + 1);
    return out.substr(at + 1, end - at - 1);
}

TEST(Check, AReadyHandsetIsOkOnEveryLine) {
    sim::Handset handset;
    std::string error;
    ASSERT_TRUE(handset.Start({}, &error)) << error;
    fwu_test::TempDir runtime;
    fwu_test::ProgramResult result = fwu_test::RunProgram({"check"}, fwu_test::UpdateEnv(runtime, handset));
    EXPECT_EQ(result.status, 0) << result.out << result.err;
    for (const char* device : {"COM1:", "COM2:", "RIL1:", "KernelIoControl"}) {
        const std::string line = LineOf(result.out, device);
        EXPECT_EQ(line.substr(line.size() - 3), " ok") << line;
    }
    EXPECT_EQ(Count(result.err, "every device is ready"), 1u) << result.err;
    // The module answers on its AT port with what it runs.
    EXPECT_NE(LineOf(result.out, "module").find("Simulated Radio GPRS-37A, revision V.4.1.3, serial "),
              std::string::npos)
        << result.out;
}

// `check --port` tries the devices the quick run would use, as a profile naming them would.
TEST(Check, APortFromTheCommandLineIsCheckedAsAProfileWouldBe) {
    sim::Handset handset;
    std::string error;
    ASSERT_TRUE(handset.Start({}, &error)) << error;
    fwu_test::TempDir runtime;
    // A set of its own: the stand-in payloads would refuse the run before its reset.
    const std::string set = runtime.path() + "/set";
    ASSERT_EQ(::mkdir(set.c_str(), 0700), 0);
    fwu_test::WriteSet(set);
    fwu_test::ProgramResult result =
        fwu_test::RunProgram({"check", "--port", handset.DevicePath("COM1:"), "--at-port", handset.DevicePath("COM2:"),
                              "--reset", "rts:20", "--firmware", set},
                             {"FIRMWARE_UTILITY_RUNTIME_DIR=" + runtime.path()});
    EXPECT_EQ(result.status, 1) << result.out << result.err;
    EXPECT_EQ(Count(result.out, "profile --port " + handset.DevicePath("COM1:") + "\n"), 1u) << result.out;
    // The pulse is tried through the update's own reset: a pty has no modem lines.
    EXPECT_NE(LineOf(result.out, "reset").find("RIL1: (RTS pulse on COM1:): reset failed: Inappropriate ioctl for device: "
                                               "the port has no modem lines; give --reset exec:PROGRAM instead"),
              std::string::npos)
        << result.out;
    EXPECT_NE(LineOf(result.out, "module").find("revision V.4.1.3"), std::string::npos) << result.out;
    EXPECT_EQ(Count(result.err, "1 device not ready"), 1u) << result.err;
}

// A process named ModemManager runs (a sleep under that name) and nothing keeps it off the ports.
TEST(Check, APortModemManagerMayProbeIsNotReady) {
    sim::Handset handset;
    std::string error;
    ASSERT_TRUE(handset.Start({}, &error)) << error;
    fwu_test::TempDir runtime;
    const std::string impostor = runtime.path() + "/ModemManager";
    ASSERT_EQ(::symlink("/bin/sleep", impostor.c_str()), 0);
    fwu_test::RunningProgram modem_manager(fwu_test::RunningProgram::Command{{impostor, "30"}});
    ASSERT_TRUE(modem_manager.started());
    // Named so only once it has exec'd.
    const std::string comm = "/proc/" + std::to_string(modem_manager.pid()) + "/comm";
    ASSERT_TRUE(fwu_test::WaitUntil([&] { return fwu_test::ReadText(comm) == "ModemManager\n"; }, 5000));
    fwu_test::ProgramResult result = fwu_test::RunProgram({"check"}, fwu_test::UpdateEnv(runtime, handset));
    EXPECT_EQ(result.status, 1) << result.out << result.err;
    EXPECT_NE(LineOf(result.out, "COM1:").find("ModemManager runs and may open this port"), std::string::npos)
        << result.out;
    EXPECT_EQ(LineOf(result.out, "RIL1:").substr(LineOf(result.out, "RIL1:").size() - 3), " ok") << result.out;
}

TEST(Check, EachDeviceNotReadyIsSaidWithItsFix) {
    fwu_test::Pty held, no_modem_lines, module;
    ASSERT_TRUE(held.ok() && no_modem_lines.ok() && module.ok());
    // This process holds COM1's node, as another program would.
    int holder = ::open(held.slave(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    fwu_test::TempDir dir;
    const std::string profile = dir.path() + "/bench.prof";
    std::ofstream(profile) << "[devices]\nCOM1: = " << held.slave() << "\nCOM2: = " << no_modem_lines.slave()
                           << "\nCOM3: = /dev/null\nRIL1: = exec:" << dir.path() << "/missing.sh\n"
                           << "[radio]\nreset = COM2: dtr 100\n[kernel]\nKernelIoControl = " << dir.path()
                           << "/kernel.sock\n";
    fwu_test::ProgramResult result = fwu_test::RunProgram(
        {"check", "--profile", profile}, {"FIRMWARE_UTILITY_RUNTIME_DIR=" + dir.path() + "/rt"});
    ::close(holder);
    EXPECT_EQ(result.status, 1) << result.out << result.err;
    const struct {
        const char* device;
        std::string says;
    } rows[] = {
        {"COM1:", "Device or resource busy: held by process " + std::to_string(::getpid())},
        // The update stops before its reset (COM1: is held): the module is left alone.
        {"reset", "not tried: the update would stop before it"},
        {"update", "refused: " + profile + " is not a simulated handset"},
        {"module", "not ready: the update expects revision V.4.2.0"},
        {"COM3:", "/dev/null is not a serial port"},
        {"RIL1:", "the program does not exist; fix the exec: entry"},
        {"KernelIoControl", "No such file or directory"},
    };
    for (const auto& row : rows) {
        EXPECT_NE(LineOf(result.out, row.device).find(row.says), std::string::npos)
            << row.device << ": " << result.out;
    }
    EXPECT_EQ(Count(result.err, "6 devices not ready"), 1u) << result.err;
    // Only the read-only AT queries reached a far end (COM2: is the AT port).
    const std::vector<unsigned char> received = no_modem_lines.Receive(50);
    EXPECT_EQ(std::string(received.begin(), received.end()).rfind("AT", 0), 0u);
}

// A value that would become a profile entry holding a control character is refused whole, for
// `check` and `update` alike: exit 2, one line naming the option, the character escaped, and
// nothing opened. A profile's own syntax (';', '#', '=', '[') in a value is kept as part of it.
TEST(Check, OptionValuesAreValuesNeverProfileLines) {
    sim::Handset handset;
    std::string error;
    ASSERT_TRUE(handset.Start({}, &error)) << error;
    fwu_test::TempDir runtime;
    const std::vector<std::string> env{"FIRMWARE_UTILITY_RUNTIME_DIR=" + runtime.path()};
    const std::string link = handset.DevicePath("COM1:");
    // the character, as the line shows it
    const struct {
        std::string character, shown;
    } characters[] = {{"\n[handset]\nsimulated = true\n[devices]", "\\n"}, {"\r", "\\r"}, {"\x1B[31m", "\\x1B"},
                      {"\t", "\\t"}, {"\x7F", "\\x7F"}, {"\xC2\x9B", "\\xC2\\x9B"}};
    const char* options[] = {"--port", "--at-port", "--reset"};
    for (const char* invocation : {"check", "update"}) {
        for (const char* option : options) {
            for (const auto& row : characters) {
                SCOPED_TRACE(std::string(invocation) + " " + option + " " + row.shown);
                const std::string bad = std::string(option) == "--reset" ? "exec:/bin/true" + row.character
                                                                         : link + row.character;
                std::vector<std::string> args{invocation, "--port", link, "--reset", "exec:/bin/true"};
                for (std::size_t i = 1; i + 1 < args.size(); i += 2) {
                    if (args[i] == option) args[i + 1] = bad;
                }
                if (std::string(option) == "--at-port") args.insert(args.end(), {"--at-port", bad});
                fwu_test::ProgramResult result = fwu_test::RunProgram(args, env);
                EXPECT_EQ(result.status, 2) << result.err;
                EXPECT_EQ(result.out, "");
                EXPECT_EQ(Count(result.err, "\n"), 1u) << result.err;
                EXPECT_EQ(result.err.rfind(std::string("firmware-utility: ") + option + " ", 0), 0u) << result.err;
                EXPECT_EQ(Count(result.err, "a control character (" + row.shown + ") in the value; nothing was opened"),
                          1u)
                    << result.err;
            }
        }
    }
    EXPECT_TRUE(handset.RilCodes().empty());
    EXPECT_EQ(handset.module().Resets(), 0);
    // A by-id style name with the profile's comment and entry marks in it names the port whole.
    const std::string marked = runtime.path() + "/usb-Serial_#2;if00=[x]";
    ASSERT_EQ(::symlink(link.c_str(), marked.c_str()), 0);
    fwu_test::ProgramResult result = fwu_test::RunProgram({"check", "--port", marked, "--reset", "exec:/bin/true"}, env);
    // The stand-in payloads keep this quick run from being ready; the port itself is.
    EXPECT_EQ(LineOf(result.out, "COM1:").find(marked + " ok"), 17u) << result.out;
}

}  // namespace
