// The block listing: its line format and md_list_blocks.

#include <algorithm>
#include <unordered_map>

#include "quillbox/blockops.h"
#include "quillbox/blockops/budget.h"
#include "quillbox/blockops/freshness.h"
#include "quillbox/blockops/links.h"
#include "quillbox/blockops/listing.h"
#include "quillbox/blockops/pages.h"
#include "quillbox/blockops/path_checks.h"
#include "quillbox/blockops/view.h"
#include "quillbox/detail/utf8.h"
#include "quillbox/i18n.h"

namespace fs = std::filesystem;

namespace quillbox {

std::string level_marker(int level) {
    return level > 0 ? std::string(static_cast<std::size_t>(level), '#') : std::string("FM");
}

std::string format_block_line(const Block& block, std::size_t id_length) {
    std::string line;
    if (id_length != std::string::npos) {
        // Short ids: the fewest tokens a heading can take, `d3b07 ## Title 3`.
        line = std::string_view(block.uuid).substr(0, id_length);
        line += ' ';
    } else {
        line = "  id=\"";
        line += block.uuid;
        line += "\" ";
    }
    line += level_marker(block.level);
    line += ' ';
    line += block.title;
    line += id_length != std::string::npos ? " " : " lines=";
    line += std::to_string(block.start_line);
    if (id_length == std::string::npos) {
        line += '-';
        line += std::to_string(block.end_line);
    }
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
        out += format_block_line(blocks[i]);
    }
    return out;
}

Reply do_list_blocks(Session& session, std::string_view file_path) {
    return do_list_blocks(session, file_path, ListOptions{});
}

Reply do_list_blocks(Session& session, std::string_view file_path, const ListOptions& options) {
    const fs::path fp = session.resolve(file_path);
    log_debug("list_blocks: %s", fp.c_str());
    if (auto refusal = check_md_path(*session.paths, fp)) return Reply::refusal(*refusal);
    std::vector<Block> blocks = _ensure_fresh_index(session.index, session.watcher, fp, RowColumns::listed);
    std::unordered_map<std::string, std::size_t> short_length;
    if (options.short_ids) {
        const std::vector<std::size_t> lengths = file_short_id_lengths(session.index, blocks, fp);
        for (std::size_t i = 0; i < blocks.size(); ++i) short_length.emplace(blocks[i].uuid, lengths[i]);
    }
    auto id_length = [&](const Block& b) { return options.short_ids ? short_length.at(b.uuid) : std::string::npos; };

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
    // The short form is for the fewest tokens: the path as the project names it.
    out += options.short_ids ? links::display_path(fp, links::project_root(session)) : fp.string();
    out += '\n';
    out += std::to_string(total);
    out += " blocks:\n";

    auto hint = [&](long long shown_end) {
        return get_message("list_blocks_rest", {{"first", first + 1}, {"last", shown_end}, {"total", total}});
    };
    const long long budget = result_budget(*session.config);
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
        std::string line = format_block_line(b, id_length(b));
        if (fit == 0 && tally.tokens_with(line) > budget) {
            // Every page shows a block: a heading too long for the page is shortened.
            Block shown = b;
            shown.title.clear();
            TokenTally room = tally;
            room.add(format_block_line(shown, id_length(b)));
            room.add(shortened(std::string(64, 'x'), 1));
            std::string_view keep = prefix_that_fits(room, b.title, budget - 10);
            if (keep.empty()) keep = std::string_view(b.title).substr(0, column_byte(b.title, 2));
            shown.title = shortened(b.title, detail::code_point_count(keep));
            line = format_block_line(shown, id_length(b));
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
    record_listed(session.view, {blocks.begin() + first, blocks.begin() + shown_end});
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
