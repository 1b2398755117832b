// Header only: the outcome numbers, their table and its lookups.
// How an update run ends, in one table scanned from the first row: the number UpdateOutcome
// holds (and an awaiting sender, `send --wait 118`, is answered), the name the events, the
// record and the stations' table give it, the exit code of `update` (0 only for a success, the
// one a reboot or --after follows), what `send --wait` says of it, and the verdict line that
// `update` ends with on stderr, when it says one. A number the table does not have (OutcomeNone:
// the run never ended) is named as interrupted and ends `update` with 1. The stations' parent
// (shell/stations.h) names a child that wrote no run_end by the last two rows, its own.
//
// Index: OutcomeNone OutcomeConfirmed ... OutcomeUnfinished | VerdictFill OutcomeRow Outcomes
// FindOutcome FindOutcomeNamed OutcomeName OutcomeExitCode OutcomeSucceeded OutcomeRevisionKnown
// UnknownOutcomeLine
#pragma once

#include <cstdint>
#include <string_view>

namespace update {

// Outcomes of the latest run.
inline constexpr std::int32_t OutcomeNone = -1;         // no run has ended yet
inline constexpr std::int32_t OutcomeConfirmed = 0;     // the module accepted the image
inline constexpr std::int32_t OutcomeFailed = 1;        // link not opened or stage 3 failed
inline constexpr std::int32_t OutcomeModuleLost = 2;    // the module link hung up
inline constexpr std::int32_t OutcomeGaveUp = 3;        // the handshake attempts ran out
// What an awaiting sender (`send --wait 118`) is answered besides the outcomes above.
inline constexpr std::int32_t OutcomeRefused = 4;      // another run was in progress
inline constexpr std::int32_t OutcomeInterrupted = 5;  // the window closed before the run ended
// The verdict on a confirmed image (update/verify.h), and a run that had nothing to do.
inline constexpr std::int32_t OutcomeVerified = 6;          // it runs the expected revision
inline constexpr std::int32_t OutcomeRevisionMismatch = 7;  // it runs another revision
inline constexpr std::int32_t OutcomeNotVerified = 8;       // its AT port gave no revision in time
inline constexpr std::int32_t OutcomeAlreadyCurrent = 9;    // --skip-current: it ran it before
inline constexpr std::int32_t OutcomeLineNoise = 10;        // the link carried noise during the image
inline constexpr std::int32_t OutcomeControlFailed = 11;    // the module's reset cannot succeed
// A station's child that ended without a run_end: before its run began, or in the middle of it.
inline constexpr std::int32_t OutcomeNotStarted = 12;
inline constexpr std::int32_t OutcomeUnfinished = 13;

// What fills the %s of a verdict line, from the run's facts (update/verify.h RunFacts).
enum class VerdictFill {
    Reason,                  // why it failed or was not checked
    RevisionBefore,          // the revision read before the run
    RevisionAfterAndBefore,  // the revision read after the image, then before ("unknown": none)
};

struct OutcomeRow {
    std::int32_t outcome;
    const char* name;
    int exit_code;        // of `update`
    bool revision_known;  // the module is known to run the expected revision
    const char* awaited;  // what `send --wait` says
    const char* verdict;  // the verdict line after "NAME: ", printf-style; null: none
    VerdictFill fill;
};

inline constexpr OutcomeRow Outcomes[] = {
    {OutcomeConfirmed, "confirmed", 0, false, "the module confirmed the image",
     "the module accepted the image; the firmware running was not checked (%s)", VerdictFill::Reason},
    {OutcomeFailed, "failed", 1, false, "the update failed", nullptr, VerdictFill::Reason},
    {OutcomeModuleLost, "module_lost", 1, false, "the module link was lost", nullptr, VerdictFill::Reason},
    {OutcomeGaveUp, "gave_up", 1, false, "the module did not answer; the update gave up", nullptr, VerdictFill::Reason},
    {OutcomeRefused, "refused", 1, false, "refused: an update is already running", nullptr, VerdictFill::Reason},
    {OutcomeInterrupted, "interrupted", 1, false, "the window closed before the update ended", nullptr,
     VerdictFill::Reason},
    {OutcomeVerified, "verified", 0, true, "the module runs the expected firmware",
     "the module runs revision %s (before: %s)", VerdictFill::RevisionAfterAndBefore},
    {OutcomeRevisionMismatch, "revision_mismatch", 1, false, "the module runs another revision than expected",
     "%s; no reboot was requested", VerdictFill::Reason},
    {OutcomeNotVerified, "not_verified", 1, false, "the firmware the module runs was not verified",
     "%s; no reboot was requested", VerdictFill::Reason},
    {OutcomeAlreadyCurrent, "already_current", 0, true, "the module already ran the expected revision",
     "the module runs revision %s; nothing was written", VerdictFill::RevisionBefore},
    {OutcomeLineNoise, "line_noise", 1, false, "the module link carried noise during the image; the update stopped", "%s",
     VerdictFill::Reason},
    {OutcomeControlFailed, "control_failed", 1, false, "the module's reset failed and cannot succeed; the update stopped",
     nullptr, VerdictFill::Reason},
    {OutcomeNotStarted, "not_started", 1, false, "the update ended before its run began", nullptr, VerdictFill::Reason},
    {OutcomeUnfinished, "unfinished", 1, false, "the update ended without a verdict", nullptr, VerdictFill::Reason},
};

// What `send --wait` says of an answer that is no outcome.
inline constexpr char UnknownOutcomeLine[] = "unknown outcome";

// The outcome's row; null when the table has none. Wide, so that any answer a window gives
// is looked up as it came.
constexpr const OutcomeRow* FindOutcome(std::int64_t outcome) {
    for (const OutcomeRow& row : Outcomes) {
        if (row.outcome == outcome) return &row;
    }
    return nullptr;
}

// The row an outcome's name (as the events carry it) names; null when the table has none.
constexpr const OutcomeRow* FindOutcomeNamed(std::string_view name) {
    for (const OutcomeRow& row : Outcomes) {
        if (name == row.name) return &row;
    }
    return nullptr;
}

constexpr const char* OutcomeName(std::int32_t outcome) {
    const OutcomeRow* row = FindOutcome(outcome);
    return (row ? row : FindOutcome(OutcomeInterrupted))->name;
}

constexpr int OutcomeExitCode(std::int32_t outcome) {
    const OutcomeRow* row = FindOutcome(outcome);
    return (row ? row : FindOutcome(OutcomeInterrupted))->exit_code;
}

// Outcomes that end `update` with 0.
constexpr bool OutcomeSucceeded(std::int32_t outcome) { return OutcomeExitCode(outcome) == 0; }

// Outcomes after which the module is known to run the expected revision.
constexpr bool OutcomeRevisionKnown(std::int32_t outcome) {
    const OutcomeRow* row = FindOutcome(outcome);
    return row != nullptr && row->revision_known;
}

}  // namespace update
