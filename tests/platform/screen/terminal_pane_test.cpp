// The terminal screen's rendering logic without a terminal: the log pane's lines cut at "\r\n"
// only, kept in step change by change, the view following the caret down and across, user
// scrolling, a selection replaced as the edit control replaces it, the cells of a row, the scroll
// thumb, box text wrapping; and keys as WM_KEYDOWN through the real accelerator table.
#include <gtest/gtest.h>
#include <ncurses.h>

#include <clocale>
#include <random>

#include "resources/commands.h"
#include "platform/screen/terminal/terminal.h"
#include "platform/screen/terminal/pane.h"
#include "platform/platform.h"
#include "resources/resources.h"
#include "tests/support/window_thread.h"

namespace {

using platform::internal::PaneModel;
using platform::internal::RowSpan;
using platform::internal::WrapText;

std::vector<std::string> AllLines(const PaneModel& model) {
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < model.LineCount(); ++i) {
        lines.push_back(model.Text().substr(model.LineStart(i), model.LineEnd(i) - model.LineStart(i)));
    }
    return lines;
}

// A row as text, with [ ] around selected cells.
std::string Shown(const std::vector<RowSpan>& spans) {
    std::string out;
    for (const RowSpan& span : spans) out += span.selected ? "[" + span.text + "]" : span.text;
    return out;
}

// The edit control's own rule: the text replaces the selection, the caret goes after it.
void ControlAppend(PaneModel* model, std::string_view text) {
    std::size_t low = std::min(model->SelectionStart(), model->SelectionEnd());
    std::size_t high = std::max(model->SelectionStart(), model->SelectionEnd());
    ASSERT_TRUE(model->Replace(low, high - low, text));
    model->SetSelection(low + text.size(), low + text.size());
    model->FollowCaret();
}

TEST(TerminalPane, LinesEndOnlyAtCrLf) {
    PaneModel model;
    model.Reset("one\r\ntwo\nstill two\rand\r\n\r\nlast", 0, 0);
    EXPECT_EQ(AllLines(model), (std::vector<std::string>{"one", "two\nstill two\rand", "", "last"}));
    model.Resize(30, 5);
    EXPECT_EQ(Shown(model.RenderRow(1)), "two?still two?and             ");  // lone LF and CR show as '?'
    model.Reset("ends with a break\r\n", 0, 0);
    EXPECT_EQ(AllLines(model), (std::vector<std::string>{"ends with a break", ""}));
    model.Reset("", 0, 0);
    EXPECT_EQ(model.LineCount(), 1u);
}

TEST(TerminalPane, ChangesKeepTheLinesAsAFreshCountWould) {
    // Appends, CR and LF arriving apart, breaks split and joined, replacements anywhere.
    std::mt19937 random(20240611);
    const char* pieces[] = {"\r", "\n", "\r\n", "#", "line\r\n", "x", "\r\n\r\n", "ab\rcd\n", ""};
    PaneModel model;
    for (int step = 0; step < 5000; ++step) {
        const std::size_t size = model.Text().size();
        std::size_t position = size == 0 ? 0 : random() % (size + 1);
        std::size_t removed = (random() % 4 == 0 && position < size) ? random() % (size - position + 1) % 5 : 0;
        if (random() % 3 == 0) position = size, removed = 0;  // mostly appends, as the log does
        std::string inserted = pieces[random() % (sizeof pieces / sizeof pieces[0])];
        ASSERT_TRUE(model.Replace(position, removed, inserted));
        PaneModel fresh;
        fresh.Reset(model.Text(), 0, 0);
        ASSERT_EQ(model.LineCount(), fresh.LineCount()) << "step " << step;
        for (std::size_t line = 0; line < fresh.LineCount(); ++line) {
            ASSERT_EQ(model.LineStart(line), fresh.LineStart(line)) << "step " << step << " line " << line;
        }
    }
}

TEST(TerminalPane, AChangeOutsideTheTextIsRefused) {
    PaneModel model;
    model.Reset("abc", 0, 0);
    EXPECT_FALSE(model.Replace(4, 0, "x"));
    EXPECT_FALSE(model.Replace(2, 2, "x"));
    EXPECT_EQ(model.Text(), "abc");
}

