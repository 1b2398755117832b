// The example adapters under examples/: their argument handling and the commands they run,
// against stub systemctl, gpioset and mmcli on PATH that record their arguments.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/support/program.h"

namespace {

class Examples : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* stub : {"systemctl", "gpioset"}) {
            const std::string path = bin_ + "/" + stub;
            // `--version` answers as libgpiod's tools do, naming $STUB_GPIOD, and is not logged.
            std::ofstream(path) << "#!/bin/sh\n[ \"$*\" = --version ] && echo \"" << stub
                                << " (libgpiod) v$STUB_GPIOD\" && exit 0\necho \"" << stub << " $*\" >> " << log_
                                << "\nexit ${STUB_STATUS:-0}\n";
            ::chmod(path.c_str(), 0755);
        }
        // One modem on ttyUSB0; an inhibition lasts until it is ended (or refuses: STUB_STATUS).
        const std::string mmcli = bin_ + "/mmcli";
        std::ofstream(mmcli) << "#!/bin/sh\necho \"mmcli $*\" >> " << log_ << "\ncase \"$*\" in\n"
                             << "-L\\ -K) echo 'modem-list.value[1]  : /mm/Modem/0' ;;\n"
                             << "-m\\ /mm/Modem/0\\ -K) echo 'modem.generic.device   : /sys/devices/usb1/1-2'; "
                             << "echo 'modem.generic.ports.value[1] : ttyUSB0 (at)' ;;\n"
                             << "--inhibit-device=*) [ \"${STUB_STATUS:-0}\" = 0 ] || exit $STUB_STATUS\n"
                             << "trap 'echo mmcli ended >> " << log_ << "; exit 0' TERM\nwhile :; do sleep 0.1; done ;;\n"
                             << "esac\n";
        ::chmod(mmcli.c_str(), 0755);
    }
    // Runs examples/SCRIPT with `args`; the exit status. The stubs' lines land in Log().
    int Run(const std::string& script, const std::string& args, int stub_status, const char* gpiod) {
        std::ofstream(log_, std::ios::trunc).close();
        const std::string command = "STUB_STATUS=" + std::to_string(stub_status) + " STUB_GPIOD=" + gpiod +
                                    " TMPDIR=" + dir_.path() + " PATH=" + bin_ + ":/usr/bin:/bin " + FWU_SOURCE_DIR "/examples/" + script + " " + args + " >/dev/null 2>&1";
        int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string Log() {
        std::ifstream in(log_);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    fwu_test::TempDir dir_;
    std::string bin_ = dir_.path();
    std::string log_ = dir_.path() + "/stub.log";
};

struct Case {
    const char* script;
    const char* args;
    int stub_status;
    int status;
    const char* log;
    const char* gpiod = "1.6.3";  // the version the stub gpioset names
};

TEST_F(Examples, EachScriptRunsWhatItsControlAsks) {
    const Case cases[] = {
        {"modem-manager.sh", "0x03001F80", 0, 0, "systemctl stop ModemManager.service\n"},
        {"modem-manager.sh", "0x03001F84", 0, 0, "systemctl start ModemManager.service\n"},
        {"modem-manager.sh", "mm.service 0x03001F80", 0, 0, "systemctl stop mm.service\n"},
        {"modem-manager.sh", "0x03001F80", 5, 5, "systemctl stop ModemManager.service\n"},
        {"modem-manager.sh", "0x03001F88", 0, 95, ""},
        {"modem-manager.sh", "0x01234567", 0, 22, ""},
        {"modem-manager.sh", "", 0, 22, ""},
        {"modem-manager.sh", "a b 0x03001F80", 0, 22, ""},
        {"gpio-reset.sh", "gpiochip0 17 0x03001F88", 0, 0,
         "gpioset --mode=time --usec=100000 gpiochip0 17=0\ngpioset gpiochip0 17=1\n"},
        {"gpio-reset.sh", "gpiochip1 4 250 high 0x03001F88", 0, 0,
         "gpioset --mode=time --usec=250000 gpiochip1 4=1\ngpioset gpiochip1 4=0\n"},
        {"gpio-reset.sh", "gpiochip0 17 0x03001F88", 0, 0, "gpioset -c gpiochip0 -t 100ms,0 17=0\n", "2.1"},
        {"gpio-reset.sh", "gpiochip1 4 250 high 0x03001F88", 4, 4, "gpioset -c gpiochip1 -t 250ms,0 4=1\n", "2.0.2"},
        {"gpio-reset.sh", "gpiochip0 17 0x03001F80", 0, 0, ""},
        {"gpio-reset.sh", "gpiochip0 17 0x03001F84", 0, 0, ""},
        {"gpio-reset.sh", "gpiochip0 17 0x03001F88", 3, 3, "gpioset --mode=time --usec=100000 gpiochip0 17=0\n"},
        {"gpio-reset.sh", "gpiochip0 17 100 sideways 0x03001F88", 0, 22, ""},
        {"gpio-reset.sh", "gpiochip0 x17 0x03001F88", 0, 22, ""},
        {"gpio-reset.sh", "gpiochip0 17 1o0 0x03001F88", 0, 22, ""},
        {"gpio-reset.sh", "gpiochip0 0x03001F88", 0, 22, ""},
        {"gpio-reset.sh", "gpiochip0 17 0x0101003C", 0, 22, ""},
        {"reboot.sh", "0x0101003C", 0, 0, "systemctl reboot\n"},
        {"reboot.sh", "--dry-run 0x0101003C", 0, 0, ""},
        {"reboot.sh", "--now 0x0101003C", 0, 22, ""},
        {"reboot.sh", "0x03001F88", 0, 22, ""},
        {"reboot.sh", "", 0, 22, ""},
        {"mm-inhibit.sh", "/dev/ttyUSB0 0x03001F80", 0, 0, "mmcli -L -K\nmmcli -m /mm/Modem/0 -K\nmmcli --inhibit-device=/sys/devices/usb1/1-2\n"},
        {"mm-inhibit.sh", "/dev/ttyUSB0 0x03001F84", 0, 0, "mmcli ended\n"},
        {"mm-inhibit.sh", "/dev/ttyUSB0 0x03001F84", 0, 0, ""},
        {"mm-inhibit.sh", "/dev/ttyUSB0 0x03001F80", 4, 1, "mmcli -L -K\nmmcli -m /mm/Modem/0 -K\nmmcli --inhibit-device=/sys/devices/usb1/1-2\n"},
        {"mm-inhibit.sh", "/dev/ttyS9 0x03001F80", 0, 0, "mmcli -L -K\nmmcli -m /mm/Modem/0 -K\n"},
        {"mm-inhibit.sh", "/dev/ttyUSB0 0x03001F88", 0, 95, ""},
        {"mm-inhibit.sh", "0x03001F80", 0, 22, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Run(c.script, c.args, c.stub_status, c.gpiod), c.status) << c.script << " " << c.args;
        EXPECT_EQ(Log(), c.log) << c.script << " " << c.args;
    }
}

}  // namespace
