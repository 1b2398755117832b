// The embedded payloads: looked up by kind in the program's own resources (type "HEX"), with a
// trace line for each lookup, and listed with their sizes and digests.
#include "update/payloads.h"

#include <cstdio>
#include <string>

#include "platform/platform.h"
#include "resources/resources.h"

namespace update {
namespace {

struct PayloadRow {
    std::uint32_t kind;
    int id;
    const char* name;
    const char* trace;
};

// kind, resource id, name, trace line of the lookup
constexpr PayloadRow Payloads[] = {
    {PayloadBoot1, resources::IDR_BOOT1, "IDR_BOOT1", "get resource IDR_BOOT1 succeed!!!!\r\n"},
    {PayloadBoot2, resources::IDR_BOOT2, "IDR_BOOT2", "get resource IDR_BOOT2 succeed!!!!\r\n"},
    {PayloadFileSize, resources::IDR_FILE_SIZE, "IDR_FILE_SIZE", "get resource IDR_FILE_SIZE succeed!!!!\r\n"},
    {PayloadFirmware, resources::IDR_FW, "IDR_FW", "get resource IDR_FW succeed!!!!\r\n"},
};

const PayloadRow* FindKind(std::uint32_t kind) {
    for (const PayloadRow& row : Payloads) {
        if (row.kind == kind) return &row;
    }
    return nullptr;
}

}  // namespace

const std::uint8_t* LoadPayload(std::uint32_t kind) {
    const PayloadRow* row = FindKind(kind);
    if (row == nullptr) return nullptr;
    const std::uint8_t* from_directory = nullptr;
    std::uint32_t size = 0;
    if (DirectoryPayload(kind, &from_directory, &size)) {
        // A set read at run time is found and locked as the built-in one is, and says so alike.
        platform::TracePrint("%s", row->trace);
        platform::TracePrint("Yes, we lock resources!!!!\r\n");
        return from_directory;
    }
    const platform::Hinstance module = platform::GetModuleHandle();
    platform::Hrsrc found = platform::FindResource(module, row->id, resources::PayloadType);
    // The line is written before the lookup's outcome is known, as the handset's tool did.
    platform::TracePrint("%s", row->trace);
    if (found == 0) return nullptr;
    platform::Hglobal loaded = platform::LoadResource(module, found);
    if (loaded == nullptr) return nullptr;
    const void* bytes = platform::LockResource(loaded);
    platform::TracePrint("Yes, we lock resources!!!!\r\n");
    return static_cast<const std::uint8_t*>(bytes);
}

bool DescribePayload(std::uint32_t kind, const char** name, std::uint32_t* size, std::string* sha256) {
    const PayloadRow* row = FindKind(kind);
    if (row == nullptr) return false;
    *name = row->name;
    const std::uint8_t* from_directory = nullptr;
    if (DirectoryPayload(kind, &from_directory, size)) {
        *sha256 = platform::Sha256Hex(from_directory, *size);
        return true;
    }
    const platform::Hinstance module = platform::GetModuleHandle();
    platform::Hrsrc found = platform::FindResource(module, row->id, resources::PayloadType);
    platform::Hglobal loaded = found ? platform::LoadResource(module, found) : nullptr;
    if (loaded == nullptr) return false;
    *size = platform::SizeofResource(module, found);
    *sha256 = platform::Sha256Hex(platform::LockResource(loaded), *size);
    return true;
}

int ListPayloads() {
    int result = 0;
    for (const PayloadRow& row : Payloads) {
        const char* name = row.name;
        std::uint32_t size = 0;
        std::string digest;
        if (!DescribePayload(row.kind, &name, &size, &digest)) {
            std::printf("%u %d %-13s missing\n", row.kind, row.id, row.name);
            result = 1;
            continue;
        }
        std::printf("%u %d %-13s %8u %s\n", row.kind, row.id, row.name, size, digest.c_str());
    }
    std::printf("%s\n", PayloadSetLine().c_str());
    std::fflush(stdout);
    return result;
}

namespace {

// The built-in set, described once: stand-in or embedded comes from the build.
PayloadSet BuiltInSet() {
    PayloadSet set;
#ifdef FWU_PAYLOADS_STAND_IN
    set.source = PayloadSource::StandIn;
    set.revision = StandInRevision;
#else
    set.source = PayloadSource::Embedded;
    set.revision = FWU_PAYLOADS_REVISION;
#endif
    const char* name = "";
    std::uint32_t size = 0;
    DescribePayload(PayloadFirmware, &name, &size, &set.sha256);
    return set;
}

}  // namespace

const PayloadSet& CurrentPayloadSet() {
    if (const PayloadSet* directory = DirectoryPayloadSet()) return *directory;
    static const PayloadSet set = BuiltInSet();
    return set;
}

std::string PayloadSetLine() {
    const PayloadSet& set = CurrentPayloadSet();
    std::string line = set.source == PayloadSource::StandIn
                           ? "stand-in payloads (generated filler, only for a simulated handset)"
                       : set.source == PayloadSource::Embedded ? "embedded payloads"
                                                               : "payloads from " + set.directory;
    line += ", image sha256 " + (set.sha256.empty() ? std::string("unknown") : set.sha256);
    line += ", revision " + (set.revision.empty() ? std::string("not named") : set.revision);
    if (!set.signer_fingerprint.empty()) {
        line += ", signed by " + set.signer_fingerprint + " (" + set.signer_user_id + ")";
    } else if (set.source == PayloadSource::Directory) {
        line += ", not signature-checked";
    }
    return line;
}

const char* PayloadSourceName(PayloadSource source) {
    switch (source) {
    case PayloadSource::StandIn: return "stand-in";
    case PayloadSource::Embedded: return "embedded";
    case PayloadSource::Directory: return "directory";
    }
    return "stand-in";
}

}  // namespace update
