// A payload set read at run time from a directory (--firmware DIR). Everything is read and
// checked before the set is taken, so a failed check leaves the built-in set in use and the
// program ends before any device opens. Each file is read once, into the memory the set is
// sent from; SHA256SUMS is checked against that memory (CheckSums), never against a second read.
#include <atomic>
#include <cctype>
#include <filesystem>
#include <map>
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
// Bounds on what is read besides the payloads: the sums list (a set's list is a few hundred
// bytes; this leaves room for hundreds of lines) and the revision line.
constexpr std::uint64_t MaxSumsBytes = 64 * 1024;
constexpr std::uint64_t MaxVersionBytes = 256;
constexpr std::size_t Sha256HexLength = 64;

// The set in use once taken; written once at start-up, before any thread reads it.
std::string DirectoryBytes[KindCount];
PayloadSet DirectorySet;
std::atomic<bool> DirectoryInUse{false};

bool ReadPayloadFile(const std::string& directory, std::size_t index, std::string* bytes, std::string* error) {
    const std::string path = JoinPath(directory, PayloadFiles[index].file);
    const std::uint32_t length = PayloadFiles[index].length;
    std::uint64_t size = 0;
    if (!platform::ReadRegularFile(path, length, bytes, &size)) return FailAt(error, path, platform::LastErrorText());
    if (size != length) {
        return FailAt(error, path,
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

// "./fw.bin", ".//fw.bin" -> "fw.bin": the name within the directory, its "." and empty
// components dropped. False for a name that leaves the directory (absolute, or with "..").
bool NormalName(const std::string& name, std::string* normal) {
    normal->clear();
    if (name.front() == '/') return false;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find('/', start);
        if (end == std::string::npos) end = name.size();
        const std::string part = name.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") return false;
        *normal += (normal->empty() ? "" : "/") + part;
    }
    return !normal->empty();
}

// A file of the set as it was read, once: the bytes the checks hash are the bytes sent.
struct SetFile {
    const char* name;
    const std::string* bytes;  // nullptr when the set has no such file (no version)
};

// A file the set may have. Absent: *present false. Present: read whole, at most `limit` bytes,
// a larger one refused with `too_large`.
bool ReadOptionalFile(const std::string& directory, const char* name, std::uint64_t limit, const char* too_large,
                      bool* present, std::string* text, std::string* error) {
    const std::string path = JoinPath(directory, name);
    *present = platform::PathExists(path);
    if (!*present) return true;
    std::uint64_t size = 0;
    if (!platform::ReadRegularFile(path, limit, text, &size)) return FailAt(error, path, platform::LastErrorText());
    if (size > limit) return FailAt(error, path, too_large);
    return true;
}

// Absent: *present false. Present: read whole, at most MaxSumsBytes.
bool ReadSums(const std::string& directory, bool* present, std::string* text, std::string* error) {
    return ReadOptionalFile(directory, SumsFile, MaxSumsBytes,
                            "larger than 64 KiB, not a sha256sum list of a payload set", present, text, error);
}

// The sums list `text` (DIR/SHA256SUMS as read) against the set's files in memory: every line a
// sha256sum line whose name, normalised, stays in the directory and is listed once; each
// listed file of the set matches its digest. A name that is no file of the set is passed
// over without being read. *listed gets the normalised names, for a signed list's check.
bool CheckSums(const std::string& directory, const std::string& text, const SetFile* files, std::size_t count,
               std::vector<std::string>* listed_names, std::string* error) {
    const std::string path = JoinPath(directory, SumsFile);
    std::map<std::string, int> listed_on;  // normalised name -> its line
    std::size_t start = 0;
    for (int number = 1; start < text.size(); ++number) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        std::string listed;
        std::string name;
        std::string normal;
        const std::string where = path + ":" + std::to_string(number);
        if (!ParseSumsLine(line, &listed, &name)) {
            return FailAt(error, where, "not a sha256sum line (64 hex digits, two blanks, a file name)");
        }
        if (!NormalName(name, &normal)) return FailAt(error, where, "names a file outside the directory: " + name);
        if (const auto [first, fresh] = listed_on.emplace(normal, number); !fresh) {
            return FailAt(error, where, "lists " + normal + " again (first on line " + std::to_string(first->second) + ")");
        }
        listed_names->push_back(normal);
        for (std::size_t i = 0; i < count; ++i) {
            if (files[i].bytes == nullptr || normal != files[i].name) continue;
            const std::string actual = platform::Sha256Hex(files[i].bytes->data(), files[i].bytes->size());
            if (actual != listed) {
                return FailAt(error, JoinPath(directory, normal),
                            "SHA-256 " + actual + " does not match " + std::string(SumsFile) + " (" + listed + ")");
            }
        }
    }
    return true;
}

// Absent: *present false. Present: its bytes, at most MaxVersionBytes.
bool ReadVersion(const std::string& directory, bool* present, std::string* text, std::string* error) {
    return ReadOptionalFile(directory, VersionFile, MaxVersionBytes,
                            "longer than 256 bytes; it holds one line, the revision", present, text, error);
}

// The revision a version file's bytes name: one line, trimmed, neither empty nor holding
// control characters.
bool RevisionFrom(const std::string& directory, std::string text, std::string* revision, std::string* error) {
    const std::string path = JoinPath(directory, VersionFile);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    if (!text.empty() && text.back() == '\r') text.pop_back();
    if (text.find('\n') != std::string::npos) return FailAt(error, path, "more than one line; it holds the revision only");
    const std::size_t first = text.find_first_not_of(" \t");
    const std::size_t last = text.find_last_not_of(" \t");
    if (first == std::string::npos) return FailAt(error, path, "empty; it names the set's firmware revision");
    text = text.substr(first, last - first + 1);
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return FailAt(error, path, "holds a control character");
    }
    *revision = text;
    return true;
}

}  // namespace

