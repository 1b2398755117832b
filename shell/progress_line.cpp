// The live progress line of `update` on a terminal's stderr: the stage, bytes sent of its
// total, percent, rate and time left, rewritten in place with "\r" (blanking what a longer
// line before left), at most every RedrawInterval; the run's end replaces it with a summary
// line. Fed from the updater thread; the main thread only clears it. The summary line is
// written whether stderr is a terminal or not. When the pane's text goes to the same terminal,
// that text takes the live line off first, and the pane's '#' marks are left to the live line.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "shell/run_report.h"
#include "update/payloads.h"

namespace shell {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto RedrawInterval = std::chrono::milliseconds(100);
constexpr double BytesPerKilobyte = 1000.0;
constexpr int SecondsPerMinute = 60;

std::mutex line_mutex;  // guards everything below
bool enabled = false;   // the live line is drawn (stderr is a terminal)
std::size_t shown = 0;  // characters of the line on the terminal now; 0: none
std::uint32_t stage = 0;
std::uint32_t bytes = 0;
std::uint32_t total = 0;
Clock::time_point stage_start{};
Clock::time_point stage_stop{};  // when the stage ended; {} while it runs
Clock::time_point last_draw{};
Clock::time_point run_start{};

const char* StageLabel(std::uint32_t s) { return s == 1 ? "boot loader 1" : s == 2 ? "boot loader 2" : "image"; }

double SecondsSince(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// Bytes per second over the stage's own time: up to now while it runs, else up to its end.
double StageRate() {
    const Clock::time_point end = stage_stop == Clock::time_point{} ? Clock::now() : stage_stop;
    const double seconds = std::chrono::duration<double>(end - stage_start).count();
    return seconds > 0 ? bytes / seconds : 0;
}

// Caller holds line_mutex. Spaces blank what a longer line before left.
void Show(const std::string& text) {
    std::string out = "\r" + text;
    if (text.size() < shown) out.append(shown - text.size(), ' ');
    std::fputs(out.c_str(), stderr);
    shown = std::max(shown, text.size());
}

void Draw() {
    if (!enabled) return;
    const double rate = StageRate();
    const unsigned percent = total ? static_cast<unsigned>(std::uint64_t{bytes} * 100 / total) : 100;
    char text[160];
    int length = std::snprintf(text, sizeof text, "%s: %u of %u bytes  %3u%%", StageLabel(stage), bytes, total, percent);
    if (rate > 0 && bytes < total && length > 0) {
        const unsigned left = static_cast<unsigned>((total - bytes) / rate + 0.5);
        std::snprintf(text + length, sizeof text - static_cast<std::size_t>(length), "  %.1f kB/s  %u:%02u left",
                      rate / BytesPerKilobyte, left / SecondsPerMinute, left % SecondsPerMinute);
    }
    Show(text);
    last_draw = Clock::now();
}

void Clear() {
    if (shown == 0) return;
    Show("");
    std::fputs("\r", stderr);
    shown = 0;
}

// Called by the headless screen before it writes to the live line's terminal.
void YieldLiveLine() {
    std::lock_guard lock(line_mutex);
    Clear();
}

}  // namespace

void StartProgressLine() {
    {
        std::lock_guard lock(line_mutex);
        enabled = platform::StderrIsTerminal();
        if (!enabled) return;
    }
    platform::ShareHeadlessTerminal(YieldLiveLine);
}

void ProgressNote(const update::RunNote& note) {
    std::lock_guard lock(line_mutex);
    switch (note.step) {
        case update::RunStep::Start:
            run_start = Clock::now();
            return;
        case update::RunStep::StageStart:
            stage = note.stage;
            bytes = 0;
            total = note.total;
            stage_start = Clock::now();
            stage_stop = {};
            return Draw();
        case update::RunStep::Progress:
            bytes = note.bytes;
            total = note.total;
            if (bytes == total || Clock::now() - last_draw >= RedrawInterval) Draw();
            return;
        case update::RunStep::StageEnd:
        case update::RunStep::ModuleLost:
            if (stage_stop == Clock::time_point{}) stage_stop = Clock::now();
            return;
        case update::RunStep::ModuleRead:
            return;
        case update::RunStep::End: {
            Clear();
            const std::uint32_t image_bytes = stage == 3 ? bytes : 0;
            // A run that failed to start has no start to count from.
            const double seconds = run_start == Clock::time_point{} ? 0.0 : SecondsSince(run_start);
            platform::SayOnStderr("update %s after %.1f s; image: %u of %u bytes sent (%.1f kB/s)",
                                  update::OutcomeName(note.outcome), seconds, image_bytes, update::FirmwareLength,
                                  stage == 3 ? StageRate() / BytesPerKilobyte : 0.0);
            return;
        }
    }
}

void ClearProgressLine() {
    std::lock_guard lock(line_mutex);
    if (enabled) Clear();
}

}  // namespace shell
