// What the operations share: path checks, the index freshness check, the token estimate
// and savings footer, the listing format; and the block listing.

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <system_error>

#include "quillbox/blockops.h"
#include "quillbox/detail/regular_file.h"
#include "quillbox/detail/utf8.h"
#include "quillbox/detail/read_file.h"
#include "quillbox/detail/sha256.h"
#include "quillbox/i18n.h"
#include "quillbox/blockops/frame.h"

namespace fs = std::filesystem;

namespace quillbox {

// ---- Token estimate and savings footer --------------------------------------------------

const PricingModel& _token_coeffs(std::string_view model) {
    for (const auto& row : PRICING_MODELS)
        if (row.name == model) return row;
    return PRICING_MODELS.back();  // "default"
}

long long _count_tokens(std::string_view text, std::string_view model) {
    long long cn = 0;
    long long total = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        ++total;
        if (p[i] < 0x80) {  // ASCII, never CJK
            ++i;
            continue;
        }
        if (_is_cjk(detail::next_code_point(text, i))) ++cn;
    }
    const long long en = total - cn;
    const auto& row = _token_coeffs(model);
    const double estimate = static_cast<double>(cn) * row.cn + static_cast<double>(en) * row.en;
    const auto truncated = static_cast<long long>(estimate);
    return truncated > 1 ? truncated : 1;
}

TokenSavings _no_savings(TokenSavings savings) {
    savings.read_savings = 0;
    savings.write_savings = 0;
    savings.tokens_saved = 0;
    return savings;
}

bool _block_is_whole_file(std::string_view full_text, int start, int end) {
    const std::vector<std::string> lines = detail::split_lines(full_text);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const long line = static_cast<long>(i) + 1;
        if (line >= start && line <= end) continue;
        if (lines[i].find_first_not_of(" \t") != std::string::npos) return false;
    }
    return true;
}

namespace {

double amount_of(const TokenSavings& savings, const PricingRates& rates) {
    return (static_cast<double>(savings.read_savings) * rates.input +
            static_cast<double>(savings.write_savings) * rates.output) /
           1000000.0;
}

}  // namespace

TokenSavings _route_savings(std::string_view model, const RouteFigures& f, const PricingRates& rates) {
    TokenSavings s;
    const std::vector<std::string> lines = detail::split_lines(f.full_text);
    s.full_tok = _count_tokens(f.full_text, model);
    if (static_cast<long long>(lines.size()) > READ_TOOL_LINES || s.full_tok > READ_TOOL_TOKENS) {
        // One page of the Read tool, from the section on.
        const auto from = static_cast<std::size_t>(std::max(f.start, 1) - 1);
        const std::string page = detail::join_lines(lines, from, from + static_cast<std::size_t>(READ_TOOL_LINES));
        s.full_tok = std::min(_count_tokens(page, model), READ_TOOL_TOKENS);
        s.paged = true;
    }
    s.block_tok = f.section.empty() ? 0 : _count_tokens(f.section, model);
    s.new_tok = _count_tokens(f.sent, model);
    const long long edit_tok = _count_tokens(f.edit_old, model) + _count_tokens(f.edit_new, model);
    s.read_savings = s.full_tok - s.block_tok - f.answer_tokens;
    s.write_savings = edit_tok - s.new_tok;
    s.tokens_saved = s.read_savings + s.write_savings;
    if (s.tokens_saved <= 0 || amount_of(s, rates) <= 0) return _no_savings(s);
    return s;
}

std::string _savings_footer(const TokenSavings& savings, const PricingRates& rates) {
    if (savings.tokens_saved <= 0) return get_message("aha_meta_none");
    return get_message(savings.paged ? "aha_meta_page" : "aha_meta", {{"tokens", savings.tokens_saved},
                                                                     {"currency", rates.currency},
                                                                     {"amount", amount_of(savings, rates)}});
}

long long _answer_tokens(const std::string& head, const std::string& changes, std::string_view model) {
    // The footer is one short line.
    constexpr long long FOOTER_TOKENS = 30;
    return _count_tokens(head, model) + _count_tokens(changes, model) + FOOTER_TOKENS;
}

