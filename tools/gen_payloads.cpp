// Writes the stand-in payload set: deterministic bytes of the exact sizes the upload stages
// expect. The module maker's loaders and image are not part of this project.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/base/format.h"

namespace {

bool WriteFile(const std::string& path, const std::vector<unsigned char>& bytes) {
    FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) {
        platform::SayOnStderrAs("gen_payloads", "%s: %s", path.c_str(), std::strerror(errno));
        return false;
    }
    bool ok = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
    ok = (std::fclose(out) == 0) && ok;
    if (!ok) platform::SayOnStderrAs("gen_payloads", "%s: %s", path.c_str(), std::strerror(errno));
    return ok;
}

// xorshift32: the same bytes on every machine and every build.
std::vector<unsigned char> Pseudorandom(std::size_t size, std::uint32_t seed) {
    std::vector<unsigned char> bytes(size);
    std::uint32_t state = seed;
    for (auto& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<unsigned char>(state >> 24);
    }
    return bytes;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        platform::SayOnStderrAs("gen_payloads", "usage: gen_payloads OUTPUT_DIR");
        return 2;
    }
    const std::string dir = argv[1];
    bool ok = WriteFile(dir + "/boot1.bin", Pseudorandom(184, 0x0B007001u));
    ok = WriteFile(dir + "/boot2.bin", Pseudorandom(7414, 0x0B007002u)) && ok;
    ok = WriteFile(dir + "/filesize.bin", {0x3F, 0xEC, 0xE6}) && ok;
    ok = WriteFile(dir + "/fw.bin", Pseudorandom(2481250, 0x0F1A4E00u)) && ok;
    return ok ? 0 : 1;
}
