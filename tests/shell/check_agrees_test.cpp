// `check` against `update` on one bench after another, both run as the user runs them: check
// is ready exactly when the update reaches the module (its handshake is answered: stage 1
// starts), and where it is not, both name the same cause.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "sim/sim.h"
#include "tests/support/files.h"
#include "tests/support/program.h"
#include "tests/support/ser2net.h"
#include "tests/support/tmux.h"
#include "tests/support/update_run.h"

namespace {

// What the module link is.
enum class Link { SimulatedPty, HeldPty, DevNull, Fifo, Missing, Ser2net, NobodyListens };
// How the module is reset: a program passing it on to the handset's radio driver, none given
// (--reset none), a program that is not there as it should be, the pty's own DTR.
enum class Reset { Forward, None, Exit127, Dtr };

struct Bench {
    const char* name;
    Link link;
    Reset reset;
    bool own_set;                  // --firmware with a set of its own; else the stand-in payloads
    const char* expect_revision;   // null: not given
    const char* cause;             // in check's output and in update's stderr; "": none
};

void PrintTo(const Bench& bench, std::ostream* out) { *out << bench.name; }

const Bench Benches[] = {
    {"Sound", Link::SimulatedPty, Reset::Forward, true, nullptr, ""},
    {"HeldLink", Link::HeldPty, Reset::Forward, true, nullptr, "is open in process"},
    {"ResetNoneWithoutTerminal", Link::SimulatedPty, Reset::None, true, nullptr, "stderr is not a terminal"},
    {"ResetProgramExits127", Link::SimulatedPty, Reset::Exit127, true, nullptr, "gpioset: not found"},
    {"DevNull", Link::DevNull, Reset::Forward, true, nullptr, "not a serial port"},
    {"Fifo", Link::Fifo, Reset::Forward, true, nullptr, "not a serial port"},
    {"MissingNode", Link::Missing, Reset::Forward, true, nullptr, "No such file or directory"},
    {"Ser2netWithoutModemLines", Link::Ser2net, Reset::Dtr, true, nullptr, "no modem lines"},
    {"UnreachableExporter", Link::NobodyListens, Reset::Forward, true, nullptr, "Connection refused"},
    {"StandInPayloadsOnARealPort", Link::SimulatedPty, Reset::Forward, false, nullptr, "stand-in"},
    {"ForeignExpectedRevision", Link::SimulatedPty, Reset::Forward, true, "V.9.9.9", "--expect-revision"},
};

// Passes a reset on to the simulated radio driver (its socket the first argument); the other
// controls are let be.
constexpr char ForwardReset[] =
    "#!/bin/sh\n[ \"$FWU_ACTION\" = reset ] || exit 0\n"
    "printf '\\210\\037\\000\\003' | socat -t 5 - UNIX-CONNECT:\"$1\" >/dev/null\n";
// A reset program whose helper is missing, as a shell says it.
constexpr char MissingHelper[] = "#!/bin/sh\necho 'gpioset: not found' >&2\nexit 127\n";

// A loopback port where nothing listens (taken and given back).
unsigned FreePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    unsigned port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    ::close(fd);
    return port;
}

// Whether the update's events show its handshake answered.
bool StageOneStarted(const std::string& events) {
    std::istringstream lines(events);
    std::string line;
    while (std::getline(lines, line)) {
        const nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
        if (event.is_object() && event.value("event", "") == "stage_start" && event.value("stage", 0) == 1) return true;
    }
    return false;
}