std::string _write_answer(const Session& session, const std::string& head, const std::string& changes,
                          const std::string& footer) {
    const std::string model = session.setting("pricing_model");
    const long long room = _result_budget(*session.config) - _budget_tokens(head + "\n\n" + footer, model);
    std::string out = head;
    if (!changes.empty()) {
        out += '\n';
        out += _fit_to_budget(changes, room, model, [](std::size_t) { return get_message("diff_cut"); });
    }
    out += '\n';
    out += footer;
    return out;
}

// ---- Path checks, file state ------------------------------------------------------------

std::optional<std::string> _check_md_path(const PathResolver& paths, const fs::path& fp) {
    const std::string text = fp.string();
    if (!text.ends_with(".md")) return get_message("md_only_error");
    // One look at the file: whether it exists and what it is.
    struct stat st {};
    if (::stat(fp.c_str(), &st) != 0) return get_message("file_not_found", {{"path", fp}});
    if (const char* kind = detail::non_regular_kind(st.st_mode))
        return get_message("not_regular_file", {{"path", fp}, {"kind", kind}});
    // A stored path may have become a link since it was indexed: it must still resolve inside
    // the project (the resolver raises PathOutsideRootError otherwise).
    (void)paths.resolve(fp.string());
    return std::nullopt;
}

std::optional<std::string> _check_id_file(const PathResolver& paths, std::string_view file_path, const Block& block) {
    if (file_path.empty()) return std::nullopt;
    fs::path asked;
    try {
        asked = paths.resolve(file_path);
    } catch (const std::exception&) {
        asked = fs::path(file_path);
    }
    if (asked == block.file_path) return std::nullopt;
    std::error_code ec;
    if (fs::equivalent(asked, block.file_path, ec) && !ec) return std::nullopt;
    return get_message("block_in_other_file",
                       {{"block_id", block.uuid}, {"block_file", block.file_path}, {"file_path", asked}});
}

double _file_mtime(const fs::path& fp) { return file_state_of(fp, {}).mtime; }

std::string _today_local() { return today_local_date(); }

