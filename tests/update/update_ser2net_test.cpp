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
