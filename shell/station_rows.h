// Implemented in shell/station_rows.cpp.
// The stations' live rows on a terminal: one row per station (name, port, stage, a bar with the
// percentage of the stage's bytes, the image's rate and time left, then the outcome and its
// time) and a line that sums them up. Fed by the events each station's child writes; drawn by
// the stations' parent through the platform's live rows (platform/screen/rows.h).
//
// Index: StationRow RowEvent RowEnded StationRowLines
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace shell {

struct StationRow {
    std::string name;
    std::string port = "-";       // the module link's device, from the station's profile
    std::string stage = "starting";
    std::uint32_t attempt = 0;    // handshake attempt, from 1
    std::uint32_t attempt_limit = 0;
    std::uint32_t stage_number = 0;
    std::uint32_t bytes = 0;      // of the stage's total
    std::uint32_t total = 0;
    double image_start = 0;       // the events' clock (seconds) when the image started
    double image_last = 0;        // and of its latest progress
    bool ended = false;
    std::int32_t outcome = 0;  // update/outcomes.h
    double seconds = 0;
    int exit_code = 0;
};

// What a station's event says about its row.
void RowEvent(StationRow* row, const nlohmann::json& event);
// The station's child ended: its outcome, wall time and exit code.
void RowEnded(StationRow* row, std::int32_t outcome, double seconds, int exit_code);
// One line per station, then the sum line; `width` the terminal's columns (lines are fitted).
std::vector<std::string> StationRowLines(const std::vector<const StationRow*>& rows, int width);

}  // namespace shell
