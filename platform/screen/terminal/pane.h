// Implemented in platform/screen/terminal/pane.cpp.
// The terminal screen's picture of an edit control and of its boxes, with no terminal in it:
// the text as the control holds it, cut into lines at "\r\n" (never wrapped), the view (first
// line, first column) that follows the caret, user scrolling and selection moves, the cells of
// one visible row, the scroll bar's thumb, and the word wrapping of box texts.
//
// How it works: the model mirrors the control's text from its change notifications (position,
// bytes removed, text inserted) and keeps the offsets at which lines start. A change rescans only
// from the line it touches to the end of the inserted text and shifts the starts after it, so an
// append costs the length of the last line. Columns are display columns: a tab goes to the next
// multiple of 8, a wide character takes 2, a control character or a byte that is no UTF-8 shows
// as one '?'. Offsets are byte offsets, as the edit control's.
//
// Index: PaneModel (Reset Replace SetSelection Resize FollowCaret ScrollLines ScrollColumns
// ScrollHome ScrollEnd LineCount LineStart LineEnd LineOf ColumnOf OffsetAt PreviousPosition
// NextPosition VerticalMove RenderRow CaretCell ScrollThumb) | WrapText TextWidth ClipText
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace platform::internal {

// A run of cells of one visible row, selected or not.
struct RowSpan {
    std::string text;
    bool selected = false;
};

// The scroll bar's thumb within a track of `length` cells.
struct ThumbPlace {
    int start = 0;
    int length = 0;
};

class PaneModel {
public:
    // Unicode false: the terminal cannot show UTF-8, every non-ASCII character is a '?'.
    explicit PaneModel(bool unicode = true) : unicode_(unicode) {}

    void Reset(std::string text, std::size_t sel_start, std::size_t sel_end);
    // False when the change does not fit the mirrored text (the caller then resets it).
    bool Replace(std::size_t position, std::size_t removed, std::string_view inserted);
    // As the control holds it: start is the anchor, end the caret; either may be the larger.
    void SetSelection(std::size_t start, std::size_t end);
    // The text area in cells (the scroll bar not included).
    void Resize(int columns, int rows);

    // Brings the caret into view, as the control does after each change of its text.
    void FollowCaret();
    void ScrollLines(long delta);
    void ScrollColumns(long delta);
    void ScrollHome();  // first line, first column
    void ScrollEnd();   // last line at the bottom, first column

    const std::string& Text() const { return text_; }
    std::size_t SelectionStart() const { return sel_start_; }
    std::size_t SelectionEnd() const { return sel_end_; }
    std::size_t TopLine() const { return top_; }
    long LeftColumn() const { return left_; }
    int Columns() const { return columns_; }
    int Rows() const { return rows_; }

    std::size_t LineCount() const { return starts_.size(); }
    std::size_t LineStart(std::size_t line) const;
    // Where the line's text ends, before its "\r\n".
    std::size_t LineEnd(std::size_t line) const;
    std::size_t LineOf(std::size_t offset) const;
    long ColumnOf(std::size_t offset) const;
    // The offset of the character under `column` of the line; its end when the column lies past it.
    std::size_t OffsetAt(std::size_t line, long column) const;
    // One character (or one "\r\n") back or forward.
    std::size_t PreviousPosition(std::size_t offset) const;
    std::size_t NextPosition(std::size_t offset) const;
    // The same column `lines` lines up (negative) or down, clamped to the text.
    std::size_t VerticalMove(std::size_t offset, long lines) const;

    // Visible row `row` (0 = the top of the view), exactly Columns() cells wide.
    std::vector<RowSpan> RenderRow(int row) const;
    // Where the caret is in the view; false when it is out of view.
    bool CaretCell(int* row, int* column) const;
    ThumbPlace ScrollThumb(int track) const;

private:
    std::size_t MaxTop() const;
    void ClampView();

    bool unicode_;
    std::string text_;
    std::vector<std::size_t> starts_{0};  // offsets at which lines start; the first is 0
    std::size_t sel_start_ = 0;
    std::size_t sel_end_ = 0;
    int columns_ = 0;
    int rows_ = 0;
    std::size_t top_ = 0;
    long left_ = 0;
};

// Lines of at most `width` columns: breaks at "\r\n" and "\n", then between words; a word longer
// than the width is cut.
std::vector<std::string> WrapText(std::string_view text, int width, bool unicode = true);
// Display columns of a text without line breaks.
int TextWidth(std::string_view text, bool unicode = true);
// As much of a one-line text as fits `width` columns, as a terminal shows it (a control
// character as '?', a tab as spaces).
std::string ClipText(std::string_view text, int width, bool unicode = true);

}  // namespace platform::internal
