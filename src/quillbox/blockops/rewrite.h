#pragma once
// The verified rewrite of a block: where the block stands now, the write through the safety
// engine, and the bookkeeping after it; and how the text sent back maps to the block's lines.
// Private to blockops and its tests.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quillbox/blockops.h"
#include "quillbox/session.h"

namespace quillbox {

// Where a block to be rewritten stands now: its stored range while that still holds the
// recorded content, else wherever that content moved; nullopt when it is gone.
std::optional<std::pair<int, int>> locate_block(Session& session, const Block& block);

// The freshness record of the file a write left: the figures it took before reading the
// bytes back, and their hash. Nothing when the figures are unknown.
std::optional<FileState> written_state(const WriteOutcome& written);
// What a replace of lines first..last wrote, as the index takes it to update only the rows it
// touched: the bytes before and after and the written file's record. Nothing when the write's
// figures are unknown. Refers to `written`, which must outlive it.
std::optional<Indexer::LineSplice> splice_of(const WriteOutcome& written, int first, int last);

// Writes `new_lines` over lines actual_start..actual_end through the safety engine, then the
// bookkeeping of a block rewrite: the session tracker, the block's stored range and hash, a
// re-index keeping identifiers, the file_index row and the statistics row (`op_type`).
// Returns the block's new last line. ModificationError propagates. `lines_before`, when given,
// is the file's text as the operation read it (the file is not read again); `text_after`, when
// given, receives the bytes written. `final_line_end`: the block ends the file and its last
// line gets a line end (WriteBasis::final_line_end).
int rewrite_block(Session& session, const Block& block, int actual_start, int actual_end, const std::vector<std::string>& new_lines,
                  long long tokens_saved, std::string_view op_type,
                  const std::vector<std::string>* lines_before = nullptr, std::string* text_after = nullptr,
                  bool final_line_end = false);

// ---- Round trips -------------------------------------------------------------------------
// A block is shown as its lines joined by line feeds, so n blank lines at its end show as n
// line feeds after its last non-blank line. The text sent back is split at its line ends (a
// line end at the very end adds no empty line). Its blank lines at the end: when the line
// feeds after its last non-blank line number 0 or 1, or as many as the block showed, or one
// more, the block keeps the blank lines it had (its separation from what follows, byte for
// byte); any other number n gives n - 1 blank lines. So the text read comes back unchanged,
// with or without a closing line feed, and a one-word change is a one-line change. A text
// without a non-blank line is taken as it is; an empty text removes the block's lines.

// A line that is empty or holds only spaces and tabs.
bool is_blank_line(std::string_view line) noexcept;
// The lines `new_content` stands for as the new text of a block whose lines are `old_lines`.
std::vector<std::string> block_lines(std::string_view new_content, const std::vector<std::string>& old_lines);

}  // namespace quillbox
