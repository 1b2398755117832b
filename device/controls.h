// Implemented in device/controls.cpp.
// What the device controls need from the run they serve, and how they report: one ControlRun,
// part of the run's context, handed to this layer once by the program (UseControls) before
// any command runs. Its report is the shell's side: the pane, the prompt of a reset by hand,
// and the failures of controls that opened. A null entry of the report: nobody listens.
//
// Index: ControlFailure ControlReport ControlRun UseControls Controls ReportControlFailure
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace device {

// A control that failed once its device was open: the device ("RIL1:", "KernelIoControl"),
// the action ("reset", "reboot", ...), the error code, the line that explains it, and an
// adapter program's last line ("" when none).
struct ControlFailure {
    const char* device;
    const char* action;
    std::uint32_t error;
    const char* explanation;
    const char* adapter_line;
};

struct ControlReport {
    platform::LineReport lines;                                        // the pane; a device that did not open
    void (*control_failure)(const ControlFailure& failure) = nullptr;  // a control that failed
    void (*hand_reset_prompt)() = nullptr;                             // press the reset button now
};

struct ControlRun {
    // No radio driver and no reset line (`--reset none`): the person presses the module's reset
    // button when asked, so every radio control succeeds at once without a device.
    bool reset_by_hand = false;
    // 1 while the latest reboot request has not been accepted (from its start to its end).
    std::atomic<std::int32_t> reboot_failed{0};
    ControlReport report;
};

// The run the controls serve from now on; without one they work silently on their own.
void UseControls(ControlRun* run);
ControlRun& Controls();

// Explains a control that failed on the trace and to the report; returns the explanation.
std::string ReportControlFailure(const char* device, std::uint32_t code, std::uint32_t error);

}  // namespace device