std::string JoinPath(const std::string& directory, const std::string& name) {
    if (!directory.empty() && directory.back() == '/') return directory + name;
    return directory + "/" + name;
}

bool FailAt(std::string* error, const std::string& path, const std::string& reason) {
    *error = path + ": " + reason;
    return false;
}

const char* PayloadFileName(std::uint32_t kind) {
    for (const auto& row : PayloadFiles) {
        if (row.kind == kind) return row.file;
    }
    return nullptr;
}

bool UsePayloadDirectory(const std::string& directory, std::string* error) {
    if (!platform::CheckDirectory(directory)) return FailAt(error, directory, platform::LastErrorText());
    std::string bytes[KindCount];
    for (std::size_t i = 0; i < KindCount; ++i) {
        if (!ReadPayloadFile(directory, i, &bytes[i], error)) return false;
    }
    // Each file is read once; the sums are checked against those bytes, which are what is sent.
    bool has_version = false;
    std::string version;
    if (!ReadVersion(directory, &has_version, &version, error)) return false;
    SetFile files[KindCount + 1];
    for (std::size_t i = 0; i < KindCount; ++i) files[i] = {PayloadFiles[i].file, &bytes[i]};
    files[KindCount] = {VersionFile, has_version ? &version : nullptr};
    bool has_sums = false;
    std::string sums;
    if (!ReadSums(directory, &has_sums, &sums, error)) return false;
    // The signature covers the very bytes of the list that are then checked.
    PayloadSet set;
    if (!CheckSetSignature(directory, has_sums ? &sums : nullptr, &set.signer_fingerprint, &set.signer_user_id, error)) {
        return false;
    }
    std::vector<std::string> listed;
    if (has_sums && !CheckSums(directory, sums, files, KindCount + 1, &listed, error)) return false;
    if (!set.signer_fingerprint.empty()) {
        // A signed list names every file of the set.
        std::vector<std::string> needed;
        for (const auto& row : PayloadFiles) needed.push_back(row.file);
        needed.push_back(VersionFile);
        if (!CheckSignedList(JoinPath(directory, SumsFile), listed, needed, error)) return false;
    }
    if (has_version && !RevisionFrom(directory, version, &set.revision, error)) return false;
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
