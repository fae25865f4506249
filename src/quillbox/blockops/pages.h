#pragma once
// Pages of lines under the result budget: a line too long for one page is cut with a marker
// and continued on the next page.
// Private to blockops and its tests.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "quillbox/blockops/budget.h"

namespace quillbox {

// Opens the marker put where a line too long for one page is cut. Text sent back with it in
// place of the line's rest is refused: the marker is not the line.
inline constexpr std::string_view CUT_MARK = "⟦✂";

// Whether `sent` holds a cut marker that `original` (the text it replaces) does not.
bool holds_cut_marker(std::string_view sent, std::string_view original);

// One page of lines, from line `first` at character `column` (1-based code points).
struct LinePage {
    std::string body;
    long long first = 0;       // file line the page starts in
    long long column = 1;      // character of that line the page starts at
    long long last = 0;        // file line the page ends in
    long long line_length = 0; // characters of line `first`, when the page shows part of it
    long long cut_to = 0;      // when cut: the last character of line `first` shown
    long long next = 0;        // where the next page starts: line and character
    long long next_column = 1;
    bool cut() const { return cut_to > 0; }
};

// The characters of `line` (code points) and the byte where character `column` starts.
std::size_t column_byte(std::string_view line, long long column);

// The page of lines[first - line_of_first ..) up to (not including) line `stop` that fits
// `budget` after what `base` counts. Whole lines, except that a first line too long for the
// page is cut there with the cut marker (page_cut_marker), and the next page starts at the
// next character. `column` must lie within line `first` (or be 1).
LinePage page_lines(const TokenTally& base, const std::vector<std::string>& lines, long long line_of_first,
                    long long first, long long column, long long stop, long long budget);

// "5-9", "line 5, characters 1-6600 of 100031" or "5-9 (line 5 from character 6601)".
std::string page_span(const LinePage& page);

// Shortens `text` to at most `max_chars` characters, saying how many were left out.
std::string shortened(std::string_view text, std::size_t max_chars);

}  // namespace quillbox
