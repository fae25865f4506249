#include <algorithm>

#include "quillbox/indexer/matching.h"

#include <cstddef>
#include <optional>
#include <unordered_map>

namespace quillbox::indexer {

std::vector<std::string> match_identifiers(const std::vector<OldHeading>& old, const std::vector<Block>& blocks) {
    // The same headings in the same order, the common case of a re-index: each block takes the
    // row at its position, which is what the matching below would find.
    if (old.size() == blocks.size() &&
        std::equal(old.begin(), old.end(), blocks.begin(),
                   [](const OldHeading& o, const Block& b) { return o.heading_path == b.heading_path; })) {
        std::vector<std::string> ids;
        ids.reserve(old.size());
        for (const OldHeading& o : old) ids.push_back(o.uuid);
        return ids;
    }
    // Exact matches by heading_path: per slug, the old rows in order and a cursor past the used.
    std::unordered_map<std::string, std::vector<std::size_t>> by_path;
    for (std::size_t i = 0; i < old.size(); ++i) by_path[old[i].heading_path].push_back(i);
    std::unordered_map<std::string, std::size_t> cursor;
    std::unordered_map<std::string, std::size_t> old_index;
    for (std::size_t i = 0; i < old.size(); ++i) old_index.emplace(old[i].uuid, i);
    std::vector<bool> old_used(old.size(), false);

    std::vector<std::string> ids;
    ids.reserve(blocks.size());
    for (const Block& b : blocks) {
        const std::string* match = nullptr;
        if (auto it = by_path.find(b.heading_path); it != by_path.end()) {
            std::size_t& c = cursor[b.heading_path];
            while (c < it->second.size() && old_used[it->second[c]]) ++c;
            if (c < it->second.size()) match = &old[it->second[c]].uuid;
        }
        std::optional<std::string> fuzzy;
        if (!match) {
            std::vector<OldHeading> candidates;
            for (std::size_t i = 0; i < old.size(); ++i)
                if (!old_used[i] && old[i].level == b.level) candidates.push_back(old[i]);
            if (!candidates.empty()) fuzzy = fuzzy_match_heading(b.heading_path, b.level, candidates);
            if (fuzzy) match = &*fuzzy;
        }
        ids.push_back(match ? *match : b.uuid);
        if (auto old_it = old_index.find(ids.back()); old_it != old_index.end()) old_used[old_it->second] = true;
    }
    return ids;
}

}  // namespace quillbox::indexer
