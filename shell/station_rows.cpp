// The stations' rows: each row's state follows its station's events (attempt, stage_start,
// progress, stage_end, run_end); the lines are laid out to the terminal's width, the bar taking
// what the other columns leave.
#include "shell/station_rows.h"

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "update/outcomes.h"

namespace shell {
namespace {

constexpr std::uint32_t ImageStage = 3;
constexpr int StageColumn = 9;      // "checksums", the longest stage
constexpr int OutcomeColumn = 17;   // "revision_mismatch", the longest outcome
constexpr int PortColumnMost = 24;  // a longer port shows its end
constexpr int BarLeast = 10, BarMost = 40;
constexpr double BytesPerKilobyte = 1000.0;
constexpr unsigned SecondsPerMinute = 60;

std::string Padded(const std::string& text, std::size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

std::string Formatted(const char* format, double a, double b = 0) {
    char text[64];
    std::snprintf(text, sizeof text, format, a, b);
    return text;
}

// Rate and time left of the image, from the events' own clock.
std::string ImageRate(const StationRow& row) {
    const double seconds = row.image_last - row.image_start;
    if (row.stage_number != ImageStage || seconds <= 0 || row.bytes == 0 || row.bytes >= row.total) return "";
    const double rate = row.bytes / seconds;
    const unsigned left = static_cast<unsigned>((row.total - row.bytes) / rate + 0.5);
    char text[64];
    std::snprintf(text, sizeof text, "  %.1f kB/s  %u:%02u left", rate / BytesPerKilobyte, left / SecondsPerMinute,
                  left % SecondsPerMinute);
    return text;
}

// The bar takes what the percentage and the rate leave; on a narrow terminal the bar goes
// first, then the rate.
std::string Bar(const StationRow& row, int room) {
    const unsigned percent =
        row.total ? static_cast<unsigned>(std::uint64_t{std::min(row.bytes, row.total)} * 100 / row.total) : 0;
    const std::string shown = Formatted("%3.0f%%", percent);
    std::string rate = ImageRate(row);
    const int bar = std::min(BarMost, room - static_cast<int>(shown.size() + rate.size()) - 3);
    if (bar < BarLeast) return static_cast<int>(shown.size() + rate.size()) < room ? shown + rate : shown;
    const int filled = static_cast<int>(std::uint64_t{static_cast<unsigned>(bar)} * percent / 100);
    return "[" + std::string(static_cast<std::size_t>(filled), '=') +
           std::string(static_cast<std::size_t>(bar - filled), ' ') + "] " + shown + rate;
}

std::string PortShown(const std::string& port) {
    return port.size() <= PortColumnMost ? port : "..." + port.substr(port.size() - (PortColumnMost - 3));
}

}  // namespace

void RowEvent(StationRow* row, const nlohmann::json& event) {
    const std::string name = event.value("event", "");
    const double t = event.value("t", 0.0);
    if (name == "attempt") {
        row->stage = "waiting";
        row->attempt = event.value("attempt", 0u);
        row->attempt_limit = event.value("limit", 0u);
        row->stage_number = 0;
        row->bytes = row->total = 0;
    } else if (name == "stage_start") {
        row->stage_number = event.value("stage", 0u);
        row->stage = row->stage_number == ImageStage ? "image" : row->stage_number == 2 ? "loader 2" : "loader 1";
        row->bytes = 0;
        row->total = event.value("total", 0u);
        if (row->stage_number == ImageStage) row->image_start = row->image_last = t;
    } else if (name == "progress") {
        row->bytes = event.value("bytes", 0u);
        row->total = event.value("total", row->total);
        if (row->stage_number == ImageStage) row->image_last = t;
        // The whole image is out: the module checks its sums before it answers.
        if (row->stage_number == ImageStage && row->bytes >= row->total) row->stage = "checksums";
    } else if (name == "stage_end" && event.value("result", "") == "accepted") {
        row->bytes = row->total;
        if (event.value("stage", 0u) == ImageStage) row->stage = "verifying";
    }
}

void RowEnded(StationRow* row, std::int32_t outcome, double seconds, int exit_code) {
    row->ended = true;
    row->outcome = outcome;
    row->seconds = seconds;
    row->exit_code = exit_code;
}

std::vector<std::string> StationRowLines(const std::vector<const StationRow*>& rows, int width) {
    std::size_t name_width = 0, port_width = 0;
    for (const StationRow* row : rows) {
        name_width = std::max(name_width, row->name.size());
        port_width = std::max(port_width, PortShown(row->port).size());
    }
    std::vector<std::string> lines;
    int running = 0, verified = 0, confirmed = 0, failed = 0;
    for (const StationRow* row : rows) {
        std::string line = Padded(row->name, name_width) + "  " + Padded(PortShown(row->port), port_width) + "  ";
        if (row->ended) {
            // A success as the table has it, unless its process said otherwise (a record it
            // could not write).
            const bool succeeded = row->exit_code == 0 && update::OutcomeSucceeded(row->outcome);
            const bool current = update::OutcomeRevisionKnown(row->outcome);
            verified += succeeded && current;
            confirmed += succeeded && !current;
            failed += !succeeded;
            line += Padded(update::OutcomeName(row->outcome), OutcomeColumn) + Formatted("  %.1f s", row->seconds);
        } else {
            ++running;
            line += Padded(row->stage, StageColumn) + "  ";
            if (row->stage_number != 0 && row->stage != "verifying") {
                line += Bar(*row, width - 1 - static_cast<int>(line.size()));
            } else if (row->attempt != 0 && row->stage == "waiting") {
                line += "attempt " + std::to_string(row->attempt) +
                        (row->attempt_limit ? " of " + std::to_string(row->attempt_limit) : "");
            }
        }
        lines.push_back(line);
    }
    std::string sum = std::to_string(running) + " running, " + std::to_string(verified) + " verified, ";
    if (confirmed) sum += std::to_string(confirmed) + " confirmed (not checked), ";
    lines.push_back(sum + std::to_string(failed) + " failed");
    return lines;
}

}  // namespace shell
