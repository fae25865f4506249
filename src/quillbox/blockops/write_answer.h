#pragma once
// What a write answers: the lines it changed, cut to the result budget, and its savings footer.
// Private to blockops and its tests.

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quillbox/session.h"

namespace quillbox {

// The lines a write changed, as a short diff: the removed lines ("-N: text", numbered as they
// were) then the added ones ("+N: text", numbered as they are now), `first_line` being the file
// line of old_lines[0] and new_lines[0]. Lines the two share at the start and the end are left
// out; at most DIFF_MAX_LINES lines a side and DIFF_MAX_CHARS characters a line are shown,
// the rest counted. Empty when nothing changed.
inline constexpr std::size_t DIFF_MAX_LINES = 12;
inline constexpr std::size_t DIFF_MAX_CHARS = 240;
std::string change_lines(const std::vector<std::string>& old_lines, const std::vector<std::string>& new_lines,
                         long first_line);
// The changed stretch alone, as an editor's old -> new replacement would send it.
std::pair<std::string, std::string> changed_texts(const std::vector<std::string>& old_lines,
                                                  const std::vector<std::string>& new_lines);

// The tokens of a write's answer with this head and these changes, its footer included.
long long answer_tokens(const std::string& head, const std::string& changes, std::string_view model);
// A write's answer: `head` (what was done), the changed lines as change_lines shows them, cut
// to the result budget if need be, and the savings footer.
std::string write_answer(const Session& session, const std::string& head, const std::string& changes,
                         const std::string& footer);

}  // namespace quillbox
