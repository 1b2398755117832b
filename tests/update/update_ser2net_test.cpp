// The module link, the AT port and a bridge port across the network: a real ser2net on
// loopback exports the simulated handset's ptys (RFC 2217, and raw TCP for the AT port), and
// the program runs against `rfc2217://` and `tcp://` entries as against local ttys. The update's
// trace must be exactly the local one; a reset pulse reaches the exporter, and through it the
// module when a tty with modem lines is behind it (umockdev's test bed); a bridge carries
// megabytes intact; an exporter that dies in any stage is the module lost; opens that cannot
// succeed say why. Skipped when ser2net is not installed.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <random>
#include <thread>

#include "tests/bridge/bridge_support.h"
#include "tests/support/program.h"
#include "tests/support/ser2net.h"
#include "tests/support/test_bed.h"
#include "tests/support/update_run.h"

namespace {

using fwu_test::Banner;
using fwu_test::ExpectedTrace;
using fwu_test::FirstDifference;
using fwu_test::RunningProgram;
using fwu_test::TempDir;

// A run that loses its exporter ends within this (the module time-out is not waited out).
constexpr int LostBoundMs = 5000;
// The bytes each way through the bridge.
constexpr std::size_t BridgeBytes = 2 * 1024 * 1024;

// The handset's profile with some devices named anew, and lines added at its end.
std::string WriteProfile(const sim::Handset& handset, const std::map<std::string, std::string>& devices,
                         const std::string& path, const std::string& more = "") {
    std::ifstream in(handset.ProfilePath());
    std::ofstream out(path);
    std::string line;
    while (std::getline(in, line)) {
        for (const auto& [device, url] : devices) {
            if (line.rfind(device + " = ", 0) == 0) line = device + " = " + url;
        }
        out << line << "\n";
    }
    out << more;
    return path;
}

class Ser2net : public ::testing::Test {
protected:
    void SetUp() override {
        if (fwu_test::Ser2netPath().empty()) GTEST_SKIP() << "ser2net is not installed; the network port tests need it";
        std::string error;
        ASSERT_TRUE(handset_.Start({}, &error)) << error;
    }
    // COM1: over RFC 2217, COM2: (the AT port) over raw TCP.
    void ExportLinkAndAtPort() {
        std::string error;
        ASSERT_TRUE(exporter_.Start({{handset_.DevicePath("COM1:"), true}, {handset_.DevicePath("COM2:"), false}},
                                    dir_.path(), &error))
            << error;
        profile_ = WriteProfile(handset_, {{"COM1:", exporter_.Url(0)}, {"COM2:", exporter_.Url(1)}},
                                dir_.path() + "/net.prof");
    }
    std::vector<std::string> Env() const { return fwu_test::UpdateEnv(runtime_, handset_); }

