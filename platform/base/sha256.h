// Implemented in platform/base/sha256.cpp.
// SHA-256, for listing the embedded payloads and for the simulated module's report of what it
// received, computed by the distribution's libcrypto. Feed bytes in any number of pieces, then
// finish once.
//
// Index: Sha256 Sha256Digest Sha256Hex
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

struct evp_md_ctx_st;  // libcrypto's digest context, kept out of this header

namespace platform {

class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    void Update(const void* data, std::size_t size);
    // The digest of everything fed so far; the object is spent afterwards.
    std::array<std::uint8_t, 32> Finish();
    // The digest as 64 lower-case hex digits; the object is spent afterwards.
    std::string FinishHex();

private:
    evp_md_ctx_st* context_;
};

std::array<std::uint8_t, 32> Sha256Digest(const void* data, std::size_t size);
std::string Sha256Hex(const void* data, std::size_t size);

}  // namespace platform
