// Implemented in update/bootloader.cpp, update/driver.cpp and update/image.cpp.
// The firmware update: the update command, the updater and caster threads, and the three
// upload stages. One run at a time: a second update command while a run is in progress is
// refused, so the link under the running run is never replaced.
//
// How a run goes: StartUpdate suspends the radio driver and starts UpdateThread, which opens
// the module link, starts the caster (0x55 every 10 ms), resets the module and waits for 0xA0,
// then runs stage 1 and stage 2 (a failure goes back to casting) and stage 3 once. Every run
// reaches a verdict: the handshake attempts are bounded by the run's max_attempts, stage 3 gives up on a
// module that stops acknowledging and on a line that sends other bytes than acknowledgements
// (MaxImageNoiseBytes), and a module link that hangs up ends the run at once. The
// module's revision is read on its AT port before the handshake and after a confirmed image
// (update/verify.h); the reboot is requested only when the image is known to run. The steps
// before the first byte to the module are update/preflight.h's, which `check` runs too.
//
// Index: StartUpdate UpdateThread CasterThread UploadBootLoader1 UploadBootLoader2
// DownloadFirmwareImage SendLoaderChunks StreamImage CallOffRun WaitForRunThread MissedAck |
// AfterRunName RunStep RunNote NoteRun RunEndedMessage MaxImageNoiseBytes; the run's options,
// report and state in update/run.h; the outcomes and their table in update/outcomes.h
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"
#include "update/outcomes.h"
#include "update/run.h"

namespace update {

// What a run reports as it goes, for `update`'s progress line and its --events: told from the
// updater thread (End also from the thread that failed to start it) through the run's report
// (update/run.h). ModuleRead: the module's identity was read on its AT port (update/verify.h
// LastRunFacts).
enum class RunStep { Start, StageStart, StageEnd, Progress, ModuleLost, ModuleRead, End };
struct RunNote {
    RunStep step;
    std::uint32_t stage = 0;        // 1, 2 (the boot loaders), 3 (the image)
    bool accepted = false;          // StageEnd: the module accepted the stage
    std::uint32_t bytes = 0;        // StageStart, Progress: bytes of the stage sent so far
    std::uint32_t total = 0;        //                       of this many
    std::uint32_t chunks = 0;       // Progress: chunks sent
    std::uint32_t chunk_total = 0;  //           of this many
    std::int32_t outcome = OutcomeNone;  // End
    bool after = false;             // ModuleRead: after the image (else before the handshake)
};
void NoteRun(const RunNote& note);

// "reboot", "resume", "keep".
const char* AfterRunName(AfterRun after);

// Posted to the window when a run has ended (a private message, application range).
inline constexpr std::uint32_t RunEndedMessage = 0x8000 + 118;

std::int32_t StartUpdate(platform::Hwnd window, std::uint16_t id = 0, platform::LParam lparam = 0,
                         std::uint16_t code = 0);
std::uint32_t UpdateThread(void* window);
// The window is going: a run whose link has not opened yet never opens it (it stays in progress,
// so it is reported interrupted). Returns once a link being opened has opened.
void CallOffRun();
// After a run has ended, or was called off before its link opened: waits for its thread to
// return (its last steps after the outcome). False at once while a run is still at work.
bool WaitForRunThread(std::uint32_t milliseconds);
std::uint32_t CasterThread(void* unused);

std::int32_t UploadBootLoader1();
std::int32_t UploadBootLoader2();
std::int32_t DownloadFirmwareImage(platform::Hwnd window);

// Acknowledgements of a chunked stage (2 or 3) that did not come: the stage gives up at the
// second in a row, or the third in all, so a module that stops answering fails the stage
// within a few time-outs instead of one per chunk.
struct AckTally {
    int in_row = 0;
    int total = 0;
    std::uint32_t dropped = 0;  // stage 3: bytes dropped while awaiting acknowledgements
};
// While the image goes out (stage 3, after the memory check, where a module reports more than
// its 0xA5) a module sends nothing but its acknowledgements: one byte per awaited one. Past
// this many other bytes the line carries noise, not a module, and the run ends as line noise.
// A sound module drops none; the simulated module's stray-byte faults drop 3 or 4 at a time;
// random bytes drop about 255 per awaited 0xAA, so they pass this bound at the first one or two.
inline constexpr std::uint32_t MaxImageNoiseBytes = 16;
// Counts one wait's result; true when the stage is to give up (and from then on).
bool MissedAck(AckTally* tally, bool acknowledged);
bool TooManyMissed(const AckTally& tally);

// The stage-2 chunk loop over a loader of any length: chunks of 1000 each acknowledged by
// 0xAA, a shorter last one traced; it stops early when the link is lost or the module stopped
// acknowledging (*tally). Returns the XOR of the bytes sent; *remaining gets what is left.
std::uint8_t SendLoaderChunks(const std::uint8_t* loader, std::uint32_t length, std::uint32_t* remaining,
                              AckTally* tally);


// The stage-3 chunk loop over an image of any length: chunks of 4000 each acknowledged by
// 0xAA, a shorter last one traced and not acknowledged, a "#" per chunk and a line break per 23.
// False when the module link was lost on the way or the module stopped acknowledging.
struct ImageChecksums {
    std::uint8_t even;
    std::uint8_t odd;
};
bool StreamImage(platform::Hwnd window, const std::uint8_t* image, std::uint32_t length,
                 ImageChecksums* sums, AckTally* tally);

}  // namespace update
