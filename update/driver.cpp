// The update driver: the update command, the updater thread with its handshake loop, and the
// caster thread that offers 0x55 to the module's boot ROM every 10 ms.
#include <cerrno>
#include <chrono>
#include <mutex>
#include <string>

#include "device/radio.h"
#include "device/reboot.h"
#include "update/cechat.h"
#include "update/payloads.h"
#include "update/preflight.h"
#include "update/protocol.h"
#include "update/update.h"
#include "update/verify.h"

namespace update {

namespace {

platform::RunSlot<UpdateRun> Slot;  // a caller that never handed a run: silent, initial options
thread_local std::string* held_open_failure = nullptr;

}  // namespace

void UseUpdateRun(UpdateRun* run) { Slot.Use(run); }
UpdateRun& UpdateRunOf() { return Slot.Get(); }
const platform::LineReport& Lines() { return UpdateRunOf().report.lines; }

std::string ExplanationText(const Explanation& explanation) {
    return explanation.fix.empty() ? explanation.reason : explanation.reason + explanation.joint + explanation.fix;
}

namespace {
// An explanation the run gives up with (or a refusal of the shared line) to the report.
void SayOpenFailure(const std::string& explanation) {
    if (auto report = Lines().open_failure) report(explanation.c_str());
}
}  // namespace

std::string ReportOpenFailure(const char* device, std::uint32_t error) {
    return platform::ExplainAndReportOpenFailure(Lines(), device, error, held_open_failure);
}

void HoldOpenFailures(std::string* last) { held_open_failure = last; }

const char* AfterRunName(AfterRun after) {
    switch (after) {
        case AfterRun::Resume: return "resume";
        case AfterRun::Keep: return "keep";
        default: return "reboot";
    }
}

void NoteRun(const RunNote& note) {
    if (auto report = UpdateRunOf().report.note) report(note);
}

namespace {

std::atomic<platform::Handle> CasterHandle{platform::InvalidHandle};
std::atomic<platform::Handle> UpdateThreadHandle{platform::InvalidHandle};
// The sender that started the run and awaits its end (`send --wait`); 0: none.
std::atomic<platform::ReplyTicket> RunReplyTicket{0};
// Held while the link opens and while a run is called off: a link either opened (and its port
// is given back by the process's ending) before the window went, or it never opens.
std::mutex LinkGate;
// The module port this run claimed ("" none): written before the run's thread starts, given
// back by EndRun before the next run can start.
std::string ClaimedPort;
bool RunCalledOff = false;  // guarded by LinkGate
bool LinkTaken = false;     // guarded by LinkGate: the run went on to open its link

// A close signal that leaves at once, as the main window's close handler decides, has come or
// is on its way: nobody is left to see the run.
bool LeavingAtOnce() {
    const platform::WParam origin = platform::CloseSignalOrigin();
    return origin == platform::CloseBySystem || (origin != 0 && !platform::ScreenIsInteractive());
}

// The end of every run: the outcome is kept and, for `firmware-utility update`, the window closes.
std::uint32_t EndRun(platform::Hwnd window, std::int32_t outcome, std::uint32_t thread_result) {
    RunNote end{RunStep::End};
    end.outcome = outcome;
    NoteRun(end);
    ReleaseClaim(&ClaimedPort);
    UpdateRunOf().state.outcome.store(outcome);
    UpdateRunOf().state.running.store(0);
    if (platform::ReplyTicket ticket = RunReplyTicket.exchange(0)) platform::CompleteReply(ticket, outcome);
    if (window != 0) platform::PostMessage(window, RunEndedMessage, 0, 0);
    if (UpdateRunOf().options.close_window_after_run && window != 0) {
        platform::PostMessage(window, platform::WM_CLOSE, 0, 0);
    }
    return thread_result;
}

void EndCaster() {
    platform::Handle caster = CasterHandle.exchange(platform::InvalidHandle);
    if (caster == platform::InvalidHandle) return;
    platform::TerminateThread(caster, 0);
    platform::CloseHandle(caster);
}

// The run's closing steps: the link closed, then the caster ended, each traced.
void CloseRun() {
    CloseModuleLink();
    platform::TracePrint(" Communication Port Closed!!\r\n");
    EndCaster();
    platform::TracePrint(" Communication Port Closed!!\r\n");
}

// The link hung up: nothing more can reach the module, so the run ends here instead of
// retrying the handshake at once forever. The radio driver stays as the run left it.
std::uint32_t EndRunModuleLost(platform::Hwnd window) {
    NoteRun({RunStep::ModuleLost});
    SetRunReason("the module link COM1: was lost");
    platform::SayLine(Lines(), window, "The module link COM1: was lost; the update has stopped\r\n");
    CloseRun();
    return EndRun(window, OutcomeModuleLost, 0);
}

// The module link carried other bytes than a module's acknowledgements while the image went
// out: whatever answered there was no module, so the run ends, and says how many came.
std::uint32_t EndRunLineNoise(platform::Hwnd window, std::uint32_t bytes) {
    std::string path;
    platform::ProfileDevicePath(ModuleLinkName, &path);
    SetRunReason("the module link COM1: (" + path + ") sent " + std::to_string(bytes) +
                 " bytes other than acknowledgements during the image; it carries noise, not a module's answers");
    platform::SayFormattedLine(Lines(), window, "The module link COM1: sent %u bytes of noise during the image; the update has stopped\r\n",
                           bytes);
    CloseRun();
    return EndRun(window, OutcomeLineNoise, 0);
}

// How an attempt ended short of stage 3.
enum class AttemptEnd { Silent, Refused };

// The attempts ran out: the run fails and says why. The radio driver stays suspended. When no
// reset ever succeeded the module was never asked: the reset is named, not the module.
std::uint32_t EndRunGaveUp(platform::Hwnd window, std::uint32_t attempts, AttemptEnd last, const Explanation& reset) {
    if (!reset.empty()) {
        SetRunReason("the module could not be reset in " + std::to_string(attempts) +
                     (attempts == 1 ? " attempt: " : " attempts: ") + reset.reason);
        platform::SayLine(Lines(), window, ("The module was never reset: " + reset.reason + "; the update has stopped\r\n").c_str());
        CloseRun();
        return EndRun(window, OutcomeGaveUp, 0);
    }
    SetRunReason(last == AttemptEnd::Silent ? "the module did not answer after " + std::to_string(attempts) + " attempts"
                                            : "the module did not accept the boot loaders after " +
                                                  std::to_string(attempts) + " attempts");
    platform::SayFormattedLine(Lines(), window,
                           last == AttemptEnd::Silent
                               ? "The module did not answer after %d attempts; the update has stopped\r\n"
                               : "The module did not accept the boot loaders after %d attempts; the update has stopped\r\n",
                           static_cast<int>(attempts));
    CloseRun();
    return EndRun(window, OutcomeGaveUp, 0);
}

// The module's reset cannot succeed: the run ends at its first attempt, naming the reset.
std::uint32_t EndRunResetImpossible(platform::Hwnd window, const Explanation& reset) {
    SetRunReason("the module could not be reset: " + reset.reason);
    platform::SayLine(Lines(), window, ("The module could not be reset, and a retry would fail alike: " + reset.reason +
                 "; the update has stopped\r\n").c_str());
    CloseRun();
    return EndRun(window, OutcomeControlFailed, 0);
}

// A preflight step refused the module's port (claimed by another run, or shared): said as the
// reason, on the trace and to the report, and on the pane as a port that did not open.
void SayPortRefused(platform::Hwnd window, const Explanation& refusal) {
    const std::string explanation = ExplanationText(refusal);
    SetRunReason(explanation);
    platform::TracePrint("%s\r\n", explanation.c_str());
    SayOpenFailure(explanation);
    platform::SayQuietLine(Lines(), window, "Open Comport fail!!\r\n");
}

// A run that succeeded past the image: the reboot request (the radio driver stays suspended),
// or the module given back to the radio driver, or both left as they are.
void FollowSuccess(platform::Hwnd window) {
    const AfterRun after = UpdateRunOf().options.after;
    UpdateRunOf().state.after_applied.store(true);
    if (after == AfterRun::Reboot) {
        // The box tells the reboot is on its way: only once the kernel took the request (a
        // refusal says so on the pane instead).
        if (device::RebootDevice(window) == 0) {
            platform::MessageBox(platform::NoWindow, "Reboot device/Reset module !", "Successful", platform::MB_OK);
        }
        return;
    }
    if (after == AfterRun::Resume) device::ResumeRadio(window);
    platform::SayQuietLine(Lines(), window, after == AfterRun::Resume ? "No reboot was requested (--after resume)\r\n"
                                        : UpdateRunOf().options.no_reboot_entry
                                            ? "No reboot entry: the handset is not rebooted\r\n"
                                            : "The radio driver stays suspended; no reboot was requested (--after keep)\r\n");
}

// One update per module: its port is claimed before the radio driver or the module is touched,
// and a port that another run (a headless update, a window) is updating is refused at once.
bool ClaimModulePort(platform::Hwnd window) {
    const Explanation refusal = ClaimStep(&ClaimedPort);
    if (refusal.empty()) return true;
    SayPortRefused(window, refusal);
    return false;
}

// A stage's start and end as the run reports them.
void NoteStage(std::uint32_t stage, std::uint32_t total) {
    RunNote note{RunStep::StageStart};
    note.stage = stage;
    note.total = total;
    NoteRun(note);
}
bool NoteStageEnd(std::uint32_t stage, bool accepted) {
    RunNote note{RunStep::StageEnd};
    note.stage = stage;
    note.accepted = accepted;
    NoteRun(note);
    return accepted;
}

bool AttemptsExhausted(std::uint32_t attempt) {
    const std::uint32_t limit = UpdateRunOf().options.max_attempts;
    return limit != 0 && attempt >= limit;
}

// A boot loader the module refused: true when that ends the run (the module is lost, or the
// attempts ran out), with the thread's result in *ended; else the caster casts again for the
// next attempt (stage 1 pauses before it resumes the caster, stage 2 after).
bool RefusedLoaderEndsRun(platform::Hwnd window, std::uint32_t attempt, std::uint32_t stage,
                          const char* trace_line, std::uint32_t* ended) {
    platform::TracePrint(trace_line);
    if (ModuleLinkLost()) return *ended = EndRunModuleLost(window), true;
    PurgeModuleLink();
    if (AttemptsExhausted(attempt)) return *ended = EndRunGaveUp(window, attempt, AttemptEnd::Refused, {}), true;
    if (stage == 1) platform::Sleep(1000);
    platform::ResumeThread(CasterHandle.load());
    if (stage == 2) platform::Sleep(1000);
    return false;
}

// One 0x55 to the boot ROM, from whichever thread casts it.
void CastOnce() {
    std::uint32_t written = 0;
    platform::WriteFile(ModulePort(), &CastingByte, 1, &written);
}

// The two boot loader stages, in order. Columns: stage, length, upload, trace line when the
// module refused it, trace line when it took it, log line when it took it.
struct LoaderStage {
    std::uint32_t stage;
    std::uint32_t length;
    std::int32_t (*upload)();
    const char* refused;
    const char* accepted;
    const char* logged;
};
constexpr LoaderStage LoaderStages[] = {
    {1, Boot1Length, UploadBootLoader1, " BootLoad1 upload fail!!  Restart sending 55h again!!\r\n",
     "BootLoad1 upload succeed!!  Prepare to send Bootload2\r\n", "Bootload1 updated!!\r\n"},
    {2, Boot2Length, UploadBootLoader2, "BootLoad2_v2_bin upload fail!!  Restart sending 55h again!!\r\n",
     "BootLoad2_v2_bin upload succeed!! Prepare to send update program\r\n", "Bootload2 updated!!\r\n"},
};

enum class HandshakeResult { Answered, Silent, Lost, ResetImpossible };

// How long a module link named by identity may stay away after its device went (a module that
// re-enumerates on reset: ttyACM0 comes back as ttyACM1), and the pause between two opens of
// a port that is back but does not open yet.
constexpr std::uint32_t PortReturnMs = 15000;
constexpr std::uint32_t ReopenPauseMs = 250;

// The link's device went away: when COM1: is a port that can come back (named by identity),
// waits (bounded) for the port that matches it to be back and opens it, the caster parked
// meanwhile. False when the link cannot be followed (a path, or the port did not come back).
bool FollowModuleLink() {
    std::string identity;
    if (!platform::DeviceCanComeBack(ModuleLinkName) || !platform::ProfileDevicePath(ModuleLinkName, &identity)) {
        return false;
    }
    platform::TracePrint("COM1: went away; waiting up to %u ms for %s\r\n", PortReturnMs, identity.c_str());
    platform::SuspendThread(CasterHandle.load());
    CloseModuleLink();
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(PortReturnMs);
    // A node that is back before udev's rules gave it its group fails a few opens: the trace
    // keeps each, the user hears of the last one only if the port never opens.
    std::string last_failure;
    HoldOpenFailures(&last_failure);
    bool back = false;
    for (auto now = Clock::now(); now < deadline && !back; now = Clock::now()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        if (!platform::WaitForPort(identity, static_cast<std::uint32_t>(left))) break;
        back = OpenModuleLink() != 0;
        if (!back) platform::Sleep(ReopenPauseMs);  // back, but not ready to open yet
    }
    HoldOpenFailures(nullptr);
    if (back) {
        std::string node;
        platform::ResolvePortPath(identity, &node);
        platform::TracePrint("COM1: back at %s\r\n", node.c_str());
    } else if (!last_failure.empty()) {
        SayOpenFailure(last_failure);
    }
    platform::ResumeThread(CasterHandle.load());  // without a port it writes nothing, and is ended with the run
    return back;
}

// One attempt: resets the module and waits for the boot ROM's 0xA0 while the caster casts,
// for one module time-out counted from the reset; then silences the caster and purges.
// The resets of a run's attempts: the latest failure, kept until a reset succeeds.
struct ResetTally {
    bool succeeded = false;
    Explanation failure;
};

HandshakeResult Handshake(std::uint32_t attempt, ResetTally* resets) {
    if (auto report = UpdateRunOf().report.attempt) report(attempt, UpdateRunOf().options.max_attempts);
    platform::TracePrint("!Cast 55h!\r\n");
    platform::Sleep(1000);
    // An 0xA0 from before this reset (a module still in its boot ROM) answers nothing.
    DiscardModuleInput();
    // A reset that failed for good (no modem lines, no such program) fails alike on every
    // retry: the run ends now. Any other failure may pass, and the attempt goes on.
    bool lasting = false;
    const Explanation failure = ResetStep(&lasting);
    if (failure.empty()) resets->succeeded = true;
    // Named at the end only while no reset has succeeded; a lasting one ends the run now.
    if (!failure.empty() && (!resets->succeeded || lasting)) resets->failure = failure;
    if (resets->succeeded && !lasting) resets->failure = {};
    if (lasting) return HandshakeResult::ResetImpossible;
    // The boot ROM listens from the reset on; the caster's next tick may be 10 ms away.
    CastOnce();
    using Clock = std::chrono::steady_clock;
    auto deadline = Clock::now() + std::chrono::milliseconds(UpdateRunOf().options.module_timeout_ms);
    // A wait ended early by a break or line error is followed by the next, within the same bound.
    for (auto now = Clock::now(); now < deadline; now = Clock::now()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        if (WaitForModuleByteFor(ReadyByte, static_cast<std::uint32_t>(left))) {
            platform::SuspendThread(CasterHandle.load());
            PurgeModuleLink();
            platform::TracePrint(" Get A0h, Stop Casting 55h!!! Start to send Bootload1\r\n");
            return HandshakeResult::Answered;
        }
        if (ModuleLinkLost()) {
            if (!FollowModuleLink()) return HandshakeResult::Lost;
            // Back under its identity: its boot ROM listens from now, for one more time-out.
            deadline = Clock::now() + std::chrono::milliseconds(UpdateRunOf().options.module_timeout_ms);
        }
    }
    return HandshakeResult::Silent;
}

}  // namespace

std::int32_t StartUpdate(platform::Hwnd window, std::uint16_t, platform::LParam, std::uint16_t) {
    // Refused before the radio driver or the module's port is touched.
    if (const Explanation& refusal = UpdateRunOf().options.refusal; !refusal.empty()) {
        platform::SayLine(Lines(), window, ("Update refused: " + platform::EscapeControls(ExplanationText(refusal)) + "\r\n").c_str());
        if (platform::ReplyTicket ticket = platform::DeferReply(OutcomeRefused)) {
            platform::CompleteReply(ticket, OutcomeRefused);
        }
        return 1;
    }
    // One run at a time: a second run would replace the link under the first.
    std::int32_t idle = 0;
    if (!UpdateRunOf().state.running.compare_exchange_strong(idle, 1)) {
        platform::SayLine(Lines(), window, "An update is already running\r\n");
        if (platform::ReplyTicket ticket = platform::DeferReply(OutcomeRefused)) {
            platform::CompleteReply(ticket, OutcomeRefused);
        }
        return 1;
    }
    {
        std::lock_guard gate(LinkGate);
        RunCalledOff = false;  // a window that went before this one called off its own run
        LinkTaken = false;
    }
    // A sender awaiting the run's end is answered by EndRun (or, window gone, as interrupted).
    RunReplyTicket.store(platform::DeferReply(OutcomeInterrupted));
    UpdateRunOf().state.after_applied.store(false);
    UpdateRunOf().state.image_confirmed.store(false);
    if (!ClaimModulePort(window)) {
        EndRun(window, OutcomeFailed, 1);
        return 1;
    }
    device::SuspendRadio(window);
    platform::Sleep(500);
    // A close that came meanwhile and leaves at once: no updater, nothing opens; the run stays
    // in progress and is reported interrupted.
    if (LeavingAtOnce()) {
        platform::TracePrint("Close requested before the link opened\r\n");
        return 1;
    }
    platform::Handle thread = platform::CreateThread(UpdateThread, reinterpret_cast<void*>(static_cast<std::uintptr_t>(window)));
    if (thread == 0) {
        platform::SayFormattedLine(Lines(), window, "Failed to start the update, error code: 0x%08lX\r\n",
                               static_cast<unsigned long>(platform::GetLastError()));
        EndRun(window, OutcomeFailed, 1);
        return 1;
    }
    platform::Handle previous = UpdateThreadHandle.exchange(thread);
    if (previous != platform::InvalidHandle) platform::CloseHandle(previous);
    return 1;
}

std::uint32_t UpdateThread(void* parameter) {
    const auto window = static_cast<platform::Hwnd>(reinterpret_cast<std::uintptr_t>(parameter));
    NoteRun({RunStep::Start});
    // A line another program has open (without a lock, else the open would fail) would carry
    // its bytes and ours mixed: refused before anything is written, unless --force.
    bool ours = false;
    if (const Explanation shared = SharersStep(&ours); !shared.empty()) {
        SayPortRefused(window, shared);
        return EndRun(window, OutcomeFailed, 1);
    }
    if (const std::int32_t early = CheckBeforeRun(window); early != OutcomeNone) {
        // Nothing was written: the radio driver goes back to the module it had.
        if (early == OutcomeAlreadyCurrent) device::ResumeRadio(platform::NoWindow);
        return EndRun(window, early, 0);
    }
    std::unique_lock gate(LinkGate);
    if (RunCalledOff || LeavingAtOnce()) {
        // Nothing opened, nothing cast: the run stays in progress and is reported interrupted.
        platform::TracePrint("Close requested before the link opened\r\n");
        return 1;
    }
    LinkTaken = true;
    const bool opened = OpenModuleLink() != 0;
    gate.unlock();
    if (!opened) {
        SetRunReason("the module link COM1: did not open");
        platform::TracePrint("Open com port failed!!\r\n");
        platform::SayQuietLine(Lines(), window, "Open Comport fail!!\r\n");
        return EndRun(window, OutcomeFailed, 1);
    }
    platform::TracePrint("Open com port succeed!!\r\n");
    CasterHandle.store(platform::CreateThread(CasterThread, nullptr));

    ResetTally resets;
    for (std::uint32_t attempt = 1;; ++attempt) {
        const HandshakeResult handshake = Handshake(attempt, &resets);
        if (handshake == HandshakeResult::Lost) return EndRunModuleLost(window);
        if (handshake == HandshakeResult::ResetImpossible) return EndRunResetImpossible(window, resets.failure);
        if (handshake == HandshakeResult::Silent) {
            if (AttemptsExhausted(attempt)) return EndRunGaveUp(window, attempt, AttemptEnd::Silent, resets.failure);
            continue;  // the caster still casts; the next attempt resets the module again
        }

        bool loaded = true;
        for (const LoaderStage& loader : LoaderStages) {
            NoteStage(loader.stage, loader.length);
            if (!NoteStageEnd(loader.stage, loader.upload() != 0)) {
                std::uint32_t ended = 0;
                if (RefusedLoaderEndsRun(window, attempt, loader.stage, loader.refused, &ended)) return ended;
                loaded = false;
                break;
            }
            platform::TracePrint(loader.accepted);
            PurgeModuleLink();
            platform::SayQuietLine(Lines(), window, loader.logged);
        }
        if (!loaded) continue;  // the caster casts again for the next attempt
        platform::SayQuietLine(Lines(), window, "Wait a moment please...\r\n");
        break;
    }

    NoteStage(3, FirmwareLength);
    const bool confirmed = NoteStageEnd(3, DownloadFirmwareImage(window) != 0);
    platform::TracePrint(confirmed ? " Upgrade succeed!! \r\n" : " Write to flash  fail!!  !!\r\n");
    if (!confirmed && ModuleLinkLost()) return EndRunModuleLost(window);
    if (!confirmed && UpdateRunOf().state.noise_bytes.load() > MaxImageNoiseBytes) return EndRunLineNoise(window, UpdateRunOf().state.noise_bytes.load());
    if (!confirmed) {
        SetRunReason("the module did not confirm the image");
        platform::SayLine(Lines(), window, "The module did not confirm the image; the update has failed\r\n");
    }
    CloseRun();
    if (!confirmed) return EndRun(window, OutcomeFailed, 0);
    // Only a module known to run the image, or one that cannot be asked, is rebooted.
    const std::int32_t verdict = VerifyAfterRun(window);
    if (OutcomeSucceeded(verdict)) FollowSuccess(window);
    return EndRun(window, verdict, 0);
}

void CallOffRun() {
    std::lock_guard gate(LinkGate);
    RunCalledOff = true;
}

bool WaitForRunThread(std::uint32_t milliseconds) {
    bool leaving_unopened;  // called off before its link: it returns at once, and is waited for
    {
        std::lock_guard gate(LinkGate);
        leaving_unopened = RunCalledOff && !LinkTaken;
    }
    if (UpdateRunOf().state.running.load() && !leaving_unopened) return false;  // still at work: it ends with the process
    platform::Handle thread = UpdateThreadHandle.load();
    return thread == platform::InvalidHandle || platform::WaitForThreadEnd(thread, milliseconds);
}

std::uint32_t CasterThread(void*) {
    // Ended cooperatively by the updater; a suspended caster is parked and writes nothing.
    while (!platform::ThreadStopRequested()) {
        CastOnce();
        platform::Sleep(10);
    }
    return 0;
}

}  // namespace update