class CheckAgrees : public ::testing::TestWithParam<Bench> {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(handset_.Start({}, &error)) << error;
        set_ = dir_.path() + "/set";
        ASSERT_EQ(::mkdir(set_.c_str(), 0700), 0);
        fwu_test::WriteSet(set_);
        WriteScript("forward.sh", ForwardReset);
        WriteScript("gpio-reset", MissingHelper);
    }

    void WriteScript(const std::string& name, const char* body) {
        fwu_test::Write(dir_.path() + "/" + name, body);
        ::chmod((dir_.path() + "/" + name).c_str(), 0755);
    }

    // The module link's path for the bench; "" when it cannot be had here (the row is skipped).
    std::string LinkPath(Link link) {
        const std::string pty = handset_.DevicePath("COM1:");
        switch (link) {
            case Link::SimulatedPty:
            case Link::HeldPty:
                return pty;
            case Link::DevNull:
                return "/dev/null";
            case Link::Fifo:
                return ::mkfifo((dir_.path() + "/fifo").c_str(), 0600) == 0 ? dir_.path() + "/fifo" : "";
            case Link::Missing:
                return dir_.path() + "/ttyUSB7";
            case Link::Ser2net: {
                if (fwu_test::Ser2netPath().empty()) return "";
                std::string error;
                if (!exporter_.Start({{pty, true}}, dir_.path(), &error)) return "";
                return exporter_.Url(0);
            }
            case Link::NobodyListens:
                return "rfc2217://127.0.0.1:" + std::to_string(FreePort());
        }
        return "";
    }

    std::vector<std::string> Args(const Bench& bench, const std::string& link) {
        std::vector<std::string> args{"--port", link, "--at-port", handset_.DevicePath("COM2:"),
                                      "--module-timeout", "3", "--attempts", "2"};
        if (bench.reset == Reset::Forward) {
            args.insert(args.end(), {"--reset", "exec:" + dir_.path() + "/forward.sh " + handset_.DevicePath("RIL1:")});
        } else if (bench.reset == Reset::Exit127) {
            args.insert(args.end(), {"--reset", "exec:" + dir_.path() + "/gpio-reset"});
        } else if (bench.reset == Reset::Dtr) {
            args.insert(args.end(), {"--reset", "dtr:100"});
        }
        if (bench.own_set) args.insert(args.end(), {"--firmware", set_});
        if (bench.expect_revision != nullptr) args.insert(args.end(), {"--expect-revision", bench.expect_revision});
        return args;
    }

    std::vector<std::string> Env() const { return {"FIRMWARE_UTILITY_RUNTIME_DIR=" + dir_.path() + "/rt"}; }

    sim::Handset handset_;
    fwu_test::TempDir dir_;
    fwu_test::Exporter exporter_;
    std::string set_;
};

TEST_P(CheckAgrees, CheckIsReadyExactlyWhenTheUpdateReachesTheModule) {
    const Bench& bench = GetParam();
    const std::string link = LinkPath(bench.link);
    if (link.empty()) GTEST_SKIP() << bench.name << ": this machine has no such bench (ser2net missing?)";
    // Another program has the link open, as a terminal program left running would.
    std::unique_ptr<fwu_test::RunningProgram> holder;
    if (bench.link == Link::HeldPty) {
        holder = std::make_unique<fwu_test::RunningProgram>(
            fwu_test::RunningProgram::Command{{"/bin/sh", "-c", "exec sleep 30 <" + fwu_test::ShellQuote(link)}});
        const std::string stdin_link = "/proc/" + std::to_string(holder->pid()) + "/fd/0";
        ASSERT_TRUE(fwu_test::WaitUntil(
            [&] {
                char target[256] = {};
                return ::readlink(stdin_link.c_str(), target, sizeof target - 1) > 0 && link == target &&
                       fwu_test::ReadFirstLine("/proc/" + std::to_string(holder->pid()) + "/comm") == "sleep";
            },
            5000));
    }
    const std::vector<std::string> args = Args(bench, link);
    std::vector<std::string> check{"check"}, update{"update"};
    check.insert(check.end(), args.begin(), args.end());
    const std::string events = dir_.path() + "/events.jsonl";
    update.insert(update.end(), args.begin(), args.end());
    update.insert(update.end(), {"--events", events});

    const fwu_test::ProgramResult checked = fwu_test::RunProgram(check, Env(), 60000);
    const fwu_test::ProgramResult updated = fwu_test::RunProgram(update, Env(), 120000);
    const bool reached = updated.status == 0 || StageOneStarted(fwu_test::ReadFile(events));
    const std::string said = checked.out + checked.err;
    const std::string both = std::string("bench ") + bench.name + "\n--- check exit " + std::to_string(checked.status) +
                             ", stdout and stderr:\n" + said + "--- update exit " + std::to_string(updated.status) + " (" +
                             (reached ? "reached" : "did not reach") + " the module), stderr:\n" + updated.err +
                             "--- update stdout:\n" + updated.out;
    // One failure per bench, with everything both said.
    std::string disagree;
    if (bench.cause[0] == '\0' && (checked.status != 0 || updated.status != 0)) disagree += "the sound bench failed\n";
    if ((checked.status == 0) != reached) disagree += "check and update disagree on whether the module is reached\n";
    if (said.find(bench.cause) == std::string::npos) disagree += "check does not say \"" + std::string(bench.cause) + "\"\n";
    if (updated.err.find(bench.cause) == std::string::npos) {
        disagree += "update does not say \"" + std::string(bench.cause) + "\"\n";
    }
    EXPECT_EQ(disagree, "") << both;
    std::printf("| %s | check exit %d | update exit %d, %s the module |\n", bench.name, checked.status, updated.status,
                reached ? "reached" : "did not reach");
}

INSTANTIATE_TEST_SUITE_P(Benches, CheckAgrees, ::testing::ValuesIn(Benches),
                         [](const ::testing::TestParamInfo<Bench>& info) { return info.param.name; });

}  // namespace
