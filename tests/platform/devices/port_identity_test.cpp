// Ports named by identity (udev:KEY=VALUE) in umockdev's test bed, whose devices come and go
// while the program runs: matching one, none or several ports, and a whole update against the
// simulated handset whose module port re-enumerates after its reset (ttyACM0 comes back as
// ttyACM1). The test and the programs it starts run with umockdev's preload library (ctest sets
// LD_PRELOAD), which points libudev, /sys and the test bed's /dev nodes into the test bed.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "sim/pty.h"
#include "sim/sim.h"
#include "tests/support/program.h"
#include "tests/support/test_bed.h"
#include "tests/support/update_run.h"

namespace {

const std::string DataDir = FWU_SOURCE_DIR "/tests/platform/devices/data/";

TEST(PortIdentity, OneNoneOrSeveralPortsMatch) {
    SKIP_OUTSIDE_TEST_BED();
    fwu_test::TestBed bed;
    ASSERT_TRUE(bed.AddFile(DataDir + "usb_serial.umockdev"));
    ASSERT_TRUE(bed.AddFile(DataDir + "cdc_acm.umockdev"));
    constexpr char Ports[] = "ports now: /dev/ttyACM0, /dev/ttyUSB0, /dev/ttyUSB1";
    constexpr char Hint[] = "see `firmware-utility ports` for the serial ports of this machine";
    const struct {
        std::string identity;
        std::string node;         // the port it stands for, or empty
        std::string explanation;  // else why it does not open
    } rows[] = {
        {"udev:ID_SERIAL_SHORT=A50285BI", "/dev/ttyUSB0", ""},
        // A property of a device above the tty: the USB interface's driver.
        {"udev:DRIVER=cdc_acm", "/dev/ttyACM0", ""},
        {"udev:ID_BUS=usb,ID_PATH=pci-0000:00:14.0-usb-0:4:1.0", "/dev/ttyUSB1", ""},
        {"udev:ID_SERIAL_SHORT=NOPE", "",
         "COM1: (udev:ID_SERIAL_SHORT=NOPE): no serial port matches udev:ID_SERIAL_SHORT=NOPE (" + std::string(Ports) +
             "); " + Hint},
        {"udev:ID_SERIAL_SHORT=A50285BI,ID_VENDOR_ID=1209", "",
         "COM1: (udev:ID_SERIAL_SHORT=A50285BI,ID_VENDOR_ID=1209): no serial port matches "
         "udev:ID_SERIAL_SHORT=A50285BI,ID_VENDOR_ID=1209 (" + std::string(Ports) + "); " + Hint},
        {"udev:ID_USB_DRIVER=ftdi_sio,ID_BUS=usb", "/dev/ttyUSB0", ""},
        {"udev:ID_BUS=usb", "",
         "COM1: (udev:ID_BUS=usb): 3 serial ports match udev:ID_BUS=usb: /dev/ttyACM0, /dev/ttyUSB0, /dev/ttyUSB1; "
         "add a key that tells them apart (ID_SERIAL_SHORT, ID_PATH); " + std::string(Hint)},
    };
    for (const auto& row : rows) {
        if (!row.node.empty()) {
            std::string node;
            EXPECT_TRUE(platform::ResolvePortPath(row.identity, &node)) << row.identity;
            EXPECT_EQ(node, row.node);
            continue;
        }
        platform::Profile profile;
        profile.devices["COM1:"] = row.identity;
        platform::SetProfile(profile);
        EXPECT_EQ(platform::OpenDevice("COM1:"), platform::InvalidHandle) << row.identity;
        EXPECT_EQ(platform::ExplainOpenFailure("COM1:", platform::GetLastError()), row.explanation);
    }
    platform::SetProfile({});
}

// The module behind USB: a cdc_acm interface of a device that carries its serial number.
constexpr char ModuleUsbRecord[] =
    "P: /devices/pci0000:00/0000:00:1d.0/usb2/2-1\n"
    "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\nE: ID_VENDOR_ID=1209\nE: ID_SERIAL_SHORT=HR20-000123\n"
    "A: idVendor=1209\nA: idProduct=4712\nA: serial=HR20-000123\n\n"
    "P: /devices/pci0000:00/0000:00:1d.0/usb2/2-1/2-1:1.0\n"
    "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: DRIVER=cdc_acm\n"
    "L: driver=../../../../../../bus/usb/drivers/cdc_acm\n";
constexpr char InterfacePath[] = "/sys/devices/pci0000:00/0000:00:1d.0/usb2/2-1/2-1:1.0";
constexpr char ModuleIdentity[] = "udev:ID_SERIAL_SHORT=HR20-000123";

// The module's port as the test bed shows it: ttyACMn under the module's USB interface, its
// node a pty of this test relayed both ways to the simulated module's link. At the module's
// first reset the port re-enumerates: ttyACMn and its pty go (the open link hangs up, the bytes
// on their way are lost) and ttyACMn+1 comes on a fresh pty.
class ReplugRelay {
public:
    ReplugRelay(fwu_test::TestBed* bed, const sim::Handset* handset) : bed_(bed), handset_(handset) {
        module_ = ::open(handset->DevicePath("COM1:").c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        sim::MakeRaw(module_);
        ::pipe2(stop_, O_CLOEXEC);
    }
    ~ReplugRelay() {
        char byte = 0;
        ::write(stop_[1], &byte, 1);
        if (thread_.joinable()) thread_.join();
        for (int fd : {module_, master_, held_slave_, stop_[0], stop_[1]}) {
            if (fd >= 0) ::close(fd);
        }
    }
    // The next port's node opens only after a while, as one whose group udev's rules have not
    // set yet: until then it links nowhere.
    void OpenLate() { late_ = true; }
    bool Plug(int number) {
        if (master_ >= 0) ::close(master_);
        if (held_slave_ >= 0) ::close(held_slave_);
        std::string slave, error;
        if (!sim::OpenPtyMaster(true, &master_, &slave, &error)) return false;
        // Held open (raw) so that the master never polls as hung up while the program has
        // not opened it yet, and echoes nothing back.
        held_slave_ = ::open(slave.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        sim::MakeRaw(held_slave_);
        const std::string name = "ttyACM" + std::to_string(number);
        tty_ = std::string(InterfacePath) + "/tty/" + name;
        const std::string record = "P: " + tty_.substr(4) + "\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/" + name +
                                   "\nE: MAJOR=166\nE: MINOR=" + std::to_string(number) +
                                   "\nA: dev=166:" + std::to_string(number) + "\n";
        // The node first: a port that udev shows can be opened at once (unless it opens late).
        node_ = "/dev/" + name;
        slave_ = slave;
        if (late_) opens_at_ = std::chrono::steady_clock::now() + LateNodeDelay;
        if (!bed_->LinkNode(node_, late_ ? "/nonexistent" : slave) || !bed_->AddRecord(record)) return false;
        bed_->Announce(tty_, "add");
        return true;
    }
    void Start() { thread_ = std::thread([this] { Relay(); }); }
    bool Replugged() const { return replugged_.load(); }

private:
    // At the module's first reset: ttyACM0 goes, ttyACM1 comes. False when that failed.
    bool ReplugAtReset() {
        if (replugged_ || handset_->module().Resets() == 0) return true;
        bed_->Remove(tty_);
        replugged_ = Plug(1);
        return replugged_;
    }
    void Relay() {
        std::uint8_t buffer[4096];
        for (;;) {
            if (!ReplugAtReset()) return;
            if (late_ && replugged_ && std::chrono::steady_clock::now() >= opens_at_) {
                if (!bed_->RelinkNode(node_, slave_)) return;
                late_ = false;
            }
            pollfd fds[] = {{master_, POLLIN, 0}, {module_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            // A short period while the reset or a late node is awaited: the relay looks at
            // them between bytes.
            const bool before = replugged_;
            if (::poll(fds, 3, before && !late_ ? -1 : 10) < 0 && errno != EINTR) return;
            if (fds[2].revents) return;
            // Reset meanwhile: nothing more passes the old port (the module's answer waits
            // for the new one).
            if (!ReplugAtReset()) return;
            if (replugged_ != before) continue;
            if (fds[0].revents & POLLIN) {
                ssize_t n = ::read(master_, buffer, sizeof buffer);
                if (n > 0) Send(module_, buffer, n);
            }
            if (fds[1].revents & POLLIN) {
                ssize_t n = ::read(module_, buffer, sizeof buffer);
                if (n > 0) Send(master_, buffer, n);
            }
        }
    }
    static void Send(int fd, const std::uint8_t* data, ssize_t size) {
        while (size > 0) {
            ssize_t n = ::write(fd, data, static_cast<std::size_t>(size));
            if (n < 0 && errno == EAGAIN) {
                pollfd out{fd, POLLOUT, 0};
                ::poll(&out, 1, -1);
                continue;
            }
            if (n <= 0) return;
            data += n;
            size -= n;
        }
    }

    fwu_test::TestBed* bed_;
    const sim::Handset* handset_;
    int module_ = -1;
    int master_ = -1;
    int held_slave_ = -1;
    int stop_[2] = {-1, -1};
    static constexpr auto LateNodeDelay = std::chrono::milliseconds(1000);
    std::string tty_, node_, slave_;
    bool late_ = false;  // read and written by the relay thread once it started
    std::chrono::steady_clock::time_point opens_at_{};
    std::atomic<bool> replugged_{false};
    std::thread thread_;
};

// Once with the handset's profile (the radio driver resets the module), once as a bench starts
// one: the quick run, the port named by identity and the reset a DTR pulse on it; and once with
// the profile and a port that comes back a second before it can be opened.
TEST(PortIdentity, UpdateFollowsAModuleThatReenumeratesAfterItsReset) {
    SKIP_OUTSIDE_TEST_BED();
    const struct {
        const char* name;
        bool quick_run;
        bool opens_late;
    } rows[] = {{"profile", false, false}, {"--port udev:... --reset dtr:100", true, false}, {"late node", false, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const bool quick_run = row.quick_run;
        fwu_test::TestBed bed;
        ASSERT_TRUE(bed.AddRecord(ModuleUsbRecord));
        sim::Handset handset;
        std::string error;
        ASSERT_TRUE(handset.Start({}, &error)) << error;
        ReplugRelay relay(&bed, &handset);
        ASSERT_TRUE(relay.Plug(0));
        if (row.opens_late) relay.OpenLate();
        relay.Start();
        fwu_test::TempDir dir;
        fwu_test::UpdateRun run;
        if (quick_run) {
            bed.WireDtrToReset(handset.DevicePath("RIL1:"));
            fwu_test::WriteSet(dir.path());
            const std::string trace = dir.path() + "/trace.txt";
            run.result = fwu_test::RunProgram({"update", "--port", ModuleIdentity, "--reset", "dtr:100", "--at-port",
                                               handset.DevicePath("COM2:"), "--firmware", dir.path(), "--after", "keep",
                                               "--module-timeout", "3", "--trace", trace},
                                              {"FIRMWARE_UTILITY_RUNTIME_DIR=" + dir.path() + "/rt"}, 120000);
            run.trace = fwu_test::ReadText(trace);
        } else {
            // The handset's own profile, its module link named by identity.
            std::ifstream original(handset.ProfilePath());
            std::string text, line;
            while (std::getline(original, line)) {
                text += (line.rfind("COM1:", 0) == 0 ? std::string("COM1: = ") + ModuleIdentity : line) + "\n";
            }
            const std::string profile = dir.path() + "/module.prof";
            std::ofstream(profile) << text;
            run = fwu_test::RunUpdate(handset, {"--module-timeout", "3"}, 120000, profile);
        }
        EXPECT_EQ(run.result.status, 0) << run.result.err << run.result.out;
        EXPECT_TRUE(relay.Replugged());
        EXPECT_TRUE(handset.module().DownloadDone());
        // The link went with ttyACM0 and was opened again on ttyACM1, where the image went.
        EXPECT_EQ(fwu_test::Count(run.trace, "COM1: went away; waiting up to 15000 ms for " + std::string(ModuleIdentity)),
                  1u)
            << run.trace.substr(0, 4000);
        if (!row.opens_late) {
            EXPECT_EQ(fwu_test::Count(run.trace, "Open : COM1:"), 2u);
        }
        EXPECT_EQ(fwu_test::Count(run.trace, "COM1: back at /dev/ttyACM1\r\n"), 1u);
        EXPECT_NE(run.trace.find(" Upgrade succeed!! "), std::string::npos);
        // Opens that failed while the port was coming back are the trace's, not the user's.
        EXPECT_EQ(fwu_test::Count(run.result.err, "COM1: (udev:"), 0u) << run.result.err;
        if (row.opens_late) {
            EXPECT_GE(fwu_test::Count(run.trace, "Error (2: No such file or directory) opening COM1:"), 1u) << run.trace.substr(0, 6000);
        }
        if (quick_run) {
            EXPECT_EQ(fwu_test::Count(run.result.err, "verified: the module runs revision R7.1.3-test"), 1u);
        }
    }
}

}  // namespace
