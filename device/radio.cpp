// The radio driver's three controls. Each operation opens "RIL1:", issues its control and
// closes the device again; the only difference between them is the code and the wording of
// their lines, so they share one procedure driven by a record per operation.
#include "device/radio.h"

#include "device/controls.h"

namespace device {

namespace {

thread_local ControlFault LastFault;

struct RadioControl {
    std::uint32_t code;
    const char* open_failed;     // "%08lX": the last-error code of the open
    const char* control_failed;  // "%08lX": the last-error code of the control
    const char* done;            // appended before the close, or nullptr
    bool done_needs_window;      // the success line only for a real window (ResetModule)
};

constexpr RadioControl Suspend = {
    IoctlSuspendRadio, "Failed to open RIL1:, error code: 0x%08lX\r\n",
    "Failed to suspend RIL action, error code: 0x%08lX\r\n", nullptr, false};
constexpr RadioControl Resume = {
    IoctlResumeRadio, "Failed to open RIL1:, error code: 0x%08lX\r\n",
    "Failed to resume RIL action, error code: 0x%08lX\r\n", "RIL has been resumed\r\n", false};
constexpr RadioControl Reset = {
    IoctlResetModule, "Failed to open RIL1,CANNOT reset:, error code: 0x%08lX\r\n",
    "Failed to reset GSM/GPRS module, error code: 0x%08lX\r\n", "GSM/GPRS has been reset\r\n", true};

std::int32_t RunRadioControl(platform::Hwnd window, const RadioControl& control) {
    const platform::LineReport& lines = Controls().report.lines;
    LastFault = {};
    if (Controls().reset_by_hand) {  // no driver to ask: the person resets the module
        auto prompt = Controls().report.hand_reset_prompt;
        if (control.code == IoctlResetModule && prompt != nullptr) prompt();
        return 0;
    }
    platform::Handle ril = platform::OpenDevice("RIL1:");
    if (ril == platform::InvalidHandle) {
        unsigned long error = platform::GetLastError();
        platform::SayFormattedLine(lines, window, control.open_failed, error);
        LastFault.explanation = platform::ExplainAndReportOpenFailure(lines, "RIL1:", static_cast<std::uint32_t>(error));
        LastFault.lasting = platform::ControlFailsForGood("RIL1:", control.code, static_cast<std::uint32_t>(error), false);
        return 1;
    }
    if (!platform::DeviceIoControl(ril, control.code, nullptr, 0, nullptr, 0, nullptr)) {
        unsigned long error = platform::GetLastError();
        platform::SayFormattedLine(lines, window, control.control_failed, error);
        LastFault.explanation = ReportControlFailure("RIL1:", control.code, static_cast<std::uint32_t>(error));
        LastFault.lasting = platform::ControlFailsForGood("RIL1:", control.code, static_cast<std::uint32_t>(error), true);
        platform::CloseHandle(ril);
        return 1;
    }
    if (control.done != nullptr && (window != 0 || !control.done_needs_window)) {
        platform::SayFormattedLine(lines, window, "%s", control.done);
    }
    platform::CloseHandle(ril);
    return 0;
}

}  // namespace

ControlFault LastControlFault() { return LastFault; }

std::int32_t SuspendRadio(platform::Hwnd window, std::uint16_t, platform::LParam, std::uint16_t) {
    return RunRadioControl(window, Suspend);
}

std::int32_t ResumeRadio(platform::Hwnd window, std::uint16_t, platform::LParam, std::uint16_t) {
    return RunRadioControl(window, Resume);
}

std::int32_t ResetModule(platform::Hwnd window, std::uint16_t, platform::LParam, std::uint16_t) {
    return RunRadioControl(window, Reset);
}

}  // namespace device
