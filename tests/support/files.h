// What many tests do first and last: use a profile given as text, and read a file back whole
// (or its first line, as /proc and /sys give one value).
//
// Index: UseProfile ReadFile ReadFirstLine
#pragma once

#include <string>

namespace fwu_test {

// Parses `text` as the profile file "test.prof" and makes it the process's; a profile that does
// not parse fails the calling test.
void UseProfile(const std::string& text);
// The file's bytes; "" when it cannot be read.
std::string ReadFile(const std::string& path);
// Its first line, without the line break.
std::string ReadFirstLine(const std::string& path);

}  // namespace fwu_test
