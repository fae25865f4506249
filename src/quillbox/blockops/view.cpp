// The session's view of the blocks it was shown, and the check of a change against it.

#include <algorithm>
#include <cstddef>
#include <set>

#include "quillbox/blockops/freshness.h"
#include "quillbox/blockops/view.h"
#include "quillbox/detail/lines.h"
#include "quillbox/i18n.h"
#include "quillbox/indexer.h"

namespace fs = std::filesystem;

namespace quillbox {

namespace {

// Hash of lines start..end (1-based) of `lines`, or nothing when the range is not inside.
std::optional<std::string> hash_at(const std::vector<std::string>& lines, int start, int end) {
    if (start < 1 || end < start - 1 || static_cast<std::size_t>(end) > lines.size()) return std::nullopt;
    return compute_hash(detail::join_lines(lines, static_cast<std::size_t>(start - 1),
                                           static_cast<std::size_t>(end)));
}

}  // namespace

Reply missing_block(Session& session, std::string_view block_id, std::string otherwise) {
    if (session.index.was_retired(block_id)) return Reply::refusal(get_message("file_changed"));
    return Reply::refusal(std::move(otherwise));
}

std::optional<Block> fresh_block(Session& session, const Block& block) {
    for (Block& b : _ensure_fresh_index(session.index, session.watcher, block.file_path))
        if (b.uuid == block.uuid) {
            // Where it stands now, but the text a change is based on stays what the session
            // was shown, or else what the index held when the call came.
            b.content_hash = expected_hash(session.view, block);
            return std::move(b);
        }
    return std::nullopt;
}

std::string expected_hash(const AgentView& view, const Block& block) {
    return view.shown(block.uuid).value_or(block.content_hash);
}

void record_listed(AgentView& view, const std::vector<Block>& blocks) {
    for (const auto& b : blocks) view.record(b.uuid, b.content_hash);
}

void record_shown_text(AgentView& view, const std::vector<Block>& blocks, const std::vector<std::string>& lines) {
    for (const auto& b : blocks)
        if (auto h = hash_at(lines, b.start_line, b.end_line)) view.record(b.uuid, *h);
}

std::vector<std::string> view_touched_by_write(const AgentView& view, const std::vector<Block>& blocks_before,
                                               const std::vector<std::string>& lines_before,
                                               int first, int last) {
    std::vector<std::string> ids;
    for (const auto& b : blocks_before) {
        // Overlap with the written range; an insertion (last < first) touches the blocks
        // that hold its position.
        const int lo = std::min(first, last + 1);
        if (b.end_line < lo || b.start_line > std::max(last, first)) continue;
        auto shown = view.shown(b.uuid);
        if (shown && hash_at(lines_before, b.start_line, b.end_line) == shown) ids.push_back(b.uuid);
    }
    return ids;
}

bool view_conflicts(const AgentView& view, const std::vector<Block>& blocks, const std::vector<std::string>& lines,
                    int first, int last) {
    const int lo = std::min(first, last + 1);
    const int hi = std::max(first, last);
    for (const auto& b : blocks) {
        if (b.end_line < lo || b.start_line > hi) continue;
        auto shown = view.shown(b.uuid);
        if (shown && hash_at(lines, b.start_line, b.end_line) != shown) return true;
    }
    return false;
}

void record_own_write(AgentView& view, Indexer& indexer, const std::vector<std::string>& ids,
                      std::string_view text_after) {
    if (ids.empty()) return;
    const auto spans = detail::line_spans(text_after);
    for (const std::string& id : ids) {
        const std::optional<Block> b = indexer.get_block(id);
        if (!b || b->start_line < 1 || b->end_line < b->start_line - 1 ||
            static_cast<std::size_t>(b->end_line) > spans.size())
            continue;
        // The index was brought up to date after the write; it speaks for this write only
        // where it matches the text the write produced.
        // Elsewhere the old view stays, and a later change of the block is refused.
        const std::string lines = detail::join_spans(text_after, spans, static_cast<std::size_t>(b->start_line - 1),
                                                     static_cast<std::size_t>(b->end_line));
        if (compute_hash(lines) == b->content_hash) view.record(b->uuid, b->content_hash);
    }
}

}  // namespace quillbox
