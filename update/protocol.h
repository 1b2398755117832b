// Header only: names and numbers, no code.
// The bytes of the module's download protocol, in one place (handset to module: H->M; module
// to handset: M->H). The simulated module keeps names of its own: it is the other side of the
// wire, and sharing these would hide a mistake made on both sides.
//
// Index: CastingByte ReadyByte AcceptByte ChunkAckByte BaudRateByte SizeCommandByte FixedSizeHeader
#pragma once

#include <cstdint>

namespace update {

inline constexpr std::uint8_t CastingByte = 0x55;      // H->M every 10 ms: asks the boot ROM for download mode
inline constexpr std::uint8_t ReadyByte = 0xA0;        // M->H: the boot ROM is ready for the first loader
inline constexpr std::uint8_t AcceptByte = 0xA5;       // M->H: the step is accepted
inline constexpr std::uint8_t ChunkAckByte = 0xAA;     // M->H: a chunk arrived, the next may follow
inline constexpr std::uint8_t BaudRateByte = 0x50;     // H->M: stage 3 starts (115.2k)
inline constexpr std::uint8_t SizeCommandByte = 0x54;  // H->M: the fixed size header follows
inline constexpr std::uint8_t FixedSizeHeader[3] = {0x3F, 0xA0, 0x00};

}  // namespace update