std::optional<FileState> _written_state(const WriteOutcome& written) {
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

std::optional<Indexer::LineSplice> _splice_of(const WriteOutcome& written, int first, int last) {
    std::optional<FileState> state = _written_state(written);
    if (!state) return std::nullopt;
    return Indexer::LineSplice{written.before, written.after, detail::sha256_hex(written.before), first, last,
                               std::move(*state)};
}

FileState _current_file_state(const fs::path& fp) {
    // The time first: a change during the hashing then makes the next check look again.
    FileState state = file_state_of(fp, {});
    state.file_hash = detail::sha256_hex(detail::read_file_bytes(fp));
    return state;
}

void _record_file_state(Indexer& indexer, const fs::path& fp) {
    indexer.record_file_state(fp, _current_file_state(fp));
}

bool _own_write_vouches(FileWatcher& watcher, const fs::path& fp, const FileState& recorded) {
    if (!watcher.running()) return false;
    const std::optional<WrittenFile> own = watcher.write_tracker().own_write(fp);
    return own && own->inode == recorded.inode && own->size == recorded.size && own->mtime_ns == recorded.mtime_ns &&
           own->sha256 == recorded.file_hash;
}

bool _renew_racy_record(Indexer& indexer, const fs::path& fp, const FileState& recorded) {
    try {
        // The figures before the bytes: a change while they are read shows as other figures.
        FileState now = file_state_of(fp, {});
        if (!recorded.same_stat(now) || now.racily_clean()) return false;
        now.file_hash = detail::sha256_hex(detail::read_file_bytes(fp));
        return now.file_hash == recorded.file_hash && indexer.refresh_file_state(fp, now);
    } catch (const std::exception& e) {
        log_warning("Index freshness check failed for %s: %s", fp.c_str(), e.what());
        return false;
    }
}

// ---- Index freshness --------------------------------------------------------------------

std::vector<Block> _ensure_fresh_index(Indexer& indexer, FileWatcher& watcher, const fs::path& fp,
                                       RowColumns columns) {
    const std::string key = fp.string();
    try {
        // The file's figures first: the rows are read only when the record vouches for them.
        FileState now = file_state_of(fp, {});
        auto [rows, recorded] = indexer.rows_if_fresh(fp, now, columns);
        if (rows) return std::move(*rows);

        // Changed figures, or a record too close to the last change to tell: the bytes decide.
        now.file_hash = detail::sha256_hex(detail::read_file_bytes(fp));
        // Same bytes: the rows stand and the record takes the new figures, unless another pass
        // recorded other bytes meanwhile. While the figures are unchanged and still too close
        // to the last change, a new record could not vouch any sooner: it is not written (a
        // flush on every listing just after a write), and the rows are taken while the record
        // still holds these bytes.
        if (recorded && recorded->file_hash == now.file_hash) {
            if (recorded->same_stat(now) && now.racily_clean()) {
                if (auto rows = indexer.rows_if_hash(fp, now.file_hash, columns)) return std::move(*rows);
            } else if (indexer.refresh_file_state(fp, now)) {
                return indexer.list_blocks(fp, columns);
            }
        }

        // Never wait inside an index operation: the re-index being waited for needs the index.
        watcher.wait_for_reindex(fp, 3.0);
        return indexer.rebuild_file(fp, &watcher, now);
    } catch (const std::exception& e) {
        log_warning("Index freshness check failed for %s: %s", key.c_str(), e.what());
    } catch (...) {
        log_warning("Index freshness check failed for %s: %s", key.c_str(), "unknown error");
    }
    return parse_markdown_to_blocks(fp);
}

// ---- Round trips -------------------------------------------------------------------------

namespace {

bool ends_with_line_end(std::string_view s) { return !s.empty() && (s.back() == '\n' || s.back() == '\r'); }

}  // namespace

bool _is_blank_line(std::string_view line) noexcept {
    return line.find_first_not_of(" \t") == std::string_view::npos;
}

std::vector<std::string> _block_lines(std::string_view new_content, const std::vector<std::string>& old_lines) {
    std::vector<std::string> lines = detail::split_lines(new_content);
    // Line ends after the last non-blank line: the blank lines the text shows at its end.
    std::size_t body = lines.size();
    while (body > 0 && _is_blank_line(lines[body - 1])) --body;
    if (body == 0) return lines;
    const std::size_t ends_after = lines.size() - body + (ends_with_line_end(new_content) ? 1 : 0);
    std::size_t kept = old_lines.size();  // the block's trailing blank run; never its heading
    while (kept > 1 && _is_blank_line(old_lines[kept - 1])) --kept;
    const std::size_t old_blanks = old_lines.size() - std::min(kept, old_lines.size());
    if (ends_after <= 1 || ends_after == old_blanks || ends_after == old_blanks + 1) {
        lines.resize(body);
        lines.insert(lines.end(), old_lines.end() - static_cast<std::ptrdiff_t>(old_blanks), old_lines.end());
    }
    return lines;
}

// ---- Listing ----------------------------------------------------------------------------

std::string _level_marker(int level) {
    return level > 0 ? std::string(static_cast<std::size_t>(level), '#') : std::string("FM");
}

std::string _format_block_line(const Block& block, std::size_t id_length) {
    std::string line;
    if (id_length != std::string::npos) {
        // Short ids: the fewest tokens a heading can take, `d3b07384 ## Title 3-9`.
        line = std::string_view(block.uuid).substr(0, id_length);
        line += ' ';
        line += _level_marker(block.level);
        line += ' ';
        line += block.title;
        line += ' ';
    } else {
        line = "  id=\"";
        line += block.uuid;
        line += "\" ";
        line += _level_marker(block.level);
        line += ' ';
        line += block.title;
        line += " lines=";
    }
    line += std::to_string(block.start_line);
    line += '-';
    line += std::to_string(block.end_line);
    return line;
}

std::string _format_blocks(const std::vector<Block>& blocks, const fs::path& file_path) {
    std::string out = "✅ File: ";
    out += file_path.string();
    out += '\n';
    out += std::to_string(blocks.size());
    out += " blocks:\n";
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        if (i > 0) out += '\n';
        out += _format_block_line(blocks[i]);
    }
    return out;
}

Reply do_list_blocks(Session& session, std::string_view file_path) {
    return do_list_blocks(session, file_path, ListOptions{});
}

