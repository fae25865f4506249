// Pages of lines under the result budget, and the cut marker of a line too long for a page.

#include <string>

#include "quillbox/blockops/pages.h"
#include "quillbox/detail/utf8.h"
#include "quillbox/i18n.h"

namespace quillbox {

bool holds_cut_marker(std::string_view sent, std::string_view original) {
    return sent.find(CUT_MARK) != std::string_view::npos && original.find(CUT_MARK) == std::string_view::npos;
}

std::size_t column_byte(std::string_view line, long long column) {
    std::size_t i = 0;
    for (long long c = 1; c < column && i < line.size(); ++c) detail::next_code_point(line, i);
    return std::min(i, line.size());
}

namespace {

std::string cut_marker(long long line, long long column, long long length) {
    return get_message("page_cut_marker", {{"line", line}, {"column", column}, {"length", length}});
}

}  // namespace

LinePage page_lines(const TokenTally& base, const std::vector<std::string>& lines, long long line_of_first,
                    long long first, long long column, long long stop, long long budget) {
    LinePage page;
    page.first = first;
    page.column = column;
    page.last = first - 1;
    page.next = first;
    const auto idx = [&](long long line) { return static_cast<std::size_t>(line - line_of_first); };
    if (first >= stop || idx(first) >= lines.size()) return page;
    const std::string& line = lines[idx(first)];
    const std::string_view piece = std::string_view(line).substr(column_byte(line, column));
    if (column > 1) page.line_length = static_cast<long long>(detail::code_point_count(line));
    if (base.tokens_with(piece) <= budget) {
        TokenTally tally = base;
        tally.add(piece);
        const std::size_t more = lines_that_fit(tally, lines, idx(first) + 1, idx(stop), budget);
        page.body = piece;
        for (std::size_t i = 0; i < more; ++i) {
            page.body += '\n';
            page.body += lines[idx(first) + 1 + i];
        }
        page.last = first + static_cast<long long>(more);
        page.next = page.last + 1;
        return page;
    }
    // A line longer than the page: as much of it as fits beside the marker, never nothing.
    const auto length = static_cast<long long>(detail::code_point_count(line));
    TokenTally with_marker = base;
    with_marker.add(cut_marker(first, length, length));
    std::string_view prefix = prefix_that_fits(with_marker, piece, budget);
    if (prefix.empty()) {
        std::size_t one = 0;
        detail::next_code_point(piece, one);
        prefix = piece.substr(0, one);
    }
    page.line_length = length;
    page.cut_to = column + static_cast<long long>(detail::code_point_count(prefix)) - 1;
    page.last = first;
    page.next = first;
    page.next_column = page.cut_to + 1;
    page.body = std::string(prefix) + cut_marker(first, page.next_column, length);
    return page;
}

std::string page_span(const LinePage& page) {
    if (page.cut())
        return get_message("page_span_piece", {{"line", page.first},
                                               {"from", page.column},
                                               {"to", page.cut_to},
                                               {"length", page.line_length}});
    const std::string lines = std::to_string(page.first) + "-" + std::to_string(std::max(page.first, page.last));
    if (page.column > 1)
        return lines + get_message("page_span_rest", {{"line", page.first}, {"from", page.column}});
    return lines;
}

std::string shortened(std::string_view text, std::size_t max_chars) {
    const std::size_t n = detail::code_point_count(text);
    if (n <= max_chars) return std::string(text);
    const std::size_t keep = column_byte(text, static_cast<long long>(max_chars) + 1);
    return std::string(text.substr(0, keep)) +
           get_message("text_shortened", {{"count", static_cast<long long>(n - max_chars)}});
}

}  // namespace quillbox
