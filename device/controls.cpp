#include "device/controls.h"

namespace device {
namespace {

platform::RunSlot<ControlRun> Slot;  // a caller that never handed a run: every report is silent

}  // namespace

void UseControls(ControlRun* run) { Slot.Use(run); }
ControlRun& Controls() { return Slot.Get(); }

std::string ReportControlFailure(const char* device, std::uint32_t code, std::uint32_t error) {
    std::string adapter_line;
    const std::string explanation = platform::ExplainControlFailure(device, code, error, &adapter_line);
    platform::TracePrint("%s\r\n", explanation.c_str());
    if (auto report = Controls().report.control_failure) {
        const std::string action = platform::ControlName(code);
        report({device, action.c_str(), error, explanation.c_str(), adapter_line.c_str()});
    }
    return explanation;
}

}  // namespace device
