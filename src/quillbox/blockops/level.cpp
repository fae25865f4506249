// Heading level adjustment, and the whole-file rewrite helpers shared with moves and tables
// of contents.

#include <algorithm>
#include <set>
#include <string>

#include "quillbox/blockops.h"
#include "quillbox/blockops/structure.h"
#include "quillbox/detail/utf8.h"
#include "quillbox/detail/lines.h"
#include "quillbox/detail/read_file.h"
#include "quillbox/detail/sha256.h"
#include "quillbox/i18n.h"
#include "quillbox/blockops/freshness.h"
#include "quillbox/blockops/view.h"
#include "quillbox/blockops/rewrite.h"

namespace quillbox {

namespace structure {

std::vector<std::string> read_file_lines(const std::filesystem::path& fp, std::string* sha256) {
    std::string bytes = detail::read_file_bytes(fp);
    detail::validate_utf8(bytes, fp.string());
    if (sha256) *sha256 = detail::sha256_hex(bytes);
    return detail::split_lines(detail::normalize_newlines(bytes));
}

std::optional<Block> find_block(const std::vector<Block>& blocks, std::string_view uuid) {
    for (const auto& b : blocks)
        if (b.uuid == uuid) return b;
    return std::nullopt;
}

std::optional<std::string> refuse_non_heading(const std::optional<Block>& found, std::string_view block_id) {
    if (!found) return Reply::refusal(get_message("block_not_found", {{"block_id", block_id}}));
    if (found->block_type != "heading")
        return Reply::refusal(get_message("invalid_block_type", {{"block_id", block_id}, {"block_type", found->block_type}}));
    return std::nullopt;
}

std::variant<HeadingFile, Reply> find_heading_file(Session& session, std::string_view block_id) {
    auto found = session.index.get_block(block_id);
    if (!found) return missing_block(session, block_id, get_message("block_not_found", {{"block_id", block_id}}));
    if (auto refusal = refuse_non_heading(found, block_id)) return Reply::refusal(*refusal);
    std::filesystem::path path = session.resolve(found->file_path.string());
    if (!std::filesystem::exists(path)) return Reply::refusal(get_message("file_not_found", {{"path", path}}));
    return HeadingFile{std::move(*found), std::move(path)};
}

bool block_matches(const std::vector<std::string>& lines, const Block& block) {
    if (block.start_line < 1 || block.end_line < block.start_line ||
        static_cast<std::size_t>(block.end_line) > lines.size())
        return false;
    if (block.content_hash.empty()) return true;
    return detail::sha256_joined(lines, static_cast<std::size_t>(block.start_line - 1),
                                 static_cast<std::size_t>(block.end_line)) == block.content_hash;
}

std::optional<std::vector<std::string>> read_unchanged(Indexer& indexer, const std::filesystem::path& fp,
                                                       const std::vector<const Block*>& blocks, std::string& sha256) {
    std::vector<std::string> lines = read_file_lines(fp, &sha256);
    for (const Block* b : blocks) {
        if (!block_matches(lines, *b)) {
            forget_file_state(indexer, fp);
            return std::nullopt;
        }
    }
    return lines;
}

void forget_file_state(Indexer& indexer, const std::filesystem::path& fp) noexcept {
    try {
        indexer.forget_file_state(fp);
    } catch (const std::exception& e) {
        log_warning("Could not reset the freshness record of %s: %s", fp.c_str(), e.what());
    } catch (...) {
        log_warning("Could not reset the freshness record of %s: %s", fp.c_str(), "unknown error");
    }
}

std::vector<std::string> ids_if_unchanged(const std::vector<Block>& blocks, const std::vector<std::string>& lines) {
    std::vector<std::string> ids;
    for (const Block& b : blocks) {
        if (!block_matches(lines, b)) return {};
        ids.push_back(b.uuid);
    }
    return ids;
}

bool rewrite_and_reindex(Session& session, const std::filesystem::path& fp, std::size_t old_count,
                         const std::vector<std::string>& new_lines, const std::string& basis_sha256,
                         const std::vector<std::string>& order) {
    WriteOutcome written;
    try {
        written =
            session.safety.apply_replace(fp, 1, static_cast<long>(old_count), new_lines, WriteBasis::file(basis_sha256));
    } catch (const FileChangedError&) {
        return false;
    }
    // The rows from the bytes written, under the figures the write took before reading them
    // back: a change since shows as other figures and the next check re-indexes. Without
    // figures, the state is taken before a fresh read.
    Indexer::FileUpdate update{.file = fp, .watcher = &session.watcher, .state = written_state(written)};
    if (update.state) {
        update.bytes = std::move(written.after);
    } else {
        update.state = current_file_state(fp);
        update.bytes = detail::read_file_bytes(fp);
    }
    if (!order.empty()) update.order = order;
    session.index.index_file(std::move(update));
    return true;
}

}  // namespace structure

namespace {

// Leading container markers (block quote ">", list bullets and ordered-list numbers) before a
// heading's "#" run, kept verbatim; 0 when the line has none.
std::size_t container_prefix(std::string_view line) {
    std::size_t i = 0;
    bool marker = false;
    while (i < line.size()) {
        char c = line[i];
        if (c == ' ' || c == '\t') {
            ++i;
        } else if (c == '>') {
            ++i;
            marker = true;
        } else if ((c == '-' || c == '*' || c == '+') && i + 1 < line.size() &&
                   (line[i + 1] == ' ' || line[i + 1] == '\t')) {
            i += 2;
            marker = true;
        } else if (c >= '0' && c <= '9') {
            std::size_t j = i;
            while (j < line.size() && j - i < 9 && line[j] >= '0' && line[j] <= '9') ++j;
            if (j + 1 < line.size() && (line[j] == '.' || line[j] == ')') &&
                (line[j + 1] == ' ' || line[j + 1] == '\t')) {
                i = j + 2;
                marker = true;
            } else {
                break;
            }
        } else {
            break;
        }
    }
    return marker ? i : 0;
}

// The heading line with its number-sign run changed by `delta`; leading white space becomes
// that many spaces, one space separates the run from the title.
std::string adjust_heading_line(std::string_view line, long long delta) {
    std::string prefix;
    std::string_view rest_of_line;
    if (std::size_t p = container_prefix(line); p > 0) {
        prefix.assign(line.substr(0, p));
        rest_of_line = line.substr(p);
    } else {
        std::string_view stripped = line;
        std::size_t leading = 0;
        while (!stripped.empty()) {
            std::size_t i = 0;
            if (!detail::is_white_space(detail::next_code_point(stripped, i))) break;
            stripped.remove_prefix(i);
            ++leading;
        }
        prefix.assign(leading, ' ');
        rest_of_line = stripped;
    }
    std::size_t hashes = 0;
    while (hashes < rest_of_line.size() && rest_of_line[hashes] == '#') ++hashes;
    std::string_view rest = rest_of_line.substr(hashes);
    while (!rest.empty()) {
        std::size_t i = 0;
        if (!detail::is_white_space(detail::next_code_point(rest, i))) break;
        rest.remove_prefix(i);
    }
    long long count = static_cast<long long>(hashes) + delta;
    std::string out = prefix;
    if (count > 0) out.append(static_cast<std::size_t>(count), '#');
    out.push_back(' ');
    out.append(rest);
    return out;
}

}  // namespace

Reply do_adjust_level(Session& session, std::string_view block_id, long long delta, bool recursive) {
    log_debug("adjust_level: %.*s", static_cast<int>(block_id.size()), block_id.data());
    auto heading = structure::find_heading_file(session, block_id);
    if (auto* refusal = std::get_if<Reply>(&heading)) return *refusal;
    const std::filesystem::path path = std::get<structure::HeadingFile>(heading).path;

    std::vector<Block> all_blocks = _ensure_fresh_index(session.index, session.watcher, path);
    // A file changed on disk was re-indexed just now: its old identifiers are gone.
    auto current = structure::find_block(all_blocks, block_id);
    if (!current) return missing_block(session, block_id, get_message("block_not_found", {{"block_id", block_id}}));
    const Block& block = *current;

    std::vector<Block> to_adjust{block};
    if (recursive) {
        auto descendants = get_descendant_blocks(all_blocks, block);
        to_adjust.insert(to_adjust.end(), descendants.begin(), descendants.end());
    }

    // Bounds first: nothing is written when one heading would leave 1..6.
    const long long d = std::clamp(delta, -100LL, 100LL);
    for (const auto& b : to_adjust) {
        long long new_level = b.level + d;
        if (new_level < 1) return Reply::refusal(get_message("level_boundary_warning", {{"direction", "upgrade"}, {"level", 1}}));
        if (new_level > 6) return Reply::refusal(get_message("level_boundary_warning", {{"direction", "downgrade"}, {"level", 6}}));
    }

    std::string basis;
    auto unchanged = structure::read_unchanged(session.index, path, {&block}, basis);
    if (!unchanged) return Reply::refusal(get_message("file_changed"));
    std::vector<std::string>& lines = *unchanged;
    // The heading lines are rewritten from what the section holds now: it must be what the
    // session was shown of it.
    if (view_conflicts(session.view, {block}, lines, block.start_line, block.end_line)) return Reply::refusal(get_message("file_changed"));

    const std::vector<std::string> order = structure::ids_if_unchanged(all_blocks, lines);
    std::set<int> indexes;
    for (const auto& b : to_adjust) indexes.insert(b.start_line - 1);
    std::string changed;
    for (int idx : indexes) {
        if (idx < 0 || static_cast<std::size_t>(idx) >= lines.size()) continue;
        lines[static_cast<std::size_t>(idx)] = adjust_heading_line(lines[static_cast<std::size_t>(idx)], d);
        if (!changed.empty()) changed += ", ";
        changed += std::to_string(idx + 1);
    }

    std::size_t old_count = lines.size();
    // Same sections in the same order, only their levels changed.
    if (!structure::rewrite_and_reindex(session, path, old_count, lines, basis, order))
        return Reply::refusal(get_message("file_changed"));

    return get_message("level_adjusted", {{"title", block.title},
                                          {"delta", delta},
                                          {"count", static_cast<long long>(to_adjust.size())},
                                          {"lines", changed}});
}

}  // namespace quillbox
