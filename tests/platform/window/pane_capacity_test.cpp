// The log pane's capacity: the edit control drops its oldest whole lines when a change would
// take it past its limit (the caret and the selection moving with the text, the next append
// still replacing a selection), the headless output keeps every byte, and the terminal screen's
// mirror of the pane (its lines, view, caret and scroll thumb) stays in step through the drops.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <mutex>
#include <random>

#include "platform/screen/screen.h"
#include "platform/screen/terminal/pane.h"
#include "platform/platform.h"
#include "platform/testing.h"
#include "tests/support/window_thread.h"

namespace {

using namespace platform;
using fwu_test::OutputCapture;
using fwu_test::WindowThread;
using platform::internal::PaneModel;
using platform::internal::ThumbPlace;

const std::string runtime_directory = fwu_test::UsePrivateRuntimeDirectory();

struct Selection {
    std::size_t start = 0, end = 0;
    bool operator==(const Selection&) const = default;
};

Selection SelectionOf(Hwnd edit) {
    std::uint32_t start = 0, end = 0;
    SendMessage(edit, EM_GETSEL, reinterpret_cast<WParam>(&start), reinterpret_cast<LParam>(&end));
    return {start, end};
}

void Append(Hwnd edit, const std::string& text) {
    SendMessage(edit, EM_REPLACESEL, 0, reinterpret_cast<LParam>(text.c_str()));
}

std::string Repeat(const std::string& piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += piece;
    return out;
}

TEST(PaneCapacity, AChangePastTheLimitDropsTheOldestWholeLinesFirst) {
    const std::string three = "one\r\ntwo\r\nthree\r\n";  // 17 bytes
    const std::string e_acute = "\xc3\xa9";
    struct Case {
        const char* name;
        std::string text;
        Selection selection;  // before the append (anchor, caret)
        std::string inserted;
        std::string expected;
        Selection after;
    };
    // Limit 32: a trim keeps at most 30 bytes (a sixteenth of the limit is freed beyond need).
    const Case cases[] = {
        {"fits exactly", three, {17, 17}, "fifteen bytes\r\n", three + "fifteen bytes\r\n", {32, 32}},
        {"one line over", three, {17, 17}, "fourteen chars\r\n", "two\r\nthree\r\nfourteen chars\r\n", {28, 28}},
        {"a selection kept and replaced", three, {15, 10}, "a much longer text here",
         "two\r\na much longer text here\r\n", {28, 28}},
        {"a selection in the dropped lines", three, {1, 3}, Repeat("x", 20), Repeat("x", 20) + "two\r\nthree\r\n",
         {20, 20}},
        {"an insertion larger than the limit keeps its last lines", "one\r\n", {5, 5},
         "line-1\r\nline-2\r\nline-3\r\nline-4\r\nline-5\r\n", "line-3\r\nline-4\r\nline-5\r\n", {24, 24}},
        {"a line longer than the limit loses its front, whole characters", "", {0, 0}, Repeat(e_acute, 20) + "a",
         Repeat(e_acute, 14) + "a", {29, 29}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        OutputCapture output;
        WindowThread window;
        const Hwnd edit = window.edit();
        SendMessage(edit, WM_SETTEXT, 0, reinterpret_cast<LParam>(c.text.c_str()));
        SendMessage(edit, EM_SETSEL, c.selection.start, static_cast<LParam>(c.selection.end));
        SendMessage(edit, EM_SETLIMITTEXT, 32, 0);
        EXPECT_EQ(SendMessage(edit, EM_GETLIMITTEXT, 0, 0), 32);
        EXPECT_EQ(EditText(edit), c.text);  // within the limit: nothing dropped yet
        Append(edit, c.inserted);
        EXPECT_EQ(EditText(edit), c.expected);
        EXPECT_EQ(SelectionOf(edit), c.after);
        // The next append goes on at the caret (the text may lose its first line for it).
        Append(edit, "!");
        const Selection caret = SelectionOf(edit);
        ASSERT_GT(caret.end, 0u);
        EXPECT_EQ(EditText(edit).substr(caret.end - 1, 1), "!");
        // The headless screen's stream has every byte of the insertion, dropped or not.
        EXPECT_TRUE(output.WaitFor(c.inserted + "!"));
    }
}

TEST(PaneCapacity, ALowerLimitTrimsAtOnceAndZeroMeansTheDefault) {
    OutputCapture output;
    WindowThread window;
    const Hwnd edit = window.edit();
    EXPECT_EQ(SendMessage(edit, EM_GETLIMITTEXT, 0, 0), static_cast<LResult>(EditCapacity));
    Append(edit, "one\r\ntwo\r\nthree\r\n");
    SendMessage(edit, EM_SETSEL, 7, 12);  // "o\r\nth"
    SendMessage(edit, EM_SETLIMITTEXT, 12, 0);
    EXPECT_EQ(EditText(edit), "two\r\nthree\r\n");
    EXPECT_EQ(SelectionOf(edit), (Selection{2, 7}));
    SendMessage(edit, EM_SETLIMITTEXT, 0, 0);
    EXPECT_EQ(SendMessage(edit, EM_GETLIMITTEXT, 0, 0), static_cast<LResult>(EditCapacity));
    // WM_SETTEXT keeps to the limit too.
    SendMessage(edit, EM_SETLIMITTEXT, 10, 0);
    SendMessage(edit, WM_SETTEXT, 0, reinterpret_cast<LParam>("aaaa\r\nbbbb\r\ncc"));
    EXPECT_EQ(EditText(edit), "bbbb\r\ncc");
}

TEST(PaneCapacity, TheDefaultCapacityHoldsALongLogAsItsNewestWholeLines) {
    const int quiet = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(quiet, 0);
    platform::internal::SetHeadlessOutput(quiet);
    {
        WindowThread window;
        const Hwnd edit = window.edit();
        const std::string padding(480, '.');
        std::size_t total = 0;
        int lines = 0;
        while (total < EditCapacity + EditCapacity / 2) {
            const std::string line = "line " + std::to_string(lines++) + " " + padding + "\r\n";
            Append(edit, line);
            total += line.size();
            ASSERT_LE(static_cast<std::size_t>(SendMessage(edit, WM_GETTEXTLENGTH, 0, 0)), EditCapacity);
        }
        const std::string text = EditText(edit);
        EXPECT_GT(text.size(), EditCapacity / 2);
        EXPECT_EQ(text.rfind("line ", 0), 0u) << "the text starts with a whole line";
        const std::string last = "line " + std::to_string(lines - 1) + " " + padding + "\r\n";
        EXPECT_EQ(text.substr(text.size() - last.size()), last);
        EXPECT_EQ(SelectionOf(edit), (Selection{text.size(), text.size()}));
    }
    platform::internal::SetHeadlessOutput(-1);
    ::close(quiet);
}

// A screen that mirrors the edit control into the terminal's pane model exactly as the terminal
// screen does, change by change, so that the test can hold the two side by side.
class MirrorScreen final : public platform::internal::Screen {
public:
    Rect Desktop() const override { return {0, 0, 80, 24}; }
    bool Interactive() const override { return false; }
    bool BoxesOnAnyThread() const override { return true; }
    void WindowChanged(Hwnd window) override {
        std::size_t start = 0, end = 0;
        if (!platform::internal::EditSnapshot(window, nullptr, &start, &end)) return;
        std::lock_guard lock(mutex);
        model.SetSelection(start, end);
    }
    void EditReplaced(Hwnd edit, std::size_t position, std::size_t removed, std::string_view inserted) override {
        std::size_t start = 0, end = 0;
        if (!platform::internal::EditSnapshot(edit, nullptr, &start, &end)) return;
        std::lock_guard lock(mutex);
        if (!model.Replace(position, removed, inserted)) ++refused;
        model.SetSelection(start, end);
        model.FollowCaret();
    }
    int MessageBox(Hwnd, std::string_view, std::string_view, std::uint32_t) override { return IDOK; }
    void DialogShown(Hwnd dialog, const DialogTemplate&) override { EndDialog(dialog, IDOK); }

    std::mutex mutex;
    PaneModel model;
    int refused = 0;
};

std::vector<std::string> LinesOf(const PaneModel& model) {
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < model.LineCount(); ++i) {
        lines.push_back(model.Text().substr(model.LineStart(i), model.LineEnd(i) - model.LineStart(i)));
    }
    return lines;
}

TEST(PaneCapacity, TheTerminalsMirrorStaysInStepThroughDrops) {
    MirrorScreen mirror;
    mirror.model.Resize(20, 6);
    platform::internal::SetScreen(&mirror);
    {
        WindowThread window;
        const Hwnd edit = window.edit();
        std::mt19937 random(12);
        SendMessage(edit, EM_SETLIMITTEXT, 120, 0);
        for (int step = 0; step < 600; ++step) {
            const int what = static_cast<int>(random() % 10);
            if (what == 0) {  // the user selects something
                const std::size_t size = EditText(edit).size();
                SendMessage(edit, EM_SETSEL, random() % (size + 1), static_cast<LParam>(random() % (size + 1)));
            } else if (what == 1) {
                SendMessage(edit, EM_SETLIMITTEXT, 40 + random() % 160, 0);
            } else {  // a log line, sometimes cut in two, sometimes with a wide character
                std::string text(random() % 30, static_cast<char>('a' + random() % 26));
                if (random() % 4 == 0) text += "\xc3\xa9";
                if (random() % 3 != 0) text += "\r\n";
                Append(edit, text);
            }
            const std::string control = EditText(edit);
            const Selection selection = SelectionOf(edit);
            std::lock_guard lock(mirror.mutex);
            PaneModel fresh;
            fresh.Reset(control, 0, 0);
            ASSERT_EQ(mirror.model.Text(), control) << "step " << step;
            ASSERT_EQ(LinesOf(mirror.model), LinesOf(fresh)) << "step " << step;
            const std::size_t low = std::min(mirror.model.SelectionStart(), mirror.model.SelectionEnd());
            const std::size_t high = std::max(mirror.model.SelectionStart(), mirror.model.SelectionEnd());
            ASSERT_EQ((Selection{low, high}), selection) << "step " << step;
            ASSERT_LE(control.size(), static_cast<std::size_t>(SendMessage(edit, EM_GETLIMITTEXT, 0, 0)));
            // The view holds the caret after every change, and the thumb lies in its track.
            int row = 0, column = 0;
            if (what >= 2) {
                ASSERT_TRUE(mirror.model.CaretCell(&row, &column)) << "step " << step;
            }
            const auto thumb = mirror.model.ScrollThumb(6);
            ASSERT_GE(thumb.start, 0);
            ASSERT_LE(thumb.start + thumb.length, 6);
        }
        EXPECT_EQ(mirror.refused, 0);
    }
    platform::internal::SetScreen(nullptr);
}

TEST(PaneCapacity, LinesDroppedFromTheFrontTakeAScrolledViewWithThem) {
    PaneModel model;
    model.Resize(10, 4);
    std::string text;
    for (int i = 0; i < 20; ++i) text += "l" + std::to_string(i) + "\r\n";
    model.Reset(text, text.size(), text.size());
    model.ScrollHome();
    model.ScrollLines(8);  // the user looks at l8 to l11
    const ThumbPlace before = model.ScrollThumb(4);
    const std::size_t five_lines = model.LineStart(5);
    ASSERT_TRUE(model.Replace(0, five_lines, ""));  // l0 to l4 dropped
    EXPECT_EQ(model.TopLine(), 3u);
    EXPECT_EQ(model.Text().substr(model.LineStart(model.TopLine()), 2), "l8");
    const ThumbPlace after = model.ScrollThumb(4);
    EXPECT_GE(after.length, before.length);  // fewer lines: a longer thumb
    // Drops that reach past the top line leave the view at the first line kept.
    ASSERT_TRUE(model.Replace(0, model.LineStart(6), ""));
    EXPECT_EQ(model.TopLine(), 0u);
    EXPECT_EQ(model.Text().substr(0, 3), "l11");
}

}  // namespace
