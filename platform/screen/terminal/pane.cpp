// The terminal screen's model of an edit control and the wrapping of box texts (no terminal here;
// see platform/screen/terminal/pane.h).
#include <cwchar>

#include <algorithm>

#include "platform/screen/terminal/pane.h"

namespace platform::internal {
namespace {

constexpr char32_t NotUtf8 = 0xFFFFFFFF;
constexpr int TabStop = 8;

// One character at `offset`: its bytes, its width at `column`, and what a terminal shows for it.
struct Glyph {
    std::size_t length = 1;
    int width = 1;
    bool as_is = true;  // false: shown as `width` copies of `fill`
    char fill = '?';
};

std::size_t Decode(std::string_view text, std::size_t i, char32_t* code) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
        *code = lead;
        return 1;
    }
    int more;
    char32_t value;
    char32_t least;
    if ((lead & 0xE0) == 0xC0) {
        more = 1, value = lead & 0x1F, least = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        more = 2, value = lead & 0x0F, least = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        more = 3, value = lead & 0x07, least = 0x10000;
    } else {
        *code = NotUtf8;
        return 1;
    }
    if (i + static_cast<std::size_t>(more) >= text.size()) {  // cut short
        *code = NotUtf8;
        return 1;
    }
    for (int k = 1; k <= more; ++k) {
        const auto next = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
        if ((next & 0xC0) != 0x80) {
            *code = NotUtf8;
            return 1;
        }
        value = (value << 6) | (next & 0x3F);
    }
    if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        *code = NotUtf8;
        return 1;
    }
    *code = value;
    return static_cast<std::size_t>(more) + 1;
}

Glyph NextGlyph(std::string_view text, std::size_t offset, long column, bool unicode) {
    Glyph glyph;
    char32_t code;
    glyph.length = Decode(text, offset, &code);
    if (code == '\t') {
        glyph.width = TabStop - static_cast<int>(column % TabStop);
        glyph.as_is = false;
        glyph.fill = ' ';
    } else if (code == NotUtf8 || code < 0x20 || code == 0x7F || (code >= 0x80 && code < 0xA0)) {
        glyph.as_is = false;
    } else if (code >= 0x80) {
        int width = unicode ? ::wcwidth(static_cast<wchar_t>(code)) : -1;
        if (width < 0) {
            glyph.as_is = false;
        } else {
            glyph.width = width;
        }
    }
    return glyph;
}

void AppendGlyph(std::string* out, std::string_view text, std::size_t offset, const Glyph& glyph) {
    if (glyph.as_is) {
        out->append(text.substr(offset, glyph.length));
    } else {
        out->append(static_cast<std::size_t>(glyph.width), glyph.fill);
    }
}

void AppendCells(std::vector<RowSpan>* spans, std::string_view cells, bool selected) {
    if (cells.empty()) return;
    if (spans->empty() || spans->back().selected != selected) spans->push_back({std::string(), selected});
    spans->back().text.append(cells);
}

void WrapParagraph(std::string_view text, int width, bool unicode, std::vector<std::string>* out) {
    std::string line;
    int line_width = 0;
    // Cuts `word` into pieces of the width; the last piece stays in `line`.
    auto place_cut = [&](std::string_view word) {
        std::size_t i = 0;
        while (i < word.size()) {
            Glyph glyph = NextGlyph(word, i, line_width, unicode);
            if (line_width + glyph.width > width && line_width > 0) {
                out->push_back(line);
                line.clear();
                line_width = 0;
                continue;
            }
            AppendGlyph(&line, word, i, glyph);
            line_width += glyph.width;
            i += glyph.length;
        }
    };
    std::size_t begin = 0;
    while (begin <= text.size()) {
        std::size_t space = text.find(' ', begin);
        std::string_view word = text.substr(begin, space == std::string_view::npos ? std::string_view::npos : space - begin);
        begin = space == std::string_view::npos ? text.size() + 1 : space + 1;
        if (word.empty()) continue;
        int word_width = TextWidth(word, unicode);
        if (line_width > 0 && line_width + 1 + word_width <= width) {
            line.push_back(' ');
            line_width += 1;
        } else if (line_width > 0) {
            out->push_back(line);
            line.clear();
            line_width = 0;
        }
        place_cut(word);
    }
    out->push_back(line);
}

}  // namespace

