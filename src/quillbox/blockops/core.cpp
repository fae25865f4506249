// The core agent operations: read a block, replace a block, read a whole file, find blocks.

#include "quillbox/blockops.h"
#include "quillbox/detail/regular_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <system_error>

#include "quillbox/detail/utf8.h"
#include "quillbox/detail/lines.h"
#include "quillbox/detail/read_file.h"
#include "quillbox/detail/sha256.h"
#include "quillbox/i18n.h"
#include "quillbox/blockops/tokens.h"
#include "quillbox/blockops/budget.h"
#include "quillbox/blockops/pages.h"
#include "quillbox/blockops/write_answer.h"
#include "quillbox/blockops/path_checks.h"
#include "quillbox/blockops/freshness.h"
#include "quillbox/blockops/view.h"
#include "quillbox/blockops/rewrite.h"
#include "quillbox/blockops/listing.h"
#include "quillbox/blockops/structure.h"

namespace fs = std::filesystem;

namespace quillbox {

namespace {

std::string reply_text(const std::string& path_text, const std::string& content) {
    std::string out = "File: ";
    out.reserve(path_text.size() + content.size() + 16);
    out += path_text;
    out += "\n---\n";
    out += content;
    out += "\n---";
    return out;
}

// The same figures twice: nothing wrote the file in between (or it was missing both times).
bool held_still(const FileState& a, const FileState& b) {
    return a.mtime_ns == b.mtime_ns && a.size == b.size && a.inode == b.inode;
}

}  // namespace

// ---- Reading a block --------------------------------------------------------------------

namespace {

// The id the agent can use (its shortest unique prefix: the full uuid is no news), the title
// and the lines. The file is the one the agent named.
std::string block_header(const std::string& id, const Block& block) {
    std::string out = "✅ Block ID: ";
    out += id;
    out += "\nTitle: ";
    out += shortened(block.title, 200);
    out += " (level " + std::to_string(block.level) + ")";
    out += "\nLines: " + std::to_string(block.start_line) + "-" + std::to_string(block.end_line);
    return out;
}

// The block's lines by one positioned read of its recorded bytes, when the file is still the
// one its record describes (same inode, size and modification time, and not racily clean
// unless `trust_racy`) and the bytes hash to the block's content hash; nothing otherwise, and
// the caller reads the file.
std::optional<std::string> read_recorded_bytes(const Indexer::BlockPlace& place, bool trust_racy) {
    const Block& b = place.block;
    if (!place.bytes.known() || !place.recorded || (place.recorded->racily_clean() && !trust_racy) ||
        b.content_hash.empty())
        return std::nullopt;
    try {
        struct stat st {};
        const detail::FileHandle fd = detail::open_regular_for_reading(b.file_path, &st);
        FileState now;
        now.mtime_ns = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        now.size = static_cast<int64_t>(st.st_size);
        now.inode = static_cast<int64_t>(st.st_ino);
        if (!place.recorded->same_stat(now) || place.bytes.end > now.size) return std::nullopt;
        std::string bytes(static_cast<std::size_t>(place.bytes.end - place.bytes.begin), '\0');
        std::size_t got = 0;
        while (got < bytes.size()) {
            const ssize_t n = ::pread(fd.get(), bytes.data() + got, bytes.size() - got,
                                      static_cast<off_t>(place.bytes.begin) + static_cast<off_t>(got));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return std::nullopt;
            got += static_cast<std::size_t>(n);
        }
        if (compute_hash(bytes) != b.content_hash) return std::nullopt;
        return bytes;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// The reserve a page header needs for its span, whatever the page turns out to hold.
std::string widest_span() {
    LinePage page;
    page.first = page.last = page.column = page.line_length = page.cut_to = 999999999;
    return page_span(page);
}

// Refusals for a column outside line `line` of `lines` (numbered from `line_of_first`).
std::optional<Reply> check_column(const std::vector<std::string>& lines, long long line_of_first, long long line,
                                  long long column) {
    if (column <= 1) return std::nullopt;
    const auto i = static_cast<std::size_t>(line - line_of_first);
    const auto length = i < lines.size() ? static_cast<long long>(detail::code_point_count(lines[i])) : 0;
    if (column <= length) return std::nullopt;
    return Reply::refusal(
        get_message("column_past_end", {{"column", column}, {"line", line}, {"length", std::max(length, 1LL)}}));
}

// One page of a section too long for the budget (or the window asked for): the lines that fit,
// with the file's line numbers, and a last line naming the offset of the next page.
Reply block_page(const std::string& header, const Block& block, long long start, const std::vector<std::string>& lines,
                 const LineWindow& window, long long budget, std::string_view model) {
    // Line numbers are the file's; the lines that still exist are start .. start + lines.size() - 1.
    const long long stop = start + static_cast<long long>(lines.size());  // one past the last line
    if (window.offset && *window.offset >= stop && stop > start)
        return Reply::refusal(get_message("block_offset_outside", {{"offset", *window.offset},
                                                                   {"title", block.title},
                                                                   {"start", start},
                                                                   {"end", stop - 1}}));
    const long long first = std::clamp(window.offset.value_or(start), start, stop);
    long long last = stop;
    if (window.limit) last = std::min(stop, first + std::max(*window.limit, 0LL));
    const long long column = window.column.value_or(1);
    if (auto refusal = check_column(lines, start, first, column)) return *refusal;

    auto hint = [&](long long next, long long next_column) {
        const MessageArgs args{{"next", next}, {"column", next_column}, {"last", stop - 1}};
        return get_message(next_column > 1 ? "block_page_next_column" : "block_page_next", args);
    };
    TokenTally tally(model);
    tally.add(header + " (showing " + widest_span() + ")\n---\n\n---\n");
    tally.add(hint(stop, 999999999));
    const LinePage page = page_lines(tally, lines, start, first, column, last, budget);
    std::string out = header + " (showing " + page_span(page) + ")\n---\n";
    out += page.body;
    out += "\n---";
    if (page.next < stop) {
        out += '\n';
        out += hint(page.next, page.next_column);
    }
    return out;
}

// One block as do_read_block answers it, within `budget`.
Reply read_block_answer(Session& session, const fs::path& file_path, std::string_view block_id,
                        const LineWindow& window, long long budget) {
    Indexer& indexer = session.index;
    const std::string id(block_id);
    std::optional<Indexer::BlockPlace> place = indexer.block_place(id);
    log_debug("read_block: %s", id.c_str());
    if (!place) return missing_block(session, id, get_message("block_not_found_guidance", {{"file_path", file_path}}));
    std::optional<Block> block = place->block;
    if (auto refusal = check_id_file(*session.paths, file_path.string(), *block)) return Reply::refusal(*refusal);
    if (auto refusal = check_md_path(*session.paths, block->file_path)) return Reply::refusal(*refusal);

    // The stored range must still hold the block's recorded content: an outside save may have
    // moved or changed it since the last re-index. Then the block is found where its content
    // now stands, or the file is re-indexed (keeping identifiers) and read there.
    // The recorded bytes are the block's lines joined by line feeds: a file with recorded bytes
    // ends lines at LF only, and the last line's end lies outside them.
    // A record taken right after a write vouches by its figures once renewed after the racy
    // window, or within it while the file is what our own write left.
    const bool trust_racy = place->recorded && place->recorded->racily_clean() &&
                            (own_write_vouches(session.watcher, block->file_path, *place->recorded) ||
                             renew_racy_record(indexer, block->file_path, *place->recorded));
    const std::optional<std::string> recorded = read_recorded_bytes(*place, trust_racy);
    std::vector<std::string> lines;
    auto split_recorded = [&] {
        std::size_t from = 0;
        for (std::size_t at; (at = recorded->find('\n', from)) != std::string::npos; from = at + 1)
            lines.emplace_back(*recorded, from, at - from);
        lines.emplace_back(*recorded, from);
    };
    if (!recorded) {
        // The record does not vouch for the file: the index follows it first (keeping ids), as
        // a stored range can still hash as recorded while the section has grown past it.
        // Not while an outside editor is still writing the file in place: its torn text would
        // give the section up. Nor is the section called gone unless the file held still.
        const fs::path fp = block->file_path;
        const std::optional<FileState> still = wait_until_quiet(fp);
        if (!still) return Reply::refusal(get_message("file_being_saved", {{"path", fp}}));
        block.reset();
        for (Block& b : _ensure_fresh_index(indexer, session.watcher, fp))
            if (b.uuid == id) block = std::move(b);
        if (!block) {
            const std::optional<FileState> after = wait_until_quiet(fp);
            if (!after || !held_still(*after, *still))
                return Reply::refusal(get_message("file_being_saved", {{"path", fp}}));
            return missing_block(session, id, get_message("block_not_found_guidance", {{"file_path", file_path}}));
        }
        lines = read_lines(block->file_path, block->start_line, block->end_line);
    }
    if (!recorded && !block->content_hash.empty() && compute_hash(detail::join_lines(lines)) != block->content_hash) {
        const long expected_lines = static_cast<long>(block->end_line) - block->start_line + 1;
        if (auto moved = find_block_by_content_hash(block->file_path, block->content_hash, expected_lines,
                                                    block->start_line)) {
            block->start_line = moved->first;
            block->end_line = moved->second;
        } else {
            const fs::path fp = block->file_path;
            auto taken = read_while_still(fp);
            if (!taken) return Reply::refusal(get_message("file_being_saved", {{"path", fp}}));
            const FileState still = taken->first;
            FileState state = taken->first;
            state.file_hash = detail::sha256_hex(taken->second);
            indexer.index_file({.file = fp, .bytes = std::move(taken->second), .state = state});
            block = indexer.get_block(id);
            if (!block) {
                const std::optional<FileState> after = wait_until_quiet(fp);
                if (!after || !held_still(*after, still)) return Reply::refusal(get_message("file_being_saved", {{"path", fp}}));
                return get_message("block_not_found_guidance", {{"file_path", file_path}});
            }
        }
        lines = read_lines(block->file_path, block->start_line, block->end_line);
        // Read again after the index followed the file: a save under way since tore them.
        if (compute_hash(detail::join_lines(lines)) != block->content_hash)
            return Reply::refusal(get_message("file_being_saved", {{"path", block->file_path}}));
    }

    // A block read hands over one block, not the file: ask without counting a delivery.
    const std::string file_key = block->file_path.string();
    // The version of the section the agent was shown, in full or a page of it (a patch after a
    // page is checked against that version, not an older one), or held through a cache hit.
    // Lines read from the recorded bytes were checked against the block's hash already.
    auto shown = [&] {
        session.view.record(id, recorded ? block->content_hash : compute_hash(detail::join_lines(lines)));
    };
    {
        // Each block has its own call list next to its file's.
        AgentView& tracker = session.view;
        const std::string block_key = file_key + "#" + block->uuid;
        tracker.record_recent_call(block_key);
        const CacheResult cached = session.cache->check(file_key);
        if (cached.status == "hit" && tracker.should_return_cache(file_key) &&
            tracker.recent_call_count(block_key) == 1) {
            shown();
            return "✅ " + get_message("cache_hit", {{"sha", cached.sha}, {"lines", cached.lines}}) +
                   get_message("cache_hit_read_file");
        }
    }

    const std::string model = session.setting("pricing_model");
    const std::string header = block_header(id.substr(0, short_id_length(indexer, id)), *block);
    if (!window.is_set()) {
        std::string out = header;
        out += "\n---\n";
        out += recorded ? *recorded : detail::join_lines(lines);
        out += "\n---";
        if (fits_budget(out, budget, model)) {
            shown();
            return out;
        }
    }

    if (recorded) split_recorded();
    shown();
    return block_page(header, *block, block->start_line, lines, window, budget, model);
}

}  // namespace

Reply do_read_block(Session& session, const fs::path& file_path, std::string_view block_id,
                    const LineWindow& window) {
    return read_block_answer(session, file_path, block_id, window, result_budget(*session.config));
}

Reply do_read_blocks(Session& session, const fs::path& file_path, const std::vector<std::string>& block_ids) {
    const long long budget = result_budget(*session.config);
    const std::string model = session.setting("pricing_model");
    auto rest_hint = [&](std::size_t from) {
        std::string ids;
        for (std::size_t i = from; i < block_ids.size(); ++i) {
            if (!ids.empty()) ids += ", ";
            ids += "\"" + block_ids[i].substr(0, short_id_length(session.index, block_ids[i])) + "\"";
        }
        return get_message("read_blocks_rest", {{"shown", static_cast<long long>(from)},
                                                {"total", static_cast<long long>(block_ids.size())},
                                                {"ids", ids}});
    };
    std::string out;
    for (std::size_t i = 0; i < block_ids.size(); ++i) {
        const std::string sep = i ? "\n\n" : "";
        // Room for this block: the budget less what is already written and the hint naming the rest.
        const long long reserve = i + 1 < block_ids.size() ? budget_tokens(rest_hint(i + 1), model) + 1 : 0;
        const long long room = budget - budget_tokens(out + sep, model) - reserve;
        std::string piece = read_block_answer(session, file_path, block_ids[i], LineWindow{},
                                              std::numeric_limits<long long>::max());
        if (budget_tokens(piece, model) > room) {
            if (i > 0) {
                out += "\n";
                out += rest_hint(i);
                return out;
            }
            // The first block alone is too long: its first page, then the other blocks.
            piece = read_block_answer(session, file_path, block_ids[i], LineWindow{}, room);
            out += piece;
            if (i + 1 < block_ids.size()) {
                out += "\n";
                out += rest_hint(i + 1);
            }
            return out;
        }
        out += sep;
        out += piece;
    }
    return out;
}

// ---- Replacing a block ------------------------------------------------------------------

Reply do_replace_block(Session& session, const fs::path& file_path, std::string_view block_id,
                       std::string_view new_content) {
    const std::string id(block_id);
    std::optional<Block> found_block = session.index.get_block(id);
    log_info("replace_block: %s (%d chars)", id.c_str(),
             static_cast<int>(detail::code_point_count(new_content)));
    if (!found_block) return missing_block(session, id, get_message("block_not_found_guidance", {{"file_path", file_path}}));
    if (auto refusal = check_id_file(*session.paths, file_path.string(), *found_block)) return Reply::refusal(*refusal);
    if (auto refusal = check_md_path(*session.paths, found_block->file_path)) return Reply::refusal(*refusal);

    session.watcher.wait_for_reindex(found_block->file_path, 3.0);
    found_block = fresh_block(session, *found_block);
    if (!found_block) return missing_block(session, id, get_message("block_not_found_guidance", {{"file_path", file_path}}));
    const Block block = std::move(*found_block);
    const fs::path& fp = block.file_path;
    const std::string key = fp.string();

    // The file is read once here; the lines, the token figures and the bookkeeping after the
    // write come from this text. It is read again only when the block turns out to stand
    // elsewhere than this text shows it (the file changed meanwhile).
    std::string full_text = detail::read_text_file(fp);
    // A page's cut marker sent back in place of the rest of a long line would shorten it.
    if (holds_cut_marker(new_content, full_text)) return Reply::refusal(get_message("cut_marker_in_content"));
    std::vector<std::string> file_lines = detail::split_lines(full_text);
    auto slice = [&](long start, long end) {
        const auto n = static_cast<long>(file_lines.size());
        const long first = std::clamp(start - 1, 0L, n), last = std::clamp(end, first, n);
        return std::vector<std::string>(file_lines.begin() + first, file_lines.begin() + last);
    };

    // Idempotence on the lines the text stands for, so that the text read comes back a no-op.
    std::vector<std::string> old_lines = slice(block.start_line, block.end_line);
    std::vector<std::string> new_lines = block_lines(new_content, old_lines);
    if (new_lines == old_lines) return "✅ " + get_message("replace_idempotent", {{"file_path", fp}});

    // Where the block stands: where it was seen, when the text read holds it there (the engine
    // checks again under its lock); otherwise looked for in the file.
    const bool in_place = old_lines.size() == static_cast<std::size_t>(block.end_line - block.start_line + 1) &&
                          compute_hash(detail::join_lines(old_lines)) == expected_hash(session.view, block);
    auto located = in_place ? std::optional<std::pair<int, int>>(std::pair{block.start_line, block.end_line})
                            : locate_block(session, block);
    if (!located) return Reply::refusal(get_message("file_changed"));
    const auto [actual_start, actual_end] = *located;
    if (!in_place) {
        if (compute_hash(detail::join_lines(slice(actual_start, actual_end))) != expected_hash(session.view, block)) {
            full_text = detail::read_text_file(fp);
            file_lines = detail::split_lines(full_text);
        }
        old_lines = slice(actual_start, actual_end);
        new_lines = block_lines(new_content, old_lines);
        if (new_lines == old_lines) return "✅ " + get_message("replace_idempotent", {{"file_path", fp}});
    }
    const std::string old_content = detail::join_lines(old_lines);

    // What the answer will say, and the token figures, before the write.
    const std::string model = session.setting("pricing_model");
    const PricingRates rates = session.config->pricing_rates();
    const std::string head = get_message("replace_done", {{"title", shortened(block.title, 200)}});
    const std::string changes = change_lines(old_lines, new_lines, actual_start);
    const auto [edit_old, edit_new] = changed_texts(old_lines, new_lines);
    TokenSavings savings = route_savings(
        model, {full_text, actual_start, old_content, edit_old, edit_new, new_content, answer_tokens(head, changes, model)},
        rates);
    if (block_is_whole_file(full_text, actual_start, actual_end)) savings = no_savings(savings);

    try {
        rewrite_block(session, block, actual_start, actual_end, new_lines, savings.tokens_saved, "replace_block",
                      &file_lines);
    } catch (const FileChangedError&) {
        return Reply::refusal(get_message("file_changed"));
    }
    return write_answer(session, head, changes, savings_footer(savings, rates));
}

// ---- Reading a whole file ---------------------------------------------------------------

namespace {

// Lines of a text with line-feed ends; a final line feed starts no further line.
std::vector<std::string> lines_of(std::string_view text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t nl = text.find('\n', start);
        if (nl == std::string_view::npos) nl = text.size();
        lines.emplace_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

// Lines `window` of a file (all that fit the budget when unset), with a last line naming the
// offset of the rest. Neither the tracker nor the cache hears of it: the agent does not hold
// the whole file afterwards.
Reply read_file_page(const fs::path& fp, const LineWindow& window, long long budget, std::string_view model) {
    const std::string key = fp.string();
    std::vector<std::string> lines;
    try {
        lines = lines_of(detail::read_text_file(fp));
    } catch (...) {
        return Reply::refusal(get_message("file_unreadable", {{"path", key}}));
    }
    const auto total = static_cast<long long>(lines.size());
    if (window.offset && *window.offset > std::max(total, 1LL))
        return Reply::refusal(
            get_message("file_offset_past_end", {{"offset", *window.offset}, {"path", key}, {"total", total}}));
    const long long first = std::clamp(window.offset.value_or(1), 1LL, total + 1);
    long long last = total + 1;  // one past the last line wanted
    if (window.limit) last = std::min(last, first + std::max(*window.limit, 0LL));
    const long long column = window.column.value_or(1);
    if (auto refusal = check_column(lines, 1, first, column)) return *refusal;

    auto hint = [&](long long next, long long next_column) {
        const MessageArgs args{{"next", next}, {"column", next_column}, {"total", total}};
        return get_message(next_column > 1 ? "file_page_next_column" : "file_page_next", args);
    };
    auto span = [&](const LinePage& page) {
        if (!page.cut() && page.column == 1)
            return "lines " + page_span(page) + " of " + std::to_string(total);
        return page_span(page) + "; " + get_message("file_lines_total", {{"total", total}});
    };
    TokenTally tally(model);
    tally.add("File: " + key + " (" + widest_span() + "; " + get_message("file_lines_total", {{"total", total}}) +
              ")\n---\n\n---\n");
    tally.add(hint(total, 999999999));
    const LinePage page = page_lines(tally, lines, 1, first, column, last, budget);
    std::string out = "File: " + key + " (" + span(page) + ")\n---\n";
    out += page.body;
    out += "\n---";
    if (page.next <= total) {
        out += '\n';
        out += hint(page.next, page.next_column);
    }
    return out;
}

// Whether the whole-file answer of a file of this many bytes may exceed the budget.
bool may_exceed_budget(const fs::path& fp, long long budget, std::string_view model) {
    std::error_code ec;
    const auto size = fs::file_size(fp, ec);
    if (ec) return false;
    const double per_byte = TokenTally(model).max_weight();
    return (static_cast<double>(size) + static_cast<double>(fp.string().size()) + 16) * per_byte >
           static_cast<double>(budget);
}

}  // namespace

Reply do_read_file(Session& session, std::string_view file_path, const LineWindow& window) {
    const fs::path fp = session.resolve(file_path);
    AgentView& tracker = session.view;
    std::error_code ec;
    if (!fs::exists(fp, ec)) return Reply::refusal(get_message("file_not_found", {{"path", fp}}));
    if (const char* kind = detail::non_regular_kind(fp))
        return Reply::refusal(get_message("not_regular_file", {{"path", fp}, {"kind", kind}}));
    const std::string key = fp.string();

    // The agent now holds `text`: every block of a Markdown file was shown as it stands there.
    auto shown = [&](const std::string& text) {
        if (!key.ends_with(".md")) return;
        try {
            record_shown_text(session.view, _ensure_fresh_index(session.index, session.watcher, fp),
                              detail::split_lines(text));
        } catch (const std::exception& e) {
            log_warning("Could not record the blocks of %s as read: %s", key.c_str(), e.what());
        }
    };
    auto full_content_reply = [&](const std::string& path_text, const std::string& text) {
        shown(text);
        return reply_text(path_text, text);
    };

    const long long budget = result_budget(*session.config);
    const std::string model = session.setting("pricing_model");
    if (window.is_set()) return read_file_page(fp, window, budget, model);
    if (may_exceed_budget(fp, budget, model)) {
        try {
            const std::string text = detail::read_text_file(fp);
            if (budget_tokens(reply_text(key, text), model) > budget)
                return read_file_page(fp, window, budget, model);
        } catch (...) {
            // The ordinary path below reports what is wrong with the file.
        }
    }

    try {
        if (!session.is_text_file(key)) {
            tracker.record_read(key);
            return full_content_reply(key, detail::read_text_file(fp));
        }
        CacheResult cached = session.cache->check_and_read(key);
        if (cached.status != "hit") {
            tracker.record_read(key);
            std::string text = detail::read_text_file(fp);
            return full_content_reply(key, cached.content ? *cached.content : text);
        }
        if (session.setting("cache_enabled") != "true" || !tracker.should_return_cache(key)) {
            tracker.record_read(key);
            return full_content_reply(key, cached.content.value());
        }
        if (cached.content) shown(*cached.content);
        return get_message("cache_hit", {{"sha", cached.sha}, {"lines", cached.lines}});
    } catch (...) {
        // Whatever failed (cache, configuration, decision), the agent still gets the file.
    }
    tracker.record_read(key);
    try {
        return full_content_reply(key, detail::read_text_file(fp));
    } catch (...) {
        return Reply::refusal(get_message("file_unreadable", {{"path", key}}));
    }
}

// ---- Finding blocks ---------------------------------------------------------------------

Reply do_find_blocks(Session& session, std::string_view file_path, std::string_view query, bool short_ids) {
    const fs::path fp = session.resolve(file_path);
    const std::string key = fp.string();
    const std::string q(query);
    log_debug("find_blocks: %s query='%s'", key.c_str(), q.c_str());
    if (auto refusal = check_md_path(*session.paths, fp)) return Reply::refusal(*refusal);

    std::vector<Block> blocks;
    try {
        blocks = _ensure_fresh_index(session.index, session.watcher, fp);
    } catch (const std::exception& e) {
        log_warning("Index fallback for %s: %s", key.c_str(), e.what());
        blocks = parse_markdown_to_blocks(fp);
    }

    const std::string needle = structure::lower(q);
    std::vector<const Block*> hits;
    for (const auto& b : blocks)
        if (structure::lower(b.title).find(needle) != std::string::npos) hits.push_back(&b);

    if (hits.empty()) return get_message("find_blocks_none", {{"query", q}, {"path", key}});
    for (const Block* b : hits) session.view.record(b->uuid, b->content_hash);
    std::string out =
        get_message("find_blocks_found", {{"count", hits.size()}, {"query", q}, {"path", key}});
    const std::vector<std::size_t> lengths =
        short_ids ? file_short_id_lengths(session.index, blocks, fp) : std::vector<std::size_t>{};
    for (const Block* b : hits) {
        out += '\n';
        out += format_block_line(*b, short_ids ? lengths[static_cast<std::size_t>(b - blocks.data())] : std::string::npos);
    }
    return fit_to_budget(out, result_budget(*session.config), session.setting("pricing_model"),
                         [&](std::size_t kept_lines) {
        const std::size_t shown = kept_lines > 0 ? kept_lines - 1 : 0;
        return get_message("find_blocks_cut", {{"shown", shown}, {"total", hits.size()}});
    });
}

}  // namespace quillbox
