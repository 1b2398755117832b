// The simulated module's glue around its boot ROM: what it keeps and reports (SHA-256 of the
// image and loaders), faults set while it runs, the fault kinds at the checksum steps, the
// wire-time arithmetic of a paced line and its framing as the line is set, and paced answers:
// all of them, in order, the hang-up after the answers before it, and nothing once it stopped.
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <vector>

#include "platform/base/sha256.h"
#include "sim/boot_rom.h"
#include "sim/module.h"
#include "sim/pty.h"
#include "update/payloads.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using std::chrono::nanoseconds;

constexpr int HangUpMark = 0x100;  // in the record of what the module did

// What the module wrote back and when it hung up, in order, from whichever thread.
struct Line {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<int> events;  // answer bytes, and HangUpMark

    sim::LineWriter Writer() {
        return [this](const std::uint8_t* data, std::size_t size) {
            std::lock_guard lock(mutex);
            events.insert(events.end(), data, data + size);
            changed.notify_all();
        };
    }
    sim::LineHangUp HangUp() {
        return [this] {
            std::lock_guard lock(mutex);
            events.push_back(HangUpMark);
            changed.notify_all();
        };
    }
    // Waits (bounded) until `count` events are there; gives what is there then.
    std::vector<int> Await(std::size_t count) {
        std::unique_lock lock(mutex);
        changed.wait_for(lock, std::chrono::seconds(60), [&] { return events.size() >= count; });
        return events;
    }
    std::vector<int> Now() {
        std::lock_guard lock(mutex);
        return events;
    }
};

Bytes Payload(std::uint32_t kind, std::uint32_t length) {
    const std::uint8_t* bytes = update::LoadPayload(kind);
    return {bytes, bytes + length};
}

void Feed(sim::Module& module, const Bytes& bytes) { module.FromTool(bytes.data(), bytes.size()); }

// The handset's side of the download, all of it, without waiting for answers.
void Download(sim::Module& module) {
    const Bytes boot1 = Payload(update::PayloadBoot1, update::Boot1Length);
    const Bytes boot2 = Payload(update::PayloadBoot2, update::Boot2Length);
    const Bytes image = Payload(update::PayloadFirmware, update::FirmwareLength);
    Feed(module, {0x55, 0x55});
    Bytes frame{static_cast<std::uint8_t>(boot1.size())};
    std::uint8_t x = 0;
    for (auto b : boot1) frame.push_back(b), x ^= b;
    frame.push_back(x);
    Feed(module, frame);
    Feed(module, {0x1C, 0xF6});
    Feed(module, boot2);
    x = 0;
    for (auto b : boot2) x ^= b;
    Feed(module, {x, 0x50, 0x54, 0x3F, 0xA0, 0x00, 0x25, 0xDC, 0x62});
    std::uint8_t even = 0, odd = 0;
    for (std::size_t i = 0; i < image.size(); ++i) (i % 2 ? odd : even) ^= image[i];
    Feed(module, image);
    Feed(module, {even, odd});
}

// The answers of a whole accepted download.
std::vector<int> DownloadAnswers() {
    std::vector<int> answers{0xA0, 0xA5};
    answers.insert(answers.end(), 7, 0xAA);
    answers.insert(answers.end(), {0xA5, 'O', 'K', 0xA5, 0xA5, 0xA5, 0xA5});
    answers.insert(answers.end(), 620, 0xAA);
    answers.push_back(0xA5);
    return answers;
}

TEST(WireClock, TimeOfBytesAtABaudRateAndFraming) {
    struct Case {
        std::uint64_t bytes;
        std::uint32_t baud;
        std::uint32_t bits;
        std::int64_t ns;
    };
    const Case cases[] = {
        {1, 921600, 10, 10850},                 // 8N1: 10850.69 ns
        {1, 921600, 11, 11935},                 // 8N2, as the tool sets the line: 11935.76 ns
        {1, 921600, 7, 7595},                   // 5N1
        {2481250, 921600, 10, 26923285590},
        {2481250, 921600, 11, 29615614149},
        {2481250, 115200, 11, 236924913194},    // the image on a real line: 236.9 s, not 215.4 s
        {11520, 115200, 10, 1000000000},
        {0, 921600, 11, 0},
        {100, 0, 11, 0},                        // no baud: unpaced
    };
    for (const Case& c : cases) {
        EXPECT_EQ(sim::WireClock::Time(c.bytes, c.baud, c.bits), nanoseconds(c.ns)) << c.bytes << " @ " << c.baud << "/" << c.bits;
    }
}

