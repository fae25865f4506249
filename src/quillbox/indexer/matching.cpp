#include "quillbox/indexer/matching.h"

#include <algorithm>
#include <cstddef>
#include <numeric>
#include <string_view>
#include <unordered_map>

namespace quillbox::indexer {

namespace {

// Each heading's place in the outline: the titles (with their levels) of the sections that
// hold it and its own, in a text no title can fake (the separators are control characters a
// title never holds after the parse trims it).
template <class Level, class Title>
std::vector<std::string> outline_paths(std::size_t n, Level level_of, Title title_of) {
    std::vector<std::string> out(n);
    std::vector<std::pair<int, std::size_t>> open;  // level, index
    for (std::size_t i = 0; i < n; ++i) {
        const int level = level_of(i);
        while (!open.empty() && open.back().first >= level) open.pop_back();
        std::string path = open.empty() ? std::string() : out[open.back().second];
        path += '\x1f';
        path += std::to_string(level);
        path += '\x1e';
        path += title_of(i);
        out[i] = std::move(path);
        open.emplace_back(level, i);
    }
    return out;
}

// Pairs old and new entries that share a key and are both still unpaired: every such pair in
// order when both sides hold equally many of the key, or with `only_unique` a key that only
// one old and one new entry hold at all.
void pair_by(const std::vector<std::string>& old_keys, const std::vector<std::string>& new_keys,
             std::vector<std::ptrdiff_t>& old_to_new, std::vector<std::ptrdiff_t>& new_to_old, bool only_unique) {
    std::unordered_map<std::string_view, std::pair<std::vector<std::size_t>, std::vector<std::size_t>>> groups;
    for (std::size_t i = 0; i < old_keys.size(); ++i) groups[old_keys[i]].first.push_back(i);
    for (std::size_t j = 0; j < new_keys.size(); ++j) {
        auto it = groups.find(new_keys[j]);
        if (it != groups.end()) it->second.second.push_back(j);
    }
    for (auto& [key, g] : groups) {
        auto& [olds, news] = g;
        if (olds.size() != news.size() || olds.empty() || (only_unique && olds.size() != 1)) continue;
        const bool free = std::all_of(olds.begin(), olds.end(), [&](std::size_t i) { return old_to_new[i] < 0; }) &&
                          std::all_of(news.begin(), news.end(), [&](std::size_t j) { return new_to_old[j] < 0; });
        if (!free) continue;
        for (std::size_t k = 0; k < olds.size(); ++k) {
            old_to_new[olds[k]] = static_cast<std::ptrdiff_t>(news[k]);
            new_to_old[news[k]] = static_cast<std::ptrdiff_t>(olds[k]);
        }
    }
}

}  // namespace

std::vector<std::string> match_identifiers(const std::vector<OldHeading>& old_rows, const std::vector<Block>& blocks) {
    // The old rows in the order of the text they were parsed from.
    std::vector<std::size_t> order(old_rows.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return old_rows[a].start_line < old_rows[b].start_line; });
    std::vector<const OldHeading*> old;
    old.reserve(order.size());
    for (std::size_t i : order) old.push_back(&old_rows[i]);

    // The same sections with the same text in the same order: every row stays.
    if (old.size() == blocks.size() &&
        std::equal(old.begin(), old.end(), blocks.begin(), [](const OldHeading* o, const Block& b) {
            return o->content_hash == b.content_hash && o->level == b.level && o->title == b.title;
        })) {
        std::vector<std::string> ids;
        ids.reserve(old.size());
        for (const OldHeading* o : old) ids.push_back(o->uuid);
        return ids;
    }

    const std::vector<std::string> old_paths =
        outline_paths(old.size(), [&](std::size_t i) { return old[i]->level; }, [&](std::size_t i) { return old[i]->title; });
    const std::vector<std::string> new_paths =
        outline_paths(blocks.size(), [&](std::size_t j) { return blocks[j].level; }, [&](std::size_t j) { return blocks[j].title; });
    std::vector<std::string> old_hashes, new_hashes, old_both, new_both;
    for (std::size_t i = 0; i < old.size(); ++i) {
        old_hashes.push_back(old[i]->content_hash);
        old_both.push_back(old[i]->content_hash + '\x1d' + old_paths[i]);
    }
    for (std::size_t j = 0; j < blocks.size(); ++j) {
        new_hashes.push_back(blocks[j].content_hash);
        new_both.push_back(blocks[j].content_hash + '\x1d' + new_paths[j]);
    }

    std::vector<std::ptrdiff_t> old_to_new(old.size(), -1), new_to_old(blocks.size(), -1);
    // 1. The same text at the same place in the outline.
    pair_by(old_both, new_both, old_to_new, new_to_old, false);
    // 2. The same text elsewhere (a section moved), when no other section has it, before or
    // after.
    pair_by(old_hashes, new_hashes, old_to_new, new_to_old, true);
    // 3. Another text at the same place (a section edited), when that place is no twin's,
    // before or after.
    pair_by(old_paths, new_paths, old_to_new, new_to_old, true);
    // Anything else is a new section: a guess could hand an id to a section its holder has
    // never seen.

    std::vector<std::string> ids;
    ids.reserve(blocks.size());
    for (std::size_t j = 0; j < blocks.size(); ++j)
        ids.push_back(new_to_old[j] >= 0 ? old[static_cast<std::size_t>(new_to_old[j])]->uuid : blocks[j].uuid);
    return ids;
}

}  // namespace quillbox::indexer
