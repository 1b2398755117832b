// Implemented in sim/boot_rom.cpp.
// The simulated module's boot ROM and download loaders, as a pure state machine: bytes from
// the handset go in, the module's answers come out. The pty glue in sim/module.cpp feeds it
// and writes the answers back; tests may drive it directly.
//
// After a reset by the radio driver the boot ROM answers the casting byte 0x55 with 0xA0 and
// skips further 0x55 until the first loader frame; then it checks, acknowledges and keeps what
// it receives, step by step, and answers nothing to what is wrong (no 0xA5), as a real boot ROM
// does, until the next reset. A boot ROM listens for the casting only for a moment after the
// reset (BootWindow); then the module runs its firmware and answers nothing on this line.
//
// Index: BootRom::Reset BootFirmware OutsideDownload SetFault Receive Done Downloads Confirmations Flooding Image
// Loader1 Loader2 | RomStep RomFault RomFaultKind BootWindow
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace sim {

// How long after a reset the boot ROM answers the casting byte.
inline constexpr std::chrono::milliseconds BootWindow{1000};

// The points of the protocol where a fault can be placed.
enum class RomStep : int {
    Handshake,       // the 0xA0 answer to 0x55
    Stage1Ack,       // 0xA5 after the first loader
    Stage2ChunkAck,  // 0xAA after a 1000-byte chunk of the second loader (index: the chunk)
    Stage2Ack,       // 0xA5 after the second loader's checksum
    MemoryCheck,     // the bytes ending in 0xA5 after 0x50
    HeaderAck,       // the three 0xA5 after the fixed size header
    Stage3ChunkAck,  // 0xAA after a 4000-byte image chunk (index: the chunk)
    FinalAck,        // 0xA5 after the image checksums
};

enum class RomFaultKind : int {
    None,
    Silent,         // from this step on, answer nothing until the next reset
    WrongByte,      // 0x00 instead of the acknowledgement
    GarbageBefore,  // a few stray bytes, then the acknowledgement
    RejectChecksum, // a stage's checksum is refused (no 0xA5): Stage1Ack, Stage2Ack or FinalAck
    Vanish,         // the line goes away at this step (the glue closes the device)
    Flood,          // from this step on, 0x00 without end (about 100 KB/s) until the next reset
    EveryOther,     // chunk steps: only every other chunk is acknowledged (chunks 1, 3, 5, ...)
    StrayAck,       // FinalAck or Stage2Ack: a stray copy of the acknowledgement arrives with the
                    // answer before its request (the last chunk's 0xAA), and the step is refused
    FakeAck,        // FinalAck: the checksums are refused, yet line noise brings an 0xA5 after
                    // them, which looks exactly like the confirmation
    Noise,          // every answer may be dropped, replaced, doubled or wrapped in random bytes,
                    // and checksums may be refused at random, as the seed decides
};

struct RomFault {
    RomFaultKind kind = RomFaultKind::None;
    RomStep step = RomStep::Handshake;
    int index = 0;  // chunk index for the chunk steps
    int times = 1;  // how many times it strikes (each reset-to-done attempt counts once)
    unsigned seed = 0;  // Noise: the random sequence
};

struct RomLengths {  // what the loaders expect; the real module's values by default
    std::uint32_t boot1 = 184;
    std::uint32_t boot2 = 7414;
    std::uint32_t image = 2481250;
};

class BootRom {
public:
    explicit BootRom(RomLengths lengths = {}) : lengths_(lengths) {}

    void SetFault(const RomFault& fault);
    // The radio driver reset the module: the boot ROM waits for the casting byte again.
    void Reset();
    // The casting window after the reset has passed: the module runs its firmware.
    void BootFirmware();
    bool WaitingForCast() const { return state_ == State::WaitCast; }
    // Neither the boot ROM nor a loader holds the module (before any reset, or no casting came
    // after the latest): its firmware may run.
    bool OutsideDownload() const { return state_ == State::Off || state_ == State::WaitCast; }
    // Bytes from the handset. Answers are appended to *reply; *vanish is set when the line
    // should go away now.
    void Receive(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>* reply, bool* vanish);

    bool Done() const { return state_ == State::Done; }
    // Complete downloads since the start (a reset after one does not undo it).
    int Downloads() const { return downloads_; }
    int Resets() const { return resets_; }
    // 0xA5 bytes sent after the image's checksums had arrived: the only answers that may
    // confirm a download.
    int Confirmations() const { return confirmations_; }
    // A Flood fault struck: the glue keeps sending 0x00 while this holds.
    bool Flooding() const { return flooding_; }
    // What the module kept: the image of the latest complete stage 3, and the loaders.
    const std::vector<std::uint8_t>& Image() const { return image_; }
    const std::vector<std::uint8_t>& Loader1() const { return loader1_; }
    const std::vector<std::uint8_t>& Loader2() const { return loader2_; }
    // A line of what was refused last, for test messages ("" when nothing was).
    const std::string& LastRefusal() const { return refusal_; }
    int Stage2Chunks() const { return stage2_chunks_; }
    int Stage3Chunks() const { return stage3_chunks_; }

private:
    enum class State {
        Off, WaitCast, WaitFrame, Frame1, WaitSize2, Loader2, Checksum2,
        WaitBaud, WaitCmd54, FixedHeader, LengthHeader, ImageData, Checksums, Done, Dead
    };

    void Ack(RomStep step, int index, std::uint8_t byte, std::vector<std::uint8_t>* reply, bool* vanish);
    void Answer(RomStep step, int index, std::uint8_t byte, std::vector<std::uint8_t>* reply, bool* vanish);
    bool Strikes(RomStep step, int index) const;
    bool RejectsChecksum(RomStep step);
    bool StraysBefore(RomStep step) const;
    void Refuse(const std::string& why);
    void Disturb(std::vector<std::uint8_t>* reply, std::size_t answer_at);
    bool RandomRefusal();
    std::uint8_t RandomByte();

    RomLengths lengths_;
    RomFault fault_;
    State state_ = State::Off;
    bool silent_ = false;
    bool flooding_ = false;
    int confirmations_ = 0;
    std::mt19937 noise_;
    int noise_per_mille_ = 0;  // how often Noise disturbs an answer
    int resets_ = 0;
    int downloads_ = 0;
    std::uint32_t expected_ = 0;
    std::uint32_t count_ = 0;
    std::uint8_t xor_ = 0, even_ = 0, odd_ = 0;
    std::uint8_t header_[3] = {0, 0, 0};
    int stage2_chunks_ = 0, stage3_chunks_ = 0;
    std::vector<std::uint8_t> loader1_, loader2_, image_, receiving_;
    std::uint8_t sums_[2] = {0, 0};
    std::string refusal_;
};

}  // namespace sim
