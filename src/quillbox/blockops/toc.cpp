// Table of contents between "<!-- toc -->" and "<!-- tocstop -->".

#include <algorithm>
#include <climits>
#include <string>

#include "quillbox/blockops.h"
#include "quillbox/blockops/links.h"
#include "quillbox/blockops/structure.h"
#include "quillbox/detail/lines.h"
#include "quillbox/detail/read_file.h"
#include "quillbox/detail/sha256.h"
#include "quillbox/detail/utf8.h"
#include "quillbox/i18n.h"
#include "quillbox/blockops/path_checks.h"
#include "quillbox/blockops/freshness.h"
#include "quillbox/blockops/view.h"

namespace quillbox {

namespace {

// The table, markers included, one line an entry indented by level.
std::string toc_text(const std::vector<TocEntry>& entries) {
    std::string text(TOC_START_MARKER);
    text += '\n';
    for (const auto& e : entries) {
        for (int i = 1; i < e.block.level; ++i) text += "  ";
        text += "- [" + toc_entry_title(e.block.title) + "](#" + e.slug + ")\n";
    }
    text += TOC_STOP_MARKER;
    text += '\n';
    return text;
}

// The 0-based lines of the first start marker and the stop marker after it; -1 when missing.
std::pair<long, long> find_toc_markers(const std::vector<std::string>& lines) {
    long start = -1;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        std::string_view trimmed = detail::strip_white_space(lines[i]);
        if (start < 0) {
            if (trimmed == TOC_START_MARKER) start = static_cast<long>(i);
        } else if (trimmed == TOC_STOP_MARKER) {
            return {start, static_cast<long>(i)};
        }
    }
    return {start, -1};
}

}  // namespace

Reply do_generate_toc(Session& session, std::string_view file_path, bool /*update*/, bool force_insert,
                      long long max_depth) {
    std::filesystem::path fp = session.resolve(file_path);
    log_debug("generate_toc: %s", fp.c_str());
    if (auto refusal = check_md_path(*session.paths, fp)) return Reply::refusal(*refusal);

    std::vector<Block> blocks = _ensure_fresh_index(session.index, session.watcher, fp);
    if (blocks.empty()) return get_message("toc_no_headings");

    const int depth = static_cast<int>(std::clamp(max_depth, static_cast<long long>(INT_MIN),
                                                  static_cast<long long>(INT_MAX)));
    std::vector<TocEntry> entries = get_toc_entries(blocks, depth);
    if (entries.empty()) return get_message("toc_no_headings_at_depth", {{"max_depth", max_depth}});

    std::string basis;
    std::string raw = detail::read_file_bytes(fp);
    detail::validate_utf8(raw, fp.string());
    basis = detail::sha256_hex(raw);
    // The anchors the renderer gives, counted over every heading of the file.
    links::set_rendered_anchors(entries, document_anchors(raw, links::configured_anchor_style(session)));

    const std::string new_toc_text = toc_text(entries);
    // A title that spans lines (setext) spans lines in the table too.
    std::vector<std::string> toc_lines = detail::split_lines(new_toc_text);
    std::vector<std::string> stripped = detail::split_lines(detail::normalize_newlines(raw), true);
    raw.clear();
    for (auto& line : stripped)
        while (!line.empty() && line.back() == '\n') line.pop_back();

    const auto [toc_start, toc_end] = find_toc_markers(stripped);

    std::vector<std::string> new_lines;
    new_lines.reserve(stripped.size() + toc_lines.size());
    std::string result_key;
    if (toc_start >= 0 && toc_end >= 0) {
        std::string old_toc_text =
            detail::join_lines(stripped, static_cast<std::size_t>(toc_start), static_cast<std::size_t>(toc_end) + 1);
        old_toc_text += '\n';
        if (old_toc_text == new_toc_text) return get_message("toc_unchanged");
        if (view_conflicts(session.view, blocks, stripped, static_cast<int>(toc_start) + 1, static_cast<int>(toc_end) + 1))
            return Reply::refusal(get_message("file_changed"));
        new_lines.insert(new_lines.end(), stripped.begin(), stripped.begin() + toc_start);
        new_lines.insert(new_lines.end(), toc_lines.begin(), toc_lines.end());
        new_lines.insert(new_lines.end(), stripped.begin() + toc_end + 1, stripped.end());
        result_key = "toc_updated";
    } else {
        if (!force_insert) return Reply::refusal(get_message("toc_no_marker"));
        int fm_end = find_frontmatter_end(stripped);
        std::size_t at = fm_end > 0 ? static_cast<std::size_t>(fm_end) : 0;
        at = std::min(at, stripped.size());
        if (view_conflicts(session.view, blocks, stripped, static_cast<int>(at) + 1, static_cast<int>(at)))
            return Reply::refusal(get_message("file_changed"));
        new_lines.insert(new_lines.end(), stripped.begin(), stripped.begin() + static_cast<long>(at));
        new_lines.insert(new_lines.end(), toc_lines.begin(), toc_lines.end());
        new_lines.insert(new_lines.end(), stripped.begin() + static_cast<long>(at), stripped.end());
        result_key = "toc_generated";
    }

    // A table can add thousands of lines; never write a file that could no longer be parsed.
    std::size_t bytes = 0;
    for (const auto& line : new_lines) bytes += line.size() + 1;
    if (bytes > MAX_FILE_SIZE || new_lines.size() > MAX_FILE_LINES) return Reply::refusal(get_message("file_too_large"));

    // A table adds no heading: every section keeps its identifier, in the same order.
    if (!structure::rewrite_and_reindex(session, fp, stripped.size(), new_lines, basis,
                                        structure::ids_if_unchanged(blocks, stripped)))
        return Reply::refusal(get_message("file_changed"));
    return get_message(result_key);
}

}  // namespace quillbox
