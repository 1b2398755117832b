// The handset profile parser: what it accepts, every refusal with file and line, and lookups.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "tests/support/pty.h"
#include "tests/support/socket_service.h"

namespace {

using platform::ParseProfile;
using platform::Profile;

std::string Refusal(const std::string& text) {
    Profile profile;
    EXPECT_FALSE(ParseProfile(text, "hand.prof", &profile)) << text;
    return platform::LastErrorText();
}

TEST(Profile, ParsesAllSectionsWithCommentsAndAnyCase) {
    const std::string text =
        "# a handset\n"
        "; another comment\n"
        "\n"
        "[Devices]\n"
        "com1: = /dev/ttyUSB0          ; the module link\n"
        "  COM2:=/dev/ttyS1\r\n"
        "RIL1: = /run/handset/ril.sock # the radio driver\n"
        "[REGISTRY]\n"
        "HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial\\Index = 2\n"
        "hkey_local_machine\\Drivers\\BuiltIn\\Serial2\\Index = 0x0a\n"
        "HKEY_LOCAL_MACHINE\\Big\\Value = 0xFFFFFFFF\n"
        "[kernel]\n"
        "kernelIOcontrol = /run/handset/kernel.sock\n";
    Profile profile;
    ASSERT_TRUE(ParseProfile(text, "hand.prof", &profile)) << platform::LastErrorText();
    EXPECT_EQ(profile.path, "hand.prof");
    ASSERT_EQ(profile.devices.size(), 3u);
    EXPECT_EQ(profile.devices.at("COM1:"), "/dev/ttyUSB0");
    EXPECT_EQ(profile.devices.at("COM2:"), "/dev/ttyS1");
    EXPECT_EQ(profile.devices.at("RIL1:"), "/run/handset/ril.sock");
    EXPECT_EQ(profile.registry.at("DRIVERS\\BUILTIN\\SERIAL\\INDEX"), 2u);
    EXPECT_EQ(profile.registry.at("DRIVERS\\BUILTIN\\SERIAL2\\INDEX"), 10u);
    EXPECT_EQ(profile.registry.at("BIG\\VALUE"), 0xFFFFFFFFu);
    EXPECT_EQ(profile.kernel, "/run/handset/kernel.sock");
}

// Editors that save UTF-8 with a byte order mark: the mark is not part of the first line.
TEST(Profile, ALeadingByteOrderMarkIsSkipped) {
    Profile profile;
    ASSERT_TRUE(ParseProfile("\xEF\xBB\xBF[devices]\nCOM1: = /dev/ttyS0\n", "p", &profile)) << platform::LastErrorText();
    EXPECT_EQ(profile.devices.at("COM1:"), "/dev/ttyS0");
}

TEST(Profile, EmptyTextIsAnEmptyProfile) {
    Profile profile;
    profile.kernel = "left over";
    ASSERT_TRUE(ParseProfile("", "empty", &profile));
    EXPECT_TRUE(profile.devices.empty());
    EXPECT_TRUE(profile.registry.empty());
    EXPECT_TRUE(profile.kernel.empty());
}

TEST(Profile, MissingDevicePathIsNotAnError) {
    Profile profile;
    EXPECT_TRUE(ParseProfile("[devices]\nCOM9: = /nonexistent/tty\n", "p", &profile)) << platform::LastErrorText();
    EXPECT_EQ(profile.devices.at("COM9:"), "/nonexistent/tty");
}

TEST(Profile, RefusalsNameFileAndLine) {
    EXPECT_EQ(Refusal("[devices]\n[serial]\n"),
              "hand.prof:2: unknown section [serial] (expected [devices], [registry], [kernel], [radio] or [handset])");
    EXPECT_EQ(Refusal("[devices]\n\nCOM1: /dev/ttyS0\n"), "hand.prof:3: line without '=': COM1: /dev/ttyS0");
    EXPECT_EQ(Refusal("[registry]\nHKEY_LOCAL_MACHINE\\A\\Index = two\n"),
              "hand.prof:2: registry value is not a number (decimal or 0x hex DWORD): two");
    EXPECT_EQ(Refusal("[devices]\nCOM1: = /a\ncom1: = /b\n"), "hand.prof:3: duplicate device com1:");
    EXPECT_EQ(Refusal("COM1: = /dev/ttyS0\n"), "hand.prof:1: entry before any section: COM1:");
    EXPECT_EQ(Refusal("[devices]\n = /dev/ttyS0\n"), "hand.prof:2: empty name before '='");
    EXPECT_EQ(Refusal("[devices]\nCOM1: =   ; nothing\n"), "hand.prof:2: empty value for COM1:");
    EXPECT_EQ(Refusal("[devices\n"), "hand.prof:1: section header without closing ']'");
    EXPECT_EQ(Refusal("[kernel]\nReboot = /k\n"),
              "hand.prof:2: unknown kernel entry Reboot (expected KernelIoControl)");
    EXPECT_EQ(Refusal("[kernel]\nKernelIoControl = /a\nKERNELIOCONTROL = /b\n"),
              "hand.prof:3: duplicate entry KERNELIOCONTROL");
    EXPECT_EQ(Refusal("[registry]\nDrivers\\Serial\\Index = 1\n"),
              "hand.prof:2: registry key must start with HKEY_LOCAL_MACHINE\\: Drivers\\Serial\\Index");
    EXPECT_EQ(Refusal("[registry]\nHKEY_LOCAL_MACHINE\\Index = 1\n"),
              "hand.prof:2: registry entry needs KEY\\VALUE: HKEY_LOCAL_MACHINE\\Index");
    EXPECT_EQ(Refusal("[registry]\nHKEY_LOCAL_MACHINE\\A\\B\\ = 1\n"),
              "hand.prof:2: registry entry needs KEY\\VALUE: HKEY_LOCAL_MACHINE\\A\\B\\");
    EXPECT_EQ(Refusal("[registry]\nHKEY_LOCAL_MACHINE\\A\\B = 1\nhkey_local_machine\\a\\b = 2\n"),
              "hand.prof:3: duplicate registry value hkey_local_machine\\a\\b");
    EXPECT_EQ(Refusal(std::string("[devices]\nCOM1: = /a\0b\n", 23)), "hand.prof:2: NUL byte in line");
    EXPECT_EQ(Refusal("[devices]\nCOM1: = /dev/tty\x1B[2JUSB0\n"), "hand.prof:2: a control character (\\x1B) in line");
    EXPECT_EQ(Refusal("[devices]\nCOM1: = /dev/tty\rUSB0\n"), "hand.prof:2: a control character (\\r) in line");
    EXPECT_EQ(Refusal("[handset]\nsimulated = yes\n"), "hand.prof:2: simulated must be true or false: yes");
    EXPECT_EQ(Refusal("[handset]\nreal = true\n"), "hand.prof:2: unknown handset entry real (expected simulated)");
    EXPECT_EQ(Refusal("[handset]\nsimulated = true\nsimulated = true\n"), "hand.prof:3: duplicate entry simulated");
}

// Only a profile that says so is a simulated handset's.
TEST(Profile, HandsetMarker) {
    // profile text, simulated
    const struct {
        const char* text;
        bool simulated;
    } rows[] = {
        {"[devices]\nCOM1: = /dev/ttyUSB0\n", false},
        {"[handset]\nsimulated = true\n", true},
        {"[Handset]\nSIMULATED = True   ; written by a simulated handset\n", true},
        {"[handset]\nsimulated = false\n", false},
        {"# simulated = true\n[devices]\n", false},
    };
    for (const auto& row : rows) {
        Profile profile;
        ASSERT_TRUE(ParseProfile(row.text, "p", &profile)) << row.text << platform::LastErrorText();
        EXPECT_EQ(profile.simulated, row.simulated) << row.text;
    }
}

TEST(Profile, RegistryNumbersAreDwordsOnly) {
    auto bad = [](const char* value) {
        return Refusal(std::string("[registry]\nHKEY_LOCAL_MACHINE\\K\\V = ") + value + "\n");
    };
    for (const char* value : {"0x", "-1", "+1", "4294967296", "0x100000000", "1.5", "0x1G", "12abc", "1 2"}) {
        EXPECT_EQ(bad(value), std::string("hand.prof:2: registry value is not a number (decimal or 0x hex "
                                          "DWORD): ") + value);
    }
    Profile profile;
    ASSERT_TRUE(ParseProfile("[registry]\nHKEY_LOCAL_MACHINE\\K\\V = 4294967295\n", "p", &profile));
    EXPECT_EQ(profile.registry.at("K\\V"), 4294967295u);
}

TEST(Profile, LoadNamesTheFileItCannotRead) {
    Profile profile;
    EXPECT_FALSE(platform::LoadProfile("/nonexistent/handset.prof", &profile));
    EXPECT_EQ(platform::LastErrorText(), "/nonexistent/handset.prof: No such file or directory");
}

TEST(Profile, LoadReadsAFileAndReportsItsLines) {
    char path[] = "/tmp/fwu-profile-XXXXXX";
    int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string text = "[devices]\nRIL1: = /x/ril.sock\n[kernel]\nbad line\n";
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ::close(fd);
    Profile profile;
    EXPECT_FALSE(platform::LoadProfile(path, &profile));
    EXPECT_EQ(platform::LastErrorText(), std::string(path) + ":4: line without '=': bad line");
    ::unlink(path);
}

// The host of a network port is a name, an IPv4 address or a bracketed IPv6 address: nothing
// else can reach the connection string (a comma there would name another TCP port).
TEST(Profile, NetworkHostsAreNamesOrAddresses) {
    // host and port as written, accepted
    const struct {
        const char* rest;
        bool accepted;
    } rows[] = {
        {"127.0.0.1:3001", true},        {"exporter-3.lab:3001", true},   {"[fd00::7]:3001", true},
        {"[::1]:3001", true},            {"127.0.0.1,23003:1", false},    {"h,tcp:3001", false},
        {"exporter_3:3001", false},      {"-h:3001", false},              {"h-:3001", false},
        {"a..b:3001", false},            {"10.0.0.256:3001", false},      {"[127.0.0.1]:3001", false},
        {"[fd00::7%eth0]:3001", false},  {"h(x):3001", false},            {"h/x:3001", false},
    };
    for (const auto& row : rows) {
        for (const std::string scheme : {"rfc2217://", "tcp://"}) {
            Profile profile;
            const bool parsed = ParseProfile("[devices]\nCOM1: = " + scheme + row.rest + "\n", "p", &profile);
            const std::string error = parsed ? std::string() : platform::LastErrorText();
            EXPECT_EQ(parsed, row.accepted) << scheme << row.rest << ": " << error;
            if (!row.accepted) {
                EXPECT_NE(error.find("a network port's host must be a host name, an IPv4 address or an IPv6 "
                                     "address in brackets: "),
                          std::string::npos)
                    << error;
            }
        }
    }
}

// Adapters: device names, programs and the reset pulse are checked before anything opens.
TEST(Profile, AdapterEntriesAreCheckedLikeTheRest) {
    const struct {
        const char* text;
        const char* refusal;
    } rows[] = {
        {"[devices]\nNOTADEV = /dev/null\n", "hand.prof:2: unknown device NOTADEV (expected COM0: to COM9: or RIL1:)"},
        {"[devices]\nCOM10: = /dev/ttyS0\n", "hand.prof:2: unknown device COM10: (expected COM0: to COM9: or RIL1:)"},
        {"[devices]\nCOM1: = exec:/bin/true\n", "hand.prof:2: a serial port cannot be a program: COM1:"},
        {"[devices]\nRIL1: = exec:\n", "hand.prof:2: exec: needs a program: exec:"},
        {"[devices]\nRIL1: = exec:ril.sh\n", "hand.prof:2: exec: needs an absolute path: ril.sh"},
        {"[devices]\nCOM1: = ttyUSB0\n", "hand.prof:2: a device path must be absolute: ttyUSB0"},
        {"[devices]\nRIL1: = run/ril.sock\n", "hand.prof:2: a device path must be absolute: run/ril.sock"},
        {"[kernel]\nKernelIoControl = ./k.sock\n", "hand.prof:2: a device path must be absolute: ./k.sock"},
        {"[devices]\nCOM1: = rfc2217://host\n",
         "hand.prof:2: a network port needs HOST:PORT: rfc2217://host (the exporter's TCP port, e.g. "
         "rfc2217://host:2000)"},
        {"[devices]\nCOM1: = tcp://:2000\n", "hand.prof:2: a network port needs a host: tcp://:2000"},
        {"[devices]\nCOM1: = tcp://h:0\n", "hand.prof:2: a network port's TCP port must be 1 to 65535: 0"},
        {"[devices]\nCOM1: = tcp://h:65536\n", "hand.prof:2: a network port's TCP port must be 1 to 65535: 65536"},
        {"[devices]\nCOM1: = tcp://h:20/x\n", "hand.prof:2: a network port's TCP port must be 1 to 65535: 20/x"},
        {"[devices]\nCOM1: = rfc2217://::1:2000\n",
         "hand.prof:2: a network port needs HOST:PORT: rfc2217://::1:2000 (the exporter's TCP port, e.g. "
         "rfc2217://host:2000)"},
        {"[devices]\nCOM1: = telnet://h:23\n",
         "hand.prof:2: unknown network port scheme telnet:// (expected rfc2217:// or tcp://)"},
        {"[devices]\nRIL1: = tcp://h:23\n", "hand.prof:2: the radio driver cannot be a network port: tcp://h:23"},
        {"[kernel]\nKernelIoControl = exec:  \n", "hand.prof:2: exec: needs a program: exec:"},
        {"[devices]\nCOM1: = udev:\n",
         "hand.prof:2: udev: needs at least one KEY=VALUE (expected udev:KEY=VALUE[,KEY=VALUE...], as "
         "`firmware-utility ports` offers)"},
        {"[devices]\nCOM1: = udev:ID_SERIAL_SHORT\n",
         "hand.prof:2: udev: ID_SERIAL_SHORT has no '=' in udev:ID_SERIAL_SHORT (expected "
         "udev:KEY=VALUE[,KEY=VALUE...], as `firmware-utility ports` offers)"},
        {"[devices]\nCOM1: = udev:ID_BUS=usb,\n",
         "hand.prof:2: udev: empty KEY=VALUE in udev:ID_BUS=usb, (expected udev:KEY=VALUE[,KEY=VALUE...], as "
         "`firmware-utility ports` offers)"},
        {"[devices]\nCOM1: = udev:ID_PATH=\n",
         "hand.prof:2: udev: ID_PATH has no value in udev:ID_PATH= (expected udev:KEY=VALUE[,KEY=VALUE...], as "
         "`firmware-utility ports` offers)"},
        {"[devices]\nCOM1: = udev:ID PATH=x\n",
         "hand.prof:2: udev: the key of ID PATH=x must be letters, digits and '_' (expected "
         "udev:KEY=VALUE[,KEY=VALUE...], as `firmware-utility ports` offers)"},
        {"[devices]\nRIL1: = udev:ID_BUS=usb\n", "hand.prof:2: only a serial port can be named by identity: RIL1:"},
        {"[radio]\nreboot = COM1: dtr 100\n", "hand.prof:2: unknown radio entry reboot (expected reset)"},
        {"[radio]\nreset = COM1: dtr\n",
         "hand.prof:2: reset needs a port, a line and a length (expected COMn: dtr|rts MILLISECONDS [low|high])"},
        {"[radio]\nreset = ttyS1 dtr 100\n", "hand.prof:2: reset port must be COM0: to COM9:: ttyS1"},
        {"[radio]\nreset = COM1: cts 100\n", "hand.prof:2: reset line must be dtr or rts: cts"},
        {"[radio]\nreset = COM1: dtr 0\n", "hand.prof:2: reset length must be 1 to 10000 milliseconds: 0"},
        {"[radio]\nreset = COM1: dtr 0x10\n", "hand.prof:2: reset length must be 1 to 10000 milliseconds: 0x10"},
        {"[radio]\nreset = COM1: dtr 10001\n", "hand.prof:2: reset length must be 1 to 10000 milliseconds: 10001"},
        {"[radio]\nreset = COM1: dtr 100 up\n", "hand.prof:2: reset polarity must be low or high: up"},
        {"[radio]\nreset = COM1: rts 5\n", "hand.prof:2: reset port COM1: has no entry in [devices]"},
        {"[devices]\nCOM1: = /a\n[radio]\nreset = COM1: rts 5\nRESET = COM1: dtr 5\n",
         "hand.prof:5: duplicate entry RESET"},
    };
    for (const auto& row : rows) EXPECT_EQ(Refusal(row.text), row.refusal) << row.text;
}

// Ports across the network pass the check of absolute paths; IPv6 literals go in brackets.
TEST(Profile, NetworkPortsAreKept) {
    Profile profile;
    ASSERT_TRUE(ParseProfile("[devices]\nCOM1: = rfc2217://lab-exp1:2001\nCOM2: = tcp://10.0.0.7:4000\n"
                             "COM3: = rfc2217://[fd00::7]:2003\n",
                             "p", &profile))
        << platform::LastErrorText();
    EXPECT_EQ(profile.devices.at("COM1:"), "rfc2217://lab-exp1:2001");
    EXPECT_EQ(profile.devices.at("COM2:"), "tcp://10.0.0.7:4000");
    EXPECT_EQ(profile.devices.at("COM3:"), "rfc2217://[fd00::7]:2003");
}

TEST(Profile, AdapterEntriesAreKept) {
    Profile profile;
    ASSERT_TRUE(ParseProfile("[radio]\nreset = com2: RTS 250 High\n[devices]\nCOM2: = /dev/ttyUSB0\n"
                             "RIL1: = exec:/opt/ril  --quiet  x\n[kernel]\nKernelIoControl = exec:/sbin/rb\n",
                             "p", &profile))
        << platform::LastErrorText();
    EXPECT_EQ(profile.reset.port, "COM2:");
    EXPECT_FALSE(profile.reset.dtr);
    EXPECT_TRUE(profile.reset.active_high);
    EXPECT_EQ(profile.reset.milliseconds, 250u);
    std::vector<std::string> argv;
    ASSERT_TRUE(platform::SplitProgram(profile.devices.at("RIL1:"), &argv));
    EXPECT_EQ(argv, (std::vector<std::string>{"/opt/ril", "--quiet", "x"}));
    EXPECT_TRUE(platform::SplitProgram(profile.kernel, &argv));
    EXPECT_FALSE(platform::SplitProgram("/run/ril.sock", &argv));
    ASSERT_TRUE(ParseProfile("[devices]\nCOM1: = /a\n[radio]\nreset = COM1: dtr 100\n", "p", &profile));
    EXPECT_TRUE(profile.reset.dtr);
    EXPECT_FALSE(profile.reset.active_high);
    // A port by identity, with the reset pulse on it.
    ASSERT_TRUE(ParseProfile("[devices]\nCOM1: = udev:ID_VENDOR_ID=0403,ID_SERIAL_SHORT=A50285BI\n[radio]\n"
                             "reset = COM1: dtr 100\n",
                             "p", &profile))
        << platform::LastErrorText();
    EXPECT_EQ(profile.devices.at("COM1:"), "udev:ID_VENDOR_ID=0403,ID_SERIAL_SHORT=A50285BI");
}

// The kind table: each kind recognised in its entry (a path by what it is on disk, the radio
// driver by the [radio] reset, the kernel's path as a service) and its answers.
TEST(Profile, DeviceKindsAnswerByTheirRow) {
    using platform::KindProbe;
    fwu_test::Pty pty;
    ASSERT_TRUE(pty.ok());
    const fwu_test::DeadSocket socket(true);
    const std::string tty = pty.slave();
    // device, entry, with a reset pulse, kind, comes back, line control, runs a program, resets by
    // pulse, carries controls, probe, claim key
    const struct {
        const char* device;
        std::string value;
        bool pulse;
        const char* kind;
        bool comes_back;
        bool line_control;
        bool program;
        bool resets_by_pulse;
        bool controls;
        KindProbe probe;
        const char* claim;  // nullptr: none
    } rows[] = {
        {"COM1:", tty, false, "tty", false, true, false, false, false, KindProbe::LineSettings, tty.c_str()},
        {"COM1:", "udev:ID_SERIAL_SHORT=none-such", false, "udev", true, true, false, false, false,
         KindProbe::LineSettings, nullptr},
        {"COM1:", "rfc2217://h:2000", false, "rfc2217", false, true, false, false, false, KindProbe::LineSettings,
         "rfc2217://h:2000"},
        {"COM1:", "tcp://h:2000", false, "tcp", false, false, false, false, false, KindProbe::LineSettings,
         "tcp://h:2000"},
        {"RIL1:", socket.path(), false, "service", false, false, false, false, true, KindProbe::Open,
         socket.path().c_str()},
        {"RIL1:", "exec:/bin/true", false, "program", false, false, true, false, true, KindProbe::Open, nullptr},
        {"RIL1:", "exec:/bin/true", true, "pulse", false, false, true, true, false, KindProbe::Open, nullptr},
        {"COM1:", tty, true, "tty", false, true, false, false, false, KindProbe::LineSettings, tty.c_str()},
        {"KernelIoControl", socket.path(), false, "kernel", false, false, false, false, true, KindProbe::Open, nullptr},
        {"KernelIoControl", "/x/none.sock", false, "kernel", false, false, false, false, true, KindProbe::Open, nullptr},
        {"KernelIoControl", "exec:/bin/true", false, "program", false, false, true, false, true, KindProbe::Open,
         nullptr},
    };
    for (const auto& row : rows) {
        Profile profile;
        if (std::string(row.device) == "KernelIoControl") profile.kernel = row.value;
        else profile.devices[row.device] = row.value;
        if (row.pulse) profile.reset = {"COM2:", true, false, 100};
        platform::SetProfile(profile);
        const platform::DeviceKind* kind = platform::KindOfDevice(row.device);
        ASSERT_NE(kind, nullptr) << row.value;
        EXPECT_STREQ(kind->name, row.kind) << row.value;
        EXPECT_EQ(platform::DeviceCanComeBack(row.device), row.comes_back) << row.value;
        EXPECT_EQ(kind->line_control, row.line_control) << row.value;
        EXPECT_EQ(platform::DeviceRunsProgram(row.device), row.program) << row.value;
        EXPECT_EQ(platform::DeviceResetsByPulse(row.device), row.resets_by_pulse) << row.value;
        EXPECT_EQ(kind->control != nullptr && kind->ready != nullptr, row.controls) << row.value;
        EXPECT_EQ(platform::DeviceProbe(row.device), row.probe) << row.value;
        std::string key;
        EXPECT_EQ(platform::DeviceClaimKey(row.device, &key), row.claim != nullptr) << row.value;
        if (row.claim != nullptr) {
            EXPECT_EQ(key, row.claim);
        }
    }
    // By its text alone a path is read as a tty, and any other scheme as a network port; each
    // network row names its scheme, which the entry's check reads.
    EXPECT_STREQ(platform::KindOfValue(socket.path())->name, "tty");
    EXPECT_STREQ(platform::KindOfValue("telnet://h:23")->name, "tcp");
    EXPECT_STREQ(platform::KindOfValue("rfc2217://h:23")->scheme, "rfc2217");
    EXPECT_STREQ(platform::KindOfValue("/dev/rfc2217://x")->name, "tty");
    EXPECT_TRUE(platform::ValueNamesProgram("exec:/x"));
    EXPECT_FALSE(platform::ValueNamesProgram("/x"));
    // A port or the kernel opens as no program, and the kernel as no device at all.
    Profile programs;
    programs.devices["COM1:"] = "exec:/bin/true";
    programs.kernel = "exec:/bin/true";
    platform::SetProfile(programs);
    for (const char* device : {"COM1:", "KernelIoControl"}) {
        EXPECT_EQ(platform::OpenDevice(device), platform::InvalidHandle) << device;
        EXPECT_EQ(platform::GetLastError(), static_cast<std::uint32_t>(ENOENT)) << device;
    }
    platform::SetProfile(Profile{});
    EXPECT_EQ(platform::KindOfDevice("COM1:"), nullptr);
    EXPECT_FALSE(platform::DeviceResetsByPulse("RIL1:"));
}

TEST(Profile, LookupsIgnoreCase) {
    Profile profile;
    ASSERT_TRUE(ParseProfile("[devices]\nRil1: = /r\n[registry]\n"
                             "HKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial\\Index = 7\n",
                             "p", &profile));
    platform::SetProfile(profile);
    std::string path;
    EXPECT_TRUE(platform::ProfileDevicePath("ril1:", &path));
    EXPECT_EQ(path, "/r");
    EXPECT_FALSE(platform::ProfileDevicePath("RIL2:", &path));
    EXPECT_FALSE(platform::ProfileDevicePath("", &path));
    EXPECT_TRUE(platform::ProfileRegistryKeyExists("drivers\\builtin\\serial"));
    EXPECT_TRUE(platform::ProfileRegistryKeyExists("Drivers"));
    EXPECT_FALSE(platform::ProfileRegistryKeyExists("Drivers\\BuiltIn\\Serial2"));
    EXPECT_FALSE(platform::ProfileRegistryKeyExists("Drivers\\BuiltIn\\Ser"));
    std::uint32_t value = 0;
    EXPECT_TRUE(platform::ProfileRegistryValue("DRIVERS\\BUILTIN\\SERIAL", "index", &value));
    EXPECT_EQ(value, 7u);
    EXPECT_FALSE(platform::ProfileRegistryValue("Drivers\\BuiltIn", "Serial\\Index", &value));
    EXPECT_EQ(platform::CurrentProfile().devices.size(), 1u);
    platform::SetProfile(Profile{});
}

}  // namespace
