// The README's commands as a newcomer types them: every `sh` block of "A first update" and of
// "On a real board" is read from the README itself and run, as written, against the simulated
// handset; each block must end with exit 0. The real board's words name a jig's devices and its
// reset program: they are replaced by the simulated handset's ptys and a program that forwards
// each control to its radio driver, and the maker's firmware set is one the simulated module
// knows. Nothing else of the README's text is changed.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "sim/sim.h"
#include "tests/support/update_run.h"

namespace {

using fwu_test::ReadText;
using fwu_test::Write;

// The `sh` blocks of the section headed `heading`, up to the next section.
std::vector<std::string> ShellBlocks(const std::string& readme, const std::string& heading) {
    std::vector<std::string> blocks;
    std::size_t at = readme.find("\n## " + heading + "\n");
    if (at == std::string::npos) return blocks;
    const std::size_t end = readme.find("\n## ", at + 1);
    while ((at = readme.find("\n```sh\n", at)) != std::string::npos && at < end) {
        at += 7;
        const std::size_t close = readme.find("\n```\n", at - 1);
        blocks.push_back(readme.substr(at, close + 1 - at));
        at = close + 4;
    }
    return blocks;
}

std::string Replaced(std::string text, const std::vector<std::pair<std::string, std::string>>& words) {
    for (const auto& [from, to] : words) {
        for (std::size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size()) {
            text.replace(at, from.size(), to);
        }
    }
    return text;
}

// Runs a block in `dir` as sh -e would; the block's output on failure.
void RunBlock(const std::string& dir, const std::string& block, const std::vector<std::string>& env) {
    const fwu_test::ProgramResult result =
        fwu_test::RunCommand({"/bin/sh", "-ec", "cd '" + dir + "'\n" + block}, env, 120000);
    EXPECT_EQ(result.status, 0) << block << "\n--- stdout\n" << result.out << "\n--- stderr\n" << result.err;
}

std::string Program() { return FWU_PROGRAM; }

std::vector<std::string> Env(const fwu_test::TempDir& work) {
    const std::string bin = Program().substr(0, Program().rfind('/'));
    return {"PATH=" + bin + ":/usr/local/bin:/usr/bin:/bin", "FIRMWARE_UTILITY_RUNTIME_DIR=" + work.path() + "/run",
            "FIRMWARE_UTILITY_PROFILE=", "FIRMWARE_UTILITY_FIRMWARE=", "XDG_CONFIG_HOME=" + work.path() + "/config",
            "TMPDIR=" + work.path()};
}

TEST(ReadmeCommands, AFirstUpdateRunsAsWritten) {
    const std::vector<std::string> blocks = ShellBlocks(ReadText(FWU_SOURCE_DIR "/README.md"), "A first update");
    ASSERT_FALSE(blocks.empty());
    fwu_test::TempDir work;
    ASSERT_EQ(::mkdir((work.path() + "/run").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((work.path() + "/build").c_str(), 0700), 0);
    ASSERT_EQ(::symlink(Program().c_str(), (work.path() + "/build/firmware-utility").c_str()), 0);
    for (const std::string& block : blocks) RunBlock(work.path(), block, Env(work));
}

// The reset program of the README's jig, standing in: forwards the control code (the last
// argument) to the socket given first, as the radio driver's service takes it.
constexpr char ForwardScript[] =
    "#!/bin/sh\n"
    "sock=$1; eval \"code=\\${$#}\"; code=$((code))\n"
    "bytes=$(printf '\\\\%03o\\\\%03o\\\\%03o\\\\%03o' $((code & 255)) $((code >> 8 & 255)) $((code >> 16 & 255)) "
    "$((code >> 24 & 255)))\n"
    "status=$(printf \"$bytes\" | socat -t 5 - UNIX-CONNECT:\"$sock\" | od -An -tu4 | tr -d ' \\n')\n"
    "[ \"$status\" = 0 ]\n";

TEST(ReadmeCommands, ARealBoardsFiveStepsRunAsWritten) {
    if (::access("/usr/bin/socat", X_OK) != 0) GTEST_SKIP() << "socat is not installed";
    const std::vector<std::string> blocks = ShellBlocks(ReadText(FWU_SOURCE_DIR "/README.md"), "On a real board");
    ASSERT_GE(blocks.size(), 5u);
    sim::Handset handset;
    std::string error;
    ASSERT_TRUE(handset.Start({}, &error)) << error;
    fwu_test::TempDir work;
    ASSERT_EQ(::mkdir((work.path() + "/run").c_str(), 0700), 0);
    const std::string forward = work.path() + "/forward.sh";
    Write(forward, ForwardScript);
    ASSERT_EQ(::chmod(forward.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((work.path() + "/fw-R7").c_str(), 0700), 0);
    fwu_test::WriteSet(work.path() + "/fw-R7");
    const std::vector<std::pair<std::string, std::string>> words = {
        {"/dev/ttyUSB0", handset.DevicePath("COM1:")},
        {"/dev/ttyUSB1", handset.DevicePath("COM2:")},
        {"/usr/local/lib/firmware-utility/gpio-reset.sh gpiochip0 17 100 low",
         forward + " " + handset.Directory() + "/ril.sock"},
    };
    for (const std::string& block : blocks) RunBlock(work.path(), Replaced(block, words), Env(work));
    // The update went through to the set's revision, and the second run found it current.
    EXPECT_NE(ReadText(work.path() + "/history.jsonl").find("\"outcome\":\"verified\""), std::string::npos);
}

}  // namespace