TEST(TerminalPane, NewTextFollowsTheCaretDownward) {
    PaneModel model;
    model.Resize(20, 4);
    for (int i = 0; i < 10; ++i) ControlAppend(&model, "line " + std::to_string(i) + "\r\n");
    // 11 lines (the last is empty, the caret on it): the last four are in view.
    EXPECT_EQ(model.TopLine(), 7u);
    EXPECT_EQ(Shown(model.RenderRow(0)), "line 7              ");
    EXPECT_EQ(Shown(model.RenderRow(2)), "line 9              ");
    int row = -1, column = -1;
    ASSERT_TRUE(model.CaretCell(&row, &column));
    EXPECT_EQ(row, 3);
    EXPECT_EQ(column, 0);
}

TEST(TerminalPane, ALongLineScrollsAcrossWithTheCaretAndBackAtTheNextLine) {
    PaneModel model;
    model.Resize(10, 3);
    ControlAppend(&model, "short\r\n");
    for (int i = 0; i < 25; ++i) ControlAppend(&model, std::string(1, static_cast<char>('a' + i)));
    // The caret after 'y' (column 25) sits in the last cell; no wrapping.
    EXPECT_EQ(model.LeftColumn(), 16);
    EXPECT_EQ(Shown(model.RenderRow(1)), "qrstuvwxy ");
    EXPECT_EQ(Shown(model.RenderRow(0)), "          ");
    EXPECT_EQ(model.LineCount(), 2u);
    ControlAppend(&model, "\r\nnext");
    EXPECT_EQ(model.LeftColumn(), 0);
    EXPECT_EQ(Shown(model.RenderRow(2)), "next      ");
}

TEST(TerminalPane, UserScrollingIsClampedAndTheNextAppendReturnsToTheCaret) {
    PaneModel model;
    model.Resize(10, 5);
    for (int i = 0; i < 20; ++i) ControlAppend(&model, "l" + std::to_string(i) + "\r\n");
    EXPECT_EQ(model.TopLine(), 16u);  // 21 lines, 5 rows
    model.ScrollLines(-4);
    EXPECT_EQ(model.TopLine(), 12u);
    model.ScrollLines(-100);
    EXPECT_EQ(model.TopLine(), 0u);
    model.ScrollLines(100);
    EXPECT_EQ(model.TopLine(), 16u);
    model.ScrollHome();
    EXPECT_EQ(model.TopLine(), 0u);
    int row, column;
    EXPECT_FALSE(model.CaretCell(&row, &column));
    model.ScrollEnd();
    EXPECT_EQ(model.TopLine(), 16u);
    model.ScrollHome();
    ControlAppend(&model, "more");
    EXPECT_EQ(model.TopLine(), 16u);
    EXPECT_TRUE(model.CaretCell(&row, &column));
    // Not across past the widest line in view.
    model.ScrollColumns(50);
    EXPECT_EQ(model.LeftColumn(), 3);  // "more" and "l19" are the widest: 4 cells
    model.ScrollColumns(-50);
    EXPECT_EQ(model.LeftColumn(), 0);
}

TEST(TerminalPane, ASelectionIsShownAndTheNextAppendReplacesIt) {
    PaneModel model;
    model.Resize(12, 3);
    ControlAppend(&model, "alpha\r\nbravo\r\ncharlie");
    // Shift+Left four times from the caret: anchor at the end, the moving end back.
    std::size_t end = model.SelectionEnd();
    for (int i = 0; i < 4; ++i) end = model.PreviousPosition(end);
    model.SetSelection(model.Text().size(), end);
    EXPECT_EQ(Shown(model.RenderRow(2)), "cha[rlie]     ");
    ControlAppend(&model, "!");
    EXPECT_EQ(model.Text(), "alpha\r\nbravo\r\ncha!");
    EXPECT_EQ(Shown(model.RenderRow(2)), "cha!        ");
    // Across a line break: shown as one selected cell after the line.
    model.SetSelection(3, 9);
    EXPECT_EQ(Shown(model.RenderRow(0)), "alp[ha ]      ");
    EXPECT_EQ(Shown(model.RenderRow(1)), "[br]avo       ");
    ControlAppend(&model, "-");
    EXPECT_EQ(model.Text(), "alp-avo\r\ncha!");
    EXPECT_EQ(model.LineCount(), 2u);
}