void PaneModel::Reset(std::string text, std::size_t sel_start, std::size_t sel_end) {
    text_ = std::move(text);
    starts_.assign(1, 0);
    for (std::size_t i = 0; i + 1 < text_.size(); ++i) {
        if (text_[i] == '\r' && text_[i + 1] == '\n') starts_.push_back(i + 2);
    }
    SetSelection(sel_start, sel_end);
    ClampView();
}

bool PaneModel::Replace(std::size_t position, std::size_t removed, std::string_view inserted) {
    if (position > text_.size() || removed > text_.size() - position) return false;
    // From the line holding the byte before the change: a "\r\n" may form or break across it.
    const std::size_t line = position == 0 ? 0 : LineOf(position - 1);
    const std::size_t scan_from = starts_[line];
    const std::size_t lines_before = starts_.size();
    std::vector<std::size_t> after(starts_.begin() + static_cast<long>(line) + 1, starts_.end());
    starts_.resize(line + 1);
    text_.replace(position, removed, inserted);
    const std::size_t scan_to = position + inserted.size();
    for (std::size_t i = scan_from; i < scan_to && i + 1 < text_.size(); ++i) {
        if (text_[i] == '\r' && text_[i + 1] == '\n') starts_.push_back(i + 2);
    }
    // Line starts whose "\r\n" lay wholly after the removed bytes move with the text.
    for (std::size_t start : after) {
        if (start >= position + removed + 2) starts_.push_back(start - removed + inserted.size());
    }
    // A view below the change keeps its lines: lines dropped from the front take it up with them.
    if (top_ > line) {
        const long moved = static_cast<long>(top_) + static_cast<long>(starts_.size()) - static_cast<long>(lines_before);
        top_ = static_cast<std::size_t>(std::max(static_cast<long>(line), moved));
    }
    ClampView();
    return true;
}

void PaneModel::SetSelection(std::size_t start, std::size_t end) {
    sel_start_ = std::min(start, text_.size());
    sel_end_ = std::min(end, text_.size());
}

void PaneModel::Resize(int columns, int rows) {
    int row, column;
    bool caret_was_visible = CaretCell(&row, &column);
    columns_ = std::max(columns, 0);
    rows_ = std::max(rows, 0);
    ClampView();
    if (caret_was_visible) FollowCaret();
}

void PaneModel::FollowCaret() {
    if (rows_ <= 0 || columns_ <= 0) return;
    const std::size_t caret = std::min(sel_end_, text_.size());
    const std::size_t line = LineOf(caret);
    if (line < top_) top_ = line;
    if (line >= top_ + static_cast<std::size_t>(rows_)) top_ = line - static_cast<std::size_t>(rows_) + 1;
    // To the right exactly as far as needed; to the left so far that the caret stands three
    // quarters across, which shows a new line from its first column.
    const long column = ColumnOf(caret);
    if (column < left_) left_ = std::max(0L, column - columns_ * 3 / 4);
    if (column >= left_ + columns_) left_ = column - columns_ + 1;
}

void PaneModel::ScrollLines(long delta) {
    long top = static_cast<long>(top_) + delta;
    top_ = static_cast<std::size_t>(std::clamp(top, 0L, static_cast<long>(MaxTop())));
}

// Not past the widest line in view: a view of nothing but blanks tells the user nothing.
void PaneModel::ScrollColumns(long delta) {
    long widest = 0;
    for (std::size_t line = top_; line < LineCount() && line < top_ + static_cast<std::size_t>(rows_); ++line) {
        widest = std::max(widest, ColumnOf(LineEnd(line)));
    }
    left_ = std::clamp(left_ + delta, 0L, std::max(0L, widest - 1));
}