Reply do_list_blocks(Session& session, std::string_view file_path, const ListOptions& options) {
    const fs::path fp = session.resolve(file_path);
    log_debug("list_blocks: %s", fp.c_str());
    if (auto refusal = _check_md_path(*session.paths, fp)) return Reply::refusal(*refusal);
    std::vector<Block> blocks = _ensure_fresh_index(session.index, session.watcher, fp, RowColumns::listed);

    if (!options.under.empty()) {
        auto top = std::find_if(blocks.begin(), blocks.end(),
                                [&](const Block& b) { return b.uuid == options.under; });
        if (top == blocks.end()) return Reply::refusal(get_message("block_not_found_guidance", {{"file_path", fp}}));
        const Block section = *top;
        std::vector<Block> inside(top, blocks.end());
        std::erase_if(inside, [&](const Block& b) {
            return b.start_line < section.start_line || b.start_line > section.end_line;
        });
        blocks = std::move(inside);
    }
    if (options.max_level)
        std::erase_if(blocks, [&](const Block& b) { return b.level > *options.max_level; });

    const auto total = static_cast<long long>(blocks.size());
    if (options.offset > 0 && options.offset >= total)
        return Reply::refusal(get_message(
            "list_offset_past_end", {{"offset", options.offset}, {"total", total}, {"last", std::max(total - 1, 0LL)}}));
    const long long first = std::clamp(options.offset, 0LL, total);
    long long last = total;
    if (options.limit) last = std::min(total, first + std::max(*options.limit, 0LL));

    std::string out = "✅ File: ";
    out += fp.string();
    out += '\n';
    out += std::to_string(total);
    out += " blocks:\n";

    auto hint = [&](long long shown_end) {
        return "… blocks " + std::to_string(first + 1) + "-" + std::to_string(shown_end) + " of " +
               std::to_string(total) + " shown. For the next ones call md_list_blocks with offset=" +
               std::to_string(shown_end) +
               " and the same other arguments; max_level or under narrows the listing.";
    };
    const long long budget = _result_budget(*session.config);
    TokenTally tally(session.setting("pricing_model"));
    tally.add(out);
    tally.add(hint(total));
    tally.add("\n");
    // Lines are formatted only as far as they fit. The first block line follows the header
    // directly; every later one a line feed. While the lines so far are too short to reach the
    // budget however they count, they are not counted.
    const double weight = tally.max_weight();
    const auto base = static_cast<double>(tally.tokens());
    std::string body;
    bool counted = false;  // whether `tally` holds `body`
    std::size_t fit = 0;
    for (long long i = first; i < last; ++i) {
        const Block& b = blocks[static_cast<std::size_t>(i)];
        std::string line =
            _format_block_line(b, options.short_ids ? _short_id_length(session.index, b.uuid) : std::string::npos);
        if (fit == 0 && tally.tokens_with(line) > budget) {
            // Every page shows a block: a heading too long for the page is shortened.
            Block shown = b;
            shown.title.clear();
            const std::size_t id_length =
                options.short_ids ? _short_id_length(session.index, b.uuid) : std::string::npos;
            TokenTally room = tally;
            room.add(_format_block_line(shown, id_length));
            room.add(_shortened(std::string(64, 'x'), 1));
            std::string_view keep = _prefix_that_fits(room, b.title, budget - 10);
            if (keep.empty()) keep = std::string_view(b.title).substr(0, _column_byte(b.title, 2));
            shown.title = _shortened(b.title, detail::code_point_count(keep));
            line = _format_block_line(shown, id_length);
            tally.add(line);
            counted = true;
            body = line;
            ++fit;
            continue;
        }
        const std::size_t grown = body.size() + (fit ? 1 : 0) + line.size();
        if (!counted && static_cast<double>(grown) * weight + base + 1 > static_cast<double>(budget)) {
            tally.add(body);
            counted = true;
        }
        if (counted) {
            TokenTally with = tally;
            if (fit) with.add("\n");
            with.add(line);
            if (with.tokens() > budget) break;
            tally = with;
        }
        if (fit) body += '\n';
        body += line;
        ++fit;
    }
    const long long shown_end = first + static_cast<long long>(fit);
    _record_listed(session.view, {blocks.begin() + first, blocks.begin() + shown_end});
    out += body;
    if (shown_end < total && shown_end > first) {
        out += '\n';
        out += hint(shown_end);
    } else if (shown_end < total) {
        out += hint(shown_end);
    }
    return out;
}

}  // namespace quillbox
