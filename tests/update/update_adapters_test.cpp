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
#include <sstream>
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
    ASSERT_TRUE(platform::ParseProfile(profile_text, "board.prof", &profile)) << platform::LastErrorText();
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
        update::UpdateRunOf().state.outcome.store(update::OutcomeNone);
        window.Run([&] { return static_cast<platform::LResult>(update::StartUpdate(window.window())); });
        for (int i = 0; i < 1200 && update::UpdateRunOf().state.outcome.load() == update::OutcomeNone; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        EXPECT_TRUE(update::WaitForRunThread(10000));
    }
    platform::JoinEndingThreads(5000);  // the updater and caster have ended: join them
    platform::internal::SysCalls() = saved;
    platform::SetProfile(platform::Profile{});

    EXPECT_EQ(update::UpdateRunOf().state.outcome.load(), update::OutcomeConfirmed);
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

// The handset's profile with one entry replaced ("" drops it) and lines added at the end.
std::string EditedProfile(const sim::Handset& handset, const std::string& dir, const std::string& entry,
                          const std::string& value, const std::string& added) {
    std::istringstream in(fwu_test::ReadText(handset.ProfilePath()));
    std::string text;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(entry + " = ", 0) == 0) {
            if (!value.empty()) text += entry + " = " + value + "\n";
            continue;
        }
        text += line + "\n";
    }
    const std::string path = dir + "/edited.prof";
    std::ofstream(path) << text << added;
    return path;
}

// A control that fails is said on stderr where it happens: device, reason, the adapter's own
// last line; a failed reboot after a confirmed image keeps exit 0 but is said; a profile
// without any reset is refused before anything opens. A reset that never succeeded is what the
// run's end names, and one whose program cannot run ends the run at its first attempt.
TEST(UpdateAdapters, FailingControlsAreSaidOnStderr) {
    // FWU_ACTION it fails, what it prints, how it ends
    const struct {
        const char* name;
        const char* entry;   // the profile entry replaced
        const char* script;  // the program's body ("": the entry is dropped)
        const char* added;   // profile lines added
        int status;
        std::vector<std::string> said;
        const char* attempts;  // --attempts
        unsigned failures;     // control_failed events
        const char* ended;     // the run_end's outcome, naming the reset in its reason ("": not checked)
    } rows[] = {
        {"reset adapter exits 1", "RIL1:",
         "[ \"$FWU_ACTION\" = reset ] || exit 0\necho trying line 17\necho cannot open gpiochip0 >&2\nexit 1\n", "", 1,
         {"reset failed: exited with status 1; its last line: cannot open gpiochip0\n"}, "1", 1,
         "\"outcome\":\"gave_up\""},
        {"reset adapter cannot run its tool", "RIL1:",
         "[ \"$FWU_ACTION\" = reset ] || exit 0\necho 'gpioset: not found' >&2\nexit 127\n", "", 1,
         {"reset failed: exited with status 127; its last line: gpioset: not found\n",
          "waiting for the module on COM1: (attempt 1 of 3)"},
         "3", 1, "\"outcome\":\"control_failed\""},
        {"reset adapter never ends", "RIL1:", "[ \"$FWU_ACTION\" = reset ] || exit 0\nexec sleep 30\n", "", 1,
         {"reset failed: did not end within 5 s and was killed\n"}, "1", 1, ""},
        {"reset pulse on a port without modem lines", "KernelIoControl", "exit 0\n", "[radio]\nreset = COM1: dtr 50\n", 1,
         {"RIL1: (DTR pulse on COM1:): reset failed: Inappropriate ioctl for device: the port has no modem lines"}, "1", 1,
         ""},
        {"reboot adapter exits 5", "KernelIoControl", "echo Failed to connect to bus >&2\nexit 5\n", "", 0,
         {"reboot failed: exited with status 5; its last line: Failed to connect to bus\n",
          "firmware-utility: the module took the image, but the handset's reboot request failed (above); reboot it by "
          "hand\n"},
         "1", 1, ""},
        {"no reset at all", "RIL1:", "", "", 2,
         {"gives no way to reset the module: add a radio driver to [devices] (`RIL1: = /path/to/ril.sock`, a service, "
          "or `RIL1: = exec:/path/to/program`) or a modem-line pulse to [radio] (`reset = COM1: dtr 100`); nothing "
          "was opened\n"},
         "1", 0, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        sim::Handset handset;
        std::string error;
        ASSERT_TRUE(handset.Start({}, &error)) << error;
        fwu_test::TempDir dir;
        const std::string script = dir.path() + "/adapter.sh";
        std::ofstream(script) << "#!/bin/sh\n" << row.script;
        ::chmod(script.c_str(), 0755);
        const std::string value = *row.script ? "exec:" + script : "";
        const std::string profile = EditedProfile(handset, dir.path(), row.entry, value, row.added);
        const std::string events = dir.path() + "/events.jsonl";
        fwu_test::UpdateRun run = fwu_test::RunUpdate(
            handset, {"--attempts", row.attempts, "--module-timeout", "1", "--events", events}, 60000, profile);
        EXPECT_EQ(run.result.status, row.status) << run.result.err;
        for (const std::string& said : row.said) {
            EXPECT_EQ(fwu_test::Count(run.result.err, said), 1u) << said << "\n" << run.result.err;
        }
        if (row.status == 2) {
            EXPECT_TRUE(handset.RilCodes().empty());  // nothing was opened
            continue;
        }
        // The same failure as an event, before the run's end.
        const std::string text = fwu_test::ReadText(events);
        EXPECT_EQ(fwu_test::Count(text, "\"event\":\"control_failed\""), row.failures) << text;
        // A reset that never succeeded is named by the run's end, not the module's silence.
        if (*row.ended) {
            const std::string end = text.substr(text.find("\"event\":\"run_end\""));
            EXPECT_EQ(fwu_test::Count(end, row.ended), 1u) << end;
            EXPECT_EQ(fwu_test::Count(end, "\"reason\":\"the module could not be reset"), 1u) << end;
        }
        EXPECT_EQ(fwu_test::Count(text, "\"reboot_failed\":" + std::string(row.status == 0 ? "true" : "false")), 1u)
            << text;
        // A program's last line is the event's own field too.
        const std::string mark = "its last line: ";
        const std::size_t at = row.said[0].find(mark);
        if (at != std::string::npos) {
            const std::string line = row.said[0].substr(at + mark.size(), row.said[0].size() - at - mark.size() - 1);
            EXPECT_EQ(fwu_test::Count(text, "\"adapter_line\":\"" + line + "\""), 1u) << text;
        }
    }
}

}  // namespace
