// Payload sets chosen at run time: `--firmware DIR` checked whole before anything opens (each
// refusal one line naming the file, exit 2), a directory set sent byte for byte and described
// in the events, and this build's stand-ins refused to a handset that is not a simulated one;
// the quick run (--port, no profile file) with each way of resetting the module.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/devices/service.h"
#include "tests/support/tmux.h"
#include "tests/support/update_run.h"
#include "update/payloads.h"

namespace {

using fwu_test::BuiltIn;
using fwu_test::Count;
using fwu_test::OtherImage;
using fwu_test::ProgramResult;
using fwu_test::ReadText;
using fwu_test::RunProgram;
using fwu_test::Sha;
using fwu_test::TempDir;
using fwu_test::Write;
using fwu_test::WriteSet;
using Json = nlohmann::json;

struct CheckCase {
    const char* name;
    std::function<void(const std::string& dir)> spoil;  // what is wrong with the set
    std::string expected;                               // the line's text after "DIR" and before the reason
    std::string reason;
};

TEST(PayloadSets, EveryFailedCheckIsOneLineNamingTheFileAndExit2) {
    const std::string zeros = std::string(64, '0');
    const CheckCase cases[] = {
        {"missing directory", [](const std::string& dir) { std::filesystem::remove_all(dir); }, "",
         "No such file or directory"},
        {"not a directory",
         [](const std::string& dir) {
             std::filesystem::remove_all(dir);
             Write(dir, "x");
         },
         "", "not a directory"},
        {"missing image", [](const std::string& dir) { ::unlink((dir + "/fw.bin").c_str()); }, "/fw.bin",
         "No such file or directory"},
        {"loader a byte short",
         [](const std::string& dir) { Write(dir + "/boot1.bin", std::string(update::Boot1Length - 1, 'x')); },
         "/boot1.bin", "has 183 bytes; the upload stages need exactly 184"},
        {"image too long",
         [](const std::string& dir) { Write(dir + "/fw.bin", OtherImage() + "x"); }, "/fw.bin",
         "has 2481251 bytes; the upload stages need exactly 2481250"},
        {"image is a directory",
         [](const std::string& dir) {
             ::unlink((dir + "/fw.bin").c_str());
             ::mkdir((dir + "/fw.bin").c_str(), 0700);
         },
         "/fw.bin", "a directory, not a regular file"},
        {"loader is a FIFO",
         [](const std::string& dir) {
             ::unlink((dir + "/boot2.bin").c_str());
             ::mkfifo((dir + "/boot2.bin").c_str(), 0600);
         },
         "/boot2.bin", "not a regular file"},
        {"sums mismatch",
         [](const std::string& dir) { Write(dir + "/boot2.bin", std::string(update::Boot2Length, 'x')); },
         "/boot2.bin", "SHA-256 " + Sha(std::string(update::Boot2Length, 'x')) + " does not match SHA256SUMS ("},
        {"sums line malformed", [](const std::string& dir) { Write(dir + "/SHA256SUMS", "fw.bin 1234\n"); },
         "/SHA256SUMS:1", "not a sha256sum line"},
        {"image listed as ./fw.bin, another digest",
         [zeros](const std::string& dir) { Write(dir + "/SHA256SUMS", zeros + "  ./fw.bin\n"); }, "/fw.bin",
         "SHA-256 " + Sha(OtherImage()) + " does not match SHA256SUMS (" + zeros + ")"},
        {"a name listed twice",
         [](const std::string& dir) {
             Write(dir + "/SHA256SUMS", ReadText(dir + "/SHA256SUMS") + Sha(OtherImage()) + "  .//fw.bin\n");
         },
         "/SHA256SUMS:5", "lists fw.bin again (first on line 3)"},
        {"sums list too large",
         [](const std::string& dir) { Write(dir + "/SHA256SUMS", ReadText(dir + "/SHA256SUMS") + std::string(65536, '\n')); },
         "/SHA256SUMS", "larger than 64 KiB"},
        {"version changed after its sum", [](const std::string& dir) { Write(dir + "/version", "R9\n"); }, "/version",
         "SHA-256 " + Sha("R9\n") + " does not match SHA256SUMS ("},
        {"sums reach outside",
         [zeros](const std::string& dir) { Write(dir + "/SHA256SUMS", zeros + "  ../fw.bin\n"); }, "/SHA256SUMS:1",
         "names a file outside the directory: ../fw.bin"},
        {"empty version",
         [](const std::string& dir) {
             Write(dir + "/version", " \n");
             ::unlink((dir + "/SHA256SUMS").c_str());
         },
         "/version", "empty; it names the set's firmware revision"},
        {"version of two lines",
         [](const std::string& dir) {
             Write(dir + "/version", "R1\nR2\n");
             ::unlink((dir + "/SHA256SUMS").c_str());
         },
         "/version", "more than one line"},
    };
    for (const CheckCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir temp;
        const std::string dir = temp.path() + "/set";
        ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
        WriteSet(dir);
        c.spoil(dir);
        // `payloads` reads the set; `update` refuses before any handset or device is touched.
        for (const char* invocation : {"payloads", "update"}) {
            ProgramResult result = RunProgram({invocation, "--firmware", dir});
            EXPECT_EQ(result.status, 2) << invocation << ": " << result.err;
            EXPECT_EQ(result.out, "") << invocation;
            EXPECT_EQ(result.err.rfind("firmware-utility: --firmware: " + dir + c.expected + ": " + c.reason, 0), 0u)
                << invocation << ": " << result.err;
            EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        }
    }
}

// Names are taken as the directory's files: "./fw.bin" is fw.bin; a name that is no file of the
// set is passed over unread.
TEST(PayloadSets, SumsNamesAreNormalisedAndOtherNamesPassedOver) {
    TempDir temp;
    WriteSet(temp.path());
    Write(temp.path() + "/SHA256SUMS", Sha(OtherImage()) + "  ./fw.bin\n" + std::string(64, '0') + "  notes.txt\n");
    ProgramResult listed = RunProgram({"payloads", "--firmware", temp.path()});
    EXPECT_EQ(listed.status, 0) << listed.err;
}

TEST(PayloadSets, TheEnvironmentNamesTheSetWhenTheOptionDoesNot) {
    TempDir temp;
    WriteSet(temp.path());
    ProgramResult listed = RunProgram({"payloads"}, {"FIRMWARE_UTILITY_FIRMWARE=" + temp.path()});
    EXPECT_EQ(listed.status, 0) << listed.err;
    EXPECT_EQ(Count(listed.out, "4 110 IDR_FW         2481250 " + Sha(OtherImage()) + "\n"), 1u) << listed.out;
    EXPECT_EQ(Count(listed.out, "payloads from " + temp.path() + ", image sha256 " + Sha(OtherImage()) +
                                    ", revision R7.1.3-test, not signature-checked\n"),
              1u)
        << listed.out;
    ProgramResult refused = RunProgram({"--version"}, {"FIRMWARE_UTILITY_FIRMWARE=" + temp.path() + "/none"});
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.err, "firmware-utility: $FIRMWARE_UTILITY_FIRMWARE: " + temp.path() +
                               "/none: No such file or directory\n");
}