TEST(TerminalPane, MovesStepOverLineBreaksAndWholeCharacters) {
    ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
    PaneModel model;
    model.Reset("ab\r\n\xc3\xa9t\xc3\xa9\r\nxyz", 0, 0);  // "été" in the middle line
    EXPECT_EQ(model.PreviousPosition(4), 2u);              // over "\r\n"
    EXPECT_EQ(model.NextPosition(2), 4u);
    EXPECT_EQ(model.NextPosition(4), 6u);  // a two-byte character
    EXPECT_EQ(model.PreviousPosition(9), 7u);
    EXPECT_EQ(model.ColumnOf(9), 3);
    EXPECT_EQ(model.VerticalMove(13, -1), 7u);  // from "xy|z" up: column 2, the second "é"
    EXPECT_EQ(model.VerticalMove(14, -1), 9u);  // from the end of "xyz": the end of "été"
    EXPECT_EQ(model.VerticalMove(1, 1), 6u);
    EXPECT_EQ(model.OffsetAt(1, 1), 6u);
    EXPECT_EQ(model.OffsetAt(1, 40), 9u);
    EXPECT_EQ(model.OffsetAt(7, 0), model.Text().size());
}

TEST(TerminalPane, CellsOfTabsControlsBadBytesAndWideCharacters) {
    ASSERT_NE(std::setlocale(LC_CTYPE, "C.UTF-8"), nullptr);
    PaneModel model;
    model.Resize(12, 2);
    model.Reset("a\tb\x01\xff" "c\r\n\xe6\x97\xa5\xe6\x9c\xac!", 0, 0);  // "日本!"
    EXPECT_EQ(Shown(model.RenderRow(0)), "a       b??c");
    EXPECT_EQ(Shown(model.RenderRow(1)), "\xe6\x97\xa5\xe6\x9c\xac!       ");
    EXPECT_EQ(model.ColumnOf(model.Text().size()), 5);
    model.ScrollColumns(1);  // the first wide character cut by the left edge: a blank
    EXPECT_EQ(Shown(model.RenderRow(1)), " \xe6\x9c\xac!        ");
    PaneModel ascii(false);  // a terminal without UTF-8
    ascii.Resize(6, 1);
    ascii.Reset("\xe6\x97\xa5x", 0, 0);
    EXPECT_EQ(Shown(ascii.RenderRow(0)), "?x    ");
}

TEST(TerminalPane, ScrollThumbFollowsTheView) {
    PaneModel model;
    model.Resize(10, 10);
    model.Reset("a\r\nb", 0, 0);
    EXPECT_EQ(model.ScrollThumb(10).start, 0);
    EXPECT_EQ(model.ScrollThumb(10).length, 10);  // everything in view: the whole track
    std::string text;
    for (int i = 0; i < 99; ++i) text += "x\r\n";
    model.Reset(text, 0, 0);  // 100 lines
    EXPECT_EQ(model.ScrollThumb(10).length, 1);
    EXPECT_EQ(model.ScrollThumb(10).start, 0);
    model.ScrollEnd();
    EXPECT_EQ(model.ScrollThumb(10).start, 9);
    model.ScrollLines(-60);  // a third of the way
    EXPECT_EQ(model.ScrollThumb(10).start, 3);
    EXPECT_EQ(model.ScrollThumb(0).length, 0);
}

