// Exact text replacement inside one block: the block-scoped twin of an editor's
// replace-this-text call. The agent sends only the text that changes, and gets back only the
// changed lines.

#include <algorithm>

#include "quillbox/blockops.h"
#include "quillbox/detail/lines.h"
#include "quillbox/detail/read_file.h"
#include "quillbox/detail/utf8.h"
#include "quillbox/i18n.h"
#include "quillbox/blockops/tokens.h"
#include "quillbox/blockops/pages.h"
#include "quillbox/blockops/write_answer.h"
#include "quillbox/blockops/path_checks.h"
#include "quillbox/blockops/view.h"
#include "quillbox/blockops/rewrite.h"

namespace fs = std::filesystem;

namespace quillbox {

namespace {

// Non-overlapping occurrences of `needle`, from the left.
std::vector<std::size_t> occurrences(std::string_view text, std::string_view needle) {
    std::vector<std::size_t> at;
    for (std::size_t pos = text.find(needle); pos != std::string_view::npos;
         pos = text.find(needle, pos + needle.size()))
        at.push_back(pos);
    return at;
}

// The lines of a block's text as the agent sees it (lines joined by line feeds): every line
// end splits, and a line end at the very end leaves an empty last line. No text, no lines.
std::vector<std::string> joined_lines(std::string_view text) {
    std::vector<std::string> lines = detail::split_lines(text);
    if (!text.empty() && detail::line_end_length(text, text.size() - 1) > 0) lines.emplace_back();
    return lines;
}

// The block's text after the replacements, and its lines.
struct Patched {
    std::string text;
    std::vector<std::string> lines;
};

Patched apply_patch(const std::string& content, const std::vector<std::size_t>& at, std::size_t old_size,
                    const std::string& new_norm) {
    Patched out;
    out.text.reserve(content.size() + at.size() * new_norm.size());
    std::size_t from = 0;
    for (std::size_t pos : at) {
        out.text.append(content, from, pos - from);
        out.text += new_norm;
        from = pos + old_size;
    }
    out.text.append(content, from);
    out.lines = joined_lines(out.text);
    return out;
}

}  // namespace

Reply do_patch_block(Session& session, const fs::path& file_path, std::string_view block_id,
                     std::string_view old_text, std::string_view new_text, bool replace_all) {
    const std::string id(block_id);
    std::optional<Block> found_block = session.index.get_block(id);
    log_info("patch_block: %s (%d -> %d chars)", id.c_str(), static_cast<int>(detail::code_point_count(old_text)),
             static_cast<int>(detail::code_point_count(new_text)));
    if (!found_block) return missing_block(session, id, get_message("block_not_found_guidance", {{"file_path", file_path}}));
    if (auto refusal = check_id_file(*session.paths, file_path.string(), *found_block)) return Reply::refusal(*refusal);
    if (auto refusal = check_md_path(*session.paths, found_block->file_path)) return Reply::refusal(*refusal);
    detail::validate_utf8(old_text, "old_text");
    detail::validate_utf8(new_text, "new_text");
    if (old_text.empty())
        return Reply::refusal(get_message("patch_old_text_empty"));

    session.watcher.wait_for_reindex(found_block->file_path, 3.0);
    found_block = fresh_block(session, *found_block);
    if (!found_block) return missing_block(session, id, get_message("block_not_found_guidance", {{"file_path", file_path}}));
    const Block block = std::move(*found_block);
    const fs::path& fp = block.file_path;

    auto located = locate_block(session, block);
    if (!located) return Reply::refusal(get_message("file_changed"));
    const auto [actual_start, actual_end] = *located;
    const std::vector<std::string> block_lines = read_lines(fp, actual_start, actual_end);
    const std::string content = detail::join_lines(block_lines);
    if (holds_cut_marker(new_text, content)) return Reply::refusal(get_message("cut_marker_in_content"));

    // The block's text has line feeds only; so must the texts matched against it.
    const std::string old_norm = detail::normalize_newlines(old_text);
    const std::string new_norm = detail::normalize_newlines(new_text);
    const std::vector<std::size_t> at = occurrences(content, old_norm);
    const MessageArgs where{{"title", block.title}, {"start", actual_start}, {"end", actual_end}, {"count", at.size()}};
    if (at.empty()) return Reply::refusal(get_message("patch_old_text_not_found", where));
    if (at.size() > 1 && !replace_all) return Reply::refusal(get_message("patch_old_text_ambiguous", where));
    if (old_norm == new_norm) return "✅ " + get_message("replace_idempotent", {{"file_path", fp}});

    Patched patched = apply_patch(content, at, old_norm.size(), new_norm);
    // Taken before the write.
    const std::string full_text = detail::read_text_file(fp);
    // A block that ends a file without a final line end, patched to end with one: the file
    // gets that line end, not an empty line after it.
    bool final_line_end = false;
    if (!patched.lines.empty() && patched.lines.back().empty() && !patched.text.empty() &&
        detail::line_end_length(patched.text, patched.text.size() - 1) > 0 && !full_text.empty() &&
        full_text.back() != '\n' && full_text.back() != '\r' &&
        static_cast<std::size_t>(actual_end) == detail::split_lines(full_text).size()) {
        patched.lines.pop_back();
        final_line_end = !patched.lines.empty();
    }
    const std::string model = session.setting("pricing_model");
    const PricingRates rates = session.config->pricing_rates();
    const std::string head = get_message(at.size() == 1 ? "patch_done_one" : "patch_done",
                                         {{"title", shortened(block.title, 200)}, {"count", static_cast<long long>(at.size())}});
    const std::string changes = change_lines(block_lines, patched.lines, actual_start);
    // What this call exchanged: the agent read the block instead of the file, and sent the two
    // texts instead of the changed lines.
    const auto [edit_old, edit_new] = changed_texts(block_lines, patched.lines);
    const std::string sent = std::string(old_text) + std::string(new_text);
    TokenSavings savings = route_savings(
        model, {full_text, actual_start, content, edit_old, edit_new, sent, answer_tokens(head, changes, model)}, rates);
    if (patched.text == content || block_is_whole_file(full_text, actual_start, actual_end))
        savings = no_savings(savings);

    try {
        rewrite_block(session, block, actual_start, actual_end, patched.lines,
                      savings.tokens_saved, "patch_block", nullptr, nullptr, final_line_end);
    } catch (const FileChangedError&) {
        return Reply::refusal(get_message("file_changed"));
    }

    return write_answer(session, head, changes, savings_footer(savings, rates));
}

}  // namespace quillbox
