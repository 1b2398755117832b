#include <gtest/gtest.h>

#include <cstring>
#include <regex>

#include "platform/platform.h"
#include "shell/log.h"
#include "tests/support/trace_file.h"

namespace {

TEST(FormatText, ConversionsAsPrintf) {
    char out[128];
    platform::FormatText(out, sizeof out, "Failed to open %s, error code: 0x%08lX\r\n", "RIL1:", 2ul);
    EXPECT_STREQ(out, "Failed to open RIL1:, error code: 0x00000002\r\n");
    platform::FormatText(out, sizeof out, "Bootload2 : %X  %X  %d checkByte : %X\r\n", 0x1C, 0xF6, 0, 0x5A);
    EXPECT_STREQ(out, "Bootload2 : 1C  F6  0 checkByte : 5A\r\n");
    platform::FormatText(out, sizeof out, "%d%%", 50);
    EXPECT_STREQ(out, "50%");
}

TEST(FormatText, CharIsLatin1AsUtf8) {
    char out[64];
    int n = platform::FormatText(out, sizeof out, "[%c|%c]", 'A', 0xA0);
    EXPECT_EQ(n, 6);
    EXPECT_STREQ(out, "[A|\xC2\xA0]");
    n = platform::FormatText(out, sizeof out, "%c", 0xFF);
    EXPECT_STREQ(out, "\xC3\xBF");
}

TEST(FormatText, CutsToFitAndTerminates) {
    char out[8];
    std::memset(out, 'x', sizeof out);
    int n = platform::FormatText(out, sizeof out, "%s and more", "a long text");
    EXPECT_EQ(n, 7);
    EXPECT_EQ(out[7], '\0');
    EXPECT_STREQ(out, "a long ");
}

// Text for stderr stays one line of UTF-8: controls (C0, DEL, C1) and stray bytes escaped.
TEST(EscapeControls, ControlsAndStrayBytesAreWrittenOut) {
    EXPECT_EQ(platform::EscapeControls("a\nb\rc\td\x1B[0m\x7F"), "a\\nb\\rc\\td\\x1B[0m\\x7F");
    EXPECT_EQ(platform::EscapeControls("caf\xC3\xA9 \xE2\x82\xAC"), "caf\xC3\xA9 \xE2\x82\xAC");
    EXPECT_EQ(platform::EscapeControls("\xC2\x9B" "2J \xFF \xC3"), "\\xC2\\x9B2J \\xFF \\xC3");
    EXPECT_EQ(platform::FirstControlCharacter("/dev/ttyS0"), "");
    EXPECT_EQ(platform::FirstControlCharacter("/dev/x\x1B\n"), "\\x1B");
}

// A line traced in several pieces gets one stamp, before its first piece.
TEST(TraceTime, EachLineStartsWithOneMonotonicStamp) {
    fwu_test::TraceFile trace;
    platform::SetTraceTimestamps(true);
    for (const char* piece : {"first ", "line\r\nsecond", " line\r\n", "third\r\n"}) {
        platform::DebugOutput(piece, std::strlen(piece));
    }
    platform::SetTraceTimestamps(false);
    platform::DebugOutput("plain\r\n", 7);
    const std::string stamp = " *[0-9]+\\.[0-9]{6} ";
    EXPECT_TRUE(std::regex_match(trace.Text(), std::regex(stamp + "first line\r\n" + stamp + "second line\r\n" +
                                                          stamp + "third\r\nplain\r\n")))
        << trace.Text();
}

// A line traced with no sink is not kept for later; a sink set afterwards takes whole lines.
TEST(TraceSink, LinesFromTheSinkOnAreWhole) {
    platform::SetTraceSink("");
    shell::TracePrint("dropped %d\r\n", 1);
    fwu_test::TraceFile trace;
    shell::TracePrint("kept %d of %s\r\n", 2, "two");
    EXPECT_EQ(trace.Text(), "kept 2 of two\r\n");
}

}  // namespace
