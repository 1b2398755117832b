// A payload set read at run time from a directory (--firmware DIR). Everything is read and
// checked before the set is taken, so a failed check leaves the built-in set in use and the
// program ends before any device opens.
#include <atomic>
#include <cctype>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "update/payloads.h"
#include "update/set_signature.h"

namespace update {
namespace {

// kind, file name in the directory, the length its stage sends
constexpr struct {
    std::uint32_t kind;
    const char* file;
    std::uint32_t length;
} PayloadFiles[] = {
    {PayloadBoot1, "boot1.bin", Boot1Length},
    {PayloadBoot2, "boot2.bin", Boot2Length},
    {PayloadFileSize, "filesize.bin", FileSizeLength},
    {PayloadFirmware, "fw.bin", FirmwareLength},
};
constexpr std::size_t KindCount = sizeof PayloadFiles / sizeof PayloadFiles[0];

constexpr char SumsFile[] = "SHA256SUMS";
constexpr char VersionFile[] = "version";
// Bounds on what is read besides the payloads: the sums list, a revision line, and any other
// file the list names.
constexpr std::uint64_t MaxSumsBytes = 1 << 20;
constexpr std::uint64_t MaxVersionBytes = 256;
constexpr std::uint64_t MaxListedBytes = std::uint64_t{1} << 30;
constexpr std::size_t Sha256HexLength = 64;

// The set in use once taken; written once at start-up, before any thread reads it.
std::string DirectoryBytes[KindCount];
PayloadSet DirectorySet;
std::atomic<bool> DirectoryInUse{false};

std::string Join(const std::string& directory, const std::string& name) {
    if (!directory.empty() && directory.back() == '/') return directory + name;
    return directory + "/" + name;
}

bool Fail(std::string* error, const std::string& path, const std::string& reason) {
    *error = path + ": " + reason;
    return false;
}

bool ReadPayloadFile(const std::string& directory, std::size_t index, std::string* bytes, std::string* error) {
    const std::string path = Join(directory, PayloadFiles[index].file);
    const std::uint32_t length = PayloadFiles[index].length;
    std::uint64_t size = 0;
    std::string reason;
    if (!platform::ReadRegularFile(path, length, bytes, &size, &reason)) return Fail(error, path, reason);
    if (size != length) {
        return Fail(error, path,
                    "has " + std::to_string(size) + " bytes; the upload stages need exactly " + std::to_string(length));
    }
    return true;
}

// `sha256sum` lines: 64 hex digits, a blank, a blank or '*' (binary mode), the file's name.
bool ParseSumsLine(const std::string& line, std::string* digest, std::string* name) {
    if (line.size() < Sha256HexLength + 3 || line[Sha256HexLength] != ' ') return false;
    if (line[Sha256HexLength + 1] != ' ' && line[Sha256HexLength + 1] != '*') return false;
    *digest = line.substr(0, Sha256HexLength);
    for (char& c : *digest) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    *name = line.substr(Sha256HexLength + 2);
    return !name->empty();
}

// The digest of a listed file: one of the four already read, or any other file of the directory.
bool ListedDigest(const std::string& directory, const std::string& name, const std::string (&bytes)[KindCount],
                  const std::string* version, std::string* digest, std::string* error) {
    for (std::size_t i = 0; i < KindCount; ++i) {
        if (name == PayloadFiles[i].file) {
            *digest = platform::Sha256Hex(bytes[i].data(), bytes[i].size());
            return true;
        }
    }
    // The revision is checked in the bytes it is then read from.
    if (name == VersionFile && version != nullptr) {
        *digest = platform::Sha256Hex(version->data(), version->size());
        return true;
    }
    const std::string path = Join(directory, name);
    std::string content;
    std::uint64_t size = 0;
    std::string reason;
    if (!platform::ReadRegularFile(path, MaxListedBytes, &content, &size, &reason)) {
        return Fail(error, path, reason + " (listed in " + std::string(SumsFile) + ")");
    }
    if (size > MaxListedBytes) return Fail(error, path, "larger than 1 GiB (listed in " + std::string(SumsFile) + ")");
    *digest = platform::Sha256Hex(content.data(), content.size());
    return true;
}

// Absent: nothing to check, unless trusted keys ask for a signed list. Present: read once, its
// signature checked over those bytes, then every line a sha256sum line, every listed file
// matching; a signed list names every file of the set.
bool CheckSums(const std::string& directory, const std::string (&bytes)[KindCount], const std::string* version,
               PayloadSet* set, std::string* error) {
    const std::string path = Join(directory, SumsFile);
    std::string text;
    const bool present = platform::PathExists(path);
    if (present) {
        std::string reason;
        std::uint64_t size = 0;
        if (!platform::ReadRegularFile(path, MaxSumsBytes, &text, &size, &reason)) return Fail(error, path, reason);
        if (size > MaxSumsBytes) return Fail(error, path, "larger than 1 MiB, not a sha256sum list");
    }
    if (!CheckSetSignature(directory, present ? &text : nullptr, &set->signer_fingerprint, &set->signer_user_id, error)) {
        return false;
    }
    if (!present) return true;
    std::vector<std::string> listed;
    std::size_t start = 0;
    for (int number = 1; start < text.size(); ++number) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        std::string digest;
        std::string name;
        const std::string where = path + ":" + std::to_string(number);
        if (!ParseSumsLine(line, &digest, &name)) {
            return Fail(error, where, "not a sha256sum line (64 hex digits, two blanks, a file name)");
        }
        if (name.front() == '/' || name.find("..") != std::string::npos) {
            return Fail(error, where, "names a file outside the directory: " + name);
        }
        listed.push_back(name);
        std::string actual;
        if (!ListedDigest(directory, name, bytes, version, &actual, error)) return false;
        if (actual != digest) {
            return Fail(error, Join(directory, name),
                        "SHA-256 " + actual + " does not match " + std::string(SumsFile) + " (" + digest + ")");
        }
    }
    if (set->signer_fingerprint.empty()) return true;
    std::vector<std::string> needed;
    for (const auto& row : PayloadFiles) needed.push_back(row.file);
    needed.push_back(VersionFile);
    return CheckSignedList(path, listed, needed, error);
}

// The version file's bytes, read once; *present false when there is none.
bool ReadVersionFile(const std::string& directory, std::string* text, bool* present, std::string* error) {
    const std::string path = Join(directory, VersionFile);
    *present = platform::PathExists(path);
    if (!*present) return true;
    std::string reason;
    std::uint64_t size = 0;
    if (!platform::ReadRegularFile(path, MaxVersionBytes, text, &size, &reason)) return Fail(error, path, reason);
    if (size > MaxVersionBytes) return Fail(error, path, "longer than 256 bytes; it holds one line, the revision");
    return true;
}

// Absent: the set names no revision. Present: one line, trimmed, neither empty nor holding
// control characters.
bool ReadRevision(const std::string& directory, std::string text, bool present, std::string* revision,
                  std::string* error) {
    revision->clear();
    const std::string path = Join(directory, VersionFile);
    if (!present) return true;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.find('\n') != std::string::npos) return Fail(error, path, "more than one line; it holds the revision only");
    const std::size_t first = text.find_first_not_of(" \t");
    const std::size_t last = text.find_last_not_of(" \t");
    if (first == std::string::npos) return Fail(error, path, "empty; it names the set's firmware revision");
    text = text.substr(first, last - first + 1);
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return Fail(error, path, "holds a control character");
    }
    *revision = text;
    return true;
}

}  // namespace

