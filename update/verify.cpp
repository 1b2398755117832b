// The run's verdict on the firmware the module runs. A success is a milestone (kept off a quiet
// pane); a failure is always said. The facts are written by the updater thread
// and read by the program's thread at the run's end, under one lock.
#include "update/verify.h"

#include <fnmatch.h>

#include <mutex>

#include "update/cechat.h"
#include "update/payloads.h"
#include "update/update.h"

namespace update {


namespace {

constexpr std::uint32_t MillisecondsPerSecond = 1000;
// How a simulated handset names the revision of an image nobody told it of.
constexpr char UnknownImagePrefix[] = "unknown-";

std::mutex facts_mutex;
RunFacts facts;  // guarded by facts_mutex

// The identity on one trace line.
void TraceIdentity(const char* when, const std::string& port, AtRead read, const ModuleIdentity& identity) {
    if (read == AtRead::Read || read == AtRead::NoRevision || read == AtRead::Ambiguous) {
        platform::TracePrint(" AT %s %s: %s %s, revision %s\r\n", port.c_str(), when,
                          identity.manufacturer.c_str(), identity.model.c_str(), identity.revision.c_str());
    } else if (read == AtRead::Silent) {
        platform::TracePrint(" AT %s %s: no answer\r\n", port.c_str(), when);
    }
}

// "2 revision lines on COM2: (V.4.1.3 | previous: V.4.2.0)"
std::string SeveralLines(const std::vector<std::string>& lines, const std::string& port) {
    std::string text;
    for (const std::string& line : lines) text += (text.empty() ? "" : " | ") + line;
    return std::to_string(lines.size()) + " revision lines on " + port + " (" + text + ")";
}

// The reason a confirmed image's firmware was not verified, and its pane line.
std::string NotVerifiedReason(AtRead read, const ModuleIdentity& identity, const std::string& port,
                              std::uint32_t milliseconds) {
    switch (read) {
        case AtRead::Ambiguous: return "the module gave " + SeveralLines(identity.revision_lines, port);
        case AtRead::NotOpened: return "the AT port " + port + " did not open";
        case AtRead::NoRevision: return "the module gave no readable revision on " + port;
        default:
            return "the module did not answer on " + port + " within " +
                   std::to_string(milliseconds / MillisecondsPerSecond) + " s";
    }
}

// The pane's milestone for an image whose firmware runs as expected (or cannot be checked).
void SayImageDone(platform::Hwnd window) { platform::SayQuietLine(Lines(), window, "\r\nFirmware Updated....Done\r\n"); }

}  // namespace

std::string ExpectedRevision() {
    return UpdateRunOf().options.expect_revision.empty() ? CurrentPayloadSet().revision : UpdateRunOf().options.expect_revision;
}

bool RevisionMatches(const std::string& revision, const std::string& expected) {
    if (expected.empty()) return false;
    if (UpdateRunOf().options.expect_match == RevisionMatch::Glob) return ::fnmatch(expected.c_str(), revision.c_str(), 0) == 0;
    return revision == expected;
}

RunFacts LastRunFacts() {
    std::lock_guard lock(facts_mutex);
    return facts;
}

void SetRunReason(const std::string& reason) {
    std::lock_guard lock(facts_mutex);
    facts.reason = reason;
}

std::int32_t CheckBeforeRun(platform::Hwnd window) {
    RunFacts fresh;
    fresh.at_port = AtPortName();
    fresh.expected = ExpectedRevision();
    ModuleIdentity before;
    const AtRead read = ReadModuleIdentity(UpdateRunOf().options.module_timeout_ms, &before);
    TraceIdentity("before", fresh.at_port, read, before);
    fresh.before_read = read;
    fresh.before = before;
    {
        std::lock_guard lock(facts_mutex);
        facts = fresh;
    }
    RunNote note{RunStep::ModuleRead};
    NoteRun(note);
    // A port that did not open now would not open after the image either: nothing is written.
    if (read == AtRead::NotOpened && !fresh.expected.empty()) {
        const std::string reason = "the AT port " + fresh.at_port + " did not open";
        SetRunReason(reason);
        platform::SayFormattedLine(Lines(), window, "The update did not start: %s\r\n", reason.c_str());
        return OutcomeFailed;
    }
    if (!UpdateRunOf().options.skip_current || read != AtRead::Read || !RevisionMatches(before.revision, fresh.expected)) {
        return OutcomeNone;
    }
    platform::SayQuietLine(Lines(), window,
                                ("The module already runs revision " + before.revision + "; nothing was written\r\n").c_str());
    return OutcomeAlreadyCurrent;
}

std::int32_t VerifyAfterRun(platform::Hwnd window) {
    const RunFacts known = LastRunFacts();
    if (known.expected.empty() || known.at_port.empty()) {
        const std::string reason = known.expected.empty() ? "no expected revision is known"
                                                          : "the profile names no AT port";
        SetRunReason(reason);
        SayImageDone(window);
        platform::SayQuietLine(Lines(), window, ("The firmware running was not checked: " + reason + "\r\n").c_str());
        return OutcomeConfirmed;
    }
    const std::uint32_t bound = UpdateRunOf().options.verify_timeout_ms;
    ModuleIdentity after;
    const AtRead read = ReadModuleIdentity(bound, &after);
    TraceIdentity("after", known.at_port, read, after);
    {
        std::lock_guard lock(facts_mutex);
        facts.after_tried = true;
        facts.after_read = read;
        facts.after = after;
    }
    RunNote note{RunStep::ModuleRead};
    note.after = true;
    NoteRun(note);
    if (read != AtRead::Read) {
        const std::string reason = NotVerifiedReason(read, after, known.at_port, bound);
        SetRunReason(reason);
        platform::SayFormattedLine(Lines(), window, "The firmware was not verified: %s\r\n", reason.c_str());
        return OutcomeNotVerified;
    }
    if (!RevisionMatches(after.revision, known.expected)) {
        // A simulated handset started on its own runs the set's image only when given the set.
        const bool untold = platform::CurrentProfile().simulated && after.revision.rfind(UnknownImagePrefix, 0) == 0;
        const std::string hint =
            untold ? " (the simulated handset was not given this payload set: start it as `firmware-utility sim "
                     "--firmware DIR`)"
                   : "";
        SetRunReason("the module runs revision " + after.revision + ", not " + known.expected + hint);
        platform::SayFormattedLine(Lines(), window, "The module runs revision %s, not %s%s; the update has failed\r\n",
                               after.revision.c_str(), known.expected.c_str(), hint.c_str());
        return OutcomeRevisionMismatch;
    }
    SayImageDone(window);
    platform::SayQuietLine(Lines(), window, ("The module runs the expected firmware, revision " + after.revision + "\r\n").c_str());
    return OutcomeVerified;
}

}  // namespace update
