// The simulated boot ROM is the oracle of the update tests, so it must accept exactly the
// download protocol and refuse what deviates from it.
#include <gtest/gtest.h>

#include <vector>

#include "sim/boot_rom.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Pattern(std::size_t n, std::uint8_t seed) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7 + (i >> 8));
    return b;
}

struct Host {
    sim::BootRom rom;
    Bytes answers;
    bool vanished = false;

    explicit Host(sim::RomLengths lengths) : rom(lengths) {}
    void Send(const Bytes& bytes) {
        Bytes reply;
        bool vanish = false;
        rom.Receive(bytes.data(), bytes.size(), &reply, &vanish);
        answers.insert(answers.end(), reply.begin(), reply.end());
        vanished = vanished || vanish;
    }
    Bytes Take() { Bytes a; a.swap(answers); return a; }
};

// The handset's side of a whole download with the given payloads.
void Download(Host& host, const Bytes& boot1, const Bytes& boot2, const Bytes& image, bool corrupt_even = false) {
    host.Send({0x55, 0x55});
    EXPECT_EQ(host.Take(), Bytes({0xA0}));
    Bytes frame{static_cast<std::uint8_t>(boot1.size())};
    std::uint8_t x = 0;
    for (auto b : boot1) { frame.push_back(b); x ^= b; }
    frame.push_back(x);
    host.Send({0x55});  // a casting byte already on the wire is skipped
    host.Send(frame);
    EXPECT_EQ(host.Take(), Bytes({0xA5}));
    host.Send({static_cast<std::uint8_t>(boot2.size() >> 8), static_cast<std::uint8_t>(boot2.size() & 0xFF)});
    x = 0;
    for (std::size_t at = 0; at < boot2.size(); at += 1000) {
        std::size_t n = std::min<std::size_t>(1000, boot2.size() - at);
        Bytes chunk(boot2.begin() + at, boot2.begin() + at + n);
        for (auto b : chunk) x ^= b;
        host.Send(chunk);
        EXPECT_EQ(host.Take(), n == 1000 ? Bytes({0xAA}) : Bytes{});
    }
    host.Send({x});
    EXPECT_EQ(host.Take(), Bytes({0xA5}));
    host.Send({0x50});
    EXPECT_EQ(host.Take().back(), 0xA5);
    host.Send({0x54, 0x3F, 0xA0, 0x00});
    EXPECT_EQ(host.Take(), Bytes({0xA5, 0xA5, 0xA5}));
    host.Send({static_cast<std::uint8_t>(image.size() >> 16), static_cast<std::uint8_t>(image.size() >> 8),
               static_cast<std::uint8_t>(image.size())});
    std::uint8_t even = 0, odd = 0;
    for (std::size_t at = 0; at < image.size(); at += 4000) {
        std::size_t n = std::min<std::size_t>(4000, image.size() - at);
        for (std::size_t p = 0; p < n; ++p) (p % 2 ? odd : even) ^= image[at + p];
        host.Send(Bytes(image.begin() + at, image.begin() + at + n));
        EXPECT_EQ(host.Take(), n == 4000 ? Bytes({0xAA}) : Bytes{});
    }
    host.Send({static_cast<std::uint8_t>(even ^ (corrupt_even ? 1 : 0)), odd});
}

TEST(BootRom, AcceptsAWholeDownloadAndKeepsWhatItReceived) {
    Bytes boot1 = Pattern(184, 1), boot2 = Pattern(7414, 2), image = Pattern(2481250, 3);
    Host host({});
    host.rom.Reset();
    Download(host, boot1, boot2, image);
    EXPECT_EQ(host.Take(), Bytes({0xA5}));
    EXPECT_TRUE(host.rom.Done());
    EXPECT_EQ(host.rom.Loader1(), boot1);
    EXPECT_EQ(host.rom.Loader2(), boot2);
    EXPECT_EQ(host.rom.Image(), image);
    EXPECT_EQ(host.rom.Stage2Chunks(), 7);
    EXPECT_EQ(host.rom.Stage3Chunks(), 620);
}

TEST(BootRom, LengthsOnChunkBoundariesAndEmptyImage) {
    for (std::uint32_t length : {8000u, 3999u, 0u}) {
        Host host({184, 2000, length});
        host.rom.Reset();
        Download(host, Pattern(184, 4), Pattern(2000, 5), Pattern(length, 6));
        EXPECT_EQ(host.Take(), Bytes({0xA5})) << length;
        EXPECT_EQ(host.rom.Image().size(), length);
    }
}

TEST(BootRom, RefusesWrongChecksumAndIgnoresAllButCastingBeforeReset) {
    Host host({184, 1000, 4000});
    host.Send({0x55});
    EXPECT_TRUE(host.Take().empty()) << "no answer before the radio driver reset the module";
    host.rom.Reset();
    Download(host, Pattern(184, 7), Pattern(1000, 8), Pattern(4000, 9), /*corrupt_even=*/true);
    EXPECT_TRUE(host.Take().empty());
    EXPECT_FALSE(host.rom.Done());
    EXPECT_EQ(host.rom.LastRefusal(), "image: checksums refused");
}

TEST(BootRom, FaultsStrikeAtTheirStepAndOnlyAsOftenAsAsked) {
    Host host({184, 1000, 4000});
    host.rom.SetFault({sim::RomFaultKind::RejectChecksum, sim::RomStep::Stage1Ack, 0, 1});
    host.rom.Reset();
    host.Send({0x55});
    host.Take();
    Bytes frame{184};
    for (int i = 0; i < 184; ++i) frame.push_back(0);
    frame.push_back(0);
    host.Send(frame);
    EXPECT_TRUE(host.Take().empty()) << "first attempt refused";
    host.rom.Reset();
    host.Send({0x55});
    host.Take();
    host.Send(frame);
    EXPECT_EQ(host.Take(), Bytes({0xA5})) << "second attempt accepted";

    Host garbage({184, 1000, 4000});
    garbage.rom.SetFault({sim::RomFaultKind::GarbageBefore, sim::RomStep::Handshake, 0, 1});
    garbage.rom.Reset();
    garbage.Send({0x55});
    EXPECT_EQ(garbage.Take(), Bytes({0x12, 0x34, 0xFE, 0xA0}));

    Host vanish({184, 1000, 4000});
    vanish.rom.SetFault({sim::RomFaultKind::Vanish, sim::RomStep::Handshake, 0, 1});
    vanish.rom.Reset();
    vanish.Send({0x55});
    EXPECT_TRUE(vanish.vanished);
}

}  // namespace