// The framing as the program on the slave set the line, read on the master's side. (A Linux
// pty keeps 8 data bits and no parity whatever is asked; 7E1 and 7E2 frame as 8N1 and 8N2 do.)
TEST(WireClock, FrameBitsFollowTheLineSettings) {
    struct Case {
        const char* name;
        tcflag_t cflag;
        std::uint32_t bits;
    };
    const Case cases[] = {
        {"8N1", CS8, 10}, {"8N2", CS8 | CSTOPB, 11}, {"7E1", CS7 | PARENB, 10}, {"7E2", CS7 | PARENB | CSTOPB, 11},
        {"8N1 after 8N2", CS8, 10},
    };
    sim::Pty pty;
    std::string error;
    ASSERT_TRUE(sim::OpenPty(&pty, &error)) << error;
    for (const Case& c : cases) {
        termios settings{};
        ASSERT_EQ(::tcgetattr(pty.held_slave, &settings), 0);
        settings.c_cflag = (settings.c_cflag & ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB)) | c.cflag;
        ASSERT_EQ(::tcsetattr(pty.held_slave, TCSANOW, &settings), 0);
        EXPECT_EQ(sim::FrameBits(pty.master), c.bits) << c.name;
    }
    sim::ClosePty(&pty);
    int pipe_ends[2];
    ASSERT_EQ(::pipe(pipe_ends), 0);
    EXPECT_EQ(sim::FrameBits(pipe_ends[0]), 0u) << "no terminal";
    ::close(pipe_ends[0]);
    ::close(pipe_ends[1]);
}

TEST(WireClock, BytesQueueBehindThoseOnTheWireAndAnIdleLineStartsAfresh) {
    sim::WireClock clock(921600);
    const Clock::time_point t0 = Clock::now();
    EXPECT_EQ(clock.Carry(t0, 10, 11), t0 + sim::WireClock::Time(10, 921600, 11));
    // Handed over while the first ten are still going: behind them, framed as the line is now.
    EXPECT_EQ(clock.Carry(t0 + nanoseconds(1), 10, 10), t0 + sim::WireClock::Time(210, 921600, 1));
    // A second later the line is idle again.
    const Clock::time_point t1 = t0 + std::chrono::seconds(1);
    EXPECT_EQ(clock.Carry(t1, 1, 11), t1 + sim::WireClock::Time(1, 921600, 11));
}

TEST(WireClock, ExactOverManySingleBytes) {
    sim::WireClock clock(921600);
    const Clock::time_point t0 = Clock::now();
    Clock::time_point last{};
    for (int i = 0; i < 1000000; ++i) last = clock.Carry(t0, 1, 11);
    // Not a million times the rounded-down byte time (which would be 0.76 ms short).
    EXPECT_EQ(last, t0 + sim::WireClock::Time(1000000, 921600, 11));
}

TEST(Module, KeepsAndReportsWhatItReceived) {
    Line line;
    auto module = sim::MakeModule(line.Writer(), line.HangUp(), {});
    EXPECT_EQ(module->ImageSha256(), "") << "nothing received yet";
    EXPECT_EQ(module->Loader1Sha256(), "");
    module->Reset();
    Download(*module);
    EXPECT_EQ(line.Now(), DownloadAnswers());
    EXPECT_EQ(module->Downloads(), 1);
    EXPECT_EQ(module->ImageSize(), update::FirmwareLength);
    const std::string image_sha =
        platform::Sha256Hex(update::LoadPayload(update::PayloadFirmware), update::FirmwareLength);
    EXPECT_EQ(module->ImageSha256(), image_sha);
    EXPECT_EQ(module->Loader1(), Payload(update::PayloadBoot1, update::Boot1Length));
    EXPECT_EQ(module->Loader2(), Payload(update::PayloadBoot2, update::Boot2Length));
    EXPECT_EQ(module->Loader1Sha256(), platform::Sha256Hex(update::LoadPayload(update::PayloadBoot1), update::Boot1Length));
    EXPECT_EQ(module->Loader2Sha256(), platform::Sha256Hex(update::LoadPayload(update::PayloadBoot2), update::Boot2Length));
    // The tool resets the module after the image: what it kept stays reported.
    module->Reset();
    EXPECT_TRUE(module->DownloadDone());
    EXPECT_EQ(module->ImageSha256(), image_sha);
    EXPECT_EQ(module->Resets(), 2);
}

