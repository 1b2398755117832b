// The update against a simulated module that fails on purpose: a stage refused once and the
// handshake started again, stage 3 refused for good, the link that cannot be opened (missing
// or held by another opener), stray bytes and a wrong byte in place of an acknowledgement, and
// a link that carries random bytes instead of a module (a pty, a TCP endpoint).
// Every wait for the module is bounded by --module-timeout 1.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "platform/base/sha256.h"
#include "tests/support/program.h"
#include "tests/support/pty.h"
#include "tests/support/update_run.h"
#include "update/payloads.h"

namespace {

using fwu_test::Banner;
using fwu_test::ExpectedTrace;
using fwu_test::FirstDifference;
using fwu_test::TempDir;
using fwu_test::UpdateRun;

const std::vector<std::string> ShortWaits{"--module-timeout", "1"};

std::string ImageSha() {
    return platform::Sha256Hex(update::LoadPayload(update::PayloadFirmware), update::FirmwareLength);
}

std::string Marks(int count) {
    std::string marks;
    for (int i = 1; i <= count; ++i) marks += i % 23 == 0 ? "#\r\n" : "#";
    return marks;
}

class UpdateFaults : public ::testing::Test {
protected:
    void StartHandset(const sim::Options& options = {}) {
        std::string error;
        ASSERT_TRUE(handset_.Start(options, &error)) << error;
    }
    sim::Handset handset_;
};

TEST_F(UpdateFaults, Stage1RefusedOnceThenTheHandshakeStartsAgain) {
    sim::Options options;
    options.module_fault = {sim::RomFaultKind::RejectChecksum, sim::RomStep::Stage1Ack, 0, 1};
    StartHandset(options);
    UpdateRun run = fwu_test::RunUpdate(handset_, ShortWaits);
    ASSERT_EQ(run.result.status, 0) << run.result.err << run.result.out;
    // The failed attempt shows nothing in the pane.
    EXPECT_EQ(run.result.out, std::string(Banner) + fwu_test::SuccessPane());
    const std::string expected =
        ExpectedTrace().Open().Handshake().Stage1(false).Handshake().Stage1(true).Stage2(true).Stage3(true).Verified().text();
    EXPECT_EQ(FirstDifference(fwu_test::TraceFromOpen(run.trace), expected), "");
    EXPECT_EQ(handset_.RilCodes(), (std::vector<std::uint32_t>{sim::RilSuspend, sim::RilResetModule,
                                                               sim::RilResetModule, sim::RilResetModule}));
    EXPECT_EQ(handset_.KernelCodes(), std::vector<std::uint32_t>{sim::KernelReboot});
    EXPECT_EQ(handset_.module().ImageSha256(), ImageSha());
}

TEST_F(UpdateFaults, Stage2RefusedOnceShowsBootloader1Twice) {
    StartHandset();
    handset_.SetModuleFault({sim::RomFaultKind::RejectChecksum, sim::RomStep::Stage2Ack, 0, 1});
    UpdateRun run = fwu_test::RunUpdate(handset_, ShortWaits);
    ASSERT_EQ(run.result.status, 0) << run.result.err << run.result.out;
    EXPECT_EQ(run.result.out, std::string(Banner) + "Bootload1 updated!!\r\n" + fwu_test::SuccessPane());
    const std::string expected = ExpectedTrace()
                                     .Open()
                                     .Handshake()
                                     .Stage1(true)
                                     .Stage2(false)
                                     .Handshake()
                                     .Stage1(true)
                                     .Stage2(true)
                                     .Stage3(true)
                                     .Verified()
                                     .text();
    EXPECT_EQ(FirstDifference(fwu_test::TraceFromOpen(run.trace), expected), "");
    EXPECT_EQ(handset_.RilCodes(), (std::vector<std::uint32_t>{sim::RilSuspend, sim::RilResetModule,
                                                               sim::RilResetModule, sim::RilResetModule}));
    EXPECT_EQ(handset_.module().ImageSha256(), ImageSha());
}

TEST_F(UpdateFaults, Stage3RefusedEndsTheRunWithoutSuccess) {
    StartHandset();
    handset_.SetModuleFault({sim::RomFaultKind::RejectChecksum, sim::RomStep::FinalAck, 0, 1});
    UpdateRun run = fwu_test::RunUpdate(handset_, ShortWaits);
    EXPECT_EQ(run.result.status, 1) << run.result.err;
    // Every mark, no done line, no box; the failure said in one line.
    EXPECT_EQ(run.result.out, std::string(Banner) + "Bootload1 updated!!\r\nBootload2 updated!!\r\nWait a moment please...\r\n" +
                                  Marks(621) + fwu_test::NotConfirmedLine);
    const std::string expected = ExpectedTrace().Open().Handshake().Stage1(true).Stage2(true).Stage3(false).text();
    EXPECT_EQ(FirstDifference(fwu_test::TraceFromOpen(run.trace), expected), "");
    EXPECT_EQ(fwu_test::Count(run.trace, " Communication Port Closed!!\r\n"), 2u);
    // No module reset after the image and no reboot.
    EXPECT_EQ(handset_.RilCodes(), (std::vector<std::uint32_t>{sim::RilSuspend, sim::RilResetModule}));
    EXPECT_TRUE(handset_.KernelCodes().empty());
    EXPECT_EQ(handset_.module().Downloads(), 0);
    EXPECT_EQ(handset_.module().ImageSha256(), "");
    EXPECT_EQ(handset_.module().LastRefusal(), "image: checksums refused");
}

TEST_F(UpdateFaults, MissingLinkIsAFailedOpen) {
    StartHandset();
    // The handset's profile without its "COM1:" line: the name opens as a missing device.
    TempDir dir;
    const std::string profile = dir.path() + "/no-com1.prof";
    {
        std::ofstream out(profile);
        std::istringstream in(fwu_test::ReadText(handset_.ProfilePath()));
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("COM1:", 0) != 0) out << line << "\n";
        }
    }
    UpdateRun run = fwu_test::RunUpdate(handset_, ShortWaits, 60000, profile);
    EXPECT_EQ(run.result.status, 1) << run.result.err;
    EXPECT_EQ(run.result.out, std::string(Banner) + "Open Comport fail!!\r\n");
    EXPECT_EQ(FirstDifference(fwu_test::TraceFromOpen(run.trace), ExpectedTrace()
                                                                         .OpenFailed(2, "COM1: has no entry in the profile's [devices] (" +
                                                                                            profile + "); add `COM1: = /dev/...`; "
                                                                                            "see `firmware-utility ports` for the "
                                                                                            "serial ports of this machine")
                                                                         .text()), "");
    // The radio driver stays suspended; no caster, so no module reset.
    EXPECT_EQ(handset_.RilCodes(), std::vector<std::uint32_t>{sim::RilSuspend});
    EXPECT_EQ(handset_.module().Resets(), 0);
}

