// OpenPGP armor (base64 blocks between "-----BEGIN PGP ...-----" and "-----END PGP ...-----")
// and the packet framing of the binary form: enough to tell a detached signature from a signed
// message and a public key from a secret one. The content of the packets is gpgv's business.
#include "platform/base/openpgp.h"

#include <cerrno>
#include <cstring>

#include "platform/base/system.h"

namespace platform {
namespace {

constexpr char ArmorBegin[] = "-----BEGIN PGP ";
constexpr char ArmorEnd[] = "-----END PGP ";
constexpr char ArmorDashes[] = "-----";

// armor header word, its kind
constexpr struct {
    const char* word;
    ArmorKind kind;
} ArmorWords[] = {
    {"SIGNATURE", ArmorKind::Signature},        {"MESSAGE", ArmorKind::Message},
    {"SIGNED MESSAGE", ArmorKind::SignedMessage}, {"PUBLIC KEY BLOCK", ArmorKind::PublicKey},
    {"PRIVATE KEY BLOCK", ArmorKind::PrivateKey},
};

// Packet header bits and length forms.
constexpr unsigned PacketBit = 0x80, NewFormatBit = 0x40, NewTagMask = 0x3F, OldTagShift = 2, OldTagMask = 0x0F;
constexpr unsigned OldLengthMask = 0x03, OldIndeterminate = 3;
constexpr unsigned TwoOctetStart = 192, FiveOctetMark = 255, PartialStart = 224, PartialMask = 0x1F;
constexpr std::size_t TwoOctetBase = 192;

ArmorKind KindOf(const std::string& word) {
    for (const auto& row : ArmorWords) {
        if (word == row.word) return row.kind;
    }
    return ArmorKind::Other;
}

bool IsBlank(const std::string& line) { return line.find_first_not_of(" \t\r") == std::string::npos; }

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Appends the bytes of base64 `line` (padding ends it); false on a character outside base64.
bool DecodeLine(const std::string& line, unsigned* bits, int* count, std::string* out) {
    for (char c : line) {
        if (c == '=') return true;
        if (c == ' ' || c == '\t' || c == '\r') continue;
        const int value = Base64Value(c);
        if (value < 0) return false;
        *bits = (*bits << 6) | static_cast<unsigned>(value);
        *count += 6;
        if (*count >= 8) {
            *count -= 8;
            out->push_back(static_cast<char>((*bits >> *count) & 0xFF));
        }
    }
    return true;
}

// Malformed data: the last error EINVAL with what is wrong.
bool Fail(const char* text) {
    SetLastError(EINVAL, text);
    return false;
}

}  // namespace

bool Dearmor(const std::string& text, std::string* binary, ArmorKind* kind) {
    binary->clear();
    *kind = ArmorKind::None;
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos || text.compare(first, std::strlen(ArmorBegin), ArmorBegin) != 0) {
        *binary = text;
        return true;
    }
    enum { Outside, Headers, Body, Done } state = Outside;
    unsigned bits = 0;
    int count = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (state == Outside || state == Done) {
            if (IsBlank(line)) continue;
            if (line.rfind(ArmorBegin, 0) != 0 || line.size() < std::strlen(ArmorBegin) + std::strlen(ArmorDashes)) {
                return Fail("text outside the armor");
            }
            const ArmorKind block = KindOf(line.substr(std::strlen(ArmorBegin), line.size() - std::strlen(ArmorBegin) -
                                                                                   std::strlen(ArmorDashes)));
            if (*kind == ArmorKind::None) *kind = block;
            if (block != *kind) return Fail("armored blocks of different kinds");
            // A clear-signed message carries its text in the clear: nothing more to decode.
            if (block == ArmorKind::SignedMessage) return true;
            state = Headers;
            bits = 0;
            count = 0;
            continue;
        }
        if (line.rfind(ArmorEnd, 0) == 0) {
            state = Done;
            continue;
        }
        if (state == Headers) {
            if (IsBlank(line)) {
                state = Body;
                continue;
            }
            if (line.find(": ") != std::string::npos) continue;  // "Comment: ..." and the like
            state = Body;
        }
        if (line.size() == 5 && line[0] == '=') continue;  // the optional checksum line
        if (!DecodeLine(line, &bits, &count, binary)) return Fail("armor with a character outside base64");
    }
    if (state != Done) return Fail("armor without its END line (truncated)");
    return true;
}

bool PacketTags(const std::string& binary, std::vector<int>* tags) {
    tags->clear();
    const auto* bytes = reinterpret_cast<const unsigned char*>(binary.data());
    const std::size_t size = binary.size();
    std::size_t at = 0;
    auto need = [&](std::size_t n) { return size - at >= n; };
    while (at < size) {
        const unsigned header = bytes[at++];
        if (!(header & PacketBit)) return Fail("not OpenPGP data");
        std::size_t length = 0;
        bool partial = false;
        if (header & NewFormatBit) {
            tags->push_back(static_cast<int>(header & NewTagMask));
            do {
                if (!need(1)) return Fail("truncated");
                const unsigned first = bytes[at++];
                partial = false;
                if (first < TwoOctetStart) {
                    length = first;
                } else if (first < PartialStart) {
                    if (!need(1)) return Fail("truncated");
                    length = ((first - TwoOctetStart) << 8) + bytes[at++] + TwoOctetBase;
                } else if (first == FiveOctetMark) {
                    if (!need(4)) return Fail("truncated");
                    length = (std::size_t{bytes[at]} << 24) | (std::size_t{bytes[at + 1]} << 16) |
                             (std::size_t{bytes[at + 2]} << 8) | bytes[at + 3];
                    at += 4;
                } else {
                    length = std::size_t{1} << (first & PartialMask);
                    partial = true;
                }
                if (!need(length)) return Fail("truncated");
                at += length;
            } while (partial);
            continue;
        }
        tags->push_back(static_cast<int>((header >> OldTagShift) & OldTagMask));
        const unsigned form = header & OldLengthMask;
        if (form == OldIndeterminate) {
            at = size;
            continue;
        }
        const std::size_t octets = std::size_t{1} << form;
        if (!need(octets)) return Fail("truncated");
        for (std::size_t i = 0; i < octets; ++i) length = (length << 8) | bytes[at++];
        if (!need(length)) return Fail("truncated");
        at += length;
    }
    return true;
}

}  // namespace platform
