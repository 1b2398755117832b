// The one place the dump options of the program's JSON are written (see shell/json_lines.h).
#include "shell/json_lines.h"

#include <nlohmann/json.hpp>

namespace shell {

std::string JsonLine(const nlohmann::ordered_json& value, int indent) {
    constexpr char IndentCharacter = ' ';
    constexpr bool EnsureAscii = false;
    return value.dump(indent, IndentCharacter, EnsureAscii, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

nlohmann::ordered_json TextOrNull(const std::string& text) {
    return text.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(text);
}

}  // namespace shell
