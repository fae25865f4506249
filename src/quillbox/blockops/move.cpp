// Moving a section, with everything nested below it, to another place in the same file.

#include <algorithm>
#include <optional>
#include <string>

#include "quillbox/blockops.h"
#include "quillbox/blockops/structure.h"
#include "quillbox/i18n.h"
#include "quillbox/blockops/freshness.h"
#include "quillbox/blockops/view.h"
#include "quillbox/blockops/rewrite.h"

namespace quillbox {

namespace {

// Whether lines[i] is the text line of a setext heading (a non-blank line over a run of "="
// or "-" indented by at most three spaces).
bool starts_setext_heading(const std::vector<std::string>& lines, std::size_t i) {
    if (i + 1 >= lines.size() || is_blank_line(lines[i])) return false;
    std::string_view u = lines[i + 1];
    std::size_t p = u.find_first_not_of(' ');
    if (p == std::string_view::npos || p > 3 || (u[p] != '=' && u[p] != '-')) return false;
    std::size_t q = u.find_first_not_of(u[p], p);
    return q == std::string_view::npos || u.find_first_not_of(" \t", q) == std::string_view::npos;
}

// Where the section goes: the 0-based line it is inserted before; nothing for a position
// that does not apply.
std::optional<long> insertion_point(const std::vector<Block>& all_blocks, const std::optional<Block>& target,
                                    std::string_view position, const std::vector<std::string>& lines) {
    if (target) {
        if (position == "after") return target->end_line;
        if (position == "before") return target->start_line - 1;
        if (position == "as_first_child") return target->start_line;
        if (position == "as_last_child") {
            auto td = get_descendant_blocks(all_blocks, *target);
            return td.empty() ? target->end_line : td.back().end_line;
        }
        return std::nullopt;
    }
    if (position == "before") {
        int fm_end = find_frontmatter_end(lines);
        return fm_end > 0 ? fm_end : 0;
    }
    if (position == "after") return static_cast<long>(lines.size());
    return std::nullopt;
}

// The file's lines with lines [src_start_0, src_end) moved before line `insert_pos` (both
// 0-based, of the file as it is).
std::vector<std::string> lines_after_move(const std::vector<std::string>& lines, long src_start_0, long src_end,
                                          long insert_pos) {
    std::vector<std::string> src_lines(lines.begin() + src_start_0, lines.begin() + src_end);
    std::vector<std::string> remaining(lines.begin(), lines.begin() + src_start_0);
    remaining.insert(remaining.end(), lines.begin() + src_end, lines.end());
    if (insert_pos >= src_end) insert_pos -= static_cast<long>(src_lines.size());
    insert_pos = std::clamp(insert_pos, 0L, static_cast<long>(remaining.size()));

    // The section moves with its own trailing blank lines. Where it lands it is kept apart
    // from its neighbours as the file keeps sections apart: with one blank line before it
    // after a non-blank line, and after it when it ends without one and text follows, when it
    // was set off by a blank line where it stood; and always where a paragraph line would
    // otherwise join a setext heading. The blank lines at the very end of the file stay as
    // many as they were.
    const auto at = static_cast<std::size_t>(insert_pos);
    const bool set_off = (src_start_0 > 0 && is_blank_line(lines[static_cast<std::size_t>(src_start_0 - 1)])) ||
                         is_blank_line(src_lines.back());
    std::vector<std::string> new_lines(remaining.begin(), remaining.begin() + insert_pos);
    if (at > 0 && !is_blank_line(remaining[at - 1]) && (set_off || starts_setext_heading(src_lines, 0)))
        new_lines.emplace_back();
    new_lines.insert(new_lines.end(), src_lines.begin(), src_lines.end());
    if (at < remaining.size() && !is_blank_line(src_lines.back()) &&
        (set_off || starts_setext_heading(remaining, at)))
        new_lines.emplace_back();
    new_lines.insert(new_lines.end(), remaining.begin() + insert_pos, remaining.end());
    auto trailing_blanks = [](const std::vector<std::string>& v) {
        std::size_t k = 0;
        while (k < v.size() && is_blank_line(v[v.size() - 1 - k])) ++k;
        return k;
    };
    const std::size_t tail_before = trailing_blanks(lines);
    std::size_t tail_after = trailing_blanks(new_lines);
    for (; tail_after > tail_before; --tail_after) new_lines.pop_back();
    for (; tail_after < tail_before; ++tail_after) new_lines.emplace_back();

    return new_lines;
}

}  // namespace

Reply do_move_block(Session& session, std::string_view block_id, std::string_view target_block_id,
                    std::string_view position) {
    log_debug("move_block: %.*s", static_cast<int>(block_id.size()), block_id.data());
    auto heading = structure::find_heading_file(session, block_id);
    if (auto* refusal = std::get_if<Reply>(&heading)) return *refusal;
    const auto& [found, path] = std::get<structure::HeadingFile>(heading);

    const bool has_target = !target_block_id.empty();
    if (has_target) {
        auto t = session.index.get_block(target_block_id);
        if (!t) return missing_block(session, target_block_id, get_message("block_not_found", {{"block_id", target_block_id}}));
        if (auto refusal = structure::refuse_non_heading(t, target_block_id)) return Reply::refusal(*refusal);
        // Sections move within their own file only.
        if (t->file_path != found.file_path) return Reply::refusal(get_message("block_move_invalid_target"));
    }

    std::vector<Block> all_blocks = _ensure_fresh_index(session.index, session.watcher, path);
    // A file changed on disk was re-indexed just now: identifiers from before are gone.
    auto current = structure::find_block(all_blocks, block_id);
    if (!current) return missing_block(session, block_id, get_message("block_not_found", {{"block_id", block_id}}));
    const Block block = *current;
    std::optional<Block> target;
    if (has_target) {
        target = structure::find_block(all_blocks, target_block_id);
        if (!target) return missing_block(session, target_block_id, get_message("block_not_found", {{"block_id", target_block_id}}));
    }

    std::vector<Block> source_descendants = get_descendant_blocks(all_blocks, block);
    int src_start = block.start_line;
    int src_end = block.end_line;
    for (const auto& d : source_descendants) src_end = std::max(src_end, d.end_line);

    if (target) {
        for (const auto& d : source_descendants)
            if (d.uuid == target->uuid)
                return Reply::refusal(get_message("block_level_conflict", {{"error", "Cannot move a section into its own subtree"}}));
        if (auto conflict = check_level_conflict(block.level, target->level, position))
            return Reply::refusal(get_message("block_level_conflict", {{"error", *conflict}}));
    }

    std::string basis;
    std::vector<const Block*> to_match{&block};
    if (target) to_match.push_back(&*target);
    auto unchanged = structure::read_unchanged(session.index, path, to_match, basis);
    if (!unchanged) return Reply::refusal(get_message("file_changed"));
    const std::vector<std::string>& lines = *unchanged;
    // The section moves as it stands now: it must be what the session was shown of it.
    if (view_conflicts(session.view, {block}, lines, block.start_line, block.end_line)) return Reply::refusal(get_message("file_changed"));

    const std::optional<long> insert_at = insertion_point(all_blocks, target, position, lines);
    if (!insert_at) return Reply::refusal(get_message("block_move_invalid_target"));
    const long insert_pos = *insert_at;

    const long src_start_0 = src_start - 1;
    if (src_start_0 <= insert_pos && insert_pos <= src_end) return get_message("toc_unchanged");

    const std::vector<std::string> new_lines = lines_after_move(lines, src_start_0, src_end, insert_pos);

    // Where each section goes: the moved ones where they land, the others in their order.
    std::vector<std::string> order;
    if (const std::vector<std::string> ids = structure::ids_if_unchanged(all_blocks, lines); !ids.empty()) {
        auto moved = [&](const Block& b) { return b.start_line >= src_start && b.start_line <= src_end; };
        for (const Block& b : all_blocks)
            if (!moved(b) && b.start_line - 1 < insert_pos) order.push_back(b.uuid);
        for (const Block& b : all_blocks)
            if (moved(b)) order.push_back(b.uuid);
        for (const Block& b : all_blocks)
            if (!moved(b) && b.start_line - 1 >= insert_pos) order.push_back(b.uuid);
    }

    if (!structure::rewrite_and_reindex(session, path, lines.size(), new_lines, basis, order))
        return Reply::refusal(get_message("file_changed"));

    return get_message("block_moved", {{"title", block.title},
                                       {"position", get_message("move_position_" + std::string(position))},
                                       {"target_title", target ? target->title : get_message("move_document_end")},
                                       {"src_lines", std::to_string(src_start) + "-" + std::to_string(src_end)},
                                       {"dst_lines", get_message("move_lines_updated")},
                                       {"sub_count", static_cast<long long>(source_descendants.size())}});
}

}  // namespace quillbox
