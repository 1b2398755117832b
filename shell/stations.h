// Implemented in shell/stations.cpp.
// `firmware-utility update --profile A --profile B ...`: one update per profile at the same
// time, each a child `update` of its own (own process, own runtime directory), its lines
// prefixed by its station name (on a terminal: one live row per station instead, the lines in
// a file per station), then one summary table.
//
// Index: StationSpec StationSpecs RunStations
#pragma once

#include <string>
#include <vector>

#include "shell/cli.h"

namespace shell {

struct StationSpec {
    std::string name;     // NAME of NAME=FILE, else the file's name (made unique with -2, -3, ...)
    std::string profile;  // FILE
};
std::vector<StationSpec> StationSpecs(const std::vector<std::string>& profiles);

// Runs every station to its end (Ctrl+C, SIGTERM, SIGHUP: each is stopped and reported as
// interrupted). 0 only when every module confirmed its image, else 1.
int RunStations(const CliOptions& options);

}  // namespace shell
