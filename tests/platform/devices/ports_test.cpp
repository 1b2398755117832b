// `firmware-utility ports`: recorded device trees under umockdev (a USB serial adapter, a CDC
// ACM modem, 8250 UARTs), the machine's own ports, and the holders of a port (a pty).
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/platform.h"
#include "platform/testing.h"
#include "tests/support/files.h"
#include "tests/support/program.h"
#include "tests/support/pty.h"

namespace {

using fwu_test::ProgramResult;
using fwu_test::ReadFirstLine;

const std::string DataDir = FWU_SOURCE_DIR "/tests/platform/devices/data/";

constexpr char TsvHeader[] = "device\tdriver\tusb\tmaker\tproduct\tserial\theld\tby_id\tby_path\n";

// umockdev-run from PATH, or empty.
std::string UmockdevRun() {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string candidate = dir + "/umockdev-run";
        if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

// The wrapper preloads its library ahead of the program; an ASan build would refuse to start
// without being told that this order is intended (a build without ASan ignores the option).
std::vector<std::string> UmockdevEnvironment() {
    const char* asan = std::getenv("ASAN_OPTIONS");
    std::string options = asan && *asan ? std::string(asan) + ":" : "";
    return {"ASAN_OPTIONS=" + options + "verify_asan_link_order=0"};
}

// `firmware-utility ARGS` in a test bed holding the recorded trees `records`; a shell command
// `before` runs in the test bed first when given.
ProgramResult RunUnderUmockdev(const std::vector<std::string>& records, const std::vector<std::string>& args,
                               const std::string& before = {}) {
    std::vector<std::string> command{UmockdevRun()};
    for (const auto& record : records) {
        command.push_back("--device");
        command.push_back(DataDir + record);
    }
    command.push_back("--");
    std::string program = FWU_PROGRAM;
    if (before.empty()) {
        command.push_back(program);
        command.insert(command.end(), args.begin(), args.end());
    } else {
        std::string line = before + "; exec " + program;
        for (const auto& arg : args) line += " " + arg;
        command.insert(command.end(), {"/bin/sh", "-c", line});
    }
    return fwu_test::RunCommand(command, UmockdevEnvironment());
}

#define SKIP_WITHOUT_UMOCKDEV() \
    if (UmockdevRun().empty()) GTEST_SKIP() << "umockdev-run is not installed (Debian package umockdev)"

constexpr char FtdiRow[] =
    "/dev/ttyUSB0\tftdi_sio\t0403:6001\tFTDI\tFT232R USB UART\tA50285BI\tno\t"
    "/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0\t"
    "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0\n";
constexpr char ProlificRow[] =
    "/dev/ttyUSB1\tpl2303\t067b:2303\tProlific Technology Inc.\tUSB-Serial Controller #2\t\tno\t"
    "/dev/serial/by-id/usb-Prolific_Technology_Inc._USB-Serial_Controller_#2-if00-port0\t"
    "/dev/serial/by-path/pci-0000:00:14.0-usb-0:4:1.0-port0\n";
constexpr char AcmRow[] =
    "/dev/ttyACM0\tcdc_acm\t1209:4712\tHalvik Radio\tHR-20 GSM Module\tHR20-000123\tno\t"
    "/dev/serial/by-id/usb-Halvik_Radio_HR-20_GSM_Module_HR20-000123-if00\t"
    "/dev/serial/by-path/pci-0000:00:1d.0-usb-0:1:1.0\n";
// ttyS1 is an empty slot (type 0), tty1 and console have no device: none of them is listed.
constexpr char UartRows[] =
    "/dev/ttyS0\tserial8250\t\t\t\t\tno\t\t\n"
    "/dev/ttyS2\tserial8250\t\t\t\t\tno\t\t\n"
    "/dev/ttyS4\tserial\t\t\t\t\tno\t\t\n"
    "/dev/ttyS10\tserial8250\t\t\t\t\tno\t\t\n";

TEST(Ports, ListsRecordedDevicesForScripts) {
    SKIP_WITHOUT_UMOCKDEV();
    const struct {
        std::vector<std::string> records;
        std::string rows;
    } cases[] = {
        {{"usb_serial.umockdev"}, std::string(FtdiRow) + ProlificRow},
        {{"cdc_acm.umockdev"}, AcmRow},
        {{"uart.umockdev"}, UartRows},
        {{"usb_serial.umockdev", "cdc_acm.umockdev", "uart.umockdev"},
         std::string(AcmRow) + UartRows + FtdiRow + ProlificRow},
    };
    for (const auto& c : cases) {
        ProgramResult result = RunUnderUmockdev(c.records, {"ports", "--tsv"});
        EXPECT_EQ(result.status, 0) << c.records[0] << result.err;
        EXPECT_EQ(result.out, TsvHeader + c.rows) << c.records[0];
        EXPECT_EQ(result.err, "") << c.records[0];
    }
}

TEST(Ports, TableForPeopleAndNoPorts) {
    SKIP_WITHOUT_UMOCKDEV();
    ProgramResult table = RunUnderUmockdev({"usb_serial.umockdev"}, {"ports"});
    EXPECT_EQ(table.status, 0) << table.err;
    EXPECT_EQ(table.out,
              "DEVICE        DRIVER    USB        MAKER                     PRODUCT                   SERIAL    "
              "HELD BY  BY-ID                                                                               BY-PATH\n"
              "/dev/ttyUSB0  ftdi_sio  0403:6001  FTDI                      FT232R USB UART           A50285BI  "
              "no       /dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0                      "
              "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0\n"
              "/dev/ttyUSB1  pl2303    067b:2303  Prolific Technology Inc.  USB-Serial Controller #2  -         "
              "no       /dev/serial/by-id/usb-Prolific_Technology_Inc._USB-Serial_Controller_#2-if00-port0  "
              "/dev/serial/by-path/pci-0000:00:14.0-usb-0:4:1.0-port0\n");

    const struct {
        std::vector<std::string> args;
        std::string out;
    } empty[] = {{{"ports"}, ""},
                 {{"ports", "--tsv"}, TsvHeader},
                 {{"ports", "--profile-lines"}, ""},
                 {{"ports", "--json"}, "[]\n"}};
    for (const auto& c : empty) {
        ProgramResult result = RunUnderUmockdev({}, c.args);
        EXPECT_EQ(result.status, 0) << c.args.back() << result.err;
        EXPECT_EQ(result.out, c.out) << c.args.back();
        EXPECT_EQ(result.err, "firmware-utility: no serial ports found\n") << c.args.back();
    }
}

TEST(Ports, ProfileLinesReadBackAsTheirPaths) {
    SKIP_WITHOUT_UMOCKDEV();
    ProgramResult result =
        RunUnderUmockdev({"usb_serial.umockdev", "cdc_acm.umockdev", "uart.umockdev"}, {"ports", "--profile-lines"});
    ASSERT_EQ(result.status, 0) << result.err;
    // By USB serial number; without one (the pl2303), by where it is plugged in.
    EXPECT_EQ(result.out,
              "COM1: = udev:ID_SERIAL_SHORT=HR20-000123 ; cdc_acm 1209:4712 Halvik Radio HR-20 GSM Module "
              "HR20-000123 (now /dev/ttyACM0)\n"
              "COM2: = /dev/ttyS0 ; serial8250 (no stable name)\n"
              "COM3: = /dev/ttyS2 ; serial8250 (no stable name)\n"
              "COM4: = /dev/ttyS4 ; serial (no stable name)\n"
              "COM5: = /dev/ttyS10 ; serial8250 (no stable name)\n"
              "COM6: = udev:ID_SERIAL_SHORT=A50285BI ; ftdi_sio 0403:6001 FTDI FT232R USB UART A50285BI "
              "(now /dev/ttyUSB0)\n"
              "COM7: = udev:ID_PATH=pci-0000:00:14.0-usb-0:4:1.0 ; pl2303 067b:2303 Prolific Technology Inc. "
              "USB-Serial Controller #2 (now /dev/ttyUSB1)\n");

    platform::Profile profile;
    ASSERT_TRUE(platform::ParseProfile("[devices]\n" + result.out, "pasted", &profile)) << platform::LastErrorText();
    EXPECT_EQ(profile.devices["COM1:"], "udev:ID_SERIAL_SHORT=HR20-000123");
    EXPECT_EQ(profile.devices["COM5:"], "/dev/ttyS10");
    EXPECT_EQ(profile.devices["COM7:"], "udev:ID_PATH=pci-0000:00:14.0-usb-0:4:1.0");
    EXPECT_EQ(profile.devices.size(), 7u);
}

TEST(Ports, JsonForScripts) {
    SKIP_WITHOUT_UMOCKDEV();
    ProgramResult result = RunUnderUmockdev({"usb_serial.umockdev", "uart.umockdev"}, {"ports", "--json"});
    ASSERT_EQ(result.status, 0) << result.err;
    const nlohmann::json ports = nlohmann::json::parse(result.out);
    ASSERT_EQ(ports.size(), 6u) << result.out;
    const nlohmann::json& ftdi = ports[4];
    EXPECT_EQ(ftdi["device"], "/dev/ttyUSB0");
    EXPECT_EQ(ftdi["serial"], "A50285BI");
    EXPECT_EQ(ftdi["holders"], nlohmann::json::array());
    EXPECT_EQ(ftdi["by_path"], "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0");
    EXPECT_EQ(ftdi["identity"], "udev:ID_SERIAL_SHORT=A50285BI");
    EXPECT_EQ(ports[5]["serial"], nullptr);
    EXPECT_EQ(ports[5]["identity"], "udev:ID_PATH=pci-0000:00:14.0-usb-0:4:1.0");
    // A UART has neither a USB identity nor a path of its own in these records.
    EXPECT_EQ(ports[0]["device"], "/dev/ttyS0");
    EXPECT_EQ(ports[0]["usb"], nullptr);
    EXPECT_EQ(ports[0]["identity"], nullptr);
}

TEST(Ports, ExitsOneWhenUdevCannotBeRead) {
    SKIP_WITHOUT_UMOCKDEV();
    // The test bed's /sys/class replaced by a file: udev cannot list the tty class.
    ProgramResult result = RunUnderUmockdev(
        {"uart.umockdev"}, {"ports"}, "rm -rf \"$UMOCKDEV_DIR/sys/class\" && : > \"$UMOCKDEV_DIR/sys/class\"");
    EXPECT_EQ(result.status, 1) << result.out;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "firmware-utility: ports: cannot read the tty devices from udev: Not a directory\n");
}

TEST(Ports, RefusesTwoFormats) {
    for (const char* other : {"--profile-lines", "--json"}) {
        ProgramResult result = fwu_test::RunProgram({"ports", "--tsv", other});
        EXPECT_EQ(result.status, 2);
        EXPECT_NE(result.err.find(std::string("--tsv excludes ") + other), std::string::npos) << result.err;
    }
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, separator)) parts.push_back(part);
    return parts;
}