void PaneModel::ScrollHome() {
    top_ = 0;
    left_ = 0;
}

void PaneModel::ScrollEnd() {
    top_ = MaxTop();
    left_ = 0;
}

std::size_t PaneModel::LineStart(std::size_t line) const {
    return line < starts_.size() ? starts_[line] : text_.size();
}

std::size_t PaneModel::LineEnd(std::size_t line) const {
    return line + 1 < starts_.size() ? starts_[line + 1] - 2 : text_.size();
}

std::size_t PaneModel::LineOf(std::size_t offset) const {
    auto it = std::upper_bound(starts_.begin(), starts_.end(), offset);
    return static_cast<std::size_t>(it - starts_.begin()) - 1;
}

long PaneModel::ColumnOf(std::size_t offset) const {
    const std::size_t line = LineOf(std::min(offset, text_.size()));
    const std::size_t end = std::min(offset, LineEnd(line));
    long column = 0;
    for (std::size_t i = LineStart(line); i < end;) {
        Glyph glyph = NextGlyph(text_, i, column, unicode_);
        column += glyph.width;
        i += glyph.length;
    }
    return column;
}

std::size_t PaneModel::OffsetAt(std::size_t line, long column) const {
    if (line >= LineCount()) return text_.size();
    const std::size_t end = LineEnd(line);
    long at = 0;
    for (std::size_t i = LineStart(line); i < end;) {
        Glyph glyph = NextGlyph(text_, i, at, unicode_);
        if (column < at + std::max(glyph.width, 1)) return i;
        at += glyph.width;
        i += glyph.length;
    }
    return end;
}

std::size_t PaneModel::PreviousPosition(std::size_t offset) const {
    offset = std::min(offset, text_.size());
    if (offset == 0) return 0;
    if (offset >= 2 && text_.compare(offset - 2, 2, "\r\n") == 0) return offset - 2;
    std::size_t i = offset - 1;
    // Back over continuation bytes, but only as far as a sequence can reach.
    for (int k = 0; k < 3 && i > 0 && (static_cast<unsigned char>(text_[i]) & 0xC0) == 0x80; ++k) --i;
    char32_t code;
    return i + Decode(text_, i, &code) == offset ? i : offset - 1;
}

std::size_t PaneModel::NextPosition(std::size_t offset) const {
    if (offset >= text_.size()) return text_.size();
    if (text_.compare(offset, 2, "\r\n") == 0) return offset + 2;
    char32_t code;
    return offset + Decode(text_, offset, &code);
}

std::size_t PaneModel::VerticalMove(std::size_t offset, long lines) const {
    const long line = static_cast<long>(LineOf(std::min(offset, text_.size())));
    const long target = std::clamp(line + lines, 0L, static_cast<long>(LineCount()) - 1);
    return OffsetAt(static_cast<std::size_t>(target), ColumnOf(offset));
}