    sim::Handset handset_;
    TempDir dir_, runtime_;
    fwu_test::Exporter exporter_;
    std::string profile_;
};

TEST_F(Ser2net, AWholeUpdateThroughTheExporterIsByteExact) {
    ExportLinkAndAtPort();
    fwu_test::UpdateRun run = fwu_test::RunUpdate(handset_, {}, 120000, profile_);
    ASSERT_EQ(run.result.status, 0) << run.result.err << exporter_.Log();
    EXPECT_EQ(run.result.out, std::string(Banner) + fwu_test::SuccessPane());
    const std::string expected =
        ExpectedTrace().Open().Handshake().Stage1(true).Stage2(true).Stage3(true).Verified().text();
    EXPECT_EQ(FirstDifference(fwu_test::TraceFromOpen(run.trace), expected), "");
    EXPECT_EQ(handset_.module().Downloads(), 1);
    EXPECT_EQ(handset_.module().LastRefusal(), "");
    EXPECT_NE(run.result.err.find("verified: the module runs revision"), std::string::npos) << run.result.err;
}

// ser2net takes the pulse's RFC 2217 controls but cannot set DTR on a pty and leaves them
// unanswered: the reset fails as on a local pty, with the same advice.
TEST_F(Ser2net, AResetPulseReachesTheExporterWhosePtyHasNoModemLines) {
    ExportLinkAndAtPort();
    WriteProfile(handset_, {{"COM1:", exporter_.Url(0)}, {"COM2:", exporter_.Url(1)}}, profile_,
                 "[radio]\nreset = COM1: dtr 100\n");
    fwu_test::UpdateRun run =
        fwu_test::RunUpdate(handset_, {"--attempts", "1", "--module-timeout", "1"}, 60000, profile_);
    EXPECT_EQ(run.result.status, 1) << run.result.err;
    EXPECT_NE(run.result.err.find("RIL1: (DTR pulse on COM1:): reset failed: Inappropriate ioctl for device: the "
                                  "port has no modem lines"),
              std::string::npos)
        << run.result.err;
    EXPECT_EQ(handset_.module().Downloads(), 0);
}

// The same pulse with an adapter behind the exporter: the module link is a test bed tty whose
// DTR is wired to the module's reset, so ser2net sets the line and the module starts over.
TEST_F(Ser2net, ADtrPulseThroughTheExporterResetsTheModuleBehindIt) {
    SKIP_OUTSIDE_TEST_BED();
    fwu_test::TestBed bed;
    ASSERT_TRUE(bed.AddRecord("P: /devices/virtual/tty/ttyUSB9\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/ttyUSB9\n"
                              "E: MAJOR=188\nE: MINOR=9\nA: dev=188:9\n"));
    ASSERT_TRUE(bed.LinkNode("/dev/ttyUSB9", handset_.DevicePath("COM1:")));
    bed.WireDtrToReset(handset_.DevicePath("RIL1:"));
    std::string error;
    ASSERT_TRUE(exporter_.Start({{"/dev/ttyUSB9", true}, {handset_.DevicePath("COM2:"), false}}, dir_.path(), &error))
        << error;
    profile_ = WriteProfile(handset_, {{"COM1:", exporter_.Url(0)}, {"COM2:", exporter_.Url(1)}},
                            dir_.path() + "/net.prof", "[radio]\nreset = COM1: dtr 100\n");
    fwu_test::UpdateRun run = fwu_test::RunUpdate(handset_, {"--module-timeout", "3"}, 120000, profile_);
    EXPECT_EQ(run.result.status, 0) << run.result.err << exporter_.Log();
    EXPECT_NE(run.trace.find("RIL1: reset pulse: DTR low for 100 ms on COM1:"), std::string::npos);
    EXPECT_GE(handset_.module().Resets(), 1);
    EXPECT_EQ(handset_.module().Downloads(), 1);
}

// A radio driver program: forwards the control code (its last argument) to the socket given
// first, and exits 0 only on status 0.
constexpr char ForwardScript[] =
    "#!/bin/sh\n"
    "sock=$1; code=$(($2))\n"
    "bytes=$(printf '\\\\%03o\\\\%03o\\\\%03o\\\\%03o' $((code & 255)) $((code >> 8 & 255)) $((code >> 16 & 255)) "
    "$((code >> 24 & 255)))\n"
    "status=$(printf \"$bytes\" | socat -t 5 - UNIX-CONNECT:\"$sock\" | od -An -tu4 | tr -d ' \\n')\n"
    "[ \"$status\" = 0 ]\n";

// check's verdict against the update's, per bench kind: ready exactly when the update reaches
// the module (the image arrives); a reset that cannot work ends the update at its first attempt.
TEST_F(Ser2net, CheckIsReadyExactlyWhenTheUpdateReachesTheModule) {
    ExportLinkAndAtPort();
    const std::string set = dir_.path() + "/set", script = dir_.path() + "/ril.sh";
    ASSERT_EQ(::mkdir(set.c_str(), 0700), 0);
    fwu_test::WriteSet(set);
    fwu_test::Write(script, ForwardScript);
    ::chmod(script.c_str(), 0755);
    const std::string link = handset_.DevicePath("COM1:"), at = handset_.DevicePath("COM2:");
    const std::string no_lines = WriteProfile(handset_, {{"COM1:", exporter_.Url(0)}, {"COM2:", exporter_.Url(1)}},
                                              dir_.path() + "/lines.prof", "[radio]\nreset = COM1: dtr 100\n");
    struct Row {
        const char* kind;
        std::vector<std::string> args;
        bool ready;
    };
    std::vector<Row> rows = {
        {"local pty", {"--profile", handset_.ProfilePath()}, true},
        {"pty without modem lines", {"--port", link, "--at-port", at, "--reset", "dtr"}, false},
        {"ser2net without modem lines", {"--profile", no_lines}, false},
        {"missing adapter", {"--port", link, "--at-port", at, "--reset", "exec:" + dir_.path() + "/none.sh"}, false},
        {"quick run without reboot entry",
         {"--port", link, "--at-port", at, "--reset", "exec:" + script + " " + handset_.DevicePath("RIL1:")},
         true},
        {"ser2net with modem lines", {}, true},
    };
    fwu_test::TestBed* bed = nullptr;  // the last row's: it answers every tty's requests while it lives
    fwu_test::Exporter lines_exporter;
    for (Row& row : rows) {
        SCOPED_TRACE(row.kind);
        if (row.args.empty()) {
            if (!fwu_test::Preloaded()) continue;  // needs umockdev's test bed (ctest has it)
            bed = new fwu_test::TestBed;
            ASSERT_TRUE(bed->AddRecord("P: /devices/virtual/tty/ttyUSB9\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/ttyUSB9\n"
                                       "E: MAJOR=188\nE: MINOR=9\nA: dev=188:9\n"));
            ASSERT_TRUE(bed->LinkNode("/dev/ttyUSB9", link));
            bed->WireDtrToReset(handset_.DevicePath("RIL1:"));
            std::string error;
            ASSERT_TRUE(lines_exporter.Start({{"/dev/ttyUSB9", true}, {at, false}}, dir_.path(), &error)) << error;
            row.args = {"--profile", WriteProfile(handset_, {{"COM1:", lines_exporter.Url(0)}, {"COM2:", lines_exporter.Url(1)}},
                                                  dir_.path() + "/lines.prof", "[radio]\nreset = COM1: dtr 100\n")};
        }
        std::vector<std::string> check = {"check", "--firmware", set};
        check.insert(check.end(), row.args.begin(), row.args.end());
        const fwu_test::ProgramResult verdict = fwu_test::RunProgram(check, Env(), 60000);
        const std::string events = dir_.path() + "/events.jsonl";
        ::unlink(events.c_str());
        std::vector<std::string> update = {"update", "--firmware", set, "--events", events, "--attempts", "3",
                                           "--module-timeout", "3"};
        update.insert(update.end(), row.args.begin(), row.args.end());
        const int downloads = handset_.module().Downloads();
        const fwu_test::ProgramResult run = fwu_test::RunProgram(update, Env(), 120000);
        const bool reached = handset_.module().Downloads() > downloads;
        EXPECT_EQ(verdict.status == 0, row.ready) << verdict.out << verdict.err;
        EXPECT_EQ(reached, row.ready) << run.err;
        EXPECT_EQ(run.status == 0, row.ready) << run.err;
        const std::string text = fwu_test::ReadText(events);
        if (!row.ready) {
            EXPECT_EQ(fwu_test::Count(text, "\"event\":\"attempt\""), 1u) << text;
            EXPECT_NE(text.find("\"outcome\":\"control_failed\""), std::string::npos) << text;
        }
        std::printf("| %s | check %s (exit %d) | update %s (exit %d) |\n", row.kind, verdict.status == 0 ? "ready" : "not ready",
                    verdict.status, run.status == 0 ? "reached the module" : "did not reach it", run.status);
    }
    delete bed;
}

// A reset failure that a retry may mend (a program that exits 1) keeps the attempts; one that
// cannot change (no modem lines) ends at the first.
TEST_F(Ser2net, OnlyAResetThatMayPassIsRetried) {
    const std::string link = handset_.DevicePath("COM1:");
    const std::string set = dir_.path() + "/set";
    ASSERT_EQ(::mkdir(set.c_str(), 0700), 0);
    fwu_test::WriteSet(set);
    const struct {
        const char* reset;
        std::size_t attempts;
    } rows[] = {{"exec:/bin/false", 3}, {"dtr:50", 1}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.reset);
        const std::string events = dir_.path() + "/events.jsonl";
        ::unlink(events.c_str());
        const fwu_test::ProgramResult run =
            fwu_test::RunProgram({"update", "--port", link, "--reset", row.reset, "--firmware", set, "--events", events,
                                  "--attempts", "3", "--module-timeout", "1"},
                                 Env(), 60000);
        EXPECT_EQ(run.status, 1) << run.err;
        EXPECT_EQ(fwu_test::Count(fwu_test::ReadText(events), "\"event\":\"attempt\""), row.attempts) << run.err;
    }
}