// This machine's own ports: exactly the ttys with a device behind them; every 8250 UART whose
// type is not 0 ("unknown") among them.
TEST(Ports, ListsTheMachinesOwnUarts) {
    ProgramResult result = fwu_test::RunProgram({"ports", "--tsv"});
    ASSERT_EQ(result.status, 0) << result.err;
    std::vector<std::string> lines = Split(result.out, '\n');
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0] + "\n", TsvHeader);
    std::vector<std::string> listed;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::vector<std::string> fields = Split(lines[i], '\t');
        ASSERT_GE(fields.size(), 7u) << lines[i];
        const std::string& node = fields[0];
        ASSERT_EQ(node.rfind("/dev/tty", 0), 0u) << lines[i];
        std::string name = node.substr(std::strlen("/dev/"));
        struct stat device {};
        EXPECT_EQ(::stat(("/sys/class/tty/" + name + "/device").c_str(), &device), 0) << name << " has no device";
        EXPECT_FALSE(fields[1].empty()) << name << " has no driver";
        listed.push_back(node);
    }
    DIR* ttys = ::opendir("/sys/class/tty");
    ASSERT_NE(ttys, nullptr);
    while (const dirent* entry = ::readdir(ttys)) {
        std::string name = entry->d_name;
        if (name.rfind("ttyS", 0) != 0) continue;
        std::string type = ReadFirstLine("/sys/class/tty/" + name + "/type");
        if (type.empty() || type == "0") continue;
        if (::access(("/dev/" + name).c_str(), F_OK) != 0) continue;  // no node: udev made none
        EXPECT_NE(std::find(listed.begin(), listed.end(), "/dev/" + name), listed.end()) << name << " missing";
    }
    ::closedir(ttys);

    ProgramResult table = fwu_test::RunProgram({"ports"});
    EXPECT_EQ(table.status, 0) << table.err;

    // A listed port this test can open (as root, at least) is then shown held by this process.
    for (const std::string& node : listed) {
        int fd = ::open(node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        ProgramResult held = fwu_test::RunProgram({"ports", "--tsv"});
        ::close(fd);
        EXPECT_NE(held.out.find(node + "\t"), std::string::npos) << held.out;
        std::string row = held.out.substr(held.out.find(node + "\t"));
        row = row.substr(0, row.find('\n'));
        EXPECT_EQ(Split(row, '\t')[6], "yes:" + std::to_string(::getpid())) << row;
        break;
    }
}