std::vector<RowSpan> PaneModel::RenderRow(int row) const {
    std::vector<RowSpan> spans;
    const long right = left_ + columns_;
    long column = 0;
    const std::size_t line = top_ + static_cast<std::size_t>(std::max(row, 0));
    if (row >= 0 && line < LineCount()) {
        const std::size_t sel_low = std::min(sel_start_, sel_end_);
        const std::size_t sel_high = std::max(sel_start_, sel_end_);
        const std::size_t end = LineEnd(line);
        for (std::size_t i = LineStart(line); i < end && column < right;) {
            Glyph glyph = NextGlyph(text_, i, column, unicode_);
            const bool selected = i >= sel_low && i < sel_high;
            const long from = std::max(column, left_);
            const long to = std::min(column + glyph.width, right);
            if (from < to) {
                std::string cells;
                if (from == column && to == column + glyph.width) {
                    AppendGlyph(&cells, text_, i, glyph);
                } else {  // a wide character cut by an edge of the view
                    cells.assign(static_cast<std::size_t>(to - from), ' ');
                }
                AppendCells(&spans, cells, selected);
            } else if (glyph.width == 0 && column > left_ && column < right) {
                AppendCells(&spans, text_.substr(i, glyph.length), selected);  // combining mark
            }
            column += glyph.width;
            i += glyph.length;
        }
        // A selected line break shows as one selected cell after the line.
        const bool has_break = line + 1 < LineCount();
        if (has_break && end >= sel_low && end < sel_high && column >= left_ && column < right) {
            AppendCells(&spans, " ", true);
            ++column;
        }
    }
    long used = std::clamp(column - left_, 0L, static_cast<long>(columns_));
    AppendCells(&spans, std::string(static_cast<std::size_t>(columns_ - used), ' '), false);
    return spans;
}

bool PaneModel::CaretCell(int* row, int* column) const {
    if (rows_ <= 0 || columns_ <= 0) return false;
    const std::size_t caret = std::min(sel_end_, text_.size());
    const std::size_t line = LineOf(caret);
    const long at = ColumnOf(caret);
    if (line < top_ || line >= top_ + static_cast<std::size_t>(rows_) || at < left_ || at >= left_ + columns_) {
        return false;
    }
    *row = static_cast<int>(line - top_);
    *column = static_cast<int>(at - left_);
    return true;
}

ThumbPlace PaneModel::ScrollThumb(int track) const {
    if (track <= 0) return {};
    const std::size_t lines = LineCount();
    if (rows_ <= 0 || lines <= static_cast<std::size_t>(rows_)) return {0, track};
    int length = std::max(1, static_cast<int>(static_cast<std::size_t>(track) * static_cast<std::size_t>(rows_) / lines));
    const std::size_t max_top = MaxTop();
    int start = static_cast<int>((static_cast<std::size_t>(track - length) * top_ + max_top / 2) / max_top);
    return {std::min(start, track - length), length};
}

std::size_t PaneModel::MaxTop() const {
    const std::size_t rows = static_cast<std::size_t>(std::max(rows_, 1));
    return LineCount() > rows ? LineCount() - rows : 0;
}

void PaneModel::ClampView() {
    top_ = std::min(top_, MaxTop());
    sel_start_ = std::min(sel_start_, text_.size());
    sel_end_ = std::min(sel_end_, text_.size());
}

std::vector<std::string> WrapText(std::string_view text, int width, bool unicode) {
    width = std::max(width, 1);
    std::vector<std::string> out;
    std::size_t begin = 0;
    for (;;) {
        std::size_t newline = text.find('\n', begin);
        std::string_view paragraph = text.substr(begin, newline == std::string_view::npos ? std::string_view::npos
                                                                                          : newline - begin);
        if (!paragraph.empty() && paragraph.back() == '\r') paragraph.remove_suffix(1);
        WrapParagraph(paragraph, width, unicode, &out);
        if (newline == std::string_view::npos) break;
        begin = newline + 1;
    }
    return out;
}

int TextWidth(std::string_view text, bool unicode) {
    long column = 0;
    for (std::size_t i = 0; i < text.size();) {
        Glyph glyph = NextGlyph(text, i, column, unicode);
        column += glyph.width;
        i += glyph.length;
    }
    return static_cast<int>(column);
}

std::string ClipText(std::string_view text, int width, bool unicode) {
    std::string out;
    long column = 0;
    for (std::size_t i = 0; i < text.size();) {
        Glyph glyph = NextGlyph(text, i, column, unicode);
        if (column + glyph.width > width) break;
        AppendGlyph(&out, text, i, glyph);
        column += glyph.width;
        i += glyph.length;
    }
    return out;
}

}  // namespace platform::internal