TEST_F(UpdateFaults, HeldLinkIsAFailedOpen) {
    StartHandset();
    const std::string com1 = handset_.DevicePath("COM1:");
    int holder = ::open(com1.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(holder, 0) << com1;
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
    UpdateRun run = fwu_test::RunUpdate(handset_, ShortWaits);
    ::close(holder);
    EXPECT_EQ(run.result.status, 1) << run.result.err;
    EXPECT_EQ(run.result.out, std::string(Banner) + "Open Comport fail!!\r\n");
    // The explanation names this test process as the holder, by its program's name.
    const std::string comm = program_invocation_short_name;
    const std::string explanation = "COM1: (" + com1 + "): Device or resource busy: held by process " +
                                    std::to_string(::getpid()) + " (" + comm +
                                    "); close that program first (a modem manager: inhibit it, see examples/)";
    EXPECT_EQ(FirstDifference(fwu_test::TraceFromOpen(run.trace), ExpectedTrace().OpenFailed(16, explanation).text()), "");
    EXPECT_NE(run.result.err.find("firmware-utility: " + explanation + "\n"), std::string::npos) << run.result.err;
    EXPECT_EQ(handset_.RilCodes(), std::vector<std::uint32_t>{sim::RilSuspend});
    EXPECT_EQ(handset_.module().Resets(), 0);
}

TEST_F(UpdateFaults, StrayBytesBeforeTheAnswerAreTracedAndDropped) {
    StartHandset();
    handset_.SetModuleFault({sim::RomFaultKind::GarbageBefore, sim::RomStep::Handshake, 0, 1});
    UpdateRun run = fwu_test::RunUpdate(handset_, ShortWaits);
    ASSERT_EQ(run.result.status, 0) << run.result.err << run.result.out;
    const std::string expected =
        ExpectedTrace().Open().Handshake({0x12, 0x34, 0xFE}).Stage1(true).Stage2(true).Stage3(true).Verified().text();
    EXPECT_EQ(FirstDifference(fwu_test::TraceFromOpen(run.trace), expected), "");
    EXPECT_EQ(handset_.module().ImageSha256(), ImageSha());
}

TEST_F(UpdateFaults, WrongByteForAChunkAckDoesNotStopStage2) {
    StartHandset();
    handset_.SetModuleFault({sim::RomFaultKind::WrongByte, sim::RomStep::Stage2ChunkAck, 2, 1});
    UpdateRun run = fwu_test::RunUpdate(handset_, ShortWaits);
    ASSERT_EQ(run.result.status, 0) << run.result.err << run.result.out;
    EXPECT_EQ(run.result.out, std::string(Banner) + fwu_test::SuccessPane());
    const std::string expected =
        ExpectedTrace().Open().Handshake().Stage1(true).Stage2(true, 2).Stage3(true).Verified().text();
    EXPECT_EQ(FirstDifference(fwu_test::TraceFromOpen(run.trace), expected), "");
    EXPECT_EQ(handset_.module().ImageSha256(), ImageSha());
}

// Random bytes on `fd` until stopped; on a listener, to the client it accepts first. A pty
// master polls as hung up until the tool opens its end.
void SendNoise(int fd, bool listener, const std::atomic<bool>* stop) {
    std::mt19937 random(std::random_device{}());
    std::uint8_t block[256];
    int end = listener ? -1 : fd;
    while (!*stop) {
        pollfd p{end < 0 ? fd : end, static_cast<short>(end < 0 ? POLLIN : POLLOUT), 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        if (end < 0) {
            end = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            continue;
        }
        for (std::uint8_t& byte : block) byte = static_cast<std::uint8_t>(random());
        const bool hung_up = p.revents & (POLLHUP | POLLERR);
        const ssize_t sent = hung_up    ? -1
                             : listener ? ::send(end, block, sizeof block, MSG_NOSIGNAL)
                                        : ::write(end, block, sizeof block);
        if (sent < 0) ::usleep(10000);
    }
    if (listener && end >= 0) ::close(end);
}

// Noise supplies every byte the handshake and the loaders wait for, and they drop the others;
// during the image it is found out: line_noise, exit 1, never a confirmed image.
TEST_F(UpdateFaults, RandomBytesInsteadOfAModuleEndAsLineNoise) {
    StartHandset();
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    constexpr int Runs = 5;
#else
    constexpr int Runs = 20;
#endif
    TempDir dir;
    for (const bool network : {false, true}) {
        int zero = 0;
        for (int run_number = 0; run_number < Runs; ++run_number) {
            SCOPED_TRACE(std::string(network ? "network port, run " : "pty, run ") + std::to_string(run_number));
            fwu_test::Pty pty;
            ::fcntl(pty.master(), F_SETFL, O_NONBLOCK);
            int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
            socklen_t length = sizeof address;
            ::bind(listener, reinterpret_cast<sockaddr*>(&address), length);
            ::listen(listener, 1);
            ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
            const std::string url =
                network ? "tcp://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) : std::string(pty.slave());
            std::atomic<bool> stop{false};
            std::thread noise(SendNoise, network ? listener : pty.master(), network, &stop);
            // The handset's profile with the noise as the module link and no AT port.
            std::ifstream in(handset_.ProfilePath());
            std::ostringstream text;
            for (std::string line; std::getline(in, line);) {
                if (line.rfind("COM2: = ", 0) == 0) continue;
                text << (line.rfind("COM1: = ", 0) == 0 ? "COM1: = " + url : line) << "\n";
            }
            const std::string profile = dir.path() + "/noise.prof";
            fwu_test::Write(profile, text.str());
            UpdateRun run = fwu_test::RunUpdate(handset_, {"--module-timeout", "1", "--attempts", "3"}, 60000, profile);
            stop = true;
            noise.join();
            ::close(listener);
            zero += run.result.status == 0;
            EXPECT_EQ(run.result.status, 1) << run.result.err;
            EXPECT_EQ(fwu_test::Count(run.result.err, "firmware-utility: line_noise: the module link COM1: (" + url +
                                                          ") sent 17 bytes other than acknowledgements during the image"),
                      1u) << run.result.err;
            EXPECT_EQ(fwu_test::Count(run.result.out, "Firmware Updated....Done"), 0u);
        }
        std::printf("random bytes on a %s: %d runs, %d exit 0\n", network ? "network port" : "pty", Runs, zero);
    }
    EXPECT_TRUE(handset_.KernelCodes().empty());
}

}  // namespace