// The module gets the directory's image; the trace keeps the lookup's lines; the events say
// where the set came from.
TEST(PayloadSets, ADirectorySetIsSentAndDescribed) {
    sim::Handset handset;
    std::string error;
    ASSERT_TRUE(handset.Start({}, &error)) << error;
    TempDir temp;
    WriteSet(temp.path());
    const std::string events = temp.path() + "/events.jsonl";
    fwu_test::UpdateRun run = fwu_test::RunUpdate(handset, {"--firmware", temp.path(), "--events", events});
    ASSERT_EQ(run.result.status, 0) << run.result.err;
    EXPECT_EQ(handset.module().ImageSha256(), Sha(OtherImage()));
    EXPECT_EQ(Count(run.trace, "get resource IDR_FW succeed!!!!\r\nYes, we lock resources!!!!\r\n"), 1u);
    EXPECT_EQ(Count(run.trace, "payloads from " + temp.path() + ", image sha256 " + Sha(OtherImage())), 1u);
    const std::string text = fwu_test::ReadText(events);
    const Json start = Json::parse(text.substr(0, text.find('\n')));
    EXPECT_EQ(start.at("payload_set"), (Json{{"source", "directory"},
                                             {"directory", temp.path()},
                                             {"sha256", Sha(OtherImage())},
                                             {"revision", "R7.1.3-test"}}));
    EXPECT_EQ(start.at("payloads")[2].at("sha256"), Sha(OtherImage()));
}

