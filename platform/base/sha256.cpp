// SHA-256 through libcrypto's EVP digest interface. A context that cannot be had (out of
// memory) is a fault of the process, not of the data: it aborts rather than return a wrong sum.
#include "platform/base/sha256.h"

#include <openssl/evp.h>

#include <cstdlib>

#include "platform/base/format.h"

namespace platform {
namespace {

void Check(int ok, const char* what) {
    if (ok == 1) return;
    SayOnStderr("SHA-256: %s failed", what);
    std::abort();
}

}  // namespace

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
    Check(context_ != nullptr, "EVP_MD_CTX_new");
    Check(EVP_DigestInit_ex(context_, EVP_sha256(), nullptr), "EVP_DigestInit_ex");
}

Sha256::~Sha256() { EVP_MD_CTX_free(context_); }

void Sha256::Update(const void* data, std::size_t size) {
    if (size > 0) Check(EVP_DigestUpdate(context_, data, size), "EVP_DigestUpdate");
}

std::array<std::uint8_t, 32> Sha256::Finish() {
    std::array<std::uint8_t, 32> digest{};
    unsigned int length = 0;
    Check(EVP_DigestFinal_ex(context_, digest.data(), &length) == 1 && length == digest.size() ? 1 : 0,
          "EVP_DigestFinal_ex");
    return digest;
}

std::string Sha256::FinishHex() {
    static constexpr char Digits[] = "0123456789abcdef";
    std::string hex;
    for (std::uint8_t byte : Finish()) {
        hex += Digits[byte >> 4];
        hex += Digits[byte & 0x0F];
    }
    return hex;
}

std::array<std::uint8_t, 32> Sha256Digest(const void* data, std::size_t size) {
    Sha256 hash;
    hash.Update(data, size);
    return hash.Finish();
}

std::string Sha256Hex(const void* data, std::size_t size) {
    Sha256 hash;
    hash.Update(data, size);
    return hash.FinishHex();
}

}  // namespace platform
