// The trusted keys and the policy over a set's signature. Keys are vetted here (public keys
// only) and handed to gpgv as one keyring; the signature file is checked to be detached
// signature packets only before gpgv sees it, and gpgv's finding per signature decides.
//
// Several signatures: the set is taken when exactly one is good and by a trusted key, and
// every other one is by a key that is not trusted (unknown to gpgv). Such a signature vouches
// for nothing and takes nothing away: the good one covers the same bytes, and anybody can add
// one with a throwaway key, so refusing it would let any third party block a properly signed
// set (vendors also co-sign, or sign with an old and a new key while they move). A bad,
// expired or revoked signature among them, or two good ones, refuses the set.
#include "update/set_signature.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>

#include "platform/platform.h"
#include "update/payloads.h"

namespace update {
namespace {

constexpr char OptionName[] = "--trusted-keys";
constexpr char EnvironmentName[] = "FIRMWARE_UTILITY_TRUSTED_KEYS";
constexpr char ConfigKeys[] = "firmware-utility/trusted-keys";
constexpr char SystemKeys[] = "/etc/firmware-utility/trusted-keys";
constexpr char SumsFile[] = "SHA256SUMS";
// Armored, binary.
constexpr const char* SignatureFiles[] = {"SHA256SUMS.asc", "SHA256SUMS.sig"};
constexpr std::uint64_t MaxSignatureBytes = 64 * 1024;
constexpr std::uint64_t MaxKeyFileBytes = 1 << 20;
// The names of key files in a directory of keys; others (a README, an editor's backup) are not.
constexpr const char* KeyFileEndings[] = {".asc", ".gpg", ".pgp", ".key"};

// Fixed at start-up, before any thread reads them.
std::string NamedKeys;
bool Required = false;
std::string Keyring;      // the trusted public keys, binary, one after the other
std::string KeysPlace;    // where they were found

bool IsKeyFileName(const std::string& name) {
    if (name.empty() || name[0] == '.') return false;
    for (const char* ending : KeyFileEndings) {
        const std::string e = ending;
        if (name.size() > e.size() && name.compare(name.size() - e.size(), e.size(), e) == 0) return true;
    }
    return false;
}

// One key file: public keys only, at least one; its binary packets are added to *keyring.
bool ReadKeyFile(const std::string& path, std::string* keyring, std::string* error) {
    std::string text, binary;
    std::uint64_t size = 0;
    if (!platform::ReadRegularFile(path, MaxKeyFileBytes, &text, &size)) return FailAt(error, path, platform::LastErrorText());
    if (size > MaxKeyFileBytes) return FailAt(error, path, "larger than 1 MiB, not a file of public keys");
    platform::ArmorKind kind;
    if (!platform::Dearmor(text, &binary, &kind)) return FailAt(error, path, "not OpenPGP keys: " + platform::LastErrorText());
    std::vector<int> tags;
    if (!platform::PacketTags(binary, &tags)) {
        return FailAt(error, path, "holds no OpenPGP public key (" + platform::LastErrorText() + ")");
    }
    const auto has = [&tags](int tag) { return std::find(tags.begin(), tags.end(), tag) != tags.end(); };
    if (kind == platform::ArmorKind::PrivateKey || has(platform::TagSecretKey) || has(platform::TagSecretSubkey)) {
        return FailAt(error, path, "holds a secret key; only public keys are trusted (gpg --armor --export KEY)");
    }
    if (!has(platform::TagPublicKey)) return FailAt(error, path, "holds no OpenPGP public key");
    *keyring += binary;
    return true;
}

// PATH a file of keys, or a directory whose key files are all read (one that cannot be read
// refuses the whole: a partial set of trusted keys would only lead to a confusing refusal
// later). *found false for a directory without key files.
bool ReadKeys(const std::string& path, std::string* keyring, bool* found, std::string* error) {
    std::error_code failure;
    *found = false;
    if (!std::filesystem::is_directory(path, failure)) {
        if (!ReadKeyFile(path, keyring, error)) return false;
        *found = true;
        return true;
    }
    std::vector<std::string> names;
    for (std::filesystem::directory_iterator it(path, failure), end; !failure && it != end; it.increment(failure)) {
        const std::string name = it->path().filename().string();
        if (IsKeyFileName(name)) names.push_back(name);
    }
    if (failure) return FailAt(error, path, failure.message());
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (!ReadKeyFile(JoinPath(path, name), keyring, error)) return false;
    }
    *found = !names.empty();
    return true;
}

std::string UserKeys() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    if (config && config[0] == '/') return JoinPath(config, ConfigKeys);
    if (home && *home) return JoinPath(std::string(home) + "/.config", ConfigKeys);
    return {};
}

