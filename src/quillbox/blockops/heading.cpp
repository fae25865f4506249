// Sections named by heading: a title, or a path of titles from an ancestor down, resolved to
// the block id that every operation works with. One resolver for every tool, so a heading
// means the same section wherever it is given.

#include <algorithm>
#include <numeric>

#include "quillbox/blockops.h"
#include "quillbox/blockops/path_checks.h"
#include "quillbox/blockops/freshness.h"
#include "quillbox/blockops/listing.h"
#include "quillbox/blockops/structure.h"
#include "quillbox/i18n.h"

namespace fs = std::filesystem;

namespace quillbox {

namespace {

// Candidates named in a refusal: enough to choose from, few enough to stay cheap.
constexpr std::size_t MAX_AMBIGUOUS_SHOWN = 10;
constexpr std::size_t MAX_NEAREST_SHOWN = 5;

bool is_space(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_space(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_space(s.back())) s.remove_suffix(1);
    return s;
}

// Runs of spaces and tabs as one space, and lower case: the loose comparison.
std::string loose(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        if (is_space(c)) {
            if (!out.empty() && out.back() != ' ') out += ' ';
        } else {
            out += c;
        }
    }
    if (!out.empty() && out.back() == ' ') out.pop_back();
    return structure::lower(out);
}

// A heading text's titles: split at every '>', each trimmed. An agent may copy the heading line
// itself, so the first title loses a leading run of '#' followed by a space.
std::vector<std::string> components(std::string_view text) {
    std::vector<std::string> out;
    for (;;) {
        const std::size_t gt = text.find('>');
        out.emplace_back(trim(text.substr(0, gt)));
        if (gt == std::string_view::npos) break;
        text.remove_prefix(gt + 1);
    }
    return out;
}

std::vector<std::string> query_components(std::string_view heading) {
    std::string_view h = trim(heading);
    const std::size_t hashes = h.find_first_not_of('#');
    if (hashes > 0 && hashes != std::string_view::npos && is_space(h[hashes])) h.remove_prefix(hashes);
    return components(h);
}

// Every block's chain of titles from its top-level ancestor down to itself, each title split as
// a query is, so a title holding '>' compares the same on both sides.
std::vector<std::vector<std::string>> chains(const std::vector<Block>& blocks) {
    std::vector<std::vector<std::string>> out(blocks.size());
    std::vector<std::size_t> open;  // the enclosing blocks of the current one
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        while (!open.empty() && blocks[open.back()].level >= blocks[i].level) open.pop_back();
        if (!open.empty()) out[i] = out[open.back()];
        for (auto& c : components(blocks[i].title)) out[i].push_back(std::move(c));
        open.push_back(i);
    }
    return out;
}

bool ends_with(const std::vector<std::string>& chain, const std::vector<std::string>& tail) {
    return tail.size() <= chain.size() && std::equal(tail.rbegin(), tail.rend(), chain.rbegin());
}

std::vector<std::string> loosened(const std::vector<std::string>& v) {
    std::vector<std::string> out;
    out.reserve(v.size());
    for (const auto& s : v) out.push_back(loose(s));
    return out;
}

std::vector<std::size_t> matching(const std::vector<std::vector<std::string>>& all,
                                  const std::vector<std::string>& query) {
    std::vector<std::size_t> hits;
    for (std::size_t i = 0; i < all.size(); ++i)
        if (ends_with(all[i], query)) hits.push_back(i);
    if (!hits.empty()) return hits;
    const std::vector<std::string> q = loosened(query);
    for (std::size_t i = 0; i < all.size(); ++i)
        if (ends_with(loosened(all[i]), q)) hits.push_back(i);
    return hits;
}

std::string join_path(std::vector<std::string>::const_iterator first, std::vector<std::string>::const_iterator last) {
    std::string out;
    for (auto it = first; it != last; ++it) {
        if (it != first) out += HEADING_PATH_SEPARATOR;
        out += *it;
    }
    return out;
}

// The shortest path that names block `i` alone, or its whole path when none does (two sibling
// sections with the same title: only the id tells them apart).
std::string shortest_path(const std::vector<std::vector<std::string>>& all, std::size_t i) {
    const auto& chain = all[i];
    for (std::size_t k = 1; k <= chain.size(); ++k) {
        const std::vector<std::string> tail(chain.end() - static_cast<std::ptrdiff_t>(k), chain.end());
        if (matching(all, tail) == std::vector<std::size_t>{i}) return join_path(tail.begin(), tail.end());
    }
    return join_path(chain.begin(), chain.end());
}

std::string candidate_line(Session& session, const Block& block, std::string path) {
    Block shown = block;
    shown.title = std::move(path);
    return format_block_line(shown, short_id_length(session.index, block.uuid));
}

}  // namespace

std::vector<std::size_t> match_heading(const std::vector<Block>& blocks, std::string_view heading) {
    return matching(chains(blocks), query_components(heading));
}

std::vector<std::string> heading_paths(const std::vector<Block>& blocks, bool shortest) {
    const auto all = chains(blocks);
    std::vector<std::string> out;
    out.reserve(blocks.size());
    for (std::size_t i = 0; i < blocks.size(); ++i)
        out.push_back(shortest ? shortest_path(all, i) : join_path(all[i].begin(), all[i].end()));
    return out;
}

HeadingTarget resolve_heading(Session& session, std::string_view file_path, std::string_view heading) {
    const fs::path fp = session.resolve(file_path);
    if (auto refusal = check_md_path(*session.paths, fp)) return {"", Reply::refusal(std::move(*refusal))};
    const std::vector<Block> blocks = _ensure_fresh_index(session.index, session.watcher, fp, RowColumns::listed);
    const auto all = chains(blocks);
    const std::string wanted(trim(heading));
    const std::vector<std::size_t> hits = matching(all, query_components(heading));
    if (hits.size() == 1) return {blocks[hits.front()].uuid, std::nullopt};

    std::string out;
    if (hits.empty()) {
        if (blocks.empty())
            return {"", Reply::refusal(get_message("heading_not_found_none", {{"heading", wanted}, {"path", fp}}))};
        // The nearest titles, by the similarity of the last title asked for.
        const std::string last = loose(query_components(heading).back());
        std::vector<std::pair<double, std::size_t>> ranked;
        for (std::size_t i = 0; i < blocks.size(); ++i)
            ranked.emplace_back(-similarity_ratio(last, loose(all[i].empty() ? "" : all[i].back())), i);
        const std::size_t n = std::min(MAX_NEAREST_SHOWN, ranked.size());
        std::partial_sort(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(n), ranked.end());
        std::vector<std::size_t> nearest;
        for (std::size_t k = 0; k < n; ++k) nearest.push_back(ranked[k].second);
        std::sort(nearest.begin(), nearest.end());
        out = get_message("heading_not_found", {{"heading", wanted}, {"path", fp}});
        for (std::size_t i : nearest) out += '\n' + candidate_line(session, blocks[i], shortest_path(all, i));
        return {"", Reply::refusal(std::move(out))};
    }
    out = get_message("heading_ambiguous", {{"heading", wanted}, {"path", fp}, {"count", hits.size()}});
    for (std::size_t k = 0; k < hits.size() && k < MAX_AMBIGUOUS_SHOWN; ++k)
        out += '\n' + candidate_line(session, blocks[hits[k]], shortest_path(all, hits[k]));
    if (hits.size() > MAX_AMBIGUOUS_SHOWN)
        out += '\n' + get_message("heading_more", {{"count", hits.size() - MAX_AMBIGUOUS_SHOWN}});
    return {"", Reply::refusal(std::move(out))};
}

}  // namespace quillbox
