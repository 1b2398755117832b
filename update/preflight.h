// Implemented in update/preflight.cpp.
// The steps of an update before its first byte to the module, each giving a value: empty when
// the step passed, else an explanation (device, path, reason, fix, an adapter's last line).
// The update runs them where its run needs them (StartUpdate: the refusal and the claim; the
// updater thread: the sharers, the identity read, the link's open; each handshake attempt: the
// reset); `check` runs the same functions, in the same order, and stops before the first step
// that writes to the module. PreflightSteps is that order, each row marked whether it writes.
//
// Index: PreflightStep PreflightRow PreflightSteps RefusalStep ClaimStep ReleaseClaim SharersStep
// ResetStep
#pragma once

#include <string>

#include "update/run.h"

namespace update {

enum class PreflightStep { Refusal, Claim, Sharers, Open, Identity, Reset, Handshake };
struct PreflightRow {
    PreflightStep step;
    const char* name;
    bool writes_to_module;
};
inline constexpr PreflightRow PreflightSteps[] = {
    {PreflightStep::Refusal, "refusal", false},   // the run's refusal, before any device opens
    {PreflightStep::Claim, "claim", false},       // one update per module
    {PreflightStep::Sharers, "sharers", false},   // no other program on the line (unless --force)
    {PreflightStep::Open, "open", false},         // the devices open and take the link's settings
    {PreflightStep::Identity, "identity", false}, // the module's revision on its AT port (read-only)
    {PreflightStep::Reset, "reset", false},       // a reset: harmless before an update
    {PreflightStep::Handshake, "handshake", true},// 0x55 to the boot ROM: the first byte written
};

// The run's refusal (update/run.h), empty when the run may go on.
Explanation RefusalStep();
// Claims the module port for this run; *claimed gets the port to give back with ReleaseClaim
// ("" when nothing was claimed: no entry, or an identity that matches no port now, which the
// open explains). Refused when another run of this program is updating it.
Explanation ClaimStep(std::string* claimed);
void ReleaseClaim(std::string* claimed);
// Another program with the module link open without a lock: refused unless --force. Only a
// serial port is asked (a node that is none is explained by its open). *ours: all of them are
// this program.
Explanation SharersStep(bool* ours);
// One reset of the module as a handshake attempt does it (the radio driver's control, a
// modem-line pulse, or a program); the reason is the control's explanation; *lasting: a retry
// would fail alike.
Explanation ResetStep(bool* lasting);

}  // namespace update