std::string Describe(const platform::SignatureFinding& finding) {
    return finding.user_id.empty() ? finding.key : finding.key + " (" + finding.user_id + ")";
}

// The signature file as binary signature packets; false with *error naming what it is instead.
bool ReadSignature(const std::string& path, std::string* binary, std::string* error) {
    std::string text;
    std::uint64_t size = 0;
    if (!platform::ReadRegularFile(path, MaxSignatureBytes, &text, &size)) return FailAt(error, path, platform::LastErrorText());
    if (size > MaxSignatureBytes) return FailAt(error, path, "larger than 64 KiB; a detached signature is a few hundred bytes");
    if (text.find_first_not_of(" \t\r\n") == std::string::npos) return FailAt(error, path, "empty; no signature");
    platform::ArmorKind kind;
    if (!platform::Dearmor(text, binary, &kind)) return FailAt(error, path, "not a readable signature: " + platform::LastErrorText());
    if (kind == platform::ArmorKind::SignedMessage) return FailAt(error, path, "not a detached signature (a clear-signed message)");
    if (kind == platform::ArmorKind::Message) return FailAt(error, path, "not a detached signature (an inline-signed message)");
    if (kind != platform::ArmorKind::None && kind != platform::ArmorKind::Signature) {
        return FailAt(error, path, "not a signature (another kind of OpenPGP armor)");
    }
    std::vector<int> tags;
    if (!platform::PacketTags(*binary, &tags)) return FailAt(error, path, "not a readable signature: " + platform::LastErrorText());
    if (tags.empty()) return FailAt(error, path, "empty; no signature");
    for (int tag : tags) {
        if (tag == platform::TagSignature) continue;
        const bool message = tag == platform::TagLiteral || tag == platform::TagCompressed || tag == platform::TagOnePass;
        return FailAt(error, path, message ? "not a detached signature (an inline-signed message)"
                                         : "not a detached signature (it holds more than signatures)");
    }
    return true;
}

}  // namespace

void SetSignaturePolicy(const std::string& trusted_keys, bool require) {
    NamedKeys = trusted_keys;
    Required = require;
}

bool HaveTrustedKeys() { return !Keyring.empty(); }
bool SignatureRequired() { return Required; }

std::string TrustedKeyPlaces() {
    return std::string(OptionName) + ", $" + EnvironmentName + ", $XDG_CONFIG_HOME/" + ConfigKeys + "/, " + SystemKeys +
           "/";
}

bool LoadTrustedKeys(std::string* error) {
    std::string named = NamedKeys;
    std::string given_by = OptionName;
    if (named.empty()) {
        const char* from_environment = std::getenv(EnvironmentName);
        if (from_environment && *from_environment) named = from_environment;
        given_by = std::string("$") + EnvironmentName;
    }
    bool found = false;
    if (!named.empty()) {
        // Named keys must be there: a typo never turns the check off.
        if (!ReadKeys(named, &Keyring, &found, error)) return *error = given_by + ": " + *error, false;
        if (!found) return FailAt(error, given_by + ": " + named, "holds no key file (*.asc, *.gpg, *.pgp, *.key)");
        KeysPlace = named;
        return true;
    }
    for (const std::string& place : {UserKeys(), std::string(SystemKeys)}) {
        if (place.empty() || !platform::PathExists(place)) continue;
        if (!ReadKeys(place, &Keyring, &found, error)) return *error = "trusted keys: " + *error, false;
        if (found) {
            KeysPlace = place;
            return true;
        }
    }
    if (Required) {
        *error = "--require-signature: no trusted keys found (" + TrustedKeyPlaces() + ")";
        return false;
    }
    return true;
}