// A quick run ends as asked: without a reboot entry the handset is kept (said once, no
// failure), --reboot gives one, the success box shows only once the reboot was accepted, and
// the record says when it failed; --after reboot without an entry is refused.
TEST(QuickRun, EndsAsAsked) {
    sim::Handset handset;
    std::string error;
    ASSERT_TRUE(handset.Start({}, &error)) << error;
    TempDir dir, runtime;
    const std::string set = dir.path() + "/set", script = dir.path() + "/forward.sh";
    ASSERT_EQ(::mkdir(set.c_str(), 0700), 0);
    fwu_test::WriteSet(set);
    fwu_test::Write(script, ForwardScript);
    ::chmod(script.c_str(), 0755);
    const std::string forward = "exec:" + script + " ";
    const std::string ril = handset.DevicePath("RIL1:");
    const std::string kernel = ril.substr(0, ril.rfind('/')) + "/kernel.sock";
    const struct {
        std::vector<std::string> extra;
        int status;
        const char* pane_line;
        bool box;
        const char* reboot_failed;  // in the record; null: no record
    } rows[] = {
        {{}, 0, "No reboot entry: the handset is not rebooted\r\n", false, "false"},
        {{"--reboot", forward + kernel}, 0, "Firmware Updated....Done", true, "false"},
        {{"--reboot", "exec:/bin/false"}, 0, "Failed to call KernelIoControl() to reboot!\r\n", false, "true"},
        {{"--after", "resume"}, 0, "No reboot was requested (--after resume)\r\n", false, "false"},
        {{"--after", "reboot"}, 2, nullptr, false, nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.extra.empty() ? "default" : row.extra[0] + " " + row.extra[1]);
        const std::string record = dir.path() + "/record.jsonl";
        ::unlink(record.c_str());
        std::vector<std::string> args = {"update", "--port", handset.DevicePath("COM1:"), "--at-port",
                                         handset.DevicePath("COM2:"), "--reset", forward + handset.DevicePath("RIL1:"),
                                         "--firmware", set, "--record", record};
        args.insert(args.end(), row.extra.begin(), row.extra.end());
        const fwu_test::ProgramResult run = fwu_test::RunProgram(args, fwu_test::UpdateEnv(runtime, handset), 60000);
        EXPECT_EQ(run.status, row.status) << run.err;
        if (row.status == 2) {
            EXPECT_NE(run.err.find("no reboot entry, so --after reboot cannot be done: give --reboot exec:PROGRAM"),
                      std::string::npos)
                << run.err;
            continue;
        }
        EXPECT_EQ(fwu_test::Count(run.out, row.pane_line), 1u) << run.out;
        EXPECT_EQ(fwu_test::Count(run.out, "[Successful] Reboot device/Reset module !"), row.box ? 1u : 0u) << run.out;
        if (row.reboot_failed != nullptr) {
            EXPECT_NE(fwu_test::ReadText(record).find(std::string("\"reboot_failed\":") + row.reboot_failed),
                      std::string::npos)
                << fwu_test::ReadText(record);
        }
    }
}

