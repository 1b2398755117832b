// The handset reboot: "KernelIoControl" is looked up in "COREDLL.DLL" at each call and given
// the hardware-abstraction layer's reboot request. The library reference is dropped before the
// entry is used: the core library stays loaded for the whole process, so the entry stays valid.
#include "device/reboot.h"

#include <cerrno>

#include "device/controls.h"

namespace device {

std::int32_t RebootDevice(platform::Hwnd window, std::uint16_t, platform::LParam, std::uint16_t) {
    const platform::LineReport& lines = Controls().report.lines;
    Controls().reboot_failed.store(1);  // until the request is accepted
    platform::Handle coredll = platform::LoadLibrary("COREDLL.DLL");
    if (coredll == 0) {
        platform::SayQuietLine(lines, window, "LoadLibrary() call fails !\r\n");
        return 1;
    }
    void* entry = platform::GetProcAddress(coredll, "KernelIoControl");
    if (entry == nullptr) {
        platform::SayQuietLine(lines, window, "GetProcAddress() call fails !\r\n");
        platform::FreeLibrary(coredll);
        return 1;
    }
    if (!platform::FreeLibrary(coredll)) {
        platform::SayQuietLine(lines, window, "Coredll.dll is not freed !\r\n");
    }
    auto kernel_io_control = reinterpret_cast<platform::KernelIoControlProc>(entry);
    if (kernel_io_control(IoctlHalReboot, nullptr, 0, nullptr, 0, nullptr) == 0) {
        // Why the kernel could not be reached, and what to do, goes to the trace (and stderr).
        const std::uint32_t error = platform::GetLastError();
        // A kernel entry that is not there is explained as a device that did not open; one that
        // ran and failed, or never ended, as a failed control.
        if (platform::KernelControlUnanswered() && error != ETIMEDOUT) {
            platform::ExplainAndReportOpenFailure(lines, "KernelIoControl", error);
        } else {
            ReportControlFailure("KernelIoControl", IoctlHalReboot, error);
        }
        platform::SayQuietLine(lines, window, "Failed to call KernelIoControl() to reboot!\r\n");
        return 1;
    }
    Controls().reboot_failed.store(0);
    return 0;
}

}  // namespace device