bool CheckSetSignature(const std::string& directory, const std::string* sums, std::string* fingerprint,
                       std::string* user_id, std::string* error) {
    fingerprint->clear();
    user_id->clear();
    if (!HaveTrustedKeys()) return true;
    std::string path;
    for (const char* name : SignatureFiles) {
        if (!platform::PathExists(JoinPath(directory, name))) continue;
        if (!path.empty()) return FailAt(error, directory, "both SHA256SUMS.asc and SHA256SUMS.sig; keep one");
        path = JoinPath(directory, name);
    }
    const std::string trusted = " (the trusted keys are " + KeysPlace + ")";
    if (path.empty()) {
        return FailAt(error, directory, "no signature (SHA256SUMS.asc or SHA256SUMS.sig); with trusted keys only signed sets are taken" + trusted);
    }
    if (sums == nullptr) return FailAt(error, JoinPath(directory, SumsFile), "missing; the signature is over it");
    std::string binary;
    if (!ReadSignature(path, &binary, error)) return false;
    std::vector<platform::SignatureFinding> findings;
    bool detached = true;
    std::string gpgv_line;
    if (!platform::VerifyDetached(Keyring, *sums, binary, &findings, &detached, &gpgv_line)) {
        return FailAt(error, path, platform::LastErrorText());
    }
    if (!detached) return FailAt(error, path, "not a detached signature (a signed message)");
    const platform::SignatureFinding* good = nullptr;
    int goods = 0;
    for (const platform::SignatureFinding& finding : findings) {
        switch (finding.state) {
        case platform::SignatureState::Good:
            good = &finding;
            ++goods;
            break;
        case platform::SignatureState::UnknownKey: break;  // vouches for nothing (above)
        case platform::SignatureState::Bad:
            return FailAt(error, path, "bad signature by " + Describe(finding) + ": SHA256SUMS is not what was signed");
        case platform::SignatureState::ExpiredKey:
            return FailAt(error, path, "signed by " + Describe(finding) + ", whose key has expired");
        case platform::SignatureState::RevokedKey:
            return FailAt(error, path, "signed by " + Describe(finding) + ", whose key was revoked");
        case platform::SignatureState::ExpiredSignature:
            return FailAt(error, path, "the signature by " + Describe(finding) + " has expired");
        case platform::SignatureState::Error:
            return FailAt(error, path, "gpgv could not check the signature by " + Describe(finding));
        }
    }
    if (goods > 1) {
        return FailAt(error, path, std::to_string(goods) + " good signatures by trusted keys; a set has exactly one signer");
    }
    if (good == nullptr) {
        for (const platform::SignatureFinding& finding : findings) {
            if (finding.state == platform::SignatureState::UnknownKey) {
                return FailAt(error, path, "signed by an unknown key " + finding.key + trusted);
            }
        }
        return FailAt(error, path, "no signature" + (gpgv_line.empty() ? std::string() : " (" + gpgv_line + ")"));
    }
    *fingerprint = good->key;
    *user_id = good->user_id;
    return true;
}

bool CheckSignedList(const std::string& sums_path, const std::vector<std::string>& listed,
                     const std::vector<std::string>& needed, std::string* error) {
    for (const std::string& name : needed) {
        if (std::find(listed.begin(), listed.end(), name) == listed.end()) {
            return FailAt(error, sums_path, "signed, but does not list " + name +
                                              "; a signed list names boot1.bin, boot2.bin, filesize.bin, fw.bin and version");
        }
    }
    return true;
}

}  // namespace update
