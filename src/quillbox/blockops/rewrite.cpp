// The verified rewrite of a block, and how the text sent back maps to the block's lines.

#include <algorithm>

#include "quillbox/blockops/freshness.h"
#include "quillbox/blockops/rewrite.h"
#include "quillbox/blockops/view.h"
#include "quillbox/detail/lines.h"
#include "quillbox/detail/read_file.h"
#include "quillbox/detail/sha256.h"
#include "quillbox/i18n.h"

namespace fs = std::filesystem;

namespace quillbox {

std::optional<std::pair<int, int>> locate_block(Session& session, const Block& block) {
    // The block as the session last saw it. The stored range comes first: when that content
    // also occurs higher up in the file (a twin section), the upper copy must not be the one
    // edited.
    const std::string expected = expected_hash(session.view, block);
    if (session.safety.verify_before_modify(block.file_path, block.start_line, block.end_line, expected))
        return std::pair{block.start_line, block.end_line};
    const long expected_lines = static_cast<long>(block.end_line) - block.start_line + 1;
    auto moved = find_block_by_content_hash(block.file_path, expected, expected_lines, block.start_line);
    // The text found must be this id's section in the file as it is now; lines that only look
    // like it (a twin's, or a heading line that opens another section) are not where this
    // write goes.
    if (!moved) return moved;
    for (const Block& b : _ensure_fresh_index(session.index, session.watcher, block.file_path))
        if (b.uuid == block.uuid && b.start_line == moved->first && b.end_line == moved->second) return moved;
    return std::nullopt;
}

int rewrite_block(Session& session, const Block& block, int actual_start, int actual_end, const std::vector<std::string>& new_lines,
                  long long tokens_saved, std::string_view op_type, const std::vector<std::string>* lines_before,
                  std::string* text_after, bool final_line_end) {
    const fs::path& fp = block.file_path;
    const std::string key = fp.string();
    const std::string& id = block.uuid;
    std::vector<std::string> own_lines;
    if (!lines_before) own_lines = detail::split_lines(detail::read_text_file(fp));
    const std::vector<std::string>& lines = lines_before ? *lines_before : own_lines;
    Indexer& indexer = session.index;
    const std::vector<std::string> seen =
        view_touched_by_write(session.view, indexer.blocks_overlapping(fp, std::min(actual_start, actual_end + 1),
                                                                       std::max(actual_start, actual_end)),
                              lines, actual_start, actual_end);
    // The engine checks again, under its lock, that the block is still what the session saw.
    WriteBasis basis = WriteBasis::range(expected_hash(session.view, block));
    basis.final_line_end = final_line_end;
    WriteOutcome written = session.safety.apply_replace(fp, actual_start, actual_end, new_lines, basis);
    session.view.record(id, compute_hash(detail::join_lines(new_lines)));

    session.view.reset_file(key);

    const int new_end = actual_start + static_cast<int>(new_lines.size()) - 1;

    // The write shifted or rewrote other blocks of the file (following sections, the sections
    // that contain this one, its own subsections). The index follows now, keeping identifiers,
    // so that the next listing and block read see the real ranges instead of stale ones: the
    // rows, the file's record and the statistics row in one transaction. From the bytes
    // written, only the touched rows change when that gives the same rows as a whole pass.
    const Indexer::OperationRecord op{today_local_date(), std::string(op_type), key, id, tokens_saved};
    bool indexed = false;
    try {
        Indexer::FileUpdate update{.file = fp,
                                   .watcher = &session.watcher,
                                   .at_rest = true,
                                   .splice = splice_of(written, actual_start, actual_end),
                                   .op = op};
        if (!new_lines.empty()) update.rewritten = {{id, actual_start}};
        indexer.index_file(std::move(update));
        indexed = true;
        record_own_write(session.view, indexer, seen, written.after);
    } catch (const std::exception& e) {
        log_warning("Re-index after replace failed for %s: %s", key.c_str(), e.what());
    }
    if (!indexed) {
        // The block's row follows the write and the file loses its record, so the next check
        // re-indexes.
        indexer.update_block_lines(id, actual_start, new_end);
        indexer.set_block_hash(id, compute_hash(detail::join_lines(new_lines)));
        indexer.record_operation(op.date, op.op_type, op.file_path, op.block_id, op.tokens_saved);
    }
    if (text_after) *text_after = std::move(written.after);
    return new_end;
}

std::optional<FileState> written_state(const WriteOutcome& written) {
    if (written.mtime_ns < 0) return std::nullopt;
    FileState state;
    state.mtime = static_cast<double>(written.mtime_ns) / 1e9;
    state.file_hash = written.after_sha256.empty() ? detail::sha256_hex(written.after) : written.after_sha256;
    state.mtime_ns = written.mtime_ns;
    state.size = written.size;
    state.inode = written.inode;
    state.recorded_at = written.taken_at;
    return state;
}

std::optional<Indexer::LineSplice> splice_of(const WriteOutcome& written, int first, int last) {
    std::optional<FileState> state = written_state(written);
    if (!state) return std::nullopt;
    return Indexer::LineSplice{written.before, written.after, detail::sha256_hex(written.before), first, last,
                               std::move(*state)};
}

// ---- Round trips -------------------------------------------------------------------------

namespace {

bool ends_with_line_end(std::string_view s) { return !s.empty() && (s.back() == '\n' || s.back() == '\r'); }

}  // namespace

bool is_blank_line(std::string_view line) noexcept {
    return line.find_first_not_of(" \t") == std::string_view::npos;
}

std::vector<std::string> block_lines(std::string_view new_content, const std::vector<std::string>& old_lines) {
    std::vector<std::string> lines = detail::split_lines(new_content);
    // Line ends after the last non-blank line: the blank lines the text shows at its end.
    std::size_t body = lines.size();
    while (body > 0 && is_blank_line(lines[body - 1])) --body;
    if (body == 0) return lines;
    const std::size_t ends_after = lines.size() - body + (ends_with_line_end(new_content) ? 1 : 0);
    std::size_t kept = old_lines.size();  // the block's trailing blank run; never its heading
    while (kept > 1 && is_blank_line(old_lines[kept - 1])) --kept;
    const std::size_t old_blanks = old_lines.size() - std::min(kept, old_lines.size());
    if (ends_after <= 1 || ends_after == old_blanks || ends_after == old_blanks + 1) {
        lines.resize(body);
        lines.insert(lines.end(), old_lines.end() - static_cast<std::ptrdiff_t>(old_blanks), old_lines.end());
    }
    return lines;
}

}  // namespace quillbox
