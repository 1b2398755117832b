// A whole firmware update on a board described the way a real one is: the radio driver and the
// kernel are exec: programs, and the module reset is a pulse on COM1:'s DTR line. The programs
// are scripts that forward each control to the simulated handset's services (socat); the
// pulse goes through the system-call seam, where this test plays the board's wiring: the end of
// a DTR pulse on the module's port resets the simulated module.
#include <gtest/gtest.h>

#include <sys/ioctl.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/base/sha256.h"
#include "platform/devices/service.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "sim/sim.h"
#include "tests/support/program.h"
#include "tests/support/update_run.h"
#include "tests/support/window_thread.h"
#include "update/payloads.h"
#include "update/update.h"

namespace {

// Forwards "CODE" (0x hex, the last argument) to the socket SOCK as the services take it, and
// exits 0 only on status 0. Records its arguments and FWU_ACTION in RECORD.
constexpr char ForwardScript[] =
    "#!/bin/sh\n"
    "record=$1; sock=$2; code=$(($3))\n"
    "echo \"$FWU_DEVICE $FWU_ACTION $3\" >> \"$record\"\n"
    "bytes=$(printf '\\\\%03o\\\\%03o\\\\%03o\\\\%03o' $((code & 255)) $((code >> 8 & 255)) $((code >> 16 & 255)) "
    "$((code >> 24 & 255)))\n"
    "status=$(printf \"$bytes\" | socat -t 5 - UNIX-CONNECT:\"$sock\" | od -An -tu4 | tr -d ' \\n')\n"
    "echo \"status ${status:-none}\"\n"
    "[ \"$status\" = 0 ]\n";

struct Wiring {
    std::mutex mutex;
    std::vector<unsigned long> dtr_changes;  // each edge: low, then high again
    bool dtr_low = false;
    std::string ril_socket;
};
Wiring wiring;
platform::internal::SysCallTable saved;

// The board: DTR low resets the module; the reset takes effect as DTR comes back.
int BoardIoctl(int fd, unsigned long request, void* argument) {
    if ((request == TIOCMBIC || request == TIOCMBIS) && *static_cast<int*>(argument) == TIOCM_DTR) {
        // Raising a DTR that is already up (the link's open does) is no edge.
        std::string socket;
        bool reset = false;
        {
            std::lock_guard lock(wiring.mutex);
            if ((request == TIOCMBIC) != wiring.dtr_low) {
                wiring.dtr_changes.push_back(request);
                reset = request == TIOCMBIS;
                wiring.dtr_low = request == TIOCMBIC;
            }
            socket = wiring.ril_socket;
        }
        if (reset && !socket.empty()) {
            std::uint32_t status = 1;
            platform::internal::ServiceControl(socket.c_str(), sim::RilResetModule, &status);
        }
        return 0;
    }
    return saved.ioctl(fd, request, argument);
}

TEST(UpdateAdapters, UpdateRunsWithProgramsAndAModemLineReset) {
    fwu_test::UsePrivateRuntimeDirectory();
    sim::Handset handset;
    std::string error;
    ASSERT_TRUE(handset.Start({}, &error)) << error;
    fwu_test::TempDir dir;
    const std::string script = dir.path() + "/forward.sh";
    const std::string record = dir.path() + "/record.txt";
    std::ofstream(script) << ForwardScript;
    ::chmod(script.c_str(), 0755);
    const std::string profile_text = "[devices]\nCOM1: = " + handset.DevicePath("COM1:") + "\nRIL1: = exec:" + script +
                                     " " + record + " " + handset.DevicePath("RIL1:") + "\n[kernel]\nKernelIoControl = exec:" +
                                     script + " " + record + " " + handset.Directory() + "/kernel.sock\n" +
                                     "[radio]\nreset = COM1: dtr 50\n";
    platform::Profile profile;
    ASSERT_TRUE(platform::ParseProfile(profile_text, "board.prof", &profile, &error)) << error;
    platform::SetProfile(profile);
    {
        std::lock_guard lock(wiring.mutex);
        wiring.ril_socket = handset.DevicePath("RIL1:");
        wiring.dtr_changes.clear();
    }
    saved = platform::internal::SysCalls();
    platform::internal::SysCalls().ioctl = BoardIoctl;

    {
        fwu_test::WindowThread window;
        update::UpdateOutcome.store(update::OutcomeNone);
        window.Run([&] { return static_cast<platform::LResult>(update::StartUpdate(window.window())); });
        for (int i = 0; i < 1200 && update::UpdateOutcome.load() == update::OutcomeNone; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        EXPECT_TRUE(update::WaitForRunThread(10000));
    }
    platform::JoinEndingThreads(5000);  // the updater and caster have ended: join them
    platform::internal::SysCalls() = saved;
    platform::SetProfile(platform::Profile{});

    EXPECT_EQ(update::UpdateOutcome.load(), update::OutcomeConfirmed);
    const sim::Module& module = handset.module();
    EXPECT_EQ(module.Downloads(), 1);
    EXPECT_EQ(module.ImageSha256(),
              platform::Sha256Hex(update::LoadPayload(update::PayloadFirmware), update::FirmwareLength));
    // The programs took suspend and the reboot; the resets were the two DTR pulses (handshake,
    // after the image), which the wiring passed on to the module.
    EXPECT_EQ(fwu_test::ReadText(record), "RIL1: suspend 0x03001F80\nKernelIoControl reboot 0x0101003C\n");
    EXPECT_EQ(handset.RilCodes(), (std::vector<std::uint32_t>{sim::RilSuspend, sim::RilResetModule, sim::RilResetModule}));
    EXPECT_EQ(handset.KernelCodes(), std::vector<std::uint32_t>{sim::KernelReboot});
    std::lock_guard lock(wiring.mutex);
    EXPECT_EQ(wiring.dtr_changes, (std::vector<unsigned long>{TIOCMBIC, TIOCMBIS, TIOCMBIC, TIOCMBIS}));
}

}  // namespace
