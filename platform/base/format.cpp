// One conversion at a time: each is handed to snprintf with its own
// argument, except %c, which becomes the UTF-8 form of the Latin-1 character.
#include "platform/base/format.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace platform {
namespace {

struct Out {
    char* buffer;
    std::size_t size;
    std::size_t length;

    void Put(const char* text, std::size_t n) {
        if (size == 0) return;
        std::size_t room = size - 1 - length;
        if (n > room) n = room;
        std::memcpy(buffer + length, text, n);
        length += n;
        buffer[length] = '\0';
    }
};

// Latin-1 to UTF-8: bytes below 0x80 stand for themselves, the rest take two bytes.
void PutLatin1(Out* out, unsigned char byte) {
    if (byte < 0x80) {
        char c = static_cast<char>(byte);
        out->Put(&c, 1);
        return;
    }
    char pair[2] = {static_cast<char>(0xC0 | (byte >> 6)), static_cast<char>(0x80 | (byte & 0x3F))};
    out->Put(pair, 2);
}

// What every line for people on stderr starts with.
constexpr char ProgramName[] = "firmware-utility";

void SayOnStderrV(const char* name, const char* format, std::va_list args) {
    std::va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    std::vector<char> text(length > 0 ? static_cast<std::size_t>(length) + 1 : 1, '\0');
    if (length > 0) std::vsnprintf(text.data(), text.size(), format, again);
    va_end(again);
    const std::string line = std::string(name) + ": " + EscapeControls(text.data()) + "\n";
    for (std::size_t at = 0; at < line.size();) {
        const ssize_t n = ::write(STDERR_FILENO, line.data() + at, line.size() - at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // stderr gone: nobody to tell
        at += static_cast<std::size_t>(n);
    }
}

// The length of the UTF-8 sequence at text[at] that is no control character (C1 included), or
// 0 when the byte there starts none.
std::size_t PrintableSequence(const std::string& text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0u; };
    const unsigned lead = byte(at);
    if (lead >= 0x20 && lead < 0x7F) return 1;
    std::size_t length = 0;
    unsigned low = 0x80, high = 0xBF;  // the second byte's range
    if (lead >= 0xC2 && lead <= 0xDF) length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) length = 3;
    else if (lead >= 0xF0 && lead <= 0xF4) length = 4;
    else return 0;
    if (lead == 0xC2) low = 0xA0;  // U+0080 to U+009F are C1 controls
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
    if (byte(at + 1) < low || byte(at + 1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF) return 0;
    }
    return length;
}

}  // namespace

std::string EscapeControls(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t at = 0; at < text.size();) {
        if (std::size_t n = PrintableSequence(text, at)) {
            out.append(text, at, n);
            at += n;
            continue;
        }
        const unsigned char c = static_cast<unsigned char>(text[at++]);
        if (c == '\n') out += "\\n";
        else if (c == '\r') out += "\\r";
        else if (c == '\t') out += "\\t";
        else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

std::string FirstControlCharacter(const std::string& text) {
    for (std::size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte < 0x20 || byte == 0x7F) return EscapeControls(text.substr(at, 1));
        if (byte == 0xC2 && at + 1 < text.size() && static_cast<unsigned char>(text[at + 1]) < 0xA0 &&
            static_cast<unsigned char>(text[at + 1]) >= 0x80) {
            return EscapeControls(text.substr(at, 2));
        }
        ++at;
    }
    return {};
}

void SayOnStderrAs(const char* name, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    SayOnStderrV(name, format, args);
    va_end(args);
}

void SayOnStderr(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    SayOnStderrV(ProgramName, format, args);
    va_end(args);
}

int FormatTextV(char* buffer, std::size_t size, const char* format, std::va_list args) {
    Out out{buffer, size, 0};
    if (size > 0) buffer[0] = '\0';
    const char* p = format;
    while (*p) {
        if (*p != '%') {
            const char* run = std::strchr(p, '%');
            std::size_t n = run ? static_cast<std::size_t>(run - p) : std::strlen(p);
            out.Put(p, n);
            p += n;
            continue;
        }
        // Collect one directive: '%', flags, width, precision, length and the conversion letter.
        const char* start = p++;
        if (*p == '%') {
            out.Put("%", 1);
            ++p;
            continue;
        }
        while (*p && std::strchr("-+ #0", *p)) ++p;
        bool star_width = false, star_precision = false;
        if (*p == '*') { star_width = true; ++p; }
        while (*p >= '0' && *p <= '9') ++p;
        if (*p == '.') {
            ++p;
            if (*p == '*') { star_precision = true; ++p; }
            while (*p >= '0' && *p <= '9') ++p;
        }
        int longs = 0;
        bool half = false, size_t_len = false;
        while (*p && std::strchr("hlzjt", *p)) {
            if (*p == 'l') ++longs;
            if (*p == 'h') half = true;
            if (*p == 'z' || *p == 'j' || *p == 't') size_t_len = true;
            ++p;
        }
        char conversion = *p;
        if (!conversion) break;
        ++p;
        char directive[32];
        std::size_t directive_length = static_cast<std::size_t>(p - start);
        if (directive_length >= sizeof directive) continue;
        std::memcpy(directive, start, directive_length);
        directive[directive_length] = '\0';
        int width = star_width ? va_arg(args, int) : 0;
        int precision = star_precision ? va_arg(args, int) : 0;
        char piece[512];
        int n = 0;
        auto print = [&](auto value) {
            if (star_width && star_precision) n = std::snprintf(piece, sizeof piece, directive, width, precision, value);
            else if (star_width) n = std::snprintf(piece, sizeof piece, directive, width, value);
            else if (star_precision) n = std::snprintf(piece, sizeof piece, directive, precision, value);
            else n = std::snprintf(piece, sizeof piece, directive, value);
        };
        switch (conversion) {
            case 'c':
                PutLatin1(&out, static_cast<unsigned char>(va_arg(args, int)));
                continue;
            case 's': {
                const char* text = va_arg(args, const char*);
                if (!star_width && !star_precision && directive_length == 2) {  // plain %s: no size limit
                    text = text ? text : "(null)";
                    out.Put(text, std::strlen(text));
                    continue;
                }
                print(text ? text : "(null)");
                break;
            }
            case 'd': case 'i':
                if (longs >= 2) print(va_arg(args, long long));
                else if (longs == 1) print(va_arg(args, long));
                else if (size_t_len) print(va_arg(args, std::ptrdiff_t));
                else print(va_arg(args, int));
                break;
            case 'u': case 'x': case 'X': case 'o':
                if (longs >= 2) print(va_arg(args, unsigned long long));
                else if (longs == 1) print(va_arg(args, unsigned long));
                else if (size_t_len) print(va_arg(args, std::size_t));
                else print(va_arg(args, unsigned int));
                break;
            case 'f': case 'F': case 'e': case 'E': case 'g': case 'G':
                print(va_arg(args, double));
                break;
            case 'p':
                print(va_arg(args, void*));
                break;
            default:
                out.Put(directive, directive_length);
                continue;
        }
        (void)half;
        if (n > 0) out.Put(piece, static_cast<std::size_t>(n) < sizeof piece ? static_cast<std::size_t>(n) : sizeof piece - 1);
    }
    return static_cast<int>(out.length);
}

int FormatText(char* buffer, std::size_t size, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    int n = FormatTextV(buffer, size, format, args);
    va_end(args);
    return n;
}

}  // namespace platform
