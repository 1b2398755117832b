// Libraries by name. Only "COREDLL.DLL" exists (any case, ".DLL" optional): it is built into
// the platform layer and has one entry, "KernelIoControl", which sends its control code to the
// profile's [kernel] service or program. Each LoadLibrary is a reference of its own (a handle);
// FreeLibrary drops it. The fault seam can make each of the three calls fail.
#include <cerrno>
#include <memory>
#include <string>

#include "platform/base/handles.h"
#include "platform/base/sys.h"
#include "platform/testing.h"
#include "platform/devices/devices.h"
#include "platform/devices/kinds.h"
#include "platform/devices/profile.h"
#include "platform/base/system.h"

namespace platform {
namespace {

struct Library : internal::Object {};

bool IsCoreLibrary(const char* name) {
    std::string upper;
    for (const char* p = name; *p; ++p) upper += (*p >= 'a' && *p <= 'z') ? static_cast<char>(*p - 32) : *p;
    return upper == "COREDLL.DLL" || upper == "COREDLL";
}

thread_local bool kernel_unanswered = false;

// The [kernel] entry's row of the kind table: a program or a service; null when it has none.
const DeviceKind* KernelKind(std::string* value) {
    std::string name;
    *value = internal::DeviceEntry(CurrentProfile(), internal::KernelEntryName, &name);
    if (value->empty()) {
        SetLastError(ENOENT);  // this handset has no kernel service
        return nullptr;
    }
    return internal::KindOfEntryText(name, *value);
}

int KernelIoControl(std::uint32_t code, void* in, std::uint32_t in_size, void* out,
                    std::uint32_t out_size, std::uint32_t* returned) {
    kernel_unanswered = true;
    (void)in;
    (void)in_size;
    (void)out;
    (void)out_size;
    if (returned) *returned = 0;
    std::string value;
    const DeviceKind* kind = KernelKind(&value);
    if (kind == nullptr) return 0;
    const internal::ControlResult result = kind->control("KernelIoControl", value, code);
    kernel_unanswered = result == internal::ControlResult::Unanswered;
    return result == internal::ControlResult::Done ? 1 : 0;
}

}  // namespace

bool KernelControlUnanswered() { return kernel_unanswered; }

bool ProbeKernelService() {
    std::string value;
    const DeviceKind* kind = KernelKind(&value);
    return kind != nullptr && kind->ready(value);
}

Handle LoadLibrary(const char* name) {
    if (TakeFault(Fault::LoadLibrary) || name == nullptr || !IsCoreLibrary(name)) {
        SetLastError(ENOENT);
        return 0;
    }
    return internal::InsertObject(std::make_shared<Library>());
}

void* GetProcAddress(Handle library, const char* entry) {
    if (!internal::Lookup<Library>(library)) {
        SetLastError(EBADF);
        return nullptr;
    }
    // Entry names match exactly, as the handset's loader does.
    if (TakeFault(Fault::GetProcAddress) || entry == nullptr ||
        std::string(entry) != "KernelIoControl") {
        SetLastError(ENOENT);
        return nullptr;
    }
    KernelIoControlProc proc = KernelIoControl;
    return reinterpret_cast<void*>(proc);
}

// A refused release keeps the reference, as it would on the handset.
bool FreeLibrary(Handle library) {
    if (!internal::Lookup<Library>(library)) {
        SetLastError(EBADF);
        return false;
    }
    if (TakeFault(Fault::FreeLibrary)) {
        SetLastError(EBUSY);
        return false;
    }
    return internal::RemoveObject(library);
}

}  // namespace platform
