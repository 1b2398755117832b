// Implemented in platform/base/openpgp.cpp (armor and packets) and platform/base/gpgv.cpp.
// OpenPGP data as the payload sets carry it: key files and detached signatures, armored or
// binary. The armor is taken off here and the packets are walked for their kinds only, so that
// a caller can refuse a secret key or a signed message before anything is verified; the
// signatures themselves are checked by the distribution's gpgv, with a keyring of the caller's
// keys in a private temporary directory (never the user's keyring or trust settings), and its
// machine-readable status is read back, one finding per signature.
//
// Index: ArmorKind Dearmor PacketTags PacketTag | SignatureState SignatureFinding VerifyDetached
// GpgvPath
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// What an armor header line names ("-----BEGIN PGP SIGNATURE-----" and so on).
enum class ArmorKind { None, Signature, Message, SignedMessage, PublicKey, PrivateKey, Other };
// The binary packets of `text`: its armored blocks decoded and joined (*kind: the first
// block's), or the bytes as they are when `text` is not armored (*kind None). False with the
// last error EINVAL, its text the reason, when a block is malformed or unfinished.
bool Dearmor(const std::string& text, std::string* binary, ArmorKind* kind);

// Packet tags of the format (RFC 9580): the ones a caller decides on.
enum PacketTag : int {
    TagSignature = 2, TagSecretKey = 5, TagPublicKey = 6, TagSecretSubkey = 7, TagCompressed = 8,
    TagLiteral = 11, TagOnePass = 4
};
// The tag of every packet of `binary`, in order. False with the last error EINVAL, its text the
// reason, when a packet header is malformed or a packet runs past the end (truncated data).
bool PacketTags(const std::string& binary, std::vector<int>* tags);

// gpgv's verdict on one signature of a detached signature file.
enum class SignatureState { Good, Bad, ExpiredKey, RevokedKey, ExpiredSignature, UnknownKey, Error };
struct SignatureFinding {
    SignatureState state = SignatureState::Error;
    std::string key;      // the primary key's fingerprint when gpgv gave it, else the key id
    std::string user_id;  // the signer's user id as gpgv names it; empty when unknown
};
inline constexpr char GpgvPath[] = "/usr/bin/gpgv";
// Checks `signature` (binary packets) over `data` with gpgv, the keys of `keyring` (binary
// public keys, one after the other) the only ones it knows. *findings: one per signature gpgv
// reported (none: it found no signature, and *last_line holds what gpgv said last when it
// failed); *detached false when gpgv read a signed message instead. False with the last error
// set, its text the reason, when gpgv could not be run or did not end within its bound.
bool VerifyDetached(const std::string& keyring, const std::string& data, const std::string& signature,
                    std::vector<SignatureFinding>* findings, bool* detached, std::string* last_line);

}  // namespace platform