TEST(Module, FaultSetWhileRunningStrikesAtItsStep) {
    Line line;
    auto module = sim::MakeModule(line.Writer(), line.HangUp(), {});
    module->Reset();
    module->SetFault({sim::RomFaultKind::Vanish, sim::RomStep::Stage1Ack, 0, 1});
    Download(*module);
    EXPECT_EQ(line.Now(), (std::vector<int>{0xA0, HangUpMark})) << "the line went away in place of the 0xA5";
    // It took the loader, then went away instead of answering; nothing after that reached it.
    EXPECT_EQ(module->Loader1(), Payload(update::PayloadBoot1, update::Boot1Length));
    EXPECT_EQ(module->Loader2Sha256(), "");
    EXPECT_EQ(module->Downloads(), 0);
}

// Each fault kind does what it says at the checksum steps; only RejectChecksum refuses.
TEST(BootRomChecksumSteps, EachFaultKindActsOnTheAnswer) {
    const sim::RomLengths lengths{4, 1000, 4000};
    auto run = [&](sim::RomFault fault) {
        sim::BootRom rom(lengths);
        rom.SetFault(fault);
        rom.Reset();
        Bytes in{0x55, 4, 1, 2, 3, 4, 1 ^ 2 ^ 3 ^ 4, 0x03, 0xE8};
        in.insert(in.end(), 1000, 0x11);
        in.push_back(0);  // XOR of 1000 equal bytes
        Bytes out;
        bool vanish = false;
        rom.Receive(in.data(), in.size(), &out, &vanish);
        return std::make_pair(out, vanish);
    };
    using K = sim::RomFaultKind;
    using S = sim::RomStep;
    EXPECT_EQ(run({}), std::make_pair(Bytes{0xA0, 0xA5, 0xAA, 0xA5}, false));
    EXPECT_EQ(run({K::Vanish, S::Stage1Ack, 0, 1}), std::make_pair(Bytes{0xA0}, true));
    EXPECT_EQ(run({K::GarbageBefore, S::Stage1Ack, 0, 1}),
              std::make_pair(Bytes{0xA0, 0x12, 0x34, 0xFE, 0xA5, 0xAA, 0xA5}, false));
    EXPECT_EQ(run({K::WrongByte, S::Stage2Ack, 0, 1}), std::make_pair(Bytes{0xA0, 0xA5, 0xAA, 0x00}, false));
    EXPECT_EQ(run({K::Silent, S::Stage2Ack, 0, 1}), std::make_pair(Bytes{0xA0, 0xA5, 0xAA}, false));
    EXPECT_EQ(run({K::RejectChecksum, S::Stage2Ack, 0, 1}), std::make_pair(Bytes{0xA0, 0xA5, 0xAA}, false));
}

TEST(PacedModule, AnswersAllInOrder) {
    Line line;
    auto module = sim::MakeModule(line.Writer(), line.HangUp(), {}, 50000000);
    module->Reset();
    Download(*module);
    EXPECT_EQ(line.Await(DownloadAnswers().size()), DownloadAnswers());
    EXPECT_EQ(module->Downloads(), 1);
    module->Stop();
}

TEST(PacedModule, HangsUpAfterTheAnswersBeforeIt) {
    Line line;
    auto module = sim::MakeModule(line.Writer(), line.HangUp(), {sim::RomFaultKind::Vanish, sim::RomStep::Stage3ChunkAck, 1, 1},
                                  50000000);
    module->Reset();
    Download(*module);
    std::vector<int> expected{0xA0, 0xA5};
    expected.insert(expected.end(), 7, 0xAA);
    expected.insert(expected.end(), {0xA5, 'O', 'K', 0xA5, 0xA5, 0xA5, 0xA5, 0xAA, HangUpMark});
    EXPECT_EQ(line.Await(expected.size()), expected);
}

TEST(PacedModule, StopDropsAnswersNotYetDue) {
    Line line;
    // One baud: the first loader's 0xA5 is due half an hour after its frame arrives.
    auto module = sim::MakeModule(line.Writer(), line.HangUp(), {}, 1);
    module->Reset();
    Bytes frame{184};
    frame.insert(frame.end(), 185, 0);
    Feed(*module, {0x55});
    Feed(*module, frame);
    module->Stop();  // returns at once, however far the answers are
    Feed(*module, {0x55});
    for (int event : line.Now()) EXPECT_NE(event, 0xA5);
    EXPECT_EQ(module->Loader1().size(), 184u) << "the frame itself was taken";
}

}  // namespace
