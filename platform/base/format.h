// Implemented in platform/base/format.cpp.
// printf-style formatting for the tool's lines. Conversions are C's, except %c: its byte is
// written as the Latin-1 character it stands for (UTF-8), so traced protocol bytes keep the
// text valid UTF-8. Output is cut to fit and always terminated.
//
// A line for people on stderr goes through SayOnStderr (SayOnStderrAs): the program's name, the text on one
// line with its control characters (and bytes that are no UTF-8) escaped, so that a value a
// user gave (a file name with an ESC, a device path with a newline) can neither split the line
// nor reach the terminal as a command.
//
// Index: FormatText FormatTextV EscapeControls FirstControlCharacter SayOnStderr SayOnStderrAs
#pragma once

#include <cstdarg>
#include <cstddef>
#include <string>

namespace platform {

// The length written (without the terminator); the text is cut, never overrun.
int FormatText(char* buffer, std::size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
int FormatTextV(char* buffer, std::size_t size, const char* format, std::va_list args);

// The text with C0 and C1 control characters and bytes that are no UTF-8 written as \n, \r,
// \t or \xHH; the rest of UTF-8 as it is.
std::string EscapeControls(const std::string& text);
// The first control character (C0, DEL or C1) of a text as EscapeControls writes it; "" when
// it has none.
std::string FirstControlCharacter(const std::string& text);
// "firmware-utility: " and the formatted text, escaped, then one newline, in one write.
void SayOnStderr(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The same after another name ("firmware-utility sim", a benchmark's, a build tool's).
void SayOnStderrAs(const char* name, const char* format, ...) __attribute__((format(printf, 2, 3)));

}  // namespace platform
