// The core agent operations: read a block, replace a block, read a whole file, find blocks.

#include "quillbox/blockops.h"

#include <mutex>
#include <set>
#include <system_error>

#include "quillbox/detail/utf8.h"
#include "quillbox/detail/lines.h"
#include "quillbox/detail/read_file.h"
#include "quillbox/i18n.h"
#include "quillbox/blockops/frame.h"
#include "quillbox/blockops/structure.h"

namespace fs = std::filesystem;

namespace quillbox {

namespace {

std::string full_content_reply(const std::string& path_text, const std::string& content) {
    std::string out = "File: ";
    out.reserve(path_text.size() + content.size() + 16);
    out += path_text;
    out += "\n---\n";
    out += content;
    out += "\n---";
    return out;
}

}  // namespace

void _reindex_keeping_block(Indexer& indexer, FileWatcher& watcher, const fs::path& fp,
                            const std::string& block_id, int start_line, bool block_remains) {
    std::lock_guard lk(indexer.mutex());
    std::set<std::string> old_ids;
    for (const auto& b : indexer.list_blocks(fp)) old_ids.insert(b.uuid);
    indexer.index_file(fp, &watcher);
    if (!block_remains || indexer.get_block(block_id)) return;
    // The new heading matched none of the old ones: the block the re-index created at the
    // written position is the one just replaced, so it takes over the identifier.
    for (const auto& b : indexer.list_blocks(fp)) {
        if (b.start_line != start_line || old_ids.count(b.uuid)) continue;
        SQLite::Statement up(indexer.conn(), "UPDATE blocks SET id = ? WHERE id = ?");
        up.bind(1, block_id);
        up.bind(2, b.uuid);
        up.exec();
        return;
    }
}

// ---- Reading a block --------------------------------------------------------------------

std::string do_read_block(Indexer& indexer, ReadCache& cache, const fs::path& file_path,
                          std::string_view block_id) {
    const std::string id(block_id);
    std::optional<Block> block = indexer.get_block(id);
    log_debug("read_block: %s", id.c_str());
    if (!block) return get_message("block_not_found_guidance", {{"file_path", file_path}});
    if (auto refusal = _check_md_path(block->file_path)) return *refusal;

    // A block read hands over one block, not the file: ask without counting a delivery.
    const CacheResult cached = cache.check(block->file_path.string());
    if (cached.status == "hit")
        return "✅ " + get_message("cache_hit", {{"sha", cached.sha}, {"lines", cached.lines}});

    const std::string content =
        detail::join_lines(read_lines(block->file_path, block->start_line, block->end_line));
    std::string out = "✅ Block ID: ";
    out += id;
    out += "\nFile: ";
    out += block->file_path.string();
    out += "\nTitle: ";
    out += block->title;
    out += " (level " + std::to_string(block->level) + ")";
    out += "\nLines: " + std::to_string(block->start_line) + "-" + std::to_string(block->end_line);
    out += "\n---\n";
    out += content;
    out += "\n---";
    return out;
}

// ---- Replacing a block ------------------------------------------------------------------

std::string do_replace_block(Indexer& indexer, FileWatcher& watcher, SafetyEngine& safety,
                             SessionReadTracker& tracker, const fs::path& file_path,
                             std::string_view block_id, std::string_view new_content) {
    const std::string id(block_id);
    std::optional<Block> found_block = indexer.get_block(id);
    log_info("replace_block: %s (%d chars)", id.c_str(),
             static_cast<int>(detail::code_point_count(new_content)));
    if (!found_block) return get_message("block_not_found_guidance", {{"file_path", file_path}});
    const Block block = std::move(*found_block);
    const fs::path& fp = block.file_path;
    const std::string key = fp.string();
    if (auto refusal = _check_md_path(fp)) return *refusal;

    watcher.wait_for_reindex(fp, 3.0);

    const std::string old_content = detail::join_lines(read_lines(fp, block.start_line, block.end_line));
    if (old_content == new_content)
        return "✅ " + get_message("replace_idempotent", {{"file_path", fp}});

    // Locate the block. The stored range comes first: when the recorded content also occurs
    // higher up in the file (a twin section), the upper copy must not be the one edited.
    int actual_start = block.start_line;
    int actual_end = block.end_line;
    if (!safety.verify_before_modify(fp, block.start_line, block.end_line, block.content_hash)) {
        const long expected_lines = static_cast<long>(block.end_line) - block.start_line + 1;
        auto found = find_block_by_content_hash(fp, block.content_hash, expected_lines, block.start_line);
        if (!found) return get_message("file_changed");
        actual_start = found->first;
        actual_end = found->second;
    }

    const std::vector<std::string> new_lines = detail::split_lines(new_content);
    const std::string new_content_text = detail::join_lines(new_lines);

    // Token figures are taken before the write.
    const TokenSavings savings = _token_savings(detail::read_text_file(fp), old_content, new_content_text);

    safety.apply_replace(fp, actual_start, actual_end, new_lines);

    tracker.reset_file(key);

    const int new_end = actual_start + static_cast<int>(new_lines.size()) - 1;
    indexer.update_block_lines(id, actual_start, new_end);
    {
        std::lock_guard lk(indexer.mutex());
        SQLite::Statement up(indexer.conn(), "UPDATE blocks SET content_hash = ? WHERE id = ?");
        up.bind(1, compute_hash(new_content_text));
        up.bind(2, id);
        up.exec();
    }

    // The write shifted or rewrote other blocks of the file (following sections, the sections
    // that contain this one, its own subsections). Re-index now, keeping identifiers, so that
    // the next listing and block read see the real ranges instead of stale ones.
    bool index_current = true;
    try {
        _reindex_keeping_block(indexer, watcher, fp, id, actual_start, !new_lines.empty());
    } catch (const std::exception& e) {
        index_current = false;
        log_warning("Re-index after replace failed for %s: %s", key.c_str(), e.what());
    }

    // Without a current index the file must not look fresh: the next check then re-indexes.
    if (index_current) {
        try {
            _record_file_state(indexer, fp);
        } catch (const std::exception& e) {
            log_warning("Failed to update file_index after replace: %s", e.what());
        }
    }

    indexer.record_operation(_today_local(), "replace_block", key, id, savings.tokens_saved);

    const std::string footer = _savings_footer(savings);
    const std::string snippet = get_snippet(fp, actual_start, new_end);

    std::string out = "✅ Block '";
    out += block.title;
    out += "' updated.\nFile: ";
    out += key;
    out += "\nSnippet:\n";
    out += snippet;
    out += "\n\n";
    out += footer;
    return out;
}

// ---- Reading a whole file ---------------------------------------------------------------

std::string do_read_file(ReadCache& cache, SessionReadTracker& tracker, std::string_view file_path) {
    const fs::path fp = _resolve_path(file_path);
    std::error_code ec;
    if (!fs::exists(fp, ec)) return get_message("file_not_found", {{"path", fp}});
    const std::string key = fp.string();

    try {
        if (!is_text_file(key)) {
            tracker.record_read(key);
            return full_content_reply(key, detail::read_text_file(fp));
        }
        CacheResult cached = cache.check_and_read(key);
        if (cached.status != "hit") {
            tracker.record_read(key);
            std::string text = detail::read_text_file(fp);
            return full_content_reply(key, cached.content ? *cached.content : text);
        }
        if (get_config("cache_enabled") != "true" || !tracker.should_return_cache(key)) {
            tracker.record_read(key);
            return full_content_reply(key, cached.content.value());
        }
        return get_message("cache_hit", {{"sha", cached.sha}, {"lines", cached.lines}});
    } catch (...) {
        // Whatever failed (cache, configuration, decision), the agent still gets the file.
    }
    tracker.record_read(key);
    try {
        return full_content_reply(key, detail::read_text_file(fp));
    } catch (...) {
        return "Error: Unable to read file " + key;
    }
}

// ---- Finding blocks ---------------------------------------------------------------------

std::string do_find_blocks(Indexer& indexer, FileWatcher& watcher, std::string_view file_path,
                           std::string_view query) {
    const fs::path fp = _resolve_path(file_path);
    const std::string key = fp.string();
    const std::string q(query);
    log_debug("find_blocks: %s query='%s'", key.c_str(), q.c_str());
    if (auto refusal = _check_md_path(fp)) return *refusal;

    std::vector<Block> blocks;
    try {
        blocks = _ensure_fresh_index(indexer, watcher, fp);
    } catch (const std::exception& e) {
        log_warning("Index fallback for %s: %s", key.c_str(), e.what());
        blocks = parse_markdown_to_blocks(fp);
    }

    const std::string needle = structure::lower(q);
    std::vector<const Block*> hits;
    for (const auto& b : blocks)
        if (structure::lower(b.title).find(needle) != std::string::npos) hits.push_back(&b);

    if (hits.empty()) return "❌ Found 0 blocks for '" + q + "' in " + key;
    std::string out = "✅ Found " + std::to_string(hits.size()) + " blocks for '" + q + "' in " + key + ":";
    for (const Block* b : hits) {
        out += '\n';
        out += _format_block_line(*b);
    }
    return out;
}

}  // namespace quillbox
