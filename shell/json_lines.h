// Implemented in shell/json_lines.cpp.
// The JSON the program writes for other programs: the events (--events), the run's record
// (--record) and `ports --json`, each value as its text and a line break. Keys stay in the
// order they were set; text that is not UTF-8 (a maker string from a device, a path) is written
// with replacement characters, never thrown; other text as it is (no \u escapes).
//
// Index: CompactJson JsonLine TextOrNull
#pragma once

#include <string>

#include <nlohmann/json_fwd.hpp>

namespace shell {

// JsonLine's indent for a value on one line; a count of spaces spreads it over lines.
inline constexpr int CompactJson = -1;

// The value's text and "\n".
std::string JsonLine(const nlohmann::ordered_json& value, int indent = CompactJson);
// The text, or null when it is empty (a value not known).
nlohmann::ordered_json TextOrNull(const std::string& text);

}  // namespace shell
