#pragma once
// The session's view: what the agent has been shown of each block, and the check of a change
// against it.
// Private to blockops and its tests.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quillbox/blockops.h"
#include "quillbox/session.h"

namespace quillbox {

// The refusal for an id the index does not hold: the file changed, when a re-index gave the
// id up (its section is gone, or no longer to be told from a twin); `otherwise` when the id
// was never known.
Reply missing_block(Session& session, std::string_view block_id, std::string otherwise);

// The block where the index has it once it describes the file as it is now (re-indexed,
// keeping ids, when it changed since): a stored range can still hash as the session saw it
// while the section has grown past it. Its content hash stays the basis of a change: what the
// session was shown, else what the index held for `block`. Nothing when the section is gone.
std::optional<Block> fresh_block(Session& session, const Block& block);


// The hash a change of `block` is checked against: what the session was last shown of it, or
// the index's hash for a block the session never saw.
std::string expected_hash(const AgentView& view, const Block& block);
// A listing or search showed these blocks: the session based its choice on the index's state.
void record_listed(AgentView& view, const std::vector<Block>& blocks);
// The session was shown the text whose lines (without ends) are `lines`: every block records
// the hash of those lines at its range (blocks beyond the text are skipped).
void record_shown_text(AgentView& view, const std::vector<Block>& blocks, const std::vector<std::string>& lines);

// The session's own write of lines first..last (1-based): before it, the ids of the file's
// blocks that overlap the range and whose content in `lines_before` is what the session was
// shown. After it, `record_own_write` gives those blocks the content the write left them
// with, where the updated index agrees with `text_after` (the bytes the write produced);
// blocks outside the range keep their content and their view.
std::vector<std::string> view_touched_by_write(const AgentView& view, const std::vector<Block>& blocks_before,
                                               const std::vector<std::string>& lines_before,
                                               int first, int last);
// Whether a write of lines first..last (1-based; last = first - 1 inserts before `first`)
// would touch a block the session was shown with other content than `lines` (the file now)
// holds at its range.
bool view_conflicts(const AgentView& view, const std::vector<Block>& blocks, const std::vector<std::string>& lines,
                    int first, int last);
void record_own_write(AgentView& view, Indexer& indexer, const std::vector<std::string>& ids,
                      std::string_view text_after);

}  // namespace quillbox
