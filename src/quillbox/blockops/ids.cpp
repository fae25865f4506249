// Short block ids: any prefix of at least eight characters that one block alone has stands
// for that block's id.

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
