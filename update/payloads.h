// The embedded payload set: the two boot loaders, the size record and the firmware image, as
// resources of type "HEX", ids 107 to 110. Read-only bytes valid for the life of the process.
//
// Index: PayloadKind LoadPayload DescribePayload ListPayloads
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
// SHA-256). 0 when all four are present, 1 when one is missing.
int ListPayloads();

}  // namespace update