// The handset's own profile less its marker: the same devices, no longer a simulated handset.
std::string UnmarkedProfile(const sim::Handset& handset, const std::string& dir) {
    const std::string path = dir + "/board.prof";
    std::string text = fwu_test::ReadText(handset.ProfilePath());
    text.erase(text.find("[handset]"));
    Write(path, text);
    return path;
}

TEST(PayloadSets, StandInsAreRefusedToAHandsetNotSimulated) {
    // with a set of its own, update exit code
    const struct {
        bool own_set;
        int status;
    } rows[] = {{false, 2}, {true, 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.own_set);
        sim::Handset handset;
        std::string error;
        ASSERT_TRUE(handset.Start({}, &error)) << error;
        TempDir temp;
        const std::string profile = UnmarkedProfile(handset, temp.path());
        std::vector<std::string> extra;
        if (row.own_set) {
            WriteSet(temp.path());
            extra = {"--firmware", temp.path()};
        }
        fwu_test::UpdateRun run = fwu_test::RunUpdate(handset, extra, 60000, profile);
        EXPECT_EQ(run.result.status, row.status) << run.result.err;
        if (row.status == 2) {
            EXPECT_EQ(run.result.err, "firmware-utility: " + profile +
                                          " is not a simulated handset, and this build's payloads are generated "
                                          "stand-ins, not firmware: give a real set with --firmware DIR (or "
                                          "$FIRMWARE_UTILITY_FIRMWARE), or build with -DFIRMWARE_DIR=DIR; nothing "
                                          "was opened\n");
            EXPECT_TRUE(handset.RilCodes().empty());  // the radio driver was never asked
            EXPECT_EQ(handset.module().Resets(), 0);
        } else {
            EXPECT_EQ(handset.module().ImageSha256(), Sha(OtherImage()));
            EXPECT_NE(run.result.err.find("firmware-utility: handset " + profile + "; payloads from"),
                      std::string::npos)
                << run.result.err;
        }
    }
}

// The window refuses each update command the same way, before the radio driver is asked.
TEST(PayloadSets, TheWindowRefusesStandInsToAHandsetNotSimulated) {
    sim::Handset handset;
    std::string error;
    ASSERT_TRUE(handset.Start({}, &error)) << error;
    TempDir temp;
    const std::string profile = UnmarkedProfile(handset, temp.path());
    ProgramResult result = RunProgram({"--headless", "--profile", profile, "--command", "118", "--command", "1"},
                                      {"FIRMWARE_UTILITY_RUNTIME_DIR=" + temp.path()});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(Count(result.out, "Update refused: " + profile + " is not a simulated handset"), 1u) << result.out;
    EXPECT_TRUE(handset.RilCodes().empty());
}

