// Implemented in platform/base/format.cpp.
// printf-style formatting for the tool's lines. Conversions are C's, except %c: its byte is
// written as the Latin-1 character it stands for (UTF-8), so traced protocol bytes keep the
// text valid UTF-8. Output is cut to fit and always terminated.
//
// Index: FormatText FormatTextV
#pragma once

#include <cstdarg>
#include <cstddef>

namespace platform {

// The length written (without the terminator); the text is cut, never overrun.
int FormatText(char* buffer, std::size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
int FormatTextV(char* buffer, std::size_t size, const char* format, std::va_list args);

}  // namespace platform
