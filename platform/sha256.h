// SHA-256 (FIPS 180-4), for listing the embedded payloads and for the simulated module's report
// of what it received. Feed bytes in any number of pieces, then finish once.
//
// Index: Sha256 Sha256Digest Sha256Hex
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

class Sha256 {
public:
    Sha256();
    void Update(const void* data, std::size_t size);
    // The digest of everything fed so far; the object is spent afterwards.
    std::array<std::uint8_t, 32> Finish();
    // The digest as 64 lower-case hex digits; the object is spent afterwards.
    std::string FinishHex();

private:
    void Block(const std::uint8_t* block);
    std::array<std::uint32_t, 8> state_;
    std::array<std::uint8_t, 64> buffer_{};
    std::size_t buffered_ = 0;
    std::uint64_t length_ = 0;  // bytes fed
};

std::array<std::uint8_t, 32> Sha256Digest(const void* data, std::size_t size);
std::string Sha256Hex(const void* data, std::size_t size);

}  // namespace platform