const char* PayloadFileName(std::uint32_t kind) {
    for (const auto& row : PayloadFiles) {
        if (row.kind == kind) return row.file;
    }
    return nullptr;
}

bool UsePayloadDirectory(const std::string& directory, std::string* error) {
    std::string reason;
    if (!platform::CheckDirectory(directory, &reason)) return Fail(error, directory, reason);
    std::string bytes[KindCount];
    for (std::size_t i = 0; i < KindCount; ++i) {
        if (!ReadPayloadFile(directory, i, &bytes[i], error)) return false;
    }
    std::string version;
    bool have_version = false;
    if (!ReadVersionFile(directory, &version, &have_version, error)) return false;
    PayloadSet set;
    if (!CheckSums(directory, bytes, have_version ? &version : nullptr, &set, error)) return false;
    if (!ReadRevision(directory, version, have_version, &set.revision, error)) return false;
    set.source = PayloadSource::Directory;
    // Reports name the set by an absolute path: a relative one says nothing once the run is over.
    std::error_code ignored;
    const std::filesystem::path absolute = std::filesystem::absolute(directory, ignored);
    set.directory = absolute.empty() ? directory : absolute.string();
    for (std::size_t i = 0; i < KindCount; ++i) {
        if (PayloadFiles[i].kind == PayloadFirmware) set.sha256 = platform::Sha256Hex(bytes[i].data(), bytes[i].size());
        DirectoryBytes[i] = std::move(bytes[i]);
    }
    DirectorySet = std::move(set);
    DirectoryInUse.store(true);
    return true;
}

bool DirectoryPayload(std::uint32_t kind, const std::uint8_t** bytes, std::uint32_t* size) {
    if (!DirectoryInUse.load()) return false;
    for (std::size_t i = 0; i < KindCount; ++i) {
        if (PayloadFiles[i].kind != kind) continue;
        *bytes = reinterpret_cast<const std::uint8_t*>(DirectoryBytes[i].data());
        *size = static_cast<std::uint32_t>(DirectoryBytes[i].size());
        return true;
    }
    return false;
}

const PayloadSet* DirectoryPayloadSet() { return DirectoryInUse.load() ? &DirectorySet : nullptr; }

}  // namespace update