TEST(TerminalPane, BoxTextsWrapAtWordsAndCutLongWords) {
    EXPECT_EQ(WrapText("Zamtalk - Written for Ondra to update phone module firmware", 28),
              (std::vector<std::string>{"Zamtalk - Written for Ondra", "to update phone module", "firmware"}));
    EXPECT_EQ(WrapText("one\r\ntwo\nthree", 10), (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_EQ(WrapText("abcdefghij", 4), (std::vector<std::string>{"abcd", "efgh", "ij"}));
    EXPECT_EQ(WrapText("", 10), (std::vector<std::string>{""}));
    EXPECT_EQ(WrapText("a  b", 10), (std::vector<std::string>{"a b"}));
    EXPECT_EQ(WrapText("tab\there", 20), (std::vector<std::string>{"tab     here"}));
    EXPECT_EQ(platform::internal::ClipText("[OK] and more", 4), "[OK]");
    EXPECT_EQ(platform::internal::TextWidth("Successful"), 10);
}

TEST(TerminalKeys, KeysBecomeVirtualKeysWithTheirCharacterAndModifiers) {
    using platform::KeyAlt;
    using platform::KeyControl;
    using platform::KeyShift;
    platform::WParam key = 0;
    platform::LParam data = 0;
    ASSERT_TRUE(platform::internal::VirtualKeyOf(false, 0x11, false, &key, &data));  // Ctrl+Q
    EXPECT_EQ(key, static_cast<platform::WParam>('Q'));
    EXPECT_EQ(data, KeyControl);
    ASSERT_TRUE(platform::internal::VirtualKeyOf(false, 'q', false, &key, &data));
    EXPECT_EQ(key, static_cast<platform::WParam>('Q'));
    EXPECT_EQ(data, static_cast<platform::LParam>('q'));
    ASSERT_TRUE(platform::internal::VirtualKeyOf(false, 'Q', true, &key, &data));  // Alt+Shift+Q
    EXPECT_EQ(data, static_cast<platform::LParam>('Q') | KeyShift | KeyAlt);
    ASSERT_TRUE(platform::internal::VirtualKeyOf(true, KEY_F(5), false, &key, &data));
    EXPECT_EQ(key, 0x74u);
    ASSERT_TRUE(platform::internal::VirtualKeyOf(true, KEY_SLEFT, false, &key, &data));
    EXPECT_EQ(key, 0x25u);
    EXPECT_EQ(data, KeyShift);
    ASSERT_TRUE(platform::internal::VirtualKeyOf(false, '\r', false, &key, &data));
    EXPECT_EQ(key, 0x0Du);
    EXPECT_EQ(data, static_cast<platform::LParam>('\r'));
    EXPECT_FALSE(platform::internal::VirtualKeyOf(false, 0x1C, false, &key, &data));  // Ctrl+backslash
}

// Ctrl+Q read from the terminal, as a posted WM_KEYDOWN, meets the program's accelerator table.
TEST(TerminalKeys, CtrlQGoesThroughTheAcceleratorTable) {
    fwu_test::UsePrivateRuntimeDirectory();
    platform::WParam key = 0;
    platform::LParam data = 0;
    ASSERT_TRUE(platform::internal::VirtualKeyOf(false, 0x11, false, &key, &data));
    platform::Haccel table = platform::LoadAccelerators(platform::GetModuleHandle(), resources::ID_ACCEL);
    ASSERT_NE(table, 0u);
    static std::uint16_t command = 0;
    ASSERT_NE(platform::RegisterClass("Accelerator Probe",
                                      [](platform::Hwnd w, std::uint32_t m, platform::WParam wp, platform::LParam lp) {
                                          if (m == platform::WM_COMMAND) command = platform::LowWord(wp);
                                          return platform::DefWindowProc(w, m, wp, lp);
                                      },
                                      platform::GetModuleHandle()),
              0);
    platform::Hwnd window = platform::CreateWindowEx(0, "Accelerator Probe", "", 0, 0, 0, 10, 10, 0, 0,
                                                     platform::GetModuleHandle(), nullptr);
    ASSERT_NE(window, 0u);
    platform::Msg msg{window, platform::WM_KEYDOWN, key, data};
    EXPECT_TRUE(platform::TranslateAccelerator(window, table, &msg));
    EXPECT_EQ(command, commands::Exit);
    command = 0;
    ASSERT_TRUE(platform::internal::VirtualKeyOf(false, 'q', false, &key, &data));  // plain q: no
    msg = {window, platform::WM_KEYDOWN, key, data};
    EXPECT_FALSE(platform::TranslateAccelerator(window, table, &msg));
    EXPECT_EQ(command, 0);
    platform::DestroyWindow(window);
}

}  // namespace
