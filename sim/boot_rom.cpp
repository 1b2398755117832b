#include "sim/boot_rom.h"

#include <algorithm>
#include <iterator>

namespace sim {
namespace {

constexpr std::uint32_t Boot2Chunk = 1000;
constexpr std::uint32_t ImageChunk = 4000;
// The bytes of the protocol as the module sees them, named here on this side of the wire (the
// tool keeps its own names: a mistake made on both sides would otherwise go unseen).
constexpr std::uint8_t Casting = 0x55;          // the handset asks for download mode
constexpr std::uint8_t CastingAnswer = 0xA0;    // ready for the first loader
constexpr std::uint8_t StageAck = 0xA5;         // a loader, the memory check or a header taken
constexpr std::uint8_t Confirmation = StageAck; // after the image's checksums: the image taken
constexpr std::uint8_t ChunkAck = 0xAA;         // one chunk of the second loader or the image taken
constexpr std::uint8_t BaudByte = 0x50;         // the image's stage starts (115.2k)
constexpr std::uint8_t MemoryOk[] = {0x4F, 0x4B};  // "OK" before the memory check's acknowledgement
constexpr std::uint8_t SizeCommand = 0x54;      // the fixed size header follows
constexpr std::uint8_t FixedHeader[] = {0x3F, 0xA0, 0x00};
constexpr std::uint8_t WrongAnswer = 0x00;      // a WrongByte fault's answer
constexpr std::uint8_t Garbage[] = {0x12, 0x34, 0xFE};  // a GarbageBefore fault's bytes

// Noise: how often an answer is disturbed, in answers per thousand, chosen by the seed; a
// checksum is refused at a quarter of that rate.
constexpr int NoisePerMille[] = {0, 5, 20, 60, 250};
// Bytes that noise favours: those the handset waits for, and the casting byte.
constexpr std::uint8_t ProtocolBytes[] = {CastingAnswer, StageAck, ChunkAck, Casting, WrongAnswer};

}  // namespace

void BootRom::SetFault(const RomFault& fault) {
    fault_ = fault;
    noise_.seed(fault.seed);
    noise_per_mille_ = NoisePerMille[fault.seed % std::size(NoisePerMille)];
}

void BootRom::Reset() {
    ++resets_;
    state_ = State::WaitCast;
    silent_ = false;
    flooding_ = false;
    count_ = 0;
    expected_ = 0;
    xor_ = even_ = odd_ = 0;
    receiving_.clear();
}

void BootRom::BootFirmware() {
    if (state_ == State::WaitCast) state_ = State::Off;
}

bool BootRom::Strikes(RomStep step, int index) const {
    if (fault_.kind == RomFaultKind::None || fault_.times <= 0 || fault_.step != step) return false;
    const bool chunk_step = step == RomStep::Stage2ChunkAck || step == RomStep::Stage3ChunkAck;
    return !chunk_step || fault_.index == index;
}

// RejectChecksum and StrayAck refuse a good checksum, and Noise at random; the other kinds
// act on the answer.
bool BootRom::RejectsChecksum(RomStep step) {
    if (fault_.kind == RomFaultKind::Noise) return RandomRefusal();
    return (fault_.kind == RomFaultKind::RejectChecksum || fault_.kind == RomFaultKind::StrayAck ||
            fault_.kind == RomFaultKind::FakeAck) &&
           Strikes(step, 0);
}

bool BootRom::RandomRefusal() { return static_cast<int>(noise_() % 4000) < noise_per_mille_; }

std::uint8_t BootRom::RandomByte() {
    if (noise_() % 2) return ProtocolBytes[noise_() % std::size(ProtocolBytes)];
    return static_cast<std::uint8_t>(noise_() % 256);
}

// Noise on the answer at reply[answer_at]: dropped, replaced, wrapped in random bytes or doubled.
void BootRom::Disturb(std::vector<std::uint8_t>* reply, std::size_t answer_at) {
    if (static_cast<int>(noise_() % 1000) >= noise_per_mille_) return;
    const std::size_t extra = 1 + noise_() % 4;
    switch (noise_() % 5) {
        case 0:
            reply->resize(answer_at);
            break;
        case 1:
            (*reply)[answer_at] = RandomByte();
            break;
        case 2:
            for (std::size_t i = 0; i < extra; ++i) reply->insert(reply->begin() + static_cast<std::ptrdiff_t>(answer_at), RandomByte());
            break;
        case 3:
            for (std::size_t i = 0; i < extra; ++i) reply->push_back(RandomByte());
            break;
        default:
            reply->push_back((*reply)[answer_at]);
            break;
    }
}

// A StrayAck fault on `step`: its acknowledgement goes out early, with the answer before.
bool BootRom::StraysBefore(RomStep step) const {
    return fault_.kind == RomFaultKind::StrayAck && fault_.step == step && fault_.times > 0;
}

void BootRom::Refuse(const std::string& why) {
    refusal_ = why;
    state_ = State::Dead;  // a boot ROM that did not like what it got answers nothing more
}

void BootRom::Ack(RomStep step, int index, std::uint8_t byte, std::vector<std::uint8_t>* reply, bool* vanish) {
    const std::size_t answer_at = reply->size();
    Answer(step, index, byte, reply, vanish);
    if (step == RomStep::FinalAck) {
        for (std::size_t i = answer_at; i < reply->size(); ++i) confirmations_ += (*reply)[i] == Confirmation;
    }
}

void BootRom::Answer(RomStep step, int index, std::uint8_t byte, std::vector<std::uint8_t>* reply, bool* vanish) {
    if (fault_.kind == RomFaultKind::Noise) {
        reply->push_back(byte);
        Disturb(reply, reply->size() - 1);
        return;
    }
    if (fault_.kind == RomFaultKind::EveryOther && fault_.step == step) {
        if (index % 2 == 0) return;  // chunks 0, 2, 4, ... go unacknowledged
        reply->push_back(byte);
        return;
    }
    if (Strikes(step, index) && fault_.kind != RomFaultKind::RejectChecksum && fault_.kind != RomFaultKind::StrayAck) {
        --fault_.times;
        switch (fault_.kind) {
            case RomFaultKind::Silent:
                silent_ = true;
                state_ = State::Dead;
                return;
            case RomFaultKind::WrongByte:
                reply->push_back(WrongAnswer);
                return;
            case RomFaultKind::GarbageBefore:
                reply->insert(reply->end(), std::begin(Garbage), std::end(Garbage));
                break;
            case RomFaultKind::Vanish:
                *vanish = true;
                state_ = State::Dead;
                return;
            case RomFaultKind::Flood:
                flooding_ = true;
                state_ = State::Dead;
                return;
            default:
                break;
        }
    }
    reply->push_back(byte);
}

void BootRom::Receive(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>* reply, bool* vanish) {
    *vanish = false;
    for (std::size_t i = 0; i < size && !*vanish; ++i) {
        const std::uint8_t byte = data[i];
        switch (state_) {
            case State::Off:
            case State::Done:
            case State::Dead:
                break;
            case State::WaitCast:
                if (byte == Casting) {
                    state_ = State::WaitFrame;
                    Ack(RomStep::Handshake, 0, CastingAnswer, reply, vanish);
                }
                break;
            case State::WaitFrame:
                // Casting bytes already on the wire when the handset stopped casting.
                if (byte == Casting) break;
                expected_ = byte;
                count_ = 0;
                xor_ = 0;
                receiving_.clear();
                state_ = State::Frame1;
                break;
            case State::Frame1:
                if (count_ < expected_) {
                    receiving_.push_back(byte);
                    xor_ ^= byte;
                    ++count_;
                    break;
                }
                if (expected_ != lengths_.boot1) {
                    Refuse("first loader: wrong length " + std::to_string(expected_));
                } else if (byte != xor_ || RejectsChecksum(RomStep::Stage1Ack)) {
                    if (byte == xor_) --fault_.times;
                    Refuse("first loader: checksum refused");
                } else {
                    loader1_ = receiving_;
                    state_ = State::WaitSize2;
                    count_ = 0;
                    Ack(RomStep::Stage1Ack, 0, StageAck, reply, vanish);
                }
                break;
            case State::WaitSize2:
                header_[count_++] = byte;
                if (count_ < 2) break;
                expected_ = (static_cast<std::uint32_t>(header_[0]) << 8) | header_[1];
                if (expected_ != lengths_.boot2) {
                    Refuse("second loader: wrong size " + std::to_string(expected_));
                    break;
                }
                count_ = 0;
                xor_ = 0;
                stage2_chunks_ = 0;
                receiving_.clear();
                state_ = expected_ == 0 ? State::Checksum2 : State::Loader2;
                break;
            case State::Loader2:
                receiving_.push_back(byte);
                xor_ ^= byte;
                ++count_;
                if (count_ % Boot2Chunk == 0) {
                    Ack(RomStep::Stage2ChunkAck, stage2_chunks_++, ChunkAck, reply, vanish);
                    if (expected_ - count_ < Boot2Chunk && StraysBefore(RomStep::Stage2Ack)) reply->push_back(StageAck);
                }
                if (count_ == expected_ && state_ == State::Loader2) state_ = State::Checksum2;
                break;
            case State::Checksum2:
                if (byte != xor_ || RejectsChecksum(RomStep::Stage2Ack)) {
                    if (byte == xor_) --fault_.times;
                    Refuse("second loader: checksum refused");
                } else {
                    loader2_ = receiving_;
                    state_ = State::WaitBaud;
                    Ack(RomStep::Stage2Ack, 0, StageAck, reply, vanish);
                }
                break;
            case State::WaitBaud:
                if (byte != BaudByte) {
                    Refuse("image: expected the baud byte 0x50");
                    break;
                }
                state_ = State::WaitCmd54;
                reply->insert(reply->end(), std::begin(MemoryOk), std::end(MemoryOk));
                Ack(RomStep::MemoryCheck, 0, StageAck, reply, vanish);
                break;
            case State::WaitCmd54:
                if (byte != SizeCommand) {
                    Refuse("image: expected 0x54");
                    break;
                }
                state_ = State::FixedHeader;
                count_ = 0;
                break;
            case State::FixedHeader:
                header_[count_++] = byte;
                if (count_ < 3) break;
                if (!std::equal(std::begin(FixedHeader), std::end(FixedHeader), header_)) {
                    Refuse("image: wrong fixed size header");
                    break;
                }
                state_ = State::LengthHeader;
                count_ = 0;
                Ack(RomStep::HeaderAck, 0, StageAck, reply, vanish);
                if (state_ == State::LengthHeader) reply->insert(reply->end(), {StageAck, StageAck});
                break;
            case State::LengthHeader:
                header_[count_++] = byte;
                if (count_ < 3) break;
                expected_ = (static_cast<std::uint32_t>(header_[0]) << 16) |
                            (static_cast<std::uint32_t>(header_[1]) << 8) | header_[2];
                if (expected_ != lengths_.image) {
                    Refuse("image: wrong length " + std::to_string(expected_));
                    break;
                }
                count_ = 0;
                even_ = odd_ = 0;
                stage3_chunks_ = 0;
                receiving_.clear();
                receiving_.reserve(expected_);
                state_ = expected_ == 0 ? State::Checksums : State::ImageData;
                break;
            case State::ImageData:
                // Parity within the chunk, as the handset counts it.
                if ((count_ % ImageChunk) % 2 == 0) even_ ^= byte;
                else odd_ ^= byte;
                receiving_.push_back(byte);
                ++count_;
                if (count_ % ImageChunk == 0) {
                    Ack(RomStep::Stage3ChunkAck, stage3_chunks_++, ChunkAck, reply, vanish);
                    if (expected_ - count_ < ImageChunk && StraysBefore(RomStep::FinalAck)) reply->push_back(StageAck);
                }
                if (count_ == expected_ && state_ == State::ImageData) {
                    state_ = State::Checksums;
                    count_ = 0;
                }
                break;
            case State::Checksums:
                sums_[count_++] = byte;
                if (count_ < 2) break;
                if (sums_[0] != even_ || sums_[1] != odd_ || RejectsChecksum(RomStep::FinalAck)) {
                    const bool faked = fault_.kind == RomFaultKind::FakeAck && sums_[0] == even_ && sums_[1] == odd_;
                    if (sums_[0] == even_ && sums_[1] == odd_) --fault_.times;
                    Refuse("image: checksums refused");
                    if (faked) {  // the line's noise, after the checksums: it looks like the answer
                        reply->push_back(Confirmation);
                        ++confirmations_;
                    }
                    break;
                }
                image_ = std::move(receiving_);
                receiving_.clear();
                state_ = State::Done;
                ++downloads_;
                Ack(RomStep::FinalAck, 0, StageAck, reply, vanish);
                break;
        }
    }
}

}  // namespace sim
