// Implemented in update/payload_dir.cpp and update/payloads.cpp.
// The embedded payload set: the two boot loaders, the size record and the firmware image, as
// resources of type "HEX", ids 107 to 110. Read-only bytes valid for the life of the process.
//
// The set is the one built in (a generated stand-in, or a real set embedded at build time) unless
// a directory set was loaded at start-up (--firmware DIR, update/payload_dir.cpp); LoadPayload
// then serves that set's bytes with the same trace lines. CurrentPayloadSet says which set is
// in use, for every report of a run.
//
// Index: PayloadKind LoadPayload DescribePayload ListPayloads | PayloadSource PayloadSet
// CurrentPayloadSet PayloadSourceName StandInRevision PayloadSetLine | UsePayloadDirectory
// DirectoryPayload DirectoryPayloadSet PayloadFileName JoinPath FailAt
#pragma once

#include <cstdint>
#include <string>

namespace update {

enum PayloadKind : std::uint32_t { PayloadBoot1 = 1, PayloadBoot2 = 2, PayloadFileSize = 3, PayloadFirmware = 4 };

inline constexpr std::uint32_t Boot1Length = 184;
inline constexpr std::uint32_t Boot2Length = 7414;
inline constexpr std::uint32_t FileSizeLength = 3;
inline constexpr std::uint32_t FirmwareLength = 2481250;

// The address of the payload's first byte, or nullptr (kind not 1 to 4, lookup or load failed).
const std::uint8_t* LoadPayload(std::uint32_t kind);
// A payload's resource name, size and SHA-256 (64 lower-case hex digits), without a trace
// line; false when it is missing.
bool DescribePayload(std::uint32_t kind, const char** name, std::uint32_t* size, std::string* sha256);
// `firmware-utility payloads`: one line per payload on stdout (kind, resource id, name, size,
// SHA-256), then PayloadSetLine. 0 when all four are present, 1 when one is missing.
int ListPayloads();

// Where the payload set comes from: generated stand-in filler (fit only for a simulated module),
// a real set embedded at build time, or a directory given at run time.
enum class PayloadSource { StandIn, Embedded, Directory };
struct PayloadSet {
    PayloadSource source = PayloadSource::StandIn;
    std::string directory;  // Directory: the directory the set was read from
    std::string sha256;     // SHA-256 of the image (fw.bin), 64 lower-case hex digits
    std::string revision;   // the set's firmware revision; empty when the set names none
    std::string signer_fingerprint;  // the trusted key whose signature covers SHA256SUMS; empty: unsigned
    std::string signer_user_id;
};
// The set the run uses, fixed at start-up.
const PayloadSet& CurrentPayloadSet();
// "stand-in", "embedded", "directory".
const char* PayloadSourceName(PayloadSource source);
// The stand-in set's revision: the one the banner shows.
inline constexpr char StandInRevision[] = "V.4.2.0";
// One line on the set in use, for --version, `payloads`, the trace and the run's summary:
// "stand-in payloads (generated filler, only for a simulated handset), image sha256 HEX,
// revision V.4.2.0"; "embedded payloads, ..."; "payloads from DIR, ...", which ends
// ", signed by FINGERPRINT (USER ID)" or ", not signature-checked".
std::string PayloadSetLine();

// ---- a set read at run time (update/payload_dir.cpp)
// The file a kind is read from in a set's directory: "boot1.bin", "boot2.bin", "filesize.bin",
// "fw.bin"; nullptr for a kind outside 1 to 4.
const char* PayloadFileName(std::uint32_t kind);
// Reads DIR's four files (each a regular file of exactly the stage's length), checks them
// against DIR/SHA256SUMS when there is one (every file it lists must match) and reads the
// revision from DIR/version when there is one (one line, not empty). Then the set is the one
// in use. False with *error "PATH: reason" and nothing changed. Called once, at start-up.
bool UsePayloadDirectory(const std::string& directory, std::string* error);
// The directory set's bytes of a kind; false when no directory set is in use.
bool DirectoryPayload(std::uint32_t kind, const std::uint8_t** bytes, std::uint32_t* size);
// The directory set, or nullptr when the built-in one is in use.
const PayloadSet* DirectoryPayloadSet();
// Paths and errors of a set's files and of the trusted keys (update/set_signature.cpp too):
// NAME in DIRECTORY, one slash between them; false with *error "PATH: reason".
std::string JoinPath(const std::string& directory, const std::string& name);
bool FailAt(std::string* error, const std::string& path, const std::string& reason);

}  // namespace update
