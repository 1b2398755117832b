// Whole firmware updates for end-to-end tests: the program (FWU_PROGRAM) runs as a child
// against a simulated handset that the test starts in its own process, so the test sees both
// sides: the tool's exit code, pane (stdout) and trace file, and what the module received and
// the radio driver and kernel recorded. The expected trace of a run is built here from the
// embedded payloads, step by step as the protocol goes, so tests compare whole traces.
//
// Index: UpdateEnv ReadText TraceFromOpen Count FirstDifference | UpdateRun RunUpdate | Station
// RunStations | ExpectedTrace SuccessPane LostLine NotConfirmedLine | Write BuiltIn OtherImage Sha
// WriteSet SetRevision
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim/sim.h"
#include "tests/support/program.h"

namespace fwu_test {

// The pane line of a run that lost the module link.
inline constexpr char LostLine[] = "The module link COM1: was lost; the update has stopped\r\n";
// The pane line of a run whose stage 3 failed.
inline constexpr char NotConfirmedLine[] = "The module did not confirm the image; the update has failed\r\n";

// FIRMWARE_UTILITY_RUNTIME_DIR and FIRMWARE_UTILITY_PROFILE for a child of this test. (The
// handsets of a test that links this know the payload set's image as its revision.)
std::vector<std::string> UpdateEnv(const TempDir& runtime, const sim::Handset& handset);
std::string ReadText(const std::string& path);
// The trace from its "Open : COM1:" line on (what comes before names the working directory).
std::string TraceFromOpen(const std::string& trace);
std::size_t Count(const std::string& text, const std::string& part);
// "" when equal; else the first line that differs, both ways, with its number (for messages
// about traces of thousands of lines).
std::string FirstDifference(const std::string& actual, const std::string& expected);

struct UpdateRun {
    ProgramResult result;
    std::string trace;  // the whole trace file
};

// `firmware-utility update --profile P --trace F [extra...]` to its end; P is the handset's
// profile unless `profile` names another.
UpdateRun RunUpdate(const sim::Handset& handset, const std::vector<std::string>& extra = {},
                    int timeout_ms = 60000, const std::string& profile = "");

// One `firmware-utility update` against a handset of its own with a module fault, for runs
// side by side.
struct Station {
    sim::RomFault fault;
    sim::Handset handset;
    TempDir runtime;
    std::unique_ptr<RunningProgram> program;
    std::chrono::steady_clock::time_point start;
    std::chrono::steady_clock::duration took{};  // from its start to its exit seen here
    UpdateRun run;
};

// An update per fault with `extra` options, at most `parallel` at a time; every station ends
// (or is killed after `timeout_ms`) before this returns. A handset that did not start fails the
// calling test.
std::vector<std::unique_ptr<Station>> RunStations(const std::vector<sim::RomFault>& faults,
                                                  const std::vector<std::string>& extra, std::size_t parallel,
                                                  int timeout_ms);

// The trace the update writes, from "Open : COM1:" on, built piece by piece.
class ExpectedTrace {
public:
    ExpectedTrace& Open();                        // the link opened
    // "Open : COM1:", the error text with its reason, the explanation line, the failure.
    ExpectedTrace& OpenFailed(int error, const std::string& explanation);
    // "!Cast 55h!" to casting stopped; `before`: stray bytes read ahead of the 0xA0
    ExpectedTrace& Handshake(const std::vector<std::uint8_t>& before = {});
    ExpectedTrace& Stage1(bool accepted);         // with its outcome line
    // `wrong_ack`: the chunk whose 0xAA came as 0x00 (the wait then fails on silence)
    ExpectedTrace& Stage2(bool accepted, int wrong_ack = -1);
    ExpectedTrace& Stage3(bool accepted);         // and the run's closing lines
    ExpectedTrace& Verified();                    // the revision read after the image
    const std::string& text() const { return text_; }

private:
    void Wait(std::uint8_t byte);
    void Got(std::uint8_t byte);
    void Sent(std::uint8_t byte);
    std::string text_;
};

// The pane of a verified run, after the banner: milestones, 27 lines of 23 marks, the done
// line, the verdict and the success box.
std::string SuccessPane();

// Payload sets for `--firmware DIR` runs.
inline constexpr char SetRevision[] = "R7.1.3-test";
void Write(const std::string& path, const std::string& bytes);
// The built-in payload of `kind`, `length` bytes.
std::string BuiltIn(std::uint32_t kind, std::uint32_t length);
// An image of the right length that is not the built-in one.
std::string OtherImage();
std::string Sha(const std::string& bytes);
// A sound set in `dir`: the built-in loaders, OtherImage, its sums and SetRevision; the
// simulated modules of this process know the image as that revision.
void WriteSet(const std::string& dir);

}  // namespace fwu_test