// The exporter killed in the handshake, in the second boot loader and in the image: each time
// the module lost, within the bound.
TEST_F(Ser2net, AnExporterKilledInEachStageIsTheModuleLost) {
    for (const char* mark : {"\"event\":\"attempt\"", "\"event\":\"stage_start\",\"stage\":2", "\"stage\":3,\"bytes\""}) {
        SCOPED_TRACE(mark);
        fwu_test::Exporter exporter;
        std::string error;
        ASSERT_TRUE(exporter.Start({{handset_.DevicePath("COM1:"), true}, {handset_.DevicePath("COM2:"), false}},
                                   dir_.path(), &error))
            << error;
        const std::string profile = WriteProfile(handset_, {{"COM1:", exporter.Url(0)}, {"COM2:", exporter.Url(1)}},
                                                 dir_.path() + "/net.prof");
        const std::string events = dir_.path() + "/events.jsonl";
        ::unlink(events.c_str());
        RunningProgram update({"update", "--profile", profile, "--events", events}, Env());
        bool reached = false;
        for (int i = 0; i < 6000 && !reached; ++i) {
            reached = fwu_test::ReadText(events).find(mark) != std::string::npos;
            if (!reached) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        ASSERT_TRUE(reached) << fwu_test::ReadText(events);
        exporter.Kill();
        fwu_test::ProgramResult end = update.Wait(LostBoundMs);
        EXPECT_EQ(end.status, 1) << end.err;
        const std::string text = fwu_test::ReadText(events);
        EXPECT_NE(text.find("\"event\":\"module_lost\""), std::string::npos) << text;
        EXPECT_NE(text.find("\"outcome\":\"module_lost\""), std::string::npos) << text;
    }
}

TEST_F(Ser2net, ABridgeCarriesMegabytesBothWaysThroughAnExportedPort) {
    bridge_test::TestPty gsm = bridge_test::MakePty(), irda = bridge_test::MakePty();
    std::string error;
    ASSERT_TRUE(exporter_.Start({{gsm.slave_path, true}}, dir_.path(), &error)) << error;
    const std::string profile = dir_.path() + "/bridge.prof";
    std::ofstream(profile) << "[devices]\nCOM2: = " << exporter_.Url(0) << "\nCOM3: = " << irda.slave_path
                           << "\n[registry]\nHKEY_LOCAL_MACHINE\\Drivers\\BuiltIn\\Serial\\Index = 2\n";
    RunningProgram bridge({"bridge", "--profile", profile, "--command", "112"}, Env());
    ASSERT_TRUE(bridge.WaitForOutput("Stopbits:1,Databits:8", 20000)) << bridge.err();

    std::vector<std::uint8_t> up(BridgeBytes), down(BridgeBytes), got_up(BridgeBytes), got_down(BridgeBytes);
    std::mt19937 random(20);
    for (auto& byte : up) byte = static_cast<std::uint8_t>(random());
    for (auto& byte : down) byte = static_cast<std::uint8_t>(random());
    bool up_read = false, down_read = false;
    std::thread reader_up([&] { up_read = bridge_test::ReadExactly(gsm.master, got_up.data(), BridgeBytes); });
    std::thread reader_down([&] { down_read = bridge_test::ReadExactly(irda.master, got_down.data(), BridgeBytes); });
    const bool up_written = bridge_test::WriteAll(irda.master, up.data(), up.size());
    const bool down_written = bridge_test::WriteAll(gsm.master, down.data(), down.size());
    reader_up.join();
    reader_down.join();
    EXPECT_TRUE(up_written && down_written);
    EXPECT_TRUE(up_read && down_read);
    EXPECT_TRUE(got_up == up);
    EXPECT_TRUE(got_down == down);
    bridge.Signal(SIGTERM);
    EXPECT_EQ(bridge.Wait(10000).status, 0);
}

// Opens that cannot succeed: one line each from `check`, naming the entry and the reason.
TEST_F(Ser2net, OpensThatCannotSucceedSayWhy) {
    ExportLinkAndAtPort();
    // A listener that takes connections and never says a word.
    int silent = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(silent, 4), 0);
    ::getsockname(silent, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string silent_url = "rfc2217://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    // A port nobody listens on: the silent listener's, once closed.
    int gone = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    address.sin_port = 0;
    ASSERT_EQ(::bind(gone, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::getsockname(gone, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string refused_url = "tcp://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    ::close(gone);
    // The exporter's port held by another client.
    RunningProgram holder({"bridge", "--profile", WriteProfile(handset_, {{"COM2:", exporter_.Url(0)}},
                                                               dir_.path() + "/holder.prof")},
                          Env());
    ASSERT_TRUE(holder.WaitForOutput("Stopbits:1,Databits:8", 20000)) << holder.err();

    const struct {
        std::string url;
        std::string line;
    } rows[] = {
        {refused_url, "Connection refused: nobody listens on that port of the host"},
        {"rfc2217://no-such-host.invalid:2000", "No such device or address: the host name does not resolve"},
        {exporter_.Url(0), "Device or resource busy: the exporter closed the connection at once: its port is busy "
                           "(another client holds it) or its device did not open"},
        {silent_url, "the exporter accepted the connection but did not"},
    };
    for (const auto& row : rows) {
        const std::string profile = WriteProfile(handset_, {{"COM1:", row.url}}, dir_.path() + "/bad.prof");
        fwu_test::ProgramResult check = fwu_test::RunProgram({"check", "--profile", profile}, Env(), 30000);
        EXPECT_EQ(check.status, 1) << row.url << "\n" << check.err;
        EXPECT_NE(check.out.find("COM1: "), std::string::npos) << check.out;
        EXPECT_NE(check.out.find(row.url), std::string::npos) << check.out;
        EXPECT_NE(check.out.find(row.line), std::string::npos) << row.url << "\n" << check.out;
    }
    ::close(silent);
}

// An exporter of our own on loopback that speaks just enough telnet and RFC 2217 to be taken
// for one, then holds its controls otherwise than asked.
enum class Hostility { Silent, WrongStopBits, NotSupported };

class HostileExporter {
public:
    explicit HostileExporter(Hostility hostility) : hostility_(hostility) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_, 4);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        ::pipe2(stop_, O_CLOEXEC);
        thread_ = std::thread([this] { Serve(); });
    }
    ~HostileExporter() {
        ::close(stop_[1]);
        thread_.join();
        ::close(stop_[0]);
        ::close(listener_);
    }
    std::string Url() const { return "rfc2217://127.0.0.1:" + std::to_string(port_); }

private:
    static constexpr unsigned char Iac = 255, Sb = 250, Se = 240, Will = 251, Do = 253, ComPort = 44;
    static constexpr unsigned char SetBaud = 1, SetStopSize = 4, ServerOffset = 100;

    // The answer to one COM port control, or none.
    bool Answer(const std::vector<unsigned char>& control, std::vector<unsigned char>* reply) {
        const unsigned char command = control[0];
        std::vector<unsigned char> value(control.begin() + 1, control.end());
        const bool query = std::all_of(value.begin(), value.end(), [](unsigned char c) { return c == 0; });
        if (command == SetBaud && query && !queried_) {  // the open's question: it speaks RFC 2217
            queried_ = true;
            value = {0, 1, 0xC2, 0};  // 115200
        } else if (hostility_ == Hostility::Silent) {
            return false;
        } else if (hostility_ == Hostility::NotSupported) {
            std::fill(value.begin(), value.end(), 0);
        } else if (command == SetStopSize) {
            value = {1};
        }
        *reply = {Iac, Sb, ComPort, static_cast<unsigned char>(command + ServerOffset)};
        reply->insert(reply->end(), value.begin(), value.end());
        reply->insert(reply->end(), {Iac, Se});
        return true;
    }

    void Talk(int connection) {
        std::vector<unsigned char> in, control;
        for (;;) {
            pollfd fds[2] = {{connection, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) <= 0 || fds[1].revents != 0) return;
            unsigned char chunk[512];
            const ssize_t n = ::read(connection, chunk, sizeof chunk);
            if (n <= 0) return;
            in.insert(in.end(), chunk, chunk + n);
            std::size_t at = 0;
            while (at + 2 < in.size() || (at + 1 < in.size() && in[at] != Iac)) {
                if (in[at] != Iac) {
                    ++at;  // line data: nobody listens
                } else if (in[at + 1] == Will || in[at + 1] == Do) {
                    const unsigned char agreed[] = {Iac, static_cast<unsigned char>(in[at + 1] == Will ? Do : Will), in[at + 2]};
                    if (in[at + 2] == ComPort) (void)!::write(connection, agreed, sizeof agreed);
                    at += 3;
                } else if (in[at + 1] == Sb) {
                    std::size_t end = at + 2;
                    while (end + 1 < in.size() && !(in[end] == Iac && in[end + 1] == Se)) ++end;
                    if (end + 1 >= in.size()) break;  // the rest is still on its way
                    control.assign(in.begin() + static_cast<long>(at) + 3, in.begin() + static_cast<long>(end));
                    std::vector<unsigned char> reply;
                    if (in[at + 2] == ComPort && !control.empty() && Answer(control, &reply)) {
                        (void)!::write(connection, reply.data(), reply.size());
                    }
                    at = end + 2;
                } else {
                    at += 3;  // WONT, DONT
                }
            }
            in.erase(in.begin(), in.begin() + static_cast<long>(std::min(at, in.size())));
        }
    }

    void Serve() {
        for (;;) {
            pollfd fds[2] = {{listener_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) <= 0 || fds[1].revents != 0) return;
            const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (connection < 0) continue;
            queried_ = false;
            Talk(connection);
            ::close(connection);
        }
    }

    const Hostility hostility_;
    int listener_ = -1;
    int stop_[2] = {-1, -1};
    unsigned port_ = 0;
    bool queried_ = false;  // the serving thread's own
    std::thread thread_;
};

// An exporter that leaves the line settings unanswered, answers other values than asked, or
// says it does not set them: `check` names the port, the control and the bound or the answer;
// `update` says the same on stderr and ends before a byte reaches the module.
TEST(NetworkPort, AnExporterIsHeldToItsAnswers) {
    sim::Handset handset;
    std::string error;
    ASSERT_TRUE(handset.Start({}, &error)) << error;
    TempDir dir, runtime;
    const std::vector<std::string> env = fwu_test::UpdateEnv(runtime, handset);
    // hostility, check's exit code, what the COM1: line says, what stderr says once
    const struct {
        Hostility hostility;
        int status;
        std::string line, said;
    } rows[] = {
        {Hostility::Silent, 1, "Connection timed out: the exporter did not answer the speed control (115200) within 5 s",
         "1 device not ready"},
        {Hostility::WrongStopBits, 1,
         "Protocol error: the exporter answered the stop bits control (2) with 1: its port does not run as asked",
         "1 device not ready"},
        {Hostility::NotSupported, 0, " ok", "it does not set its port's line settings"},
    };
    for (const auto& row : rows) {
        HostileExporter exporter(row.hostility);
        SCOPED_TRACE(row.line);
        const std::string profile = WriteProfile(handset, {{"COM1:", exporter.Url()}}, dir.path() + "/hostile.prof");
        fwu_test::ProgramResult check = fwu_test::RunProgram({"check", "--profile", profile}, env, 30000);
        EXPECT_EQ(check.status, row.status) << check.out << check.err;
        const std::size_t line = check.out.find("\nCOM1: ");
        ASSERT_NE(line, std::string::npos) << check.out;
        const std::string text = check.out.substr(line + 1, check.out.find('\n', line + 1) - line - 1);
        EXPECT_NE(text.find(exporter.Url()), std::string::npos) << text;
        EXPECT_NE(text.find(row.line), std::string::npos) << text;
        EXPECT_EQ(fwu_test::Count(check.err, row.said), 1u) << check.err;
        if (row.hostility == Hostility::NotSupported) continue;
        fwu_test::ProgramResult update = fwu_test::RunProgram({"update", "--profile", profile}, env, 30000);
        EXPECT_EQ(update.status, 1) << update.err;
        EXPECT_EQ(fwu_test::Count(update.err, "firmware-utility: COM1: (" + exporter.Url() + "): " + row.line + "\n"), 1u)
            << update.err;
        EXPECT_EQ(handset.module().Resets(), 0);
    }
}

}  // namespace
