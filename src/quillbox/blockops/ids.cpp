// Short block ids: any prefix of at least eight characters that one block alone has stands
// for that block's id; with the block's file, a prefix of five that no other section of that
// file has, nor had.

#include <algorithm>

#include "quillbox/blockops.h"
#include "quillbox/blockops/listing.h"
#include "quillbox/i18n.h"

namespace quillbox {

namespace {

// Candidates named in the refusal; more would only cost the agent tokens.
constexpr int MAX_CANDIDATES = 10;
constexpr std::size_t UUID_LENGTH = 36;

}  // namespace

std::size_t short_id_length(Indexer& indexer, const std::string& uuid) {
    std::size_t n = std::min(SHORT_ID_LENGTH, uuid.size());
    while (n < uuid.size()) {
        // Two rows are enough to know whether another block shares the prefix.
        if (indexer.blocks_with_id_prefix(std::string_view(uuid).substr(0, n), 2).size() <= 1) break;
        ++n;
    }
    return n;
}

namespace {

std::size_t common_prefix(std::string_view a, std::string_view b) {
    std::size_t n = 0;
    while (n < a.size() && n < b.size() && a[n] == b[n]) ++n;
    return n;
}

bool looks_like_id(std::string_view text) {
    return text.find_first_not_of("0123456789abcdef-") == std::string_view::npos;
}

}  // namespace

std::vector<std::size_t> file_short_id_lengths(Indexer& indexer, const std::vector<Block>& file_blocks,
                                                const std::filesystem::path& file_path) {
    std::vector<std::string_view> sorted;
    sorted.reserve(file_blocks.size());
    for (const Block& b : file_blocks) sorted.emplace_back(b.uuid);
    std::sort(sorted.begin(), sorted.end());
    std::vector<std::size_t> out;
    out.reserve(file_blocks.size());
    for (const Block& b : file_blocks) {
        const std::string_view id = b.uuid;
        std::size_t shared = 0;
        auto at = std::lower_bound(sorted.begin(), sorted.end(), id);
        if (at != sorted.begin()) shared = std::max(shared, common_prefix(id, *std::prev(at)));
        if (at != sorted.end() && std::next(at) != sorted.end()) shared = std::max(shared, common_prefix(id, *std::next(at)));
        // A section of this file that a re-index gave up may still be named by an agent's old
        // short id: the new one must not be that text.
        for (const std::string& gone :
             indexer.retired_ids_with_prefix(id.substr(0, std::min(FILE_SHORT_ID_MIN, id.size())), file_path, 64))
            shared = std::max(shared, common_prefix(id, gone));
        out.push_back(std::min(id.size(), std::max(FILE_SHORT_ID_MIN, shared + 1)));
    }
    return out;
}

BlockIdExpansion expand_block_id(Session& session, std::optional<std::string_view> file_path,
                                 std::string_view id_or_prefix) {
    const std::size_t n = id_or_prefix.size();
    if (n >= FILE_SHORT_ID_MIN && n < UUID_LENGTH && looks_like_id(id_or_prefix)) {
        if (!file_path) {
            if (n < SHORT_ID_MIN)
                return {std::string(id_or_prefix), {}, get_message("block_id_short_needs_file", {{"prefix", id_or_prefix}})};
        } else {
            std::filesystem::path fp;
            try {
                fp = session.resolve(*file_path);
            } catch (const std::exception&) {
                return {std::string(id_or_prefix), {}, {}};  // the operation refuses the path
            }
            std::vector<Block> in_file = session.index.list_blocks(fp, RowColumns::listed);
            std::erase_if(in_file, [&](const Block& b) { return !b.uuid.starts_with(id_or_prefix); });
            if (in_file.size() > 1) return {std::string(id_or_prefix), std::move(in_file), {}};
            if (in_file.size() == 1) {
                if (!session.index.retired_ids_with_prefix(id_or_prefix, fp, 1).empty())
                    return {std::string(id_or_prefix), {},
                            get_message("block_id_short_stale", {{"prefix", id_or_prefix}, {"file_path", *file_path}})};
                return {std::move(in_file.front().uuid), {}, {}};
            }
            if (n < SHORT_ID_MIN) return {std::string(id_or_prefix), {}, {}};
        }
    }
    return expand_block_id(session.index, id_or_prefix);
}

BlockIdExpansion expand_block_id(Indexer& indexer, std::string_view id_or_prefix) {
    BlockIdExpansion out{std::string(id_or_prefix), {}};
    if (id_or_prefix.size() < SHORT_ID_MIN || id_or_prefix.size() >= UUID_LENGTH) return out;
    std::vector<Block> matches = indexer.blocks_with_id_prefix(id_or_prefix, MAX_CANDIDATES + 1);
    if (matches.size() == 1)
        out.id = matches.front().uuid;
    else if (matches.size() > 1)
        out.ambiguous = std::move(matches);
    return out;
}

std::string ambiguous_block_id_message(std::string_view prefix, const std::vector<Block>& candidates) {
    const bool more = candidates.size() > static_cast<std::size_t>(MAX_CANDIDATES);
    std::string out = get_message(more ? "block_id_ambiguous_many" : "block_id_ambiguous",
                                  {{"prefix", prefix}, {"count", more ? static_cast<std::size_t>(MAX_CANDIDATES) : candidates.size()}});
    const std::size_t shown = std::min(candidates.size(), static_cast<std::size_t>(MAX_CANDIDATES));
    for (std::size_t i = 0; i < shown; ++i) {
        out += '\n';
        out += format_block_line(candidates[i]);
        out += " in ";
        out += candidates[i].file_path.string();
    }
    return out;
}

}  // namespace quillbox