// `update --port` builds its profile from the command line: the reset each --reset names (a
// program, a pulse on the link's modem line, none), and a line against the option at fault.
TEST(PayloadSets, AQuickRunTakesItsPortAndResetFromTheCommandLine) {
    const std::string no_lines = "reset failed: Inappropriate ioctl for device: the port has no modem lines";
    // --reset (or another option) in place of it, the firmware set given, exit code, stderr holds
    const struct {
        std::vector<std::string> options;
        bool own_set;
        int status;
        std::string said;
    } rows[] = {
        {{"--reset", "exec:"}, true, 0, "firmware-utility: verified: the module runs revision R7.1.3-test"},
        {{"--reset", "dtr"}, true, 1, "RIL1: (DTR pulse on COM1:): " + no_lines},
        {{"--reset", "rts:50:high"}, true, 1, "RIL1: (RTS pulse on COM1:): " + no_lines},
        {{"--reset", "none"}, true, 2, "the module cannot be reset: with --reset none (the default) someone presses"},
        {{}, true, 2, "the module cannot be reset"},
        {{"--reset", "sideways"}, true, 2, "--reset sideways: expected dtr|rts[:MILLISECONDS[:low|high]]"},
        {{"--reset", "dtr:0"}, true, 2, "--reset dtr:0: reset length must be 1 to 10000 milliseconds: 0\n"},
        {{"--reset", "dtr"}, false, 2, " is not a simulated handset, and this build's payloads are generated stand-ins"},
        {{"--profile", "/etc/hostname"}, true, 2, "--port and --profile: give one of them"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.options.empty() ? "no --reset" : row.options.back());
        sim::Handset handset;
        std::string error;
        ASSERT_TRUE(handset.Start({}, &error)) << error;
        TempDir temp;
        // The radio driver program passes the reset on to the handset's radio driver.
        const std::string script = temp.path() + "/reset.sh";
        Write(script, "#!/bin/sh\n[ \"$FWU_ACTION\" = reset ] || exit 0\nprintf '\\210\\037\\000\\003' | socat -t 5 - "
                      "UNIX-CONNECT:" + handset.DevicePath("RIL1:") + " >/dev/null\n");
        ::chmod(script.c_str(), 0755);
        std::vector<std::string> args{"update", "--port", handset.DevicePath("COM1:"), "--at-port",
                                      handset.DevicePath("COM2:"), "--attempts", "1", "--module-timeout", "2"};
        for (const std::string& option : row.options) args.push_back(option == "exec:" ? "exec:" + script : option);
        if (row.own_set) {
            WriteSet(temp.path());
            args.insert(args.end(), {"--firmware", temp.path()});
        }
        ProgramResult run = RunProgram(args, {"FIRMWARE_UTILITY_RUNTIME_DIR=" + temp.path() + "/rt"}, 60000);
        EXPECT_EQ(run.status, row.status) << run.err;
        EXPECT_EQ(Count(run.err, row.said), 1u) << run.err;
        EXPECT_EQ(handset.module().Downloads(), row.status == 0 ? 1 : 0);
    }
}

// With --reset none on a terminal, each reset asks the person to press the module's button.
TEST(PayloadSets, AQuickRunWithoutAResetLineAsksForTheButton) {
    sim::Handset handset;
    std::string error;
    ASSERT_TRUE(handset.Start({}, &error)) << error;
    TempDir temp;
    WriteSet(temp.path());
    const std::string command = fwu_test::ShellQuote(FWU_PROGRAM) + " update --port " + handset.DevicePath("COM1:") +
                                " --at-port " + handset.DevicePath("COM2:") + " --firmware " + temp.path() +
                                " --module-timeout 20 --attempts 2";
    fwu_test::RunningProgram run(fwu_test::RunningProgram::Command{{"/usr/bin/script", "-qfec", command, "/dev/null"}},
                                 {"FIRMWARE_UTILITY_RUNTIME_DIR=" + temp.path() + "/rt"});
    // Each reset is the test's, as a person's press of the button would be: one for the
    // handshake, one to start the new firmware once the module took the image.
    const std::string prompt = "firmware-utility: press the module's reset button now";
    ASSERT_TRUE(run.WaitForOutput(prompt, 20000)) << run.out();
    std::uint32_t status = 1;
    ASSERT_TRUE(platform::internal::ServiceControl(handset.DevicePath("RIL1:").c_str(), sim::RilResetModule, &status));
    ASSERT_TRUE(fwu_test::WaitUntil([&] { return handset.module().Downloads() == 1; }, 30000));
    ASSERT_TRUE(platform::internal::ServiceControl(handset.DevicePath("RIL1:").c_str(), sim::RilResetModule, &status));
    ProgramResult result = run.Wait(60000);
    EXPECT_EQ(result.status, 0) << result.out;
    EXPECT_EQ(Count(result.out, prompt), 1u) << result.out;
    EXPECT_EQ(Count(result.out, "firmware-utility: the image was sent; press the module's reset button now to start the "
                                "new firmware"),
              1u)
        << result.out;
    EXPECT_EQ(Count(result.out, "verified: the module runs revision R7.1.3-test"), 1u) << result.out;
    // Nothing but the person reset it: the radio driver was never asked by the tool.
    EXPECT_EQ(handset.RilCodes(), (std::vector<std::uint32_t>{sim::RilResetModule, sim::RilResetModule}));
}

}  // namespace