TEST(PortHolders, FindsTheProcessThatHoldsAPort) {
    fwu_test::Pty pty;
    ASSERT_TRUE(pty.ok());
    bool unknown = true;
    std::vector<platform::PortHolder> holders = platform::FindPortHolders(pty.slave(), &unknown);
    EXPECT_TRUE(holders.empty()) << holders.size() << " holders of a slave nobody opened";
    if (::geteuid() == 0) {
        EXPECT_FALSE(unknown);  // root may read every process's descriptors
    }

    int fd = ::open(pty.slave(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    holders = platform::FindPortHolders(pty.slave(), &unknown);
    ::close(fd);
    ASSERT_EQ(holders.size(), 1u);
    EXPECT_EQ(holders[0].pid, ::getpid());
    EXPECT_EQ(holders[0].name, ReadFirstLine("/proc/self/comm"));
    EXPECT_FALSE(unknown);
}

// Only a serial port has holders: this process holding /dev/null, a FIFO or a file is no user of
// a port, and a missing node has none.
TEST(PortHolders, NoneForANodeThatIsNoSerialPort) {
    fwu_test::Pty pty;
    ASSERT_TRUE(pty.ok());
    fwu_test::TempDir dir;
    const std::string fifo = dir.path() + "/fifo";
    const std::string file = dir.path() + "/file";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::ofstream(file) << "x";
    const struct {
        std::string node;
        bool port;
    } rows[] = {
        {pty.slave(), true}, {"/dev/null", false}, {fifo, false}, {file, false}, {dir.path() + "/none", false},
    };
    for (const auto& row : rows) {
        int fd = ::open(row.node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        bool unknown = true;
        const std::vector<platform::PortHolder> holders = platform::FindPortHolders(row.node, &unknown);
        if (fd >= 0) ::close(fd);
        EXPECT_EQ(platform::IsSerialPortNode(row.node), row.port) << row.node;
        EXPECT_EQ(holders.size(), row.port ? 1u : 0u) << row.node;
        EXPECT_FALSE(unknown) << row.node;
    }
}

// Descriptors of other users' processes may not be read: with none found, the answer is unknown.
int (*real_open)(const char*, int, mode_t) = nullptr;
int RefuseFdDirectories(const char* path, int flags, mode_t mode) {
    std::string text = path;
    if (text.rfind("/proc/", 0) == 0 && text.size() > 3 && text.compare(text.size() - 3, 3, "/fd") == 0) {
        errno = EACCES;
        return -1;
    }
    return real_open(path, flags, mode);
}

TEST(PortHolders, UnknownWhenDescriptorsMayNotBeRead) {
    fwu_test::Pty pty;
    ASSERT_TRUE(pty.ok());
    int fd = ::open(pty.slave(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    real_open = platform::internal::SysCalls().open;
    platform::internal::SysCalls().open = RefuseFdDirectories;
    bool unknown = false;
    std::vector<platform::PortHolder> holders = platform::FindPortHolders(pty.slave(), &unknown);
    platform::internal::SysCalls().open = real_open;
    ::close(fd);
    EXPECT_TRUE(holders.empty());
    EXPECT_TRUE(unknown);
}

}  // namespace
